// Window functions. All rows are sorted once by (partition keys, order keys) with a stable parallel
// sort; every function is then computed over the sorted positions in parallel chunks. Anything that
// runs along a window partition (running sums, "last non-null so far", peer groups) is a segmented scan:
// each chunk scans on its own, a short sequential pass carries values across chunk borders, and a
// second parallel pass applies the carries. A window without partition keys therefore still uses
// every core.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <type_traits>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/window.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/ops/op_aggregate.h"
#include "engine/local/ops/op_keys.h"
#include "engine/local/ops/op_sort.h"
#include "engine/local/ops/operators.h"
#include "engine/local/plan/memory_budget.h"

namespace engine::local {

namespace {

std::string lower(const std::string& s) {
  std::string out = s;
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

struct Chunks {
  std::size_t n, count;
  std::size_t lo(std::size_t c) const { return n * c / count; }
  std::size_t hi(std::size_t c) const { return n * (c + 1) / count; }
};

Chunks chunksFor(std::size_t n) {
  std::size_t c = std::min<std::size_t>(workerCount() * 4, n / 8192 + 1);
  return {n, std::max<std::size_t>(c, 1)};
}

// out[i] = greatest j <= i with flag[j] (flag[0] must be set).
std::vector<std::int64_t> lastFlagAtOrBefore(const std::vector<std::uint8_t>& flag) {
  const std::size_t n = flag.size();
  std::vector<std::int64_t> out(n);
  Chunks ch = chunksFor(n);
  std::vector<std::int64_t> lastInChunk(ch.count, -1);
  parallelFor(ch.count, [&](std::size_t c) {
    std::int64_t cur = -1;
    for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
      if (flag[i]) cur = static_cast<std::int64_t>(i);
      out[i] = cur;
    }
    lastInChunk[c] = cur;
  });
  std::vector<std::int64_t> carry(ch.count, -1);
  for (std::size_t c = 1; c < ch.count; ++c) carry[c] = lastInChunk[c - 1] >= 0 ? lastInChunk[c - 1] : carry[c - 1];
  parallelFor(ch.count, [&](std::size_t c) {
    for (std::size_t i = ch.lo(c); i < ch.hi(c) && out[i] < 0; ++i) out[i] = carry[c];
  });
  return out;
}

// out[i] = least j > i with flag[j], or n.
std::vector<std::int64_t> nextFlagAfter(const std::vector<std::uint8_t>& flag) {
  const std::size_t n = flag.size();
  std::vector<std::int64_t> out(n);
  Chunks ch = chunksFor(n);
  std::vector<std::int64_t> firstInChunk(ch.count, -1);
  parallelFor(ch.count, [&](std::size_t c) {
    std::int64_t cur = -1;
    for (std::size_t i = ch.hi(c); i-- > ch.lo(c);) {
      out[i] = cur;
      if (flag[i]) cur = static_cast<std::int64_t>(i);
    }
    firstInChunk[c] = cur;
  });
  std::vector<std::int64_t> carry(ch.count, static_cast<std::int64_t>(n));
  for (std::size_t c = ch.count - 1; c-- > 0;)
    carry[c] = firstInChunk[c + 1] >= 0 ? firstInChunk[c + 1] : carry[c + 1];
  parallelFor(ch.count, [&](std::size_t c) {
    for (std::size_t i = ch.hi(c); i-- > ch.lo(c) && out[i] < 0;) out[i] = carry[c];
  });
  return out;
}

// In place: v[i] becomes op-fold of v[segStart(i)..i]; isStart marks segment starts (isStart[0] set).
template <class T, class Op>
void segmentedPrefix(std::vector<T>& v, const std::vector<std::uint8_t>& isStart, Op op) {
  const std::size_t n = v.size();
  if (n == 0) return;
  Chunks ch = chunksFor(n);
  std::vector<T> last(ch.count);
  std::vector<std::uint8_t> hasStart(ch.count, 0);
  parallelFor(ch.count, [&](std::size_t c) {
    std::size_t lo = ch.lo(c), hi = ch.hi(c);
    for (std::size_t i = lo; i < hi; ++i) {
      if (isStart[i]) hasStart[c] = 1;
      if (i > lo && !isStart[i]) v[i] = op(v[i - 1], v[i]);
    }
    if (hi > lo) last[c] = v[hi - 1];
  });
  // carry[c]: fold of the segment's rows before chunk c (valid when chunk c does not open with a start).
  std::vector<T> carry(ch.count);
  std::vector<std::uint8_t> hasCarry(ch.count, 0);
  for (std::size_t c = 1; c < ch.count; ++c) {
    if (ch.hi(c - 1) == ch.lo(c - 1)) {
      carry[c] = carry[c - 1];
      hasCarry[c] = hasCarry[c - 1];
      continue;
    }
    if (hasStart[c - 1] || !hasCarry[c - 1]) {
      carry[c] = last[c - 1];
    } else {
      carry[c] = op(carry[c - 1], last[c - 1]);
    }
    hasCarry[c] = 1;
  }
  parallelFor(ch.count, [&](std::size_t c) {
    if (!hasCarry[c]) return;
    for (std::size_t i = ch.lo(c); i < ch.hi(c) && !isStart[i]; ++i) v[i] = op(carry[c], v[i]);
  });
}

// Per-row frame bounds (inclusive) derived from the segment and peer boundaries.
struct FrameBounds {
  // Index: a RANGE bound with a value offset, resolved per row into loIdx/hiIdx (inclusive).
  enum class Lo { SegStart, PeerStart, Offset, Index } lo = Lo::SegStart;
  enum class Hi { SegEnd, PeerEnd, Offset, Index } hi = Hi::SegEnd;
  std::int64_t loOff = 0, hiOff = 0;
  const std::vector<std::int64_t>* loIdx = nullptr;
  const std::vector<std::int64_t>* hiIdx = nullptr;
  const std::vector<std::int64_t>* segStart = nullptr;
  const std::vector<std::int64_t>* segEnd = nullptr;  // exclusive
  const std::vector<std::int64_t>* peerStart = nullptr;
  const std::vector<std::int64_t>* peerEnd = nullptr;  // exclusive

