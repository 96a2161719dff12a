// Simple partition-wise operators of the local backend: fused project/filter steps, limit, range,
// coalesce/repartition, sampling and na.drop.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <random>

#include "engine/errors.h"
#include "engine/local/ops/op_sort.h"
#include "engine/local/ops/operators.h"
#include "engine/local/plan/planner.h"

namespace engine::local {

std::size_t selectTrue(const Vector& v, std::size_t rows, std::vector<std::uint8_t>& sel) {
  sel.assign(rows, 0);
  if (v.type().isNull()) return 0;
  const std::uint8_t* d = v.data<std::uint8_t>();
  std::size_t n = 0;
  if (v.validity().allValid()) {
    for (std::size_t i = 0; i < rows; ++i) {
      std::uint8_t s = d[i] != 0;
      sel[i] = s;
      n += s;
    }
  } else {
    const Validity& val = v.validity();
    for (std::size_t i = 0; i < rows; ++i) {
      std::uint8_t s = (d[i] != 0) & static_cast<std::uint8_t>(val.isValid(i));
      sel[i] = s;
      n += s;
    }
  }
  return n;
}

void markColumns(const BoundExpr& e, ColumnMask& need) {
  std::vector<int> cols;
  if (!e.collectColumns(cols)) {
    need.assign(need.size(), true);
    return;
  }
  for (int c : cols)
    if (c >= 0 && static_cast<std::size_t>(c) < need.size()) need[static_cast<std::size_t>(c)] = true;
}

namespace {

// need[k][i]: whether column i of the batch entering step k is read by a later step or is part of the
// output. A filter then copies only those columns of its passing rows, and a projection evaluates only the
// outputs a later step reads: a count over a filter copies nothing, a filter then select copies one column.
std::vector<std::vector<bool>> neededColumns(std::size_t inputWidth, const std::vector<const Step*>& steps,
                                             const ColumnMask& outNeed) {
  const std::size_t n = steps.size();
  std::vector<std::size_t> width(n + 1);
  width[0] = inputWidth;
  for (std::size_t k = 0; k < n; ++k) width[k + 1] = steps[k]->filter ? width[k] : steps[k]->project.size();
  std::vector<std::vector<bool>> need(n + 1);
  if (outNeed.size() == width[n])
    need[n] = outNeed;
  else
    need[n].assign(width[n], true);
  for (std::size_t k = n; k-- > 0;) {
    const Step& step = *steps[k];
    if (step.filter) {
      need[k] = need[k + 1];
      markColumns(*step.filter, need[k]);
    } else {
      need[k].assign(width[k], false);
      for (std::size_t j = 0; j < step.project.size(); ++j)
        if (need[k + 1][j]) markColumns(*step.project[j], need[k]);
    }
  }
  return need;
}

}  // namespace

std::vector<bool> neededInputColumns(std::size_t width, const std::vector<const Step*>& steps,
                                     const ColumnMask& need) {
  return neededColumns(width, steps, need).front();
}

Batch applySteps(const Batch& input, const std::vector<const Step*>& steps, const EvalContext& ctx,
                 const ColumnMask& outNeed) {
  const std::vector<std::vector<bool>> need = neededColumns(input.columns.size(), steps, outNeed);
  // The batch entering each step: the input itself until a step makes a new one (the input is read in
  // place, never copied whole: its width is the source's, however few columns the steps read).
  const Batch* cur = &input;
  Batch made;
  std::vector<std::uint8_t> sel;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const Step* step = steps[k];
    const std::vector<bool>& after = need[k + 1];
    if (step->filter) {
      if (cur->rows == 0) continue;
      VectorPtr v = step->filter->eval(*cur, ctx);
      std::size_t n = selectTrue(*v, cur->rows, sel);
      if (n == cur->rows) continue;
      // Copy the passing rows of the columns still needed; the others become empty slots.
      Batch kept;
      kept.rows = cur->rows;
      std::vector<std::size_t> slots;
      for (std::size_t i = 0; i < cur->columns.size(); ++i) {
        if (after[i] && cur->columns[i]) {
          kept.columns.push_back(cur->columns[i]);
          slots.push_back(i);
        }
      }
      Batch filtered = filterRows(kept, sel.data(), n);
      Batch next;
      next.rows = n;
      next.columns.resize(cur->columns.size());
      for (std::size_t j = 0; j < slots.size(); ++j) next.columns[slots[j]] = std::move(filtered.columns[j]);
      made = std::move(next);
      cur = &made;
    } else {
      std::vector<VectorPtr> cols;
      cols.reserve(step->project.size());
      for (std::size_t j = 0; j < step->project.size(); ++j) {
        const auto& e = step->project[j];
        if (!after[j]) {
          cols.push_back(nullptr);
          continue;
        }
        int idx = e->columnIndex();
        cols.push_back(idx >= 0 ? cur->columns[static_cast<std::size_t>(idx)] : e->eval(*cur, ctx));
      }
      Batch next(std::move(cols), cur->rows);
      made = std::move(next);
      cur = &made;
    }
  }
  if (cur != &input) return made;
  // No step made a new batch (filters that kept every row): the input's needed columns, shared.
  const std::vector<bool>& out = need.back();
  Batch kept;
  kept.rows = input.rows;
  kept.columns.resize(input.columns.size());
  for (std::size_t i = 0; i < input.columns.size(); ++i)
    if (out[i]) kept.columns[i] = input.columns[i];
  return kept;
}

