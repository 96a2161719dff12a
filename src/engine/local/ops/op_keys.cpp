#include "engine/local/ops/op_keys.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include <tbb/task_arena.h>
#include <xxhash.h>

#include "engine/errors.h"

namespace engine::local {

std::size_t workerCount() {
  int n = tbb::this_task_arena::max_concurrency();
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

namespace {

std::size_t wordsOf(const DataType& t) {
  switch (t.id()) {
    case TypeId::Decimal:
      return 2;
    case TypeId::String:
    case TypeId::Array:
      return 0;
    default:
      return 1;
  }
}

// Canonical word(s) of row i of a fixed-width column; `out` receives wordsOf(type) words.
inline void valueWords(const Vector& v, TypeId id, std::size_t i, std::uint64_t* out) {
  switch (id) {
    case TypeId::Null:
      out[0] = 0;
      return;
    case TypeId::Boolean:
      out[0] = v.data<std::uint8_t>()[i] ? 1 : 0;
      return;
    case TypeId::Byte:
      out[0] = static_cast<std::uint64_t>(static_cast<std::int64_t>(v.data<std::int8_t>()[i]));
      return;
    case TypeId::Short:
      out[0] = static_cast<std::uint64_t>(static_cast<std::int64_t>(v.data<std::int16_t>()[i]));
      return;
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval:
      out[0] = static_cast<std::uint64_t>(static_cast<std::int64_t>(v.data<std::int32_t>()[i]));
      return;
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval:
      out[0] = static_cast<std::uint64_t>(v.data<std::int64_t>()[i]);
      return;
    case TypeId::Float:
      out[0] = canonicalDoubleBits(static_cast<double>(v.data<float>()[i]));
      return;
    case TypeId::Double:
      out[0] = canonicalDoubleBits(v.data<double>()[i]);
      return;
    case TypeId::Decimal: {
      int128_t x = v.data<int128_t>()[i];
      out[0] = static_cast<std::uint64_t>(x);
      out[1] = static_cast<std::uint64_t>(static_cast<unsigned __int128>(x) >> 64);
      return;
    }
    default:
      throw std::logic_error("valueWords: variable-width type");
  }
}

// Fills words[i * stride + offset ...] for rows [begin, begin + n), with a fast loop per type.
void encodeColumnWords(const Vector& v, std::size_t begin, std::size_t n, std::uint64_t* words, std::size_t stride) {
  TypeId id = v.type().id();
  switch (id) {
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval: {
      const std::int32_t* d = v.data<std::int32_t>() + begin;
      for (std::size_t i = 0; i < n; ++i) words[i * stride] = static_cast<std::uint64_t>(static_cast<std::int64_t>(d[i]));
      return;
    }
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval: {
      const std::int64_t* d = v.data<std::int64_t>() + begin;
      for (std::size_t i = 0; i < n; ++i) words[i * stride] = static_cast<std::uint64_t>(d[i]);
      return;
    }
    case TypeId::Double: {
      const double* d = v.data<double>() + begin;
      for (std::size_t i = 0; i < n; ++i) words[i * stride] = canonicalDoubleBits(d[i]);
      return;
    }
    default:
      for (std::size_t i = 0; i < n; ++i) valueWords(v, id, begin + i, words + i * stride);
  }
}

template <class T>
void appendRaw(std::vector<char>& buf, const T& x) {
  std::size_t at = buf.size();
  buf.resize(at + sizeof(T));
  std::memcpy(buf.data() + at, &x, sizeof(T));
}

void appendValueBytes(const Vector& v, std::size_t i, std::vector<char>& buf) {
  if (v.type().isNull() || v.isNull(i)) {
    buf.push_back(0);
    return;
  }
  buf.push_back(1);
  switch (v.type().id()) {
    case TypeId::String: {
      std::string_view s = v.str(i);
      appendRaw(buf, static_cast<std::uint32_t>(s.size()));
      buf.insert(buf.end(), s.begin(), s.end());
      return;
    }
    case TypeId::Array: {
      std::int64_t lo = v.offsets()[i], hi = v.offsets()[i + 1];
      appendRaw(buf, static_cast<std::uint32_t>(hi - lo));
      for (std::int64_t j = lo; j < hi; ++j) appendValueBytes(*v.child(), static_cast<std::size_t>(j), buf);
      return;
    }
    default: {
      std::uint64_t w[2];
      valueWords(v, v.type().id(), i, w);
      std::size_t at = buf.size();
      std::size_t k = wordsOf(v.type());
      buf.resize(at + 8 * k);
      std::memcpy(buf.data() + at, w, 8 * k);
    }
  }
}

inline std::uint64_t hashWords(const std::uint64_t* w, std::size_t n) {
  if (n == 1) return mix64(w[0] + 0x9e3779b97f4a7c15ULL);
  std::uint64_t h = n;
  for (std::size_t i = 0; i < n; ++i) h = mix64(h * 0x9e3779b97f4a7c15ULL + w[i]);
  return h;
}

}  // namespace

KeyEncoder::KeyEncoder(std::vector<DataType> types) : types_(std::move(types)) {
  bool fixed = types_.size() <= 63;
  std::size_t total = 0;
  for (const auto& t : types_) {
    std::size_t w = wordsOf(t);
    colWords_.push_back(w);
    if (w == 0) fixed = false;
    total += w;
  }
  if (types_.empty()) {
    mode_ = Mode::Fixed;
    width_ = 1;  // the (always zero) null word: every row one group
  } else if (fixed && types_.size() == 1) {
    mode_ = Mode::Single;
    width_ = total;
  } else if (fixed) {
    mode_ = Mode::Fixed;
    width_ = total + 1;
  } else {
    mode_ = Mode::Bytes;
    width_ = 0;
  }
}

void KeyEncoder::encode(const std::vector<const Vector*>& cols, std::size_t begin, std::size_t n, EncodedKeys& out,
                        bool withNullFlags) const {
  out.n = n;
  out.hashes.resize(n);
  if (mode_ == Mode::Single) {
    const Vector& v = *cols[0];
    out.words.resize(n * width_);
    out.nulls.assign(n, 0);
    encodeColumnWords(v, begin, n, out.words.data(), width_);
    if (v.type().isNull()) {
      std::fill(out.nulls.begin(), out.nulls.end(), 1);
    } else if (!v.validity().allValid()) {
      for (std::size_t i = 0; i < n; ++i) out.nulls[i] = v.isNull(begin + i) ? 1 : 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
      out.hashes[i] = out.nulls[i] ? kNullKeyHash : hashWords(out.words.data() + i * width_, width_);
    }
    return;
  }
  if (withNullFlags)
    out.nulls.assign(n, 0);
  else
    out.nulls.clear();
  if (mode_ == Mode::Fixed) {
    out.words.assign(n * width_, 0);
    std::size_t nullWord = width_ - 1;
    std::size_t at = 0;
    for (std::size_t c = 0; c < types_.size(); ++c) {
      const Vector& v = *cols[c];
      encodeColumnWords(v, begin, n, out.words.data() + at, width_);
      if (v.type().isNull() || !v.validity().allValid()) {
        for (std::size_t i = 0; i < n; ++i) {
          if (v.type().isNull() || v.isNull(begin + i)) {
            std::uint64_t* w = out.words.data() + i * width_;
            for (std::size_t k = 0; k < colWords_[c]; ++k) w[at + k] = 0;
            w[nullWord] |= std::uint64_t{1} << c;
            if (withNullFlags) out.nulls[i] = 1;
          }
        }
      }
      at += colWords_[c];
    }
    for (std::size_t i = 0; i < n; ++i) out.hashes[i] = hashWords(out.words.data() + i * width_, width_);
    return;
  }
  out.bytes.clear();
  out.offsets.resize(n + 1);
  out.offsets[0] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < types_.size(); ++c) {
      const Vector& v = *cols[c];
      if (withNullFlags && (v.type().isNull() || v.isNull(begin + i))) out.nulls[i] = 1;
      appendValueBytes(v, begin + i, out.bytes);
    }
    out.offsets[i + 1] = out.bytes.size();
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::string_view k = out.key(i);
    out.hashes[i] = XXH3_64bits(k.data(), k.size());
  }
}