  bool whole() const { return lo == Lo::SegStart && hi == Hi::SegEnd; }
  bool running() const { return lo == Lo::SegStart; }
  // Returns false for an empty frame.
  bool at(std::size_t i, std::int64_t& l, std::int64_t& h) const {
    const std::int64_t s = (*segStart)[i], e = (*segEnd)[i] - 1, ii = static_cast<std::int64_t>(i);
    switch (lo) {
      case Lo::SegStart:
        l = s;
        break;
      case Lo::PeerStart:
        l = (*peerStart)[i];
        break;
      case Lo::Offset:
        l = loOff < 0 && ii + loOff < s ? s : ii + loOff;
        break;
      case Lo::Index:
        l = (*loIdx)[i];
        break;
    }
    switch (hi) {
      case Hi::SegEnd:
        h = e;
        break;
      case Hi::PeerEnd:
        h = (*peerEnd)[i] - 1;
        break;
      case Hi::Offset:
        h = hiOff > 0 && ii + hiOff > e ? e : ii + hiOff;
        break;
      case Hi::Index:
        h = (*hiIdx)[i];
        break;
    }
    l = std::max(l, s);
    h = std::min(h, e);
    return l <= h;
  }
};

FrameBounds frameBoundsOf(const WindowFrame& frame, bool ordered) {
  FrameBounds fb;
  if (!frame.specified) {
    fb.lo = FrameBounds::Lo::SegStart;
    fb.hi = ordered ? FrameBounds::Hi::PeerEnd : FrameBounds::Hi::SegEnd;
    return fb;
  }
  const bool range = frame.type == FrameType::Range;
  auto isValueOffset = [](std::int64_t v) {
    return v != 0 && v != Window::unboundedPreceding && v != Window::unboundedFollowing;
  };
  if (frame.lower == Window::unboundedFollowing || frame.upper == Window::unboundedPreceding)
    throw AnalysisException("[INVALID_BOUNDARY] The window frame boundaries are invalid.");
  if (range && !ordered && (isValueOffset(frame.lower) || isValueOffset(frame.upper)))
    throw AnalysisException(
        "[DATATYPE_MISMATCH.RANGE_FRAME_WITHOUT_ORDER] A range window frame needs the window to be ordered.");
  if (frame.lower == Window::unboundedPreceding) {
    fb.lo = FrameBounds::Lo::SegStart;
  } else if (range && isValueOffset(frame.lower)) {
    fb.lo = FrameBounds::Lo::Index;
    fb.loOff = frame.lower;
  } else if (range && ordered) {
    fb.lo = FrameBounds::Lo::PeerStart;  // CURRENT ROW in a RANGE frame: the first peer
  } else if (range) {
    fb.lo = FrameBounds::Lo::SegStart;  // without ordering every row is a peer
  } else {
    fb.lo = FrameBounds::Lo::Offset;
    fb.loOff = frame.lower;
  }
  if (frame.upper == Window::unboundedFollowing) {
    fb.hi = FrameBounds::Hi::SegEnd;
  } else if (range && isValueOffset(frame.upper)) {
    fb.hi = FrameBounds::Hi::Index;
    fb.hiOff = frame.upper;
  } else if (range && ordered) {
    fb.hi = FrameBounds::Hi::PeerEnd;
  } else if (range) {
    fb.hi = FrameBounds::Hi::SegEnd;
  } else {
    fb.hi = FrameBounds::Hi::Offset;
    fb.hiOff = frame.upper;
  }
  return fb;
}

bool isAggregateName(const std::string& n) { return findAggregate(n) != nullptr; }

bool countsRows(const WindowCall& call) {
  if (lower(call.name) != "count") return false;
  for (const auto& a : call.args)
    if (!a->isConstant() || a->constantValue().isNull()) return false;
  return true;
}

std::int64_t intParam(const WindowCall& call, std::size_t argIndex, std::size_t paramIndex, std::int64_t dflt) {
  if (call.args.size() > argIndex && call.args[argIndex]->isConstant()) {
    Value v = call.args[argIndex]->constantValue();
    if (!v.isNull()) return v.toInt64();
  }
  if (call.params.size() > paramIndex && !call.params[paramIndex].isNull()) return call.params[paramIndex].toInt64();
  return dflt;
}

// Shared state of one windowOp run.
struct WindowRun {
  std::size_t n = 0;
  std::vector<std::int64_t> order;  // sorted position -> row of the concatenated input
  std::vector<std::uint8_t> segFlag, peerFlag;
  std::vector<std::int64_t> segStart, segEnd, peerStart, peerEnd;
  bool ordered = false;
  FrameBounds frame;
  const ExecContext* ctx = nullptr;
};

// Resolves RANGE bounds with value offsets. With the order key x sorted in direction d, the bound of row
// i is x[i] + offset (x[i] - offset when descending), and the frame runs from the first row of the
// partition not ordered before the lower bound to the last row not ordered after the upper bound. Rows
// whose key is null get a null bound, which is a peer of exactly the null rows: their frame is their peer
// group. NaN sorts above every number and NaN + offset stays NaN, so NaN rows also frame their peers.
// Decimal keys are their unscaled values: `unit` (10^scale) turns the offset's whole units into them.
template <class T>
void resolveRangeBounds(WindowRun& w, const Vector& key, bool ascending, bool nullsFirst,
                        std::vector<std::int64_t>& loIdx, std::vector<std::int64_t>& hiIdx, int128_t unit = 1) {
  const T* x = key.data<T>();
  const FrameBounds& fb = w.frame;
  // Three-way comparison of the key at sorted position j with a non-null bound b, in sort order.
  auto cmp = [&](std::size_t j, T b) -> int {
    if (key.isNull(j)) return nullsFirst ? -1 : 1;
    int c;
    if constexpr (std::is_floating_point_v<T>) {
      const bool an = std::isnan(x[j]), bn = std::isnan(b);
      c = an || bn ? (an == bn ? 0 : (an ? 1 : -1)) : (x[j] < b ? -1 : (x[j] > b ? 1 : 0));
    } else {
      c = x[j] < b ? -1 : (x[j] > b ? 1 : 0);
    }
    return ascending ? c : -c;
  };
  auto boundOf = [&](std::size_t i, std::int64_t off) -> T {
    if constexpr (std::is_floating_point_v<T>) {
      return ascending ? x[i] + static_cast<T>(off) : x[i] - static_cast<T>(off);
    } else if constexpr (std::is_same_v<T, int128_t>) {
      // Saturating: a bound past every decimal admits every row on that side.
      constexpr int128_t kMax = static_cast<int128_t>((static_cast<unsigned __int128>(1) << 127) - 1);
      int128_t o = off > 0 && off > kMax / unit ? kMax : off < 0 && off < -(kMax / unit) ? -kMax : off * unit;
      if (!ascending) o = -o;
      if (o > 0 && x[i] > kMax - o) return kMax;
      if (o < 0 && x[i] < -kMax - o) return -kMax;
      return x[i] + o;
    } else {
      // Saturate instead of wrapping: a bound past the type's range admits every row on that side.
      __int128 b = static_cast<__int128>(x[i]) + (ascending ? off : -static_cast<__int128>(off));
      if (b > std::numeric_limits<T>::max()) return std::numeric_limits<T>::max();
      if (b < std::numeric_limits<T>::min()) return std::numeric_limits<T>::min();
      return static_cast<T>(b);
    }
  };
  if (fb.lo == FrameBounds::Lo::Index) loIdx.resize(w.n);
  if (fb.hi == FrameBounds::Hi::Index) hiIdx.resize(w.n);
  Chunks ch = chunksFor(w.n);
  parallelFor(ch.count, [&](std::size_t c) {
    for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
      const std::int64_t s = w.segStart[i], e = w.segEnd[i];
      const bool nullKey = key.isNull(i);
      if (fb.lo == FrameBounds::Lo::Index) {
        if (nullKey) {
          loIdx[i] = w.peerStart[i];
        } else {
          const T b = boundOf(i, fb.loOff);
          std::int64_t lo = s, hi = e;  // first j in [s, e) with cmp(j, b) >= 0
          while (lo < hi) {
            std::int64_t mid = lo + (hi - lo) / 2;
            if (cmp(static_cast<std::size_t>(mid), b) < 0) lo = mid + 1; else hi = mid;
          }
          loIdx[i] = lo;
        }
      }
      if (fb.hi == FrameBounds::Hi::Index) {
        if (nullKey) {
          hiIdx[i] = w.peerEnd[i] - 1;
        } else {
          const T b = boundOf(i, fb.hiOff);
          std::int64_t lo = s, hi = e;  // first j in [s, e) with cmp(j, b) > 0
          while (lo < hi) {
            std::int64_t mid = lo + (hi - lo) / 2;
            if (cmp(static_cast<std::size_t>(mid), b) <= 0) lo = mid + 1; else hi = mid;
          }
          hiIdx[i] = lo - 1;
        }
      }
    }
  });
}

MutableVectorPtr intResult(const WindowRun& w, const DataType& type, std::function<std::int64_t(std::size_t)> f) {
  auto out = Vector::make(type, w.n);
  Chunks ch = chunksFor(w.n);
  const bool isLong = type.id() == TypeId::Long;
  parallelFor(ch.count, [&](std::size_t c) {
    for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
      if (isLong)
        out->data<std::int64_t>()[i] = f(i);
      else
        out->data<std::int32_t>()[i] = static_cast<std::int32_t>(f(i));
    }
  });
  return out;
}

