#include "engine/local/ops/op_sort.h"

#include <algorithm>
#include <cstring>

#include <tbb/parallel_sort.h>

#include "engine/errors.h"
#include "engine/local/ops/op_keys.h"
#include "engine/local/ops/operators.h"

namespace engine::local {

namespace {

inline std::uint64_t orderedDoubleBits(double d) {
  std::uint64_t b = canonicalDoubleBits(d);
  return (b >> 63) ? ~b : (b | 0x8000000000000000ULL);
}

inline std::uint64_t flipSign(std::int64_t x) { return static_cast<std::uint64_t>(x) ^ 0x8000000000000000ULL; }

// Order-preserving word(s) of row i of a fixed-width column.
inline void orderedWords(const Vector& v, std::size_t i, std::uint64_t* out) {
  switch (v.type().id()) {
    case TypeId::Null:
      out[0] = 0;
      return;
    case TypeId::Boolean:
      out[0] = v.data<std::uint8_t>()[i] ? 1 : 0;
      return;
    case TypeId::Byte:
      out[0] = flipSign(v.data<std::int8_t>()[i]);
      return;
    case TypeId::Short:
      out[0] = flipSign(v.data<std::int16_t>()[i]);
      return;
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval:
      out[0] = flipSign(v.data<std::int32_t>()[i]);
      return;
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval:
      out[0] = flipSign(v.data<std::int64_t>()[i]);
      return;
    case TypeId::Float:
      out[0] = orderedDoubleBits(static_cast<double>(v.data<float>()[i]));
      return;
    case TypeId::Double:
      out[0] = orderedDoubleBits(v.data<double>()[i]);
      return;
    case TypeId::Decimal: {
      int128_t x = v.data<int128_t>()[i];
      out[0] = flipSign(static_cast<std::int64_t>(x >> 64));
      out[1] = static_cast<std::uint64_t>(x);
      return;
    }
    default:
      return;
  }
}

std::size_t valueWordsOf(const DataType& t) {
  if (t.isString() || t.isArray()) return 0;
  return t.isDecimal() ? 2 : 1;
}

}  // namespace

SortKeyMatrix::SortKeyMatrix(const std::vector<std::vector<const Vector*>>& cols, const std::vector<DataType>& types,
                             const std::vector<SortSpec>& specs, const std::vector<std::size_t>& partRows) {
  const std::size_t parts = partRows.size();
  std::vector<std::size_t> base(parts + 1, 0);
  for (std::size_t p = 0; p < parts; ++p) base[p + 1] = base[p] + partRows[p];
  rows_ = base[parts];
  for (std::size_t k = 0; k < types.size(); ++k) {
    Key key;
    key.descending = !specs[k].ascending;
    key.hasNullWord = types[k].isNull();
    for (const Vector* v : cols[k]) key.hasNullWord = key.hasNullWord || !v->validity().allValid();
    key.wordBegin = width_;
    key.wordCount = (key.hasNullWord ? 1 : 0) + valueWordsOf(types[k]);
    width_ += key.wordCount;
    if (valueWordsOf(types[k]) == 0 && !types[k].isNull()) {
      key.var = concat(cols[k], types[k]);
      anyVar_ = true;
    }
    keys_.push_back(std::move(key));
  }
  words_.assign(rows_ * width_, 0);
  parallelFor(parts, [&](std::size_t p) {
    for (std::size_t k = 0; k < keys_.size(); ++k) {
      const Key& key = keys_[k];
      const Vector& v = *cols[k][p];
      const bool nullsFirst = specs[k].nullsFirst;
      const std::size_t vw = valueWordsOf(types[k]);
      for (std::size_t i = 0; i < partRows[p]; ++i) {
        std::uint64_t* w = words_.data() + (base[p] + i) * width_ + key.wordBegin;
        bool isNull = types[k].isNull() || v.isNull(i);
        if (key.hasNullWord) {
          // Null placement is independent of the direction.
          *w++ = isNull == nullsFirst ? 0 : 1;
        }
        if (vw == 0 || isNull) continue;
        orderedWords(v, i, w);
        if (key.descending)
          for (std::size_t j = 0; j < vw; ++j) w[j] = ~w[j];
      }
    }
  });
}

int SortKeyMatrix::compareKeys(std::int64_t a, std::int64_t b, std::size_t begin, std::size_t end) const {
  const std::uint64_t* wa = words_.data() + static_cast<std::size_t>(a) * width_;
  const std::uint64_t* wb = words_.data() + static_cast<std::size_t>(b) * width_;
  for (std::size_t k = begin; k < end; ++k) {
    const Key& key = keys_[k];
    for (std::size_t j = key.wordBegin; j < key.wordBegin + key.wordCount; ++j)
      if (wa[j] != wb[j]) return wa[j] < wb[j] ? -1 : 1;
    if (key.var) {
      const Vector& v = *key.var;
      auto ia = static_cast<std::size_t>(a), ib = static_cast<std::size_t>(b);
      if (v.isNull(ia) || v.isNull(ib)) continue;  // both null: the null words were equal
      int c = compareValues(v, ia, v, ib);
      if (c != 0) return key.descending ? -c : c;
    }
  }
  return 0;
}

namespace {

// Sorts rows by K inline key words (no pointer chasing in comparisons); ties by row number.
template <std::size_t K>
void sortInline(std::vector<std::uint64_t>& words, std::size_t rows, std::vector<std::int64_t>& order) {
  struct Item {
    std::uint64_t w[K];
    std::int64_t idx;
  };
  std::vector<Item> items(rows);
  parallelFor((rows + 65535) / 65536, [&](std::size_t c) {
    std::size_t lo = c * 65536, hi = std::min(rows, lo + 65536);
    for (std::size_t i = lo; i < hi; ++i) {
      for (std::size_t k = 0; k < K; ++k) items[i].w[k] = words[i * K + k];
      items[i].idx = static_cast<std::int64_t>(i);
    }
  });
  tbb::parallel_sort(items.begin(), items.end(), [](const Item& x, const Item& y) {
    for (std::size_t k = 0; k < K; ++k)
      if (x.w[k] != y.w[k]) return x.w[k] < y.w[k];
    return x.idx < y.idx;
  });
  parallelFor((rows + 65535) / 65536, [&](std::size_t c) {
    std::size_t lo = c * 65536, hi = std::min(rows, lo + 65536);
    for (std::size_t i = lo; i < hi; ++i) {
      order[i] = items[i].idx;
      for (std::size_t k = 0; k < K; ++k) words[i * K + k] = items[i].w[k];
    }
  });
}

}  // namespace

std::vector<std::int64_t> SortKeyMatrix::sortInPlace() {
  std::vector<std::int64_t> order(rows_);
  if (!anyVar_) {
    switch (width_) {
      case 1:
        sortInline<1>(words_, rows_, order);
        return order;
      case 2:
        sortInline<2>(words_, rows_, order);
        return order;
      case 3:
        sortInline<3>(words_, rows_, order);
        return order;
      case 4:
        sortInline<4>(words_, rows_, order);
        return order;
      default:
        break;
    }
  }
  for (std::size_t i = 0; i < rows_; ++i) order[i] = static_cast<std::int64_t>(i);
  if (width_ == 0 && !anyVar_) return order;
  tbb::parallel_sort(order.begin(), order.end(), [this](std::int64_t a, std::int64_t b) {
    int c = compare(a, b);
    return c < 0 || (c == 0 && a < b);
  });
  std::vector<std::uint64_t> sorted(words_.size());
  if (width_ > 0)
    parallelFor((rows_ + 65535) / 65536, [&](std::size_t c) {
    std::size_t lo = c * 65536, hi = std::min(rows_, lo + 65536);
    for (std::size_t i = lo; i < hi; ++i)
      std::memcpy(sorted.data() + i * width_, words_.data() + static_cast<std::size_t>(order[i]) * width_,
                  width_ * sizeof(std::uint64_t));
  });
  words_.swap(sorted);
  for (auto& key : keys_)
    if (key.var) key.var = take(*key.var, order);
  return order;
}

Partitions sortPartitions(const Partitions& input, const std::vector<DataType>& types,
                          const std::vector<SortKey>& keys, const ExecContext& ctx) {
  std::vector<BoundExprPtr> exprs;
  std::vector<SortSpec> specs;
  std::vector<DataType> keyTypes;
  for (const auto& k : keys) {
    exprs.push_back(k.expr);
    specs.push_back({k.ascending, k.nullsFirst});
    keyTypes.push_back(k.expr->type());
  }
  const auto vals = evalPerPartition(input, exprs, ctx);
  std::vector<std::vector<const Vector*>> cols(keys.size());
  std::vector<std::size_t> partRows;
  for (std::size_t p = 0; p < input.size(); ++p) {
    partRows.push_back(input[p].rows);
    for (std::size_t k = 0; k < keys.size(); ++k) cols[k].push_back(vals[p][k].get());
  }
  SortKeyMatrix matrix(cols, keyTypes, specs, partRows);
  std::vector<std::int64_t> order = matrix.sortInPlace();

  const std::size_t outParts = std::max<std::size_t>(1, input.size());
  Batch all = concatBatches(input, types);
  Partitions out(outParts);
  const std::size_t n = order.size();
  parallelFor(outParts, [&](std::size_t p) {
    std::size_t lo = n * p / outParts, hi = n * (p + 1) / outParts;
    std::vector<std::int64_t> idx(order.begin() + static_cast<std::ptrdiff_t>(lo),
                                  order.begin() + static_cast<std::ptrdiff_t>(hi));
    out[p] = takeRows(all, idx);
    out[p].rows = hi - lo;
  });
  return out;
}

}  // namespace engine::local