// ---- GroupTable ------------------------------------------------------------------------------------

GroupTable::GroupTable(const KeyEncoder& enc) : mode_(enc.mode()), width_(enc.width()) {
  slots_.assign(16, 0);
  mask_ = 15;
}

bool GroupTable::equalAt(std::uint32_t g, const std::uint64_t* w, std::string_view b) const {
  if (mode_ == KeyEncoder::Mode::Bytes) {
    return std::string_view(bytes_.data() + offsets_[g], offsets_[g + 1] - offsets_[g]) == b;
  }
  const std::uint64_t* k = words_.data() + static_cast<std::size_t>(g) * width_;
  if (width_ == 1) return k[0] == w[0];
  for (std::size_t i = 0; i < width_; ++i)
    if (k[i] != w[i]) return false;
  return true;
}

void GroupTable::reserve(std::size_t groups) {
  std::size_t cap = slots_.size();
  while (cap < groups * 2 + 2) cap *= 2;
  if (cap == slots_.size()) return;
  slots_.assign(cap / 2, 0);  // grow() doubles it and re-inserts the existing groups
  grow();
  hashes_.reserve(groups);
  if (mode_ == KeyEncoder::Mode::Bytes)
    offsets_.reserve(groups + 1);
  else
    words_.reserve(groups * width_);
}