MutableVectorPtr doubleResult(const WindowRun& w, std::function<double(std::size_t)> f) {
  auto out = Vector::make(DoubleType(), w.n);
  Chunks ch = chunksFor(w.n);
  parallelFor(ch.count, [&](std::size_t c) {
    for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) out->data<double>()[i] = f(i);
  });
  return out;
}

// Argument a of a call, in sorted order.
VectorPtr sortedArg(const WindowRun& w, const std::vector<std::vector<VectorPtr>>& vals, std::size_t slot,
                    const DataType& type) {
  std::vector<const Vector*> parts;
  for (const auto& p : vals) parts.push_back(p[slot].get());
  MutableVectorPtr all = concat(parts, type);
  return take(*all, w.order);
}

// Rows where every argument is valid, in sorted order.
std::vector<std::uint8_t> validFlags(const WindowRun& w, const std::vector<VectorPtr>& args) {
  std::vector<std::uint8_t> ok(w.n, 1);
  for (const auto& a : args) {
    if (a->type().isNull()) {
      std::fill(ok.begin(), ok.end(), 0);
      break;
    }
    if (a->validity().allValid()) continue;
    for (std::size_t i = 0; i < w.n; ++i) ok[i] &= a->isValid(i) ? 1 : 0;
  }
  return ok;
}