Partitions limitPartitions(const Partitions& input, std::int64_t limit, const std::vector<DataType>& types) {
  Partitions pieces;
  std::size_t remaining = limit > 0 ? static_cast<std::size_t>(limit) : 0;
  for (const Batch& b : input) {
    if (remaining == 0) break;
    if (b.rows == 0) continue;
    std::size_t take = std::min(remaining, b.rows);
    pieces.push_back(take == b.rows ? b : sliceRows(b, 0, take));
    remaining -= take;
  }
  if (pieces.size() == 1) return pieces;
  return Partitions{concatBatches(pieces, types)};
}

Partitions rangePartitions(std::int64_t start, std::int64_t end, std::int64_t step, int numPartitions) {
  if (step == 0) throw IllegalArgumentException("requirement failed: The step of range must not be 0");
  if (numPartitions <= 0) numPartitions = 1;
  __int128 count = 0;
  __int128 s = start, e = end, st = step;
  if (st > 0 && e > s) count = (e - s + st - 1) / st;
  if (st < 0 && e < s) count = (s - e + (-st) - 1) / (-st);
  Partitions parts(static_cast<std::size_t>(numPartitions));
  parallelFor(parts.size(), [&](std::size_t i) {
    __int128 k = numPartitions;
    __int128 from = static_cast<__int128>(i) * count / k;
    __int128 to = static_cast<__int128>(i + 1) * count / k;
    std::size_t n = static_cast<std::size_t>(to - from);
    auto v = Vector::make(LongType(), n);
    std::int64_t* d = v->data<std::int64_t>();
    // Values wrap like Spark's long arithmetic when the range runs past the type's bounds.
    std::uint64_t cur = static_cast<std::uint64_t>(static_cast<std::int64_t>(s + from * st));
    std::uint64_t inc = static_cast<std::uint64_t>(step);
    for (std::size_t r = 0; r < n; ++r) {
      d[r] = static_cast<std::int64_t>(cur);
      cur += inc;
    }
    parts[i] = Batch({v}, n);
  });
  return parts;
}

Partitions coalescePartitions(const Partitions& input, int n, const std::vector<DataType>& types) {
  if (n <= 0) throw IllegalArgumentException("Number of partitions (" + std::to_string(n) + ") must be positive.");
  std::size_t m = input.size();
  if (static_cast<std::size_t>(n) >= m) return input;
  Partitions out(static_cast<std::size_t>(n));
  parallelFor(out.size(), [&](std::size_t g) {
    std::size_t from = g * m / static_cast<std::size_t>(n);
    std::size_t to = (g + 1) * m / static_cast<std::size_t>(n);
    if (to - from == 1) {
      out[g] = input[from];
      return;
    }
    Partitions group(input.begin() + static_cast<std::ptrdiff_t>(from), input.begin() + static_cast<std::ptrdiff_t>(to));
    out[g] = concatBatches(group, types);
  });
  return out;
}

Partitions repartitionEvenly(const Partitions& input, int n, const std::vector<DataType>& types) {
  if (n <= 0) throw IllegalArgumentException("Number of partitions (" + std::to_string(n) + ") must be positive.");
  Batch all = concatBatches(input, types);
  return splitBatch(all, static_cast<std::size_t>(n));
}

namespace {

// Spark's XORShiftRandom (org.apache.spark.util.random): the seed is scrambled with Scala's MurmurHash3 over
// its 8 big-endian bytes, then each step is a 64-bit xorshift; nextDouble is java.util.Random's
// ((next(26) << 27) + next(27)) * 2^-53. Drawing with it, seeded with seed + partition index as Spark's
// BernoulliCellSampler is, gives Spark's rows for the same partitions.
class XorShiftRandom {
 public:
  explicit XorShiftRandom(std::int64_t seed) : state_(hashSeed(seed)) {}

  double nextDouble() {
    std::uint64_t hi = next(26), lo = next(27);
    return static_cast<double>((hi << 27) + lo) * 0x1.0p-53;
  }