void GroupTable::grow() {
  std::size_t cap = slots_.size() * 2;
  slots_.assign(cap, 0);
  mask_ = cap - 1;
  for (std::size_t g = 0; g < hashes_.size(); ++g) {
    if (static_cast<std::int64_t>(g) == nullGroup_) continue;
    std::uint64_t h = hashes_[g];
    std::size_t pos = h & mask_;
    while (slots_[pos] != 0) pos = (pos + 1) & mask_;
    slots_[pos] = (h & 0xffffffff00000000ULL) | (g + 1);
  }
}

std::uint32_t GroupTable::insertKey(std::uint64_t h, const std::uint64_t* w, std::string_view b, bool isNull) {
  auto storeKey = [&](bool zero) {
    if (mode_ == KeyEncoder::Mode::Bytes) {
      if (!zero) bytes_.insert(bytes_.end(), b.begin(), b.end());
      offsets_.push_back(bytes_.size());
    } else {
      for (std::size_t i = 0; i < width_; ++i) words_.push_back(zero ? 0 : w[i]);
    }
  };
  if (isNull) {
    if (nullGroup_ < 0) {
      nullGroup_ = static_cast<std::int64_t>(hashes_.size());
      hashes_.push_back(kNullKeyHash);
      storeKey(true);
    }
    return static_cast<std::uint32_t>(nullGroup_);
  }
  if ((hashes_.size() + 1) * 2 > slots_.size()) grow();
  std::uint64_t tag = h & 0xffffffff00000000ULL;
  std::size_t pos = h & mask_;
  while (true) {
    std::uint64_t s = slots_[pos];
    if (s == 0) break;
    if ((s & 0xffffffff00000000ULL) == tag) {
      std::uint32_t g = static_cast<std::uint32_t>((s & 0xffffffffULL) - 1);
      if (equalAt(g, w, b)) return g;
    }
    pos = (pos + 1) & mask_;
  }
  std::uint32_t g = static_cast<std::uint32_t>(hashes_.size());
  if (hashes_.size() >= 0xfffffff0ULL) throw ExecutionException("Too many groups for one aggregation task.");
  slots_[pos] = tag | (static_cast<std::uint64_t>(g) + 1);
  hashes_.push_back(h);
  storeKey(false);
  return g;
}