// Any aggregate over the whole window partition: ordinary aggregation with the partition as group.
VectorPtr wholeFrameAggregate(const WindowRun& w, const WindowCall& call, const std::vector<VectorPtr>& args) {
  const AggregateDef* def = findAggregate(lower(call.name));
  AggregateCall ac;
  ac.name = lower(call.name);
  ac.args = call.args;
  ac.ignoreNulls = call.ignoreNulls;
  ac.params = call.params;
  ac.resultType = call.resultType;
  AggInput input;
  input.parts.resize(1);
  for (const auto& a : call.args) input.types.push_back(a->type());
  if (!countsRows(call))
    for (const auto& a : args) input.parts[0].push_back(a.get());

  // Segment index of each sorted row.
  std::vector<std::uint32_t> seg(w.n);
  {
    std::vector<std::uint32_t> flags(w.n);
    for (std::size_t i = 0; i < w.n; ++i) flags[i] = w.segFlag[i];
    segmentedPrefix(flags, std::vector<std::uint8_t>(w.n, 0), [](std::uint32_t a, std::uint32_t b) { return a + b; });
    for (std::size_t i = 0; i < w.n; ++i) seg[i] = flags[i] - 1;
  }
  const std::size_t segments = w.n ? seg[w.n - 1] + 1 : 0;
  Chunks ch = chunksFor(w.n);
  std::vector<std::unique_ptr<AggStates>> partial(ch.count);
  parallelFor(ch.count, [&](std::size_t c) {
    std::size_t lo = ch.lo(c), hi = ch.hi(c);
    partial[c] = def->make(ac, input);
    if (hi == lo) return;
    const std::uint32_t base = seg[lo];
    partial[c]->resize(seg[hi - 1] - base + 1);
    std::vector<std::uint32_t> gids;
    for (std::size_t at = lo; at < hi; at += 4096) {
      std::size_t m = std::min<std::size_t>(4096, hi - at);
      gids.resize(m);
      for (std::size_t i = 0; i < m; ++i) gids[i] = seg[at + i] - base;
      partial[c]->update(0, at, m, gids.data());
    }
  });
  auto total = def->make(ac, input);
  total->resize(segments);
  std::vector<std::uint32_t> src, dst;
  for (std::size_t c = 0; c < ch.count; ++c) {
    std::size_t lo = ch.lo(c), hi = ch.hi(c);
    if (hi == lo) continue;
    src.clear();
    dst.clear();
    for (std::uint32_t g = 0; g <= seg[hi - 1] - seg[lo]; ++g) {
      src.push_back(g);
      dst.push_back(seg[lo] + g);
    }
    total->merge(*partial[c], src.data(), dst.data(), src.size());
  }
  VectorPtr perSegment = total->finish();
  std::vector<std::int64_t> idx(seg.begin(), seg.end());
  return take(*perSegment, idx);
}

// count/sum/avg over arbitrary frames from prefix sums (segmented, so running frames add in row order).
template <class Acc, class Read>
std::vector<Acc> prefixSums(const WindowRun& w, const std::vector<std::uint8_t>& ok, Read read) {
  std::vector<Acc> p(w.n);
  Chunks ch = chunksFor(w.n);
  parallelFor(ch.count, [&](std::size_t c) {
    for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) p[i] = ok[i] ? read(i) : Acc{};
  });
  segmentedPrefix(p, w.segFlag, [](Acc a, Acc b) { return static_cast<Acc>(a + b); });
  return p;
}

template <class Acc>
inline Acc frameSum(const std::vector<Acc>& p, std::int64_t l, std::int64_t h, std::int64_t segStart) {
  Acc r = p[static_cast<std::size_t>(h)];
  if (l > segStart) r = static_cast<Acc>(r - p[static_cast<std::size_t>(l - 1)]);
  return r;
}