 private:
  std::uint64_t next(int bits) {
    std::uint64_t x = state_;
    x ^= x << 21;
    x ^= x >> 35;
    x ^= x << 4;
    state_ = x;
    return x & ((std::uint64_t{1} << bits) - 1);
  }

  static std::uint32_t rotl(std::uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
  static std::uint32_t mixLast(std::uint32_t h, std::uint32_t k) {
    k *= 0xcc9e2d51u;
    k = rotl(k, 15);
    k *= 0x1b873593u;
    return h ^ k;
  }
  static std::uint32_t mix(std::uint32_t h, std::uint32_t k) { return rotl(mixLast(h, k), 13) * 5 + 0xe6546b64u; }
  // MurmurHash3.bytesHash of 8 bytes.
  static std::uint32_t bytesHash(const unsigned char* b, std::uint32_t seed) {
    std::uint32_t h = seed;
    for (int i = 0; i < 8; i += 4) {
      std::uint32_t k = static_cast<std::uint32_t>(b[i]) | (static_cast<std::uint32_t>(b[i + 1]) << 8) |
                        (static_cast<std::uint32_t>(b[i + 2]) << 16) | (static_cast<std::uint32_t>(b[i + 3]) << 24);
      h = mix(h, k);
    }
    h ^= 8u;
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
  }
  static std::uint64_t hashSeed(std::int64_t seed) {
    unsigned char bytes[8];
    auto u = static_cast<std::uint64_t>(seed);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(u >> (56 - 8 * i));
    const std::uint32_t low = bytesHash(bytes, 0x3c074a61u);
    const std::uint32_t high = bytesHash(bytes, low);
    return (static_cast<std::uint64_t>(high) << 32) | low;
  }

  std::uint64_t state_;
};

// The order in which a sample draws the rows of a partition: every sortable column ascending, nulls first
// (Spark sorts each partition before drawing, so that a random split does not depend on the order the rows
// came in). All segments of a random split draw from the same partitions, usually persisted ones: the order
// is computed once per partition and kept while the partition's columns live (weak references: the memo
// never keeps data alive, and an entry whose columns are gone is never matched by new ones at the same
// address).
class SampleOrderMemo {
 public:
  using Order = std::shared_ptr<const std::vector<std::uint32_t>>;

  Order find(const Batch& b) {
    std::lock_guard<std::mutex> lock(mu_);
    dropExpired();
    for (const Entry& e : entries_)
      if (matches(e, b)) return e.order;
    return nullptr;
  }

  void add(const Batch& b, Order order) {
    std::lock_guard<std::mutex> lock(mu_);
    Entry e{{}, b.rows, std::move(order)};
    for (const VectorPtr& c : b.columns) e.columns.push_back(c);
    entries_.push_back(std::move(e));
    std::size_t rows = 0;
    for (const Entry& x : entries_) rows += x.rows;
    while (!entries_.empty() && (entries_.size() > kMaxEntries || rows > kMaxRows)) {
      rows -= entries_.front().rows;
      entries_.erase(entries_.begin());
    }
  }

 private:
  struct Entry {
    std::vector<std::weak_ptr<const Vector>> columns;
    std::size_t rows = 0;
    Order order;
  };
  static constexpr std::size_t kMaxEntries = 256;
  static constexpr std::size_t kMaxRows = std::size_t{1} << 26;  // 256 MB of orders at most

  static bool matches(const Entry& e, const Batch& b) {
    if (e.rows != b.rows || e.columns.size() != b.columns.size()) return false;
    for (std::size_t c = 0; c < b.columns.size(); ++c) {
      VectorPtr alive = e.columns[c].lock();
      if (alive.get() != b.columns[c].get()) return false;
    }
    return true;
  }
  void dropExpired() {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [](const Entry& e) {
                                    for (const auto& c : e.columns)
                                      if (c.expired()) return true;
                                    return false;
                                  }),
                   entries_.end());
  }

  std::mutex mu_;
  std::vector<Entry> entries_;  // oldest first
};

// Rows of b in sample order, or nullptr when the rows stay as they are (nothing to sort by, or one row).
SampleOrderMemo::Order sampleOrder(const Batch& b, const std::vector<DataType>& types) {
  static SampleOrderMemo memo;
  std::vector<std::vector<const Vector*>> cols;
  std::vector<DataType> keyTypes;
  std::vector<SortSpec> specs;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (types[i].isArray() || types[i].isNull()) continue;
    cols.push_back({b.columns[i].get()});
    keyTypes.push_back(types[i]);
    specs.push_back(SortSpec{true, true});
  }
  if (cols.empty() || b.rows < 2) return nullptr;
  if (SampleOrderMemo::Order known = memo.find(b)) return known;
  SortKeyMatrix matrix(cols, keyTypes, specs, {b.rows});
  const std::vector<std::int64_t> sorted = matrix.sortInPlace();
  auto order = std::make_shared<std::vector<std::uint32_t>>(sorted.begin(), sorted.end());
  memo.add(b, order);
  return order;
}

}  // namespace