std::int64_t GroupTable::findKey(std::uint64_t h, const std::uint64_t* w, std::string_view b, bool isNull) const {
  if (isNull) return nullGroup_;
  std::uint64_t tag = h & 0xffffffff00000000ULL;
  std::size_t pos = h & mask_;
  while (true) {
    std::uint64_t s = slots_[pos];
    if (s == 0) return -1;
    if ((s & 0xffffffff00000000ULL) == tag) {
      std::uint32_t g = static_cast<std::uint32_t>((s & 0xffffffffULL) - 1);
      if (equalAt(g, w, b)) return g;
    }
    pos = (pos + 1) & mask_;
  }
}

void GroupTable::findOrInsert(const EncodedKeys& keys, std::uint32_t* gids) {
  const std::size_t n = keys.n;
  switch (mode_) {
    case KeyEncoder::Mode::Single:
      for (std::size_t i = 0; i < n; ++i)
        gids[i] = insertKey(keys.hashes[i], keys.words.data() + i * width_, {}, keys.nulls[i] != 0);
      return;
    case KeyEncoder::Mode::Fixed:
      for (std::size_t i = 0; i < n; ++i) gids[i] = insertKey(keys.hashes[i], keys.words.data() + i * width_, {}, false);
      return;
    case KeyEncoder::Mode::Bytes:
      for (std::size_t i = 0; i < n; ++i) gids[i] = insertKey(keys.hashes[i], nullptr, keys.key(i), false);
      return;
  }
}

void GroupTable::findOrInsertPart(const EncodedKeys& keys, std::uint32_t* gids, std::size_t part, std::size_t parts,
                                  std::uint32_t other) {
  const std::size_t n = keys.n;
  for (std::size_t i = 0; i < n; ++i) {
    if (parts > 1 && hashPart(keys.hashes[i], parts) != part) {
      gids[i] = other;
      continue;
    }
    switch (mode_) {
      case KeyEncoder::Mode::Single:
        gids[i] = insertKey(keys.hashes[i], keys.words.data() + i * width_, {}, keys.nulls[i] != 0);
        break;
      case KeyEncoder::Mode::Fixed:
        gids[i] = insertKey(keys.hashes[i], keys.words.data() + i * width_, {}, false);
        break;
      case KeyEncoder::Mode::Bytes:
        gids[i] = insertKey(keys.hashes[i], nullptr, keys.key(i), false);
        break;
    }
  }
}

void GroupTable::find(const EncodedKeys& keys, std::int64_t* gids, bool nullsMatch) const {
  const std::size_t n = keys.n;
  const bool haveNulls = !keys.nulls.empty();
  for (std::size_t i = 0; i < n; ++i) {
    bool isNull = haveNulls && keys.nulls[i];
    if (isNull && !nullsMatch) {
      gids[i] = -1;
      continue;
    }
    switch (mode_) {
      case KeyEncoder::Mode::Single:
        gids[i] = findKey(keys.hashes[i], keys.words.data() + i * width_, {}, isNull);
        break;
      case KeyEncoder::Mode::Fixed:
        gids[i] = findKey(keys.hashes[i], keys.words.data() + i * width_, {}, false);
        break;
      case KeyEncoder::Mode::Bytes:
        gids[i] = findKey(keys.hashes[i], nullptr, keys.key(i), false);
        break;
    }
  }
}

std::uint32_t GroupTable::insertFrom(const GroupTable& o, std::uint32_t g) {
  bool isNull = static_cast<std::int64_t>(g) == o.nullGroup_;
  if (mode_ == KeyEncoder::Mode::Bytes)
    return insertKey(o.hashes_[g], nullptr,
                     std::string_view(o.bytes_.data() + o.offsets_[g], o.offsets_[g + 1] - o.offsets_[g]), isNull);
  return insertKey(o.hashes_[g], o.words_.data() + static_cast<std::size_t>(g) * width_, {}, isNull);
}