VectorPtr frameAggregate(const WindowRun& w, const WindowCall& call, const std::vector<VectorPtr>& args) {
  const std::string name = lower(call.name);
  const FrameBounds& fb = w.frame;
  std::vector<std::uint8_t> ok = countsRows(call) ? std::vector<std::uint8_t>(w.n, 1) : validFlags(w, args);
  // Non-null count per frame, needed by almost everything.
  std::vector<std::int64_t> cnt = prefixSums<std::int64_t>(w, ok, [](std::size_t) { return std::int64_t{1}; });
  auto frameCount = [&](std::size_t i, std::int64_t& l, std::int64_t& h) -> std::int64_t {
    if (!fb.at(i, l, h)) return 0;
    return frameSum(cnt, l, h, w.segStart[i]);
  };
  const DataType& rt = call.resultType;
  Chunks ch = chunksFor(w.n);

  if (name == "count") {
    return intResult(w, LongType(), [&](std::size_t i) {
      std::int64_t l = 0, h = -1;
      return frameCount(i, l, h);
    });
  }

  if (name == "sum" || name == "avg" || name == "mean") {
    const DataType& at = args[0]->type();
    const bool avg = name != "sum";
    if (at.isNull()) return Vector::constant(Value(), rt, w.n);
    if (at.isDecimal()) {
      const int128_t* d = args[0]->data<int128_t>();
      auto p = prefixSums<int128_t>(w, ok, [&](std::size_t i) { return d[i]; });
      auto out = Vector::make(rt, w.n);
      const int128_t sumLimit = pow10_128(std::min(at.precision() + 10, 38));
      const int128_t outLimit = pow10_128(rt.precision());
      std::vector<std::uint8_t> isNull(w.n, 0);
      parallelFor(ch.count, [&](std::size_t c) {
        for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
          std::int64_t l = 0, h = -1;
          std::int64_t k = frameCount(i, l, h);
          int128_t s = k ? frameSum(p, l, h, w.segStart[i]) : 0;
          bool valid = k > 0 && s < sumLimit && s > -sumLimit;
          if (valid && avg) valid = decimalDivRoundHalfUp(s, k, rt.scale() - at.scale(), s);
          valid = valid && s < outLimit && s > -outLimit;
          out->data<int128_t>()[i] = valid ? s : 0;
          isNull[i] = !valid;
        }
      });
      for (std::size_t i = 0; i < w.n; ++i)
        if (isNull[i]) out->setNull(i);
      return out;
    }
    const bool integral = at.isIntegral();
    std::vector<double> pd, vals;
    std::vector<std::uint64_t> pi;
    if (integral) {
      const Vector& v = *args[0];
      auto read = [&](std::size_t i) -> std::uint64_t {
        switch (v.type().id()) {
          case TypeId::Byte:
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.data<std::int8_t>()[i]));
          case TypeId::Short:
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.data<std::int16_t>()[i]));
          case TypeId::Integer:
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.data<std::int32_t>()[i]));
          default:
            return static_cast<std::uint64_t>(v.data<std::int64_t>()[i]);
        }
      };
      pi = prefixSums<std::uint64_t>(w, ok, read);
    }
    if (!integral || avg) {
      const Vector& v = *args[0];
      auto read = [&](std::size_t i) -> double {
        switch (v.type().id()) {
          case TypeId::Byte:
            return v.data<std::int8_t>()[i];
          case TypeId::Short:
            return v.data<std::int16_t>()[i];
          case TypeId::Integer:
            return v.data<std::int32_t>()[i];
          case TypeId::Long:
            return static_cast<double>(v.data<std::int64_t>()[i]);
          case TypeId::Float:
            return v.data<float>()[i];
          case TypeId::Double:
            return v.data<double>()[i];
          default:
            throw AnalysisException("sum/avg over a window needs a numeric argument.");
        }
      };
      // Spark adds doubles one row at a time in frame order: a running frame keeps adding, any other frame
      // is summed afresh from its first row. Sums computed by subtracting the rows that left a frame would
      // keep a NaN or an infinity that has left it, and lose small values next to large ones.
      vals.resize(w.n);
      for (std::size_t i = 0; i < w.n; ++i) vals[i] = ok[i] ? read(i) : 0.0;
      if (fb.running()) {
        pd.resize(w.n);
        double acc = 0.0;
        for (std::size_t i = 0; i < w.n; ++i) {
          if (w.segFlag[i]) acc = 0.0;
          acc += vals[i];
          pd[i] = acc;
        }
      }
    }
    auto doubleSum = [&](std::int64_t l, std::int64_t h, std::size_t i) {
      if (fb.running()) return frameSum(pd, l, h, w.segStart[i]);
      double acc = 0.0;
      for (std::int64_t j = l; j <= h; ++j) acc += vals[static_cast<std::size_t>(j)];
      return acc;
    };
    auto out = Vector::make(rt, w.n);
    std::vector<std::uint8_t> isNull(w.n, 0);
    parallelFor(ch.count, [&](std::size_t c) {
      for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
        std::int64_t l = 0, h = -1;
        std::int64_t k = frameCount(i, l, h);
        if (k == 0) {
          isNull[i] = 1;
          continue;
        }
        if (avg)
          out->data<double>()[i] = doubleSum(l, h, i) / static_cast<double>(k);
        else if (integral)
          out->data<std::int64_t>()[i] = static_cast<std::int64_t>(frameSum(pi, l, h, w.segStart[i]));
        else
          out->data<double>()[i] = doubleSum(l, h, i);
      }
    });
    for (std::size_t i = 0; i < w.n; ++i)
      if (isNull[i]) out->setNull(i);
    return out;
  }

  if (name == "min" || name == "max") {
    const bool isMax = name == "max";
    const Vector& v = *args[0];
    // Index of the winning row; -1 none. Ties keep the earlier row.
    auto better = [&](std::int64_t a, std::int64_t b) -> std::int64_t {
      if (a < 0) return b;
      if (b < 0) return a;
      int c = compareValues(v, static_cast<std::size_t>(b), v, static_cast<std::size_t>(a));
      return (isMax ? c > 0 : c < 0) ? b : a;
    };
    std::vector<std::int64_t> best(w.n);
    for (std::size_t i = 0; i < w.n; ++i) best[i] = ok[i] ? static_cast<std::int64_t>(i) : -1;
    std::vector<std::int64_t> refs(w.n, -1);
    if (fb.running()) {
      segmentedPrefix(best, w.segFlag, better);
      parallelFor(ch.count, [&](std::size_t c) {
        for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
          std::int64_t l = 0, h = -1;
          if (fb.at(i, l, h)) refs[i] = best[static_cast<std::size_t>(h)];
        }
      });
    } else if (fb.hi == FrameBounds::Hi::SegEnd) {
      // Frames reaching the partition end: a segmented scan from the right.
      std::vector<std::int64_t> rev(w.n);
      std::vector<std::uint8_t> revStart(w.n);
      for (std::size_t j = 0; j < w.n; ++j) {
        std::size_t i = w.n - 1 - j;
        rev[j] = best[i];
        revStart[j] = static_cast<std::int64_t>(i) == w.segEnd[i] - 1;
      }
      segmentedPrefix(rev, revStart, better);
      parallelFor(ch.count, [&](std::size_t c) {
        for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
          std::int64_t l = 0, h = -1;
          if (fb.at(i, l, h)) refs[i] = rev[w.n - 1 - static_cast<std::size_t>(l)];
        }
      });
    } else {
      // Bounded frames: scan each frame (frames are short in practice).
      parallelFor(ch.count, [&](std::size_t c) {
        for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
          std::int64_t l = 0, h = -1, r = -1;
          if (fb.at(i, l, h))
            for (std::int64_t j = l; j <= h; ++j) r = better(r, best[static_cast<std::size_t>(j)]);
          refs[i] = r;
        }
      });
    }
    return take(v, refs);
  }

  if (name == "first" || name == "first_value" || name == "last" || name == "last_value" || name == "any_value") {
    const bool last = name == "last" || name == "last_value";
    bool ignoreNulls = call.ignoreNulls ||
                       (!call.params.empty() && call.params[0].is<bool>() && call.params[0].get<bool>());
    const Vector& v = *args[0];
    std::vector<std::int64_t> prevValid, nextValid;
    if (ignoreNulls) {
      std::vector<std::uint8_t> flags = ok;
      if (last) {
        // prevValid[i]: last valid row at or before i (or -1).
        std::vector<std::uint8_t> f2(w.n + 1, 0);
        f2[0] = 1;
        for (std::size_t i = 0; i < w.n; ++i) f2[i + 1] = flags[i];
        auto t = lastFlagAtOrBefore(f2);
        prevValid.resize(w.n);
        for (std::size_t i = 0; i < w.n; ++i) prevValid[i] = t[i + 1] - 1;
      } else {
        // nextValid[i]: first valid row at or after i (or n).
        std::vector<std::uint8_t> f2(w.n + 1, 0);
        for (std::size_t i = 0; i < w.n; ++i) f2[i + 1] = flags[i];
        auto t = nextFlagAfter(f2);  // t[i] = first j > i with f2[j] -> row j - 1 >= i
        nextValid.resize(w.n);
        for (std::size_t i = 0; i < w.n; ++i) nextValid[i] = t[i] - 1;
      }
    }
    std::vector<std::int64_t> refs(w.n, -1);
    parallelFor(ch.count, [&](std::size_t c) {
      for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
        std::int64_t l = 0, h = -1;
        if (!fb.at(i, l, h)) continue;
        if (!ignoreNulls) {
          refs[i] = last ? h : l;
        } else if (last) {
          std::int64_t r = prevValid[static_cast<std::size_t>(h)];
          refs[i] = r >= l ? r : -1;
        } else {
          std::int64_t r = nextValid[static_cast<std::size_t>(l)];
          refs[i] = r <= h ? r : -1;
        }
      }
    });
    return take(v, refs);
  }
  if (name == "collect_list" || name == "array_agg" || name == "collect_set") {
    // The frame's non-null values in frame order; collect_set keeps the first of equal values, except that
    // a NaN equals nothing (Spark compares the boxed numbers), so every NaN is kept.
    const bool set = name == "collect_set";
    const Vector& v = *args[0];
    auto isNaN = [&](std::int64_t j) {
      if (v.type().id() == TypeId::Double) return std::isnan(v.data<double>()[j]);
      if (v.type().id() == TypeId::Float) return std::isnan(v.data<float>()[j]);
      return false;
    };
    std::vector<std::int64_t> offsets(w.n + 1, 0);
    std::vector<std::int64_t> refs;
    std::vector<std::int64_t> seen;  // collect_set: the frame's kept rows, sorted by value
    auto byValue = [&](std::int64_t a, std::int64_t b) {
      return compareValues(v, static_cast<std::size_t>(a), v, static_cast<std::size_t>(b)) < 0;
    };
    // Every row holds a copy of its frame's values: a growing frame makes the output grow with the square of
    // the rows, so its size is checked against the query's budget as it grows.
    const double bytesPerValue = 8.0 + (v.type().fixedWidth() > 0 ? v.type().fixedWidth() : 32);
    for (std::size_t i = 0; i < w.n; ++i) {
      std::int64_t l = 0, h = -1;
      if (fb.at(i, l, h)) {
        checkQueryMemory((static_cast<double>(refs.size()) + static_cast<double>(h - l + 1)) * bytesPerValue,
                         fmt::format("{} over a window of {} rows", name, w.n));
        seen.clear();
        for (std::int64_t j = l; j <= h; ++j) {
          if (!ok[static_cast<std::size_t>(j)]) continue;
          if (set && !isNaN(j)) {
            auto at = std::lower_bound(seen.begin(), seen.end(), j, byValue);
            if (at != seen.end() && !byValue(j, *at)) continue;
            seen.insert(at, j);
          }
          refs.push_back(j);
        }
      }
      offsets[i + 1] = static_cast<std::int64_t>(refs.size());
    }
    DataType rt = call.resultType.id() == TypeId::Array ? call.resultType : ArrayType(v.type(), false);
    auto out = Vector::make(rt, w.n);
    std::copy(offsets.begin(), offsets.end(), out->offsets());
    out->setChild(take(v, refs));
    return out;
  }
  throw AnalysisException("The aggregate `" + call.name +
                          "` is only supported over a whole window partition (no ordering or an unbounded frame) "
                          "in the local backend.");
}

