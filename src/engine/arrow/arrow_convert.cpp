#include "engine/arrow/arrow_convert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include <fmt/format.h>
#include <tbb/parallel_for.h>

#include "engine/errors.h"

namespace engine::arrow_convert {

// Arrow bitmaps and the engine's validity words both number bits from the least significant one; on a
// little-endian machine byte k of the words holds rows 8k to 8k+7, as in Arrow.
static_assert(std::endian::native == std::endian::little, "validity bitmaps are copied by bytes");

namespace {

template <class T>
T check(arrow::Result<T> r, const char* what) {
  if (!r.ok()) throw IllegalArgumentException(fmt::format("{}: {}", what, r.status().ToString()));
  return std::move(r).ValueUnsafe();
}

// Rows converted by one task: a multiple of 64, so that tasks never share a validity word.
constexpr std::size_t kPieceRows = std::size_t{1} << 20;

// ---- Arrow to engine ------------------------------------------------------------------------------

// Whether values of Arrow type `from` can be read as the engine type `to`.
bool readable(const arrow::DataType& from, const DataType& to) {
  const auto id = from.id();
  if (id == arrow::Type::NA) return true;
  if (id == arrow::Type::DICTIONARY)
    return readable(*static_cast<const arrow::DictionaryType&>(from).value_type(), to);
  auto numeric = [&] {
    switch (id) {
      case arrow::Type::INT8: case arrow::Type::INT16: case arrow::Type::INT32: case arrow::Type::INT64:
      case arrow::Type::UINT8: case arrow::Type::UINT16: case arrow::Type::UINT32:
      case arrow::Type::FLOAT: case arrow::Type::DOUBLE: case arrow::Type::DATE32:
        return true;
      default:
        return false;
    }
  };
  switch (to.id()) {
    case TypeId::Null: return false;
    case TypeId::Boolean: return id == arrow::Type::BOOL;
    case TypeId::Byte: case TypeId::Short: case TypeId::Integer: case TypeId::Long:
    case TypeId::Float: case TypeId::Double:
      return numeric();
    case TypeId::Date: return numeric() || id == arrow::Type::DATE64;
    case TypeId::Timestamp: return id == arrow::Type::TIMESTAMP;
    // Spark sends year-month intervals as Arrow month intervals, day-time intervals as durations.
    case TypeId::YearMonthInterval: return id == arrow::Type::INTERVAL_MONTHS;
    case TypeId::DayTimeInterval: return id == arrow::Type::DURATION;
    case TypeId::Decimal:
      return id == arrow::Type::DECIMAL128 && static_cast<const arrow::Decimal128Type&>(from).scale() == to.scale();
    case TypeId::String: return id == arrow::Type::STRING || id == arrow::Type::LARGE_STRING;
    case TypeId::Array:
      if (id == arrow::Type::LIST) return readable(*static_cast<const arrow::ListType&>(from).value_type(), to.elementType());
      if (id == arrow::Type::LARGE_LIST)
        return readable(*static_cast<const arrow::LargeListType&>(from).value_type(), to.elementType());
      return false;
  }
  return false;
}

[[noreturn]] void unreadable(const arrow::DataType& from, const DataType& to, const std::string& column) {
  throw IllegalArgumentException(fmt::format("column {} has the Arrow type {}, which cannot be read as {}", column,
                                             from.ToString(), to.simpleString()));
}

std::size_t totalLength(const arrow::ArrayVector& chunks) {
  std::size_t n = 0;
  for (const auto& a : chunks) n += static_cast<std::size_t>(a->length());
  return n;
}

// The chunks of a column with the first row of each.
struct Chunks {
  explicit Chunks(const arrow::ArrayVector& arrays) : arrays(arrays) {
    std::size_t row = 0;
    for (const auto& a : arrays) {
      begin.push_back(row);
      row += static_cast<std::size_t>(a->length());
    }
    begin.push_back(row);
  }
  // Calls f(chunk, index of the chunk, first index in the chunk, first row, length) for every run of rows
  // [from, to) that lies in one chunk.
  template <class F>
  void forRuns(std::size_t from, std::size_t to, F&& f) const {
    std::size_t c = static_cast<std::size_t>(std::upper_bound(begin.begin(), begin.end(), from) - begin.begin()) - 1;
    for (; c < arrays.size() && begin[c] < to; ++c) {
      const std::size_t lo = std::max(from, begin[c]), hi = std::min(to, begin[c + 1]);
      if (hi > lo) f(*arrays[c], c, static_cast<std::int64_t>(lo - begin[c]), lo, hi - lo);
    }
  }
  const arrow::ArrayVector& arrays;
  std::vector<std::size_t> begin;
};

// Runs f(from, to) over [0, rows) in pieces, in parallel when there is more than one.
template <class F>
void inPieces(std::size_t rows, F&& f) {
  const std::size_t pieces = (rows + kPieceRows - 1) / kPieceRows;
  if (pieces <= 1) {
    if (rows > 0) f(std::size_t{0}, rows);
    return;
  }
  tbb::parallel_for(std::size_t{0}, pieces, [&](std::size_t p) {
    f(p * kPieceRows, std::min(rows, (p + 1) * kPieceRows));
  });
}

// Rows [row, row + n) of `out` take the validity of elements [i0, i0 + n) of `a` (the bitmap is materialised).
void copyValidity(Vector& out, const arrow::Array& a, std::int64_t i0, std::size_t row, std::size_t n) {
  if (a.null_count() == 0) return;
  Validity& v = out.validity();
  const std::uint8_t* bitmap = a.null_bitmap_data();
  if (bitmap == nullptr) {  // a type without a bitmap (null type): every value missing
    for (std::size_t i = 0; i < n; ++i) v.setNull(row + i);
    return;
  }
  const std::size_t src = static_cast<std::size_t>(a.offset() + i0);
  std::size_t i = 0;
  if (row % 8 == 0 && src % 8 == 0) {
    std::memcpy(reinterpret_cast<std::uint8_t*>(v.words()) + row / 8, bitmap + src / 8, n / 8);
    i = n / 8 * 8;
  }
  for (; i < n; ++i) v.set(row + i, (bitmap[(src + i) >> 3] >> ((src + i) & 7)) & 1);
}

template <class Dst, class Src>
void convertValues(Dst* dst, const Src* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<Dst>(src[i]);
}

// Elements [i0, i0 + n) of the numeric array `a` into dst, converted to Dst.
template <class Dst>
void copyNumeric(Dst* dst, const arrow::Array& a, std::int64_t i0, std::size_t n) {
  const auto& d = *a.data();
  auto values = [&](auto tag) { return d.GetValues<decltype(tag)>(1) + i0; };
  auto same = [&](auto tag) {
    using Src = decltype(tag);
    if constexpr (std::is_same_v<Src, Dst>) std::memcpy(dst, values(tag), n * sizeof(Dst));
    else convertValues(dst, values(tag), n);
  };
  switch (a.type_id()) {
    case arrow::Type::INT8: return same(std::int8_t{});
    case arrow::Type::INT16: return same(std::int16_t{});
    case arrow::Type::INT32:
    case arrow::Type::DATE32: return same(std::int32_t{});
    case arrow::Type::INT64: return same(std::int64_t{});
    case arrow::Type::UINT8: return same(std::uint8_t{});
    case arrow::Type::UINT16: return same(std::uint16_t{});
    case arrow::Type::UINT32: return same(std::uint32_t{});
    case arrow::Type::FLOAT: return same(float{});
    case arrow::Type::DOUBLE: return same(double{});
    default: return;  // excluded by readable()
  }
}

// Floor division of the values by `divisor` (days from milliseconds, microseconds from nanoseconds).
void floorDivide(std::int64_t* dst, const std::int64_t* src, std::size_t n, std::int64_t divisor) {
  for (std::size_t i = 0; i < n; ++i) {
    std::int64_t q = src[i] / divisor;
    dst[i] = q - ((src[i] % divisor != 0) && (src[i] < 0) ? 1 : 0);
  }
}

// Values of elements [i0, i0 + n) of `a` into rows [row, row + n) of the fixed-width vector `out`.
void copyFixed(Vector& out, const arrow::Array& a, std::int64_t i0, std::size_t row, std::size_t n) {
  if (a.type_id() == arrow::Type::NA) {
    std::memset(out.rawData().data() + row * out.type().fixedWidth(), 0, n * out.type().fixedWidth());
    return;
  }
  const auto& d = *a.data();
  switch (out.type().id()) {
    case TypeId::Boolean: {
      const std::uint8_t* bits = d.buffers[1]->data();
      const std::size_t off = static_cast<std::size_t>(a.offset() + i0);
      std::uint8_t* dst = out.data<std::uint8_t>() + row;
      for (std::size_t i = 0; i < n; ++i) dst[i] = (bits[(off + i) >> 3] >> ((off + i) & 7)) & 1;
      return;
    }
    case TypeId::Byte: return copyNumeric(out.data<std::int8_t>() + row, a, i0, n);
    case TypeId::Short: return copyNumeric(out.data<std::int16_t>() + row, a, i0, n);
    case TypeId::Integer: return copyNumeric(out.data<std::int32_t>() + row, a, i0, n);
    case TypeId::Long: return copyNumeric(out.data<std::int64_t>() + row, a, i0, n);
    case TypeId::Float: return copyNumeric(out.data<float>() + row, a, i0, n);
    case TypeId::Double: return copyNumeric(out.data<double>() + row, a, i0, n);
    case TypeId::Date: {
      std::int32_t* dst = out.data<std::int32_t>() + row;
      if (a.type_id() != arrow::Type::DATE64) return copyNumeric(dst, a, i0, n);
      const std::int64_t* src = d.GetValues<std::int64_t>(1) + i0;
      for (std::size_t i = 0; i < n; ++i) {
        std::int64_t q = src[i] / 86'400'000;
        dst[i] = static_cast<std::int32_t>(q - ((src[i] % 86'400'000 != 0) && (src[i] < 0) ? 1 : 0));
      }
      return;
    }
    case TypeId::Timestamp: {
      std::int64_t* dst = out.data<std::int64_t>() + row;
      const std::int64_t* src = d.GetValues<std::int64_t>(1) + i0;
      switch (static_cast<const arrow::TimestampType&>(*a.type()).unit()) {
        case arrow::TimeUnit::SECOND: for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * 1'000'000; return;
        case arrow::TimeUnit::MILLI: for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * 1'000; return;
        case arrow::TimeUnit::MICRO: std::memcpy(dst, src, n * sizeof(std::int64_t)); return;
        case arrow::TimeUnit::NANO: floorDivide(dst, src, n, 1'000); return;  // as Spark truncates nanoseconds
      }
      return;
    }
    case TypeId::YearMonthInterval:  // months, 32 bits on both sides
      std::memcpy(out.data<std::int32_t>() + row, d.GetValues<std::int32_t>(1) + i0, n * sizeof(std::int32_t));
      return;
    case TypeId::DayTimeInterval: {
      std::int64_t* dst = out.data<std::int64_t>() + row;
      const std::int64_t* src = d.GetValues<std::int64_t>(1) + i0;
      switch (static_cast<const arrow::DurationType&>(*a.type()).unit()) {
        case arrow::TimeUnit::SECOND: for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * 1'000'000; return;
        case arrow::TimeUnit::MILLI: for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * 1'000; return;
        case arrow::TimeUnit::MICRO: std::memcpy(dst, src, n * sizeof(std::int64_t)); return;
        case arrow::TimeUnit::NANO: floorDivide(dst, src, n, 1'000); return;
      }
      return;
    }
    case TypeId::Decimal:
      std::memcpy(out.data<int128_t>() + row, d.buffers[1]->data() + (a.offset() + i0) * 16, n * 16);
      return;
    default: return;
  }
}

// Strings of elements [i0, i0 + n) into rows [row, row + n); `base` is where the chunk's first character goes.
template <class Offset>
void copyStrings(Vector& out, const arrow::Array& a, std::int64_t i0, std::size_t row, std::size_t n, std::int64_t base) {
  const auto& d = *a.data();
  const Offset* offsets = d.GetValues<Offset>(1);  // includes the array's offset
  const std::int64_t first = static_cast<std::int64_t>(offsets[0]);
  std::int64_t* dst = out.offsets() + row;
  for (std::size_t i = 0; i < n; ++i) dst[i] = base + (static_cast<std::int64_t>(offsets[i0 + i]) - first);
  const std::int64_t from = offsets[i0], to = offsets[i0 + static_cast<std::int64_t>(n)];
  if (to > from)
    std::memcpy(out.chars().data() + base + (from - first), d.buffers[2]->data() + from, static_cast<std::size_t>(to - from));
}

std::int64_t stringBytes(const arrow::Array& a) {
  if (a.length() == 0) return 0;
  const auto& d = *a.data();
  if (a.type_id() == arrow::Type::STRING) return d.GetValues<std::int32_t>(1)[a.length()] - d.GetValues<std::int32_t>(1)[0];
  if (a.type_id() == arrow::Type::LARGE_STRING)
    return d.GetValues<std::int64_t>(1)[a.length()] - d.GetValues<std::int64_t>(1)[0];
  return 0;  // null chunk
}

template <class ListArray>
void appendList(const ListArray& arr, std::int64_t* offsets, std::size_t row, std::int64_t& base,
                arrow::ArrayVector& children) {
  const auto first = arr.value_offset(0);
  for (std::int64_t i = 0; i < arr.length(); ++i) offsets[row + i] = base + (arr.value_offset(i) - first);
  const auto len = arr.length() == 0 ? 0 : arr.value_offset(arr.length()) - first;
  children.push_back(arr.values()->Slice(first, len));
  base += len;
}

VectorPtr listVector(const arrow::ArrayVector& chunks, const DataType& type, const std::string& column, std::size_t n) {
  auto out = Vector::make(type, n);
  std::int64_t* offsets = out->offsets();
  arrow::ArrayVector children;
  std::size_t row = 0;
  std::int64_t base = 0;
  for (const auto& a : chunks) {
    if (a->type_id() == arrow::Type::LIST) appendList(static_cast<const arrow::ListArray&>(*a), offsets, row, base, children);
    else if (a->type_id() == arrow::Type::LARGE_LIST)
      appendList(static_cast<const arrow::LargeListArray&>(*a), offsets, row, base, children);
    else
      for (std::int64_t i = 0; i < a->length(); ++i) offsets[row + static_cast<std::size_t>(i) + 1] = base;  // null chunk
    row += static_cast<std::size_t>(a->length());
  }
  offsets[n] = base;
  out->setChild(toVector(children, type.elementType(), column));
  Chunks parts(chunks);
  bool anyNull = false;
  for (const auto& a : chunks) anyNull = anyNull || a->null_count() > 0;
  if (anyNull) {
    out->validity().ensureMaterialized(n);
    parts.forRuns(0, n, [&](const arrow::Array& a, std::size_t, std::int64_t i0, std::size_t r, std::size_t len) {
      copyValidity(*out, a, i0, r, len);
    });
  }
  return out;
}

// A dictionary-encoded chunk decoded: its dictionary converted once, then taken by index.
VectorPtr decodeDictionary(const arrow::Array& a, const DataType& type, const std::string& column) {
  const auto& dict = static_cast<const arrow::DictionaryArray&>(a);
  VectorPtr values = toVector({dict.dictionary()}, type, column);
  const std::size_t n = static_cast<std::size_t>(a.length());
  std::vector<std::int64_t> idx(n);
  const std::int64_t size = dict.dictionary()->length();
  for (std::size_t i = 0; i < n; ++i) {
    if (dict.IsNull(static_cast<std::int64_t>(i))) {
      idx[i] = -1;
      continue;
    }
    const std::int64_t k = dict.GetValueIndex(static_cast<std::int64_t>(i));
    if (k < 0 || k >= size)
      throw IllegalArgumentException(
          fmt::format("column {}: dictionary index {} out of range (dictionary of {} values)", column, k, size));
    idx[i] = k;
  }
  return take(*values, idx);
}

}  // namespace

DataType engineType(const arrow::DataType& type, const std::string& column) {
  switch (type.id()) {
    case arrow::Type::NA: return DataType(TypeId::Null);
    case arrow::Type::BOOL: return DataType(TypeId::Boolean);
    case arrow::Type::INT8: return DataType(TypeId::Byte);
    case arrow::Type::INT16: return DataType(TypeId::Short);
    case arrow::Type::INT32: return DataType(TypeId::Integer);
    case arrow::Type::INT64: return DataType(TypeId::Long);
    case arrow::Type::UINT8:
    case arrow::Type::UINT16:
    case arrow::Type::UINT32: return DataType(TypeId::Long);  // widened: Spark has no unsigned types
    case arrow::Type::FLOAT: return DataType(TypeId::Float);
    case arrow::Type::DOUBLE: return DataType(TypeId::Double);
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING: return DataType(TypeId::String);
    case arrow::Type::DATE32:
    case arrow::Type::DATE64: return DataType(TypeId::Date);
    case arrow::Type::TIMESTAMP: return DataType(TypeId::Timestamp);
    case arrow::Type::DECIMAL128: {
      const auto& d = static_cast<const arrow::Decimal128Type&>(type);
      if (d.precision() <= DataType::kMaxDecimalPrecision) return DataType::decimal(d.precision(), d.scale());
      break;
    }
    case arrow::Type::LIST:
      return DataType::array(engineType(*static_cast<const arrow::ListType&>(type).value_type(), column));
    case arrow::Type::LARGE_LIST:
      return DataType::array(engineType(*static_cast<const arrow::LargeListType&>(type).value_type(), column));
    case arrow::Type::DICTIONARY:
      return engineType(*static_cast<const arrow::DictionaryType&>(type).value_type(), column);
    default: break;
  }
  throw IllegalArgumentException(fmt::format(
      "column {} has the Arrow type {}, which has no engine type (supported: bool, int8 to int64, uint8 to uint32, "
      "float, double, decimal128, string, large_string, date32, date64, timestamp, list, large_list, dictionary "
      "of these, null)",
      column, type.ToString()));
}

VectorPtr toVector(const arrow::ArrayVector& chunks, const DataType& type, const std::string& column) {
  const std::size_t n = totalLength(chunks);
  for (const auto& a : chunks)
    if (!readable(*a->type(), type)) unreadable(*a->type(), type, column);
  if (type.isNull()) return Vector::make(type, n);

  bool dictionary = false, allNull = true;
  for (const auto& a : chunks) {
    dictionary = dictionary || a->type_id() == arrow::Type::DICTIONARY;
    allNull = allNull && a->type_id() == arrow::Type::NA;
  }
  if (allNull) {
    auto out = Vector::make(type, n);
    if (n > 0) out->validity().setAllNull(n);
    return out;
  }
  if (dictionary) {  // each chunk on its own, then joined
    std::vector<VectorPtr> parts;
    for (const auto& a : chunks)
      parts.push_back(a->type_id() == arrow::Type::DICTIONARY ? decodeDictionary(*a, type, column)
                                                                : toVector({a}, type, column));
    if (parts.size() == 1) return parts.front();
    std::vector<const Vector*> raw;
    for (const auto& p : parts) raw.push_back(p.get());
    return concat(raw, type);
  }
  if (type.id() == TypeId::Array) return listVector(chunks, type, column, n);

  Chunks parts(chunks);
  MutableVectorPtr out = Vector::uninitialized(type, n);
  bool anyNull = false;
  for (const auto& a : chunks) anyNull = anyNull || a->null_count() > 0;
  if (anyNull) out->validity().ensureMaterialized(n);

  if (type.isString()) {
    // Each chunk's characters go after those of the chunks before it.
    std::vector<std::int64_t> base(chunks.size() + 1, 0);
    for (std::size_t c = 0; c < chunks.size(); ++c) base[c + 1] = base[c] + stringBytes(*chunks[c]);
    out->chars().resize(static_cast<std::size_t>(base.back()));
    out->offsets()[n] = base.back();
    inPieces(n, [&](std::size_t from, std::size_t to) {
      parts.forRuns(from, to, [&](const arrow::Array& a, std::size_t c, std::int64_t i0, std::size_t row, std::size_t len) {
        if (a.type_id() == arrow::Type::STRING) copyStrings<std::int32_t>(*out, a, i0, row, len, base[c]);
        else if (a.type_id() == arrow::Type::LARGE_STRING) copyStrings<std::int64_t>(*out, a, i0, row, len, base[c]);
        else
          for (std::size_t i = 0; i < len; ++i) out->offsets()[row + i] = base[c];  // null chunk: empty values
        copyValidity(*out, a, i0, row, len);
      });
    });
    return out;
  }
  inPieces(n, [&](std::size_t from, std::size_t to) {
    parts.forRuns(from, to, [&](const arrow::Array& a, std::size_t, std::int64_t i0, std::size_t row, std::size_t len) {
      copyFixed(*out, a, i0, row, len);
      copyValidity(*out, a, i0, row, len);
    });
  });
  return out;
}

LocalTable toLocalTable(const arrow::Table& table, const StructType& schema) {
  if (static_cast<std::size_t>(table.num_columns()) != schema.size())
    throw IllegalArgumentException(fmt::format("an Arrow table of {} columns cannot be read as {} columns ({})",
                                               table.num_columns(), schema.size(), schema.simpleString()));
  std::vector<VectorPtr> columns(schema.size());
  // Columns in parallel; each column's pieces in parallel too.
  tbb::parallel_for(std::size_t{0}, schema.size(), [&](std::size_t c) {
    columns[c] = toVector(table.column(static_cast<int>(c))->chunks(), schema[c].dataType, schema[c].name);
  });
  return LocalTable(schema, std::move(columns), static_cast<std::size_t>(table.num_rows()));
}

LocalTable toLocalTable(const arrow::Table& table) {
  StructType schema;
  for (const auto& field : table.schema()->fields())
    schema.add(field->name(), engineType(*field->type(), field->name()), field->nullable());
  return toLocalTable(table, schema);
}

// ---- engine to Arrow ------------------------------------------------------------------------------

namespace {

// An Arrow buffer over memory an engine vector owns; the vector lives as long as the buffer.
class VectorBuffer : public arrow::Buffer {
 public:
  VectorBuffer(VectorPtr owner, const void* data, std::size_t size)
      : arrow::Buffer(static_cast<const std::uint8_t*>(data), static_cast<std::int64_t>(size)),
        owner_(std::move(owner)) {}

 private:
  VectorPtr owner_;
};

std::shared_ptr<arrow::Buffer> emptyBuffer() { return std::make_shared<arrow::Buffer>(nullptr, 0); }

// Engine offsets (64-bit) as 32-bit offsets; IllegalArgumentException when they do not fit.
std::shared_ptr<arrow::Buffer> narrowOffsets(const Vector& v, std::size_t rows, const char* what) {
  const std::int64_t* src = v.offsets();
  if (src[rows] > std::numeric_limits<std::int32_t>::max())
    throw IllegalArgumentException(fmt::format("{} of {} bytes or elements do not fit 32-bit Arrow offsets", what,
                                               src[rows]));
  auto buf = check(arrow::AllocateBuffer(static_cast<std::int64_t>((rows + 1) * 4)), "converting to Arrow");
  auto* dst = reinterpret_cast<std::int32_t*>(buf->mutable_data());
  for (std::size_t i = 0; i <= rows; ++i) dst[i] = static_cast<std::int32_t>(src[i]);
  return std::shared_ptr<arrow::Buffer>(std::move(buf));
}

}  // namespace

std::shared_ptr<arrow::DataType> arrowType(const DataType& t, const ToArrowOptions& options) {
  switch (t.id()) {
    case TypeId::Null: return arrow::null();
    case TypeId::Boolean: return arrow::boolean();
    case TypeId::Byte: return arrow::int8();
    case TypeId::Short: return arrow::int16();
    case TypeId::Integer: return arrow::int32();
    case TypeId::Long: return arrow::int64();
    case TypeId::Float: return arrow::float32();
    case TypeId::Double: return arrow::float64();
    case TypeId::Decimal: return arrow::decimal128(t.precision(), t.scale());
    case TypeId::String: return options.largeOffsets ? arrow::large_utf8() : arrow::utf8();
    case TypeId::Date: return arrow::date32();
    case TypeId::Timestamp: return arrow::timestamp(arrow::TimeUnit::MICRO, "UTC");
    case TypeId::YearMonthInterval: return arrow::month_interval();
    case TypeId::DayTimeInterval: return arrow::duration(arrow::TimeUnit::MICRO);
    case TypeId::Array: {
      auto element = arrowType(t.elementType(), options);
      return options.largeOffsets ? arrow::large_list(element) : arrow::list(element);
    }
  }
  return arrow::null();
}

std::shared_ptr<arrow::Array> toArrow(const VectorPtr& v, std::size_t rows, const ToArrowOptions& options) {
  if (v->type().isNull()) return std::make_shared<arrow::NullArray>(static_cast<std::int64_t>(rows));
  auto type = arrowType(v->type(), options);
  std::shared_ptr<arrow::Buffer> validity;
  std::int64_t nulls = 0;
  if (!v->validity().allValid()) {
    nulls = static_cast<std::int64_t>(v->validity().countNulls(rows));
    if (nulls > 0) validity = std::make_shared<VectorBuffer>(v, v->validity().words(), Validity::wordsFor(rows) * 8);
  }
  std::vector<std::shared_ptr<arrow::Buffer>> buffers{validity};
  std::vector<std::shared_ptr<arrow::ArrayData>> children;
  switch (v->type().id()) {
    case TypeId::Boolean: {
      auto buf = check(arrow::AllocateBitmap(static_cast<std::int64_t>(rows)), "converting to Arrow");
      std::uint8_t* bits = buf->mutable_data();
      std::memset(bits, 0, static_cast<std::size_t>(buf->size()));
      const std::uint8_t* src = v->data<std::uint8_t>();
      for (std::size_t i = 0; i < rows; ++i) bits[i >> 3] |= static_cast<std::uint8_t>((src[i] != 0) << (i & 7));
      buffers.push_back(std::move(buf));
      break;
    }
    case TypeId::String: {
      if (options.largeOffsets) buffers.push_back(std::make_shared<VectorBuffer>(v, v->offsets(), (rows + 1) * 8));
      else buffers.push_back(narrowOffsets(*v, rows, "strings"));
      buffers.push_back(v->chars().empty() ? emptyBuffer()
                                           : std::make_shared<VectorBuffer>(v, v->chars().data(), v->chars().size()));
      break;
    }
    case TypeId::Array: {
      if (options.largeOffsets) buffers.push_back(std::make_shared<VectorBuffer>(v, v->offsets(), (rows + 1) * 8));
      else buffers.push_back(narrowOffsets(*v, rows, "arrays"));
      children.push_back(toArrow(v->child(), static_cast<std::size_t>(v->offsets()[rows]), options)->data());
      break;
    }
    default:
      buffers.push_back(rows == 0 ? emptyBuffer()
                                  : std::make_shared<VectorBuffer>(v, v->data<std::uint8_t>(),
                                                                   rows * v->type().fixedWidth()));
      break;
  }
  auto data = arrow::ArrayData::Make(type, static_cast<std::int64_t>(rows), std::move(buffers), std::move(children), nulls);
  return arrow::MakeArray(data);
}

std::shared_ptr<arrow::Table> toArrow(const LocalTable& table, const ToArrowOptions& options) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  const auto& schema = table.schema();
  for (std::size_t c = 0; c < table.numColumns(); ++c) {
    const auto& f = schema[c];
    arrays.push_back(toArrow(table.columnPtr(c), table.numRows(), options));
    fields.push_back(arrow::field(f.name, arrays.back()->type(), f.nullable));
  }
  return arrow::Table::Make(arrow::schema(fields), arrays, static_cast<std::int64_t>(table.numRows()));
}

}  // namespace engine::arrow_convert