Partitions samplePartitions(const Partitions& input, const std::vector<DataType>& types, double lower, double upper,
                            std::int64_t seed, bool withReplacement, bool sortFirst, const ExecContext& ctx) {
  (void)ctx;
  if (!(lower >= 0.0) || !(upper >= lower)) {
    throw IllegalArgumentException("requirement failed: Lower bound (" + std::to_string(lower) +
                                   ") must be <= upper bound (" + std::to_string(upper) + ")");
  }
  Partitions out(input.size());
  parallelFor(input.size(), [&](std::size_t p) {
    const Batch& b = input[p];
    if (b.rows > std::numeric_limits<std::uint32_t>::max())
      throw ExecutionException("A partition of more than 4294967295 rows cannot be sampled.");
    // The draws go through the rows in sample order; position r of that order is row rowAt(r) of b.
    const SampleOrderMemo::Order order = sortFirst ? sampleOrder(b, types) : nullptr;
    auto rowAt = [&](std::size_t r) { return static_cast<std::int64_t>(order ? (*order)[r] : r); };
    std::uint64_t s = static_cast<std::uint64_t>(seed) + static_cast<std::uint64_t>(p);
    if (withReplacement) {
      double fraction = upper - lower;
      std::vector<std::int64_t> idx;
      if (fraction > 0) {
        std::mt19937_64 gen(s);
        std::poisson_distribution<int> pd(fraction);
        for (std::size_t r = 0; r < b.rows; ++r) {
          int k = pd(gen);
          for (int j = 0; j < k; ++j) idx.push_back(rowAt(r));
        }
      }
      out[p] = takeRows(b, idx);
      return;
    }
    // BernoulliCellSampler: an empty range draws nothing and keeps nothing.
    if (!(upper - lower > 0.0)) {
      out[p] = sliceRows(b, 0, 0);
      return;
    }
    XorShiftRandom rng(static_cast<std::int64_t>(s));
    if (order) {
      std::vector<std::int64_t> idx;
      idx.reserve(static_cast<std::size_t>(static_cast<double>(b.rows) * std::min(1.0, upper - lower) * 1.05) + 16);
      for (std::size_t r = 0; r < b.rows; ++r) {
        double u = rng.nextDouble();
        if (u >= lower && u < upper) idx.push_back(rowAt(r));
      }
      out[p] = takeRows(b, idx);
      return;
    }
    std::vector<std::uint8_t> sel(b.rows);
    std::size_t n = 0;
    for (std::size_t r = 0; r < b.rows; ++r) {
      double u = rng.nextDouble();
      std::uint8_t keep = u >= lower && u < upper;
      sel[r] = keep;
      n += keep;
    }
    out[p] = n == b.rows ? b : filterRows(b, sel.data(), n);
  });
  return out;
}

Partitions naDropPartitions(const Partitions& input, const std::vector<std::size_t>& columns, int minNonNulls,
                            const ExecContext& ctx) {
  (void)ctx;
  std::size_t threshold = minNonNulls < 0 ? columns.size() : static_cast<std::size_t>(minNonNulls);
  Partitions out(input.size());
  parallelFor(input.size(), [&](std::size_t p) {
    const Batch& b = input[p];
    std::vector<std::uint32_t> good(b.rows, 0);
    for (std::size_t c : columns) {
      const Vector& v = b.column(c);
      const Validity& val = v.validity();
      TypeId t = v.type().id();
      if (t == TypeId::Null) continue;
      if (t == TypeId::Double) {
        const double* d = v.data<double>();
        for (std::size_t r = 0; r < b.rows; ++r) good[r] += val.isValid(r) && !std::isnan(d[r]);
      } else if (t == TypeId::Float) {
        const float* d = v.data<float>();
        for (std::size_t r = 0; r < b.rows; ++r) good[r] += val.isValid(r) && !std::isnan(d[r]);
      } else if (val.allValid()) {
        for (std::size_t r = 0; r < b.rows; ++r) good[r] += 1;
      } else {
        for (std::size_t r = 0; r < b.rows; ++r) good[r] += val.isValid(r);
      }
    }
    std::vector<std::uint8_t> sel(b.rows);
    std::size_t n = 0;
    for (std::size_t r = 0; r < b.rows; ++r) {
      std::uint8_t keep = good[r] >= threshold;
      sel[r] = keep;
      n += keep;
    }
    out[p] = n == b.rows ? b : filterRows(b, sel.data(), n);
  });
  return out;
}

}  // namespace engine::local