VectorPtr rankingFunction(const WindowRun& w, const WindowCall& call, const std::vector<VectorPtr>& args) {
  const std::string name = lower(call.name);
  const DataType& rt = call.resultType.isNull() ? windowResultType(name, {}) : call.resultType;
  if (name == "row_number")
    return intResult(w, rt, [&](std::size_t i) { return static_cast<std::int64_t>(i) - w.segStart[i] + 1; });
  if (name == "rank")
    return intResult(w, rt, [&](std::size_t i) { return w.peerStart[i] - w.segStart[i] + 1; });
  if (name == "percent_rank")
    return doubleResult(w, [&](std::size_t i) {
      double size = static_cast<double>(w.segEnd[i] - w.segStart[i]);
      return size <= 1 ? 0.0 : static_cast<double>(w.peerStart[i] - w.segStart[i]) / (size - 1);
    });
  if (name == "cume_dist")
    return doubleResult(w, [&](std::size_t i) {
      return static_cast<double>(w.peerEnd[i] - w.segStart[i]) / static_cast<double>(w.segEnd[i] - w.segStart[i]);
    });
  if (name == "dense_rank") {
    std::vector<std::int64_t> p(w.n);
    for (std::size_t i = 0; i < w.n; ++i) p[i] = w.peerFlag[i];
    segmentedPrefix(p, w.segFlag, [](std::int64_t a, std::int64_t b) { return a + b; });
    return intResult(w, rt, [&](std::size_t i) { return p[i]; });
  }
  if (name == "ntile") {
    std::int64_t buckets = intParam(call, 0, 0, -1);
    if (buckets <= 0) throw AnalysisException("The argument of ntile must be a positive integer literal.");
    return intResult(w, rt, [&](std::size_t i) {
      std::int64_t size = w.segEnd[i] - w.segStart[i], k = static_cast<std::int64_t>(i) - w.segStart[i];
      std::int64_t q = size / buckets, r = size % buckets;
      if (k < r * (q + 1)) return k / (q + 1) + 1;
      return (k - r * (q + 1)) / std::max<std::int64_t>(q, 1) + r + 1;
    });
  }
  if (name == "lag" || name == "lead") {
    std::int64_t off = intParam(call, 1, 0, 1);
    if (name == "lag") off = -off;
    const Vector& v = *args[0];
    std::vector<std::int64_t> refs(w.n, -1);
    std::vector<std::uint8_t> useDefault(w.n, 0);
    for (std::size_t i = 0; i < w.n; ++i) {
      std::int64_t j = static_cast<std::int64_t>(i) + off;
      if (j >= w.segStart[i] && j < w.segEnd[i])
        refs[i] = j;
      else
        useDefault[i] = 1;
    }
    MutableVectorPtr out = take(v, refs);
    Value dflt;
    if (call.args.size() > 2 && call.args[2]->isConstant()) dflt = call.args[2]->constantValue();
    if (call.params.size() > 1) dflt = call.params[1];
    if (!dflt.isNull()) {
      auto d = Vector::constant(dflt, v.type(), 1);
      std::vector<std::int64_t> idx(w.n);
      std::vector<const Vector*> both{out.get(), d.get()};
      MutableVectorPtr joined = concat(both, v.type());
      for (std::size_t i = 0; i < w.n; ++i) idx[i] = useDefault[i] ? static_cast<std::int64_t>(w.n) : static_cast<std::int64_t>(i);
      out = take(*joined, idx);
    }
    return out;
  }
  throw AnalysisException("[UNRESOLVED_ROUTINE] Unknown window function `" + call.name + "`.");
}

}  // namespace