std::int64_t GroupTable::findFrom(const GroupTable& o, std::uint32_t g) const {
  bool isNull = static_cast<std::int64_t>(g) == o.nullGroup_;
  if (mode_ == KeyEncoder::Mode::Bytes)
    return findKey(o.hashes_[g], nullptr,
                   std::string_view(o.bytes_.data() + o.offsets_[g], o.offsets_[g + 1] - o.offsets_[g]), isNull);
  return findKey(o.hashes_[g], o.words_.data() + static_cast<std::size_t>(g) * width_, {}, isNull);
}

// ---- Comparison ------------------------------------------------------------------------------------

namespace {

template <class T>
inline int cmp3(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

inline int cmpDouble(double a, double b) {
  bool na = a != a, nb = b != b;
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return cmp3(a, b);  // -0.0 == 0.0 here
}

}  // namespace

int compareValues(const Vector& a, std::size_t i, const Vector& b, std::size_t j) {
  switch (a.type().id()) {
    case TypeId::Null:
      return 0;
    case TypeId::Boolean:
      return cmp3(a.data<std::uint8_t>()[i] != 0, b.data<std::uint8_t>()[j] != 0);
    case TypeId::Byte:
      return cmp3(a.data<std::int8_t>()[i], b.data<std::int8_t>()[j]);
    case TypeId::Short:
      return cmp3(a.data<std::int16_t>()[i], b.data<std::int16_t>()[j]);
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval:
      return cmp3(a.data<std::int32_t>()[i], b.data<std::int32_t>()[j]);
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval:
      return cmp3(a.data<std::int64_t>()[i], b.data<std::int64_t>()[j]);
    case TypeId::Float:
      return cmpDouble(a.data<float>()[i], b.data<float>()[j]);
    case TypeId::Double:
      return cmpDouble(a.data<double>()[i], b.data<double>()[j]);
    case TypeId::Decimal:
      return cmp3(a.data<int128_t>()[i], b.data<int128_t>()[j]);
    case TypeId::String: {
      int c = a.str(i).compare(b.str(j));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case TypeId::Array: {
      std::int64_t alo = a.offsets()[i], ahi = a.offsets()[i + 1];
      std::int64_t blo = b.offsets()[j], bhi = b.offsets()[j + 1];
      const Vector& ac = *a.child();
      const Vector& bc = *b.child();
      for (std::int64_t x = alo, y = blo; x < ahi && y < bhi; ++x, ++y) {
        bool anull = ac.isNull(static_cast<std::size_t>(x)), bnull = bc.isNull(static_cast<std::size_t>(y));
        if (anull || bnull) {
          if (anull != bnull) return anull ? -1 : 1;
          continue;
        }
        int c = compareValues(ac, static_cast<std::size_t>(x), bc, static_cast<std::size_t>(y));
        if (c != 0) return c;
      }
      return cmp3(ahi - alo, bhi - blo);
    }
  }
  return 0;
}

// ---- Gathering ------------------------------------------------------------------------------------

MutableVectorPtr gatherRefs(const std::vector<const Vector*>& parts, const DataType& type, const RowRef* refs,
                            std::size_t n) {
  if (parts.empty()) return Vector::constant(Value(), type, n);
  // Common case: every ref in one partition (or null) needs a single take.
  std::size_t onlyPart = SIZE_MAX;
  bool single = true;
  for (std::size_t i = 0; i < n && single; ++i) {
    if (refs[i] < 0) continue;
    std::size_t p = refPart(refs[i]);
    if (onlyPart == SIZE_MAX)
      onlyPart = p;
    else if (p != onlyPart)
      single = false;
  }
  if (single) {
    std::vector<std::int64_t> idx(n);
    for (std::size_t i = 0; i < n; ++i) idx[i] = refs[i] < 0 ? -1 : static_cast<std::int64_t>(refRow(refs[i]));
    return take(*parts[onlyPart == SIZE_MAX ? 0 : onlyPart], idx);
  }
  std::vector<std::vector<std::int64_t>> perPart(parts.size());
  for (std::size_t i = 0; i < n; ++i)
    if (refs[i] >= 0) perPart[refPart(refs[i])].push_back(static_cast<std::int64_t>(refRow(refs[i])));
  std::vector<MutableVectorPtr> pieces;
  std::vector<const Vector*> piecePtrs;
  std::vector<std::int64_t> base(parts.size(), 0);
  std::int64_t at = 0;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    base[p] = at;
    if (perPart[p].empty()) continue;
    pieces.push_back(take(*parts[p], perPart[p]));
    piecePtrs.push_back(pieces.back().get());
    at += static_cast<std::int64_t>(perPart[p].size());
  }
  MutableVectorPtr all = concat(piecePtrs, type);
  std::vector<std::int64_t> cursor = base;
  std::vector<std::int64_t> idx(n);
  for (std::size_t i = 0; i < n; ++i) idx[i] = refs[i] < 0 ? -1 : cursor[refPart(refs[i])]++;
  return take(*all, idx);
}

namespace {

class OpColumnRef : public BoundExpr {
 public:
  OpColumnRef(std::size_t index, const DataType& type) : BoundExpr(type, true), index_(index) {}
  VectorPtr eval(const Batch& input, const EvalContext&) const override { return input.columns.at(index_); }
  std::string toString() const override { return "#" + std::to_string(index_); }
  int columnIndex() const override { return static_cast<int>(index_); }
  bool collectColumns(std::vector<int>& out) const override {
    out.push_back(static_cast<int>(index_));
    return true;
  }