bool isWindowFunction(const std::string& name) {
  static const char* names[] = {"row_number", "rank", "dense_rank", "cume_dist", "percent_rank", "ntile", "lag", "lead"};
  std::string l = lower(name);
  for (const char* n : names)
    if (l == n) return true;
  return false;
}

DataType windowResultType(const std::string& name, const std::vector<DataType>& argTypes) {
  std::string l = lower(name);
  if (l == "row_number" || l == "rank" || l == "dense_rank" || l == "ntile") return IntegerType();
  if (l == "cume_dist" || l == "percent_rank") return DoubleType();
  if (l == "lag" || l == "lead") {
    if (argTypes.empty()) throw AnalysisException("[WRONG_NUM_ARGS] The `" + l + "` requires at least one parameter.");
    return argTypes[0];
  }
  throw AnalysisException("[UNRESOLVED_ROUTINE] Unknown window function `" + name + "`.");
}

Partitions windowOp(const Partitions& input, const std::vector<DataType>& types,
                    const std::vector<BoundExprPtr>& partitionKeys, const std::vector<SortKey>& orderKeys,
                    const WindowFrame& frame, const std::vector<WindowCall>& calls, const ExecContext& ctx) {
  WindowRun w;
  w.ctx = &ctx;
  w.ordered = !orderKeys.empty();
  w.frame = frameBoundsOf(frame, w.ordered);
  for (const auto& c : calls) {
    std::string n = lower(c.name);
    if (!isWindowFunction(n) && !isAggregateName(n))
      throw AnalysisException("[UNRESOLVED_ROUTINE] Unknown window function `" + c.name + "`.");
    if ((n == "rank" || n == "dense_rank" || n == "cume_dist" || n == "percent_rank" || n == "row_number" ||
         n == "ntile" || n == "lag" || n == "lead") &&
        !w.ordered)
      throw AnalysisException("[WINDOW_FUNCTION_WITHOUT_ORDER_CLAUSE] Window function " + n +
                              "() requires the window to be ordered.");
  }

  // Evaluate keys and arguments.
  std::vector<BoundExprPtr> exprs = partitionKeys;
  for (const auto& k : orderKeys) exprs.push_back(k.expr);
  std::vector<std::vector<std::size_t>> argSlots(calls.size());
  for (std::size_t c = 0; c < calls.size(); ++c)
    for (const auto& a : calls[c].args) {
      argSlots[c].push_back(exprs.size());
      exprs.push_back(a);
    }
  const auto vals = evalPerPartition(input, exprs, ctx);
  std::vector<std::size_t> partRows;
  for (const auto& b : input) partRows.push_back(b.rows);
  w.n = totalRows(input);

  // Sort by (partition keys, order keys); stable, so arrival order survives among equal keys.
  const std::size_t npk = partitionKeys.size(), nok = orderKeys.size();
  std::vector<std::vector<const Vector*>> keyCols(npk + nok);
  std::vector<DataType> keyTypes;
  std::vector<SortSpec> specs;
  for (std::size_t k = 0; k < npk + nok; ++k) {
    for (std::size_t p = 0; p < input.size(); ++p) keyCols[k].push_back(vals[p][k].get());
    keyTypes.push_back(exprs[k]->type());
    specs.push_back(k < npk ? SortSpec{} : SortSpec{orderKeys[k - npk].ascending, orderKeys[k - npk].nullsFirst});
  }
  SortKeyMatrix matrix(keyCols, keyTypes, specs, partRows);
  if (npk + nok == 0) {
    w.order.resize(w.n);
    for (std::size_t i = 0; i < w.n; ++i) w.order[i] = static_cast<std::int64_t>(i);
  } else {
    w.order = matrix.sortInPlace();
  }

  // Segment (window partition) and peer boundaries.
  w.segFlag.assign(w.n, 0);
  w.peerFlag.assign(w.n, 0);
  {
    Chunks ch = chunksFor(w.n);
    parallelFor(ch.count, [&](std::size_t c) {
      for (std::size_t i = ch.lo(c); i < ch.hi(c); ++i) {
        const auto a = static_cast<std::int64_t>(i) - 1, b = static_cast<std::int64_t>(i);
        bool seg = i == 0 || (npk > 0 && !matrix.equalKeys(a, b, 0, npk));
        w.segFlag[i] = seg;
        w.peerFlag[i] = seg || (nok > 0 && !matrix.equalKeys(a, b, npk, npk + nok));
      }
    });
  }
  w.segStart = lastFlagAtOrBefore(w.segFlag);
  w.segEnd = nextFlagAfter(w.segFlag);
  if (w.ordered) {
    w.peerStart = lastFlagAtOrBefore(w.peerFlag);
    w.peerEnd = nextFlagAfter(w.peerFlag);
  } else {
    w.peerStart = w.segStart;
    w.peerEnd = w.segEnd;
  }
  w.frame.segStart = &w.segStart;
  w.frame.segEnd = &w.segEnd;
  w.frame.peerStart = &w.peerStart;
  w.frame.peerEnd = &w.peerEnd;
  std::vector<std::int64_t> rangeLo, rangeHi;
  if (w.frame.lo == FrameBounds::Lo::Index || w.frame.hi == FrameBounds::Hi::Index) {
    if (nok != 1)
      throw AnalysisException(
          "[DATATYPE_MISMATCH.RANGE_FRAME_MULTI_ORDER] A range window frame with value boundaries cannot be used in "
          "a window ordered by more than one expression.");
    const DataType& kt = exprs[npk]->type();
    VectorPtr key = sortedArg(w, vals, npk, kt);
    const bool asc = orderKeys[0].ascending, nf = orderKeys[0].nullsFirst;
    switch (kt.id()) {
      case TypeId::Byte: resolveRangeBounds<std::int8_t>(w, *key, asc, nf, rangeLo, rangeHi); break;
      case TypeId::Short: resolveRangeBounds<std::int16_t>(w, *key, asc, nf, rangeLo, rangeHi); break;
      case TypeId::Integer:
      case TypeId::Date: resolveRangeBounds<std::int32_t>(w, *key, asc, nf, rangeLo, rangeHi); break;
      case TypeId::Long: resolveRangeBounds<std::int64_t>(w, *key, asc, nf, rangeLo, rangeHi); break;
      case TypeId::Float: resolveRangeBounds<float>(w, *key, asc, nf, rangeLo, rangeHi); break;
      case TypeId::Double: resolveRangeBounds<double>(w, *key, asc, nf, rangeLo, rangeHi); break;
      case TypeId::Decimal:
        resolveRangeBounds<int128_t>(w, *key, asc, nf, rangeLo, rangeHi, pow10i128(kt.scale()));
        break;
      default:
        throw AnalysisException("[DATATYPE_MISMATCH.SPECIFIED_WINDOW_FRAME_UNACCEPTED_TYPE] A RANGE window frame "
                                "with a value offset needs a numeric or date order key, not \"" +
                                kt.simpleString() + "\".");
    }
    w.frame.loIdx = &rangeLo;
    w.frame.hiIdx = &rangeHi;
  }

  std::vector<VectorPtr> results;
  for (std::size_t c = 0; c < calls.size(); ++c) {
    const WindowCall& call = calls[c];
    std::vector<VectorPtr> args;
    for (std::size_t j = 0; j < call.args.size(); ++j)
      args.push_back(sortedArg(w, vals, argSlots[c][j], call.args[j]->type()));
    std::string n = lower(call.name);
    if (isWindowFunction(n))
      results.push_back(rankingFunction(w, call, args));
    else if (w.frame.whole())
      results.push_back(wholeFrameAggregate(w, call, args));
    else
      results.push_back(frameAggregate(w, call, args));
  }

  // Output rows in sorted order, cut into as many partitions as came in.
  const std::size_t outParts = std::max<std::size_t>(1, input.size());
  Batch all = concatBatches(input, types);
  Partitions out(outParts);
  parallelFor(outParts, [&](std::size_t p) {
    std::size_t lo = w.n * p / outParts, hi = w.n * (p + 1) / outParts;
    std::vector<std::int64_t> idx(w.order.begin() + static_cast<std::ptrdiff_t>(lo),
                                  w.order.begin() + static_cast<std::ptrdiff_t>(hi));
    Batch b = takeRows(all, idx);
    b.rows = hi - lo;
    for (const auto& r : results) b.columns.push_back(slice(*r, lo, hi - lo));
    out[p] = std::move(b);
  });
  return out;
}

}  // namespace engine::local