 private:
  std::size_t index_;
};

}  // namespace

BoundExprPtr opColumn(std::size_t index, const DataType& type) { return std::make_shared<OpColumnRef>(index, type); }

std::vector<std::vector<VectorPtr>> evalPerPartition(const Partitions& input, const std::vector<BoundExprPtr>& exprs,
                                                     const ExecContext& ctx) {
  std::vector<std::vector<VectorPtr>> out(input.size());
  parallelFor(input.size(), [&](std::size_t p) {
    EvalContext ec = ctx.eval;
    ec.partitionIndex = static_cast<int>(p);
    out[p].reserve(exprs.size());
    for (const auto& e : exprs) {
      VectorPtr v = e->eval(input[p], ec);
      if (!v || v->size() != input[p].rows)
        throw ExecutionException("Expression " + e->toString() + " produced a vector of the wrong length.");
      out[p].push_back(std::move(v));
    }
  });
  return out;
}

std::vector<const Vector*> columnPtrs(const std::vector<VectorPtr>& cols) {
  std::vector<const Vector*> out;
  out.reserve(cols.size());
  for (const auto& c : cols) out.push_back(c.get());
  return out;
}

std::vector<Morsel> makeMorsels(const std::vector<std::size_t>& partRows, std::size_t maxRows) {
  std::vector<Morsel> out;
  maxRows = std::max<std::size_t>(maxRows, 1);
  for (std::size_t p = 0; p < partRows.size(); ++p) {
    std::size_t rows = partRows[p];
    std::size_t pieces = (rows + maxRows - 1) / maxRows;
    for (std::size_t k = 0; k < pieces; ++k) out.push_back({p, rows * k / pieces, rows * (k + 1) / pieces});
  }
  return out;
}

std::size_t defaultMorselRows(std::size_t totalRows) {
  std::size_t workers = workerCount();
  return std::max<std::size_t>(16384, (totalRows + 2 * workers - 1) / (2 * workers));
}

}  // namespace engine::local
