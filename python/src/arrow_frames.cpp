#include "arrow_frames.h"

#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <tbb/parallel_for.h>

#include "host/errors.h"

namespace pynorq {

using engine::DataType;
using engine::TypeId;

namespace {

template <class T>
T check(arrow::Result<T> r, const char* what) {
  if (!r.ok()) throw norq::ValueError(fmt::format("{}: {}", what, r.status().ToString()));
  return std::move(r).ValueUnsafe();
}

// Rows [row, row + a.length()) of `out` take the validity of `a`. Arrow's bitmaps and the engine's 64-bit words
// number bits the same way (least significant first), so an aligned run is copied byte by byte.
void copyValidity(engine::Vector& out, const arrow::Array& a, std::size_t row) {
  if (a.null_count() == 0) return;
  const std::size_t n = static_cast<std::size_t>(a.length());
  auto* words = reinterpret_cast<std::uint8_t*>(out.validity().words());
  const std::uint8_t* bitmap = a.null_bitmap_data();
  const std::size_t offset = static_cast<std::size_t>(a.offset());
  if (bitmap == nullptr) {  // a type without a bitmap (null type): every value missing
    for (std::size_t i = 0; i < n; ++i) out.validity().setNull(row + i);
    return;
  }
  std::size_t i = 0;
  if (row % 8 == 0 && offset % 8 == 0) {
    std::memcpy(words + row / 8, bitmap + offset / 8, n / 8);
    i = n / 8 * 8;
  }
  for (; i < n; ++i) out.validity().set(row + i, (bitmap[(offset + i) >> 3] >> ((offset + i) & 7)) & 1);
}

struct Chunk {
  std::size_t column;
  const arrow::Array* array;
  std::size_t row;  // first row of the chunk in the column
};

// Copies one chunk's values (the vector is allocated for the whole column).
void copyChunk(engine::Vector& out, const arrow::Array& a, std::size_t row) {
  const std::size_t n = static_cast<std::size_t>(a.length());
  const auto& data = *a.data();
  switch (a.type_id()) {
    case arrow::Type::BOOL: {
      const std::uint8_t* bits = data.buffers[1]->data();
      auto* dst = out.data<std::uint8_t>() + row;
      const std::size_t off = static_cast<std::size_t>(a.offset());
      for (std::size_t i = 0; i < n; ++i) dst[i] = (bits[(off + i) >> 3] >> ((off + i) & 7)) & 1;
      break;
    }
    case arrow::Type::INT8:
    case arrow::Type::INT16:
    case arrow::Type::INT32:
    case arrow::Type::INT64:
    case arrow::Type::FLOAT:
    case arrow::Type::DOUBLE:
    case arrow::Type::DATE32:
    case arrow::Type::DECIMAL128: {
      const std::size_t width = out.type().fixedWidth();
      std::memcpy(out.rawData().data() + row * width, data.buffers[1]->data() + a.offset() * width, n * width);
      break;
    }
    case arrow::Type::UINT8:
    case arrow::Type::UINT16:
    case arrow::Type::UINT32: {
      auto* dst = out.data<std::int64_t>() + row;
      auto widen = [&](auto* src) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::int64_t>(src[i]);
      };
      if (a.type_id() == arrow::Type::UINT8) widen(data.GetValues<std::uint8_t>(1));
      else if (a.type_id() == arrow::Type::UINT16) widen(data.GetValues<std::uint16_t>(1));
      else widen(data.GetValues<std::uint32_t>(1));
      break;
    }
    case arrow::Type::DATE64: {  // milliseconds to days
      const std::int64_t* src = data.GetValues<std::int64_t>(1);
      auto* dst = out.data<std::int32_t>() + row;
      for (std::size_t i = 0; i < n; ++i) {
        std::int64_t ms = src[i];
        dst[i] = static_cast<std::int32_t>((ms >= 0 ? ms : ms - 86'399'999) / 86'400'000);
      }
      break;
    }
    case arrow::Type::TIMESTAMP: {
      const std::int64_t* src = data.GetValues<std::int64_t>(1);
      auto* dst = out.data<std::int64_t>() + row;
      switch (static_cast<const arrow::TimestampType&>(*a.type()).unit()) {
        case arrow::TimeUnit::SECOND: for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * 1'000'000; break;
        case arrow::TimeUnit::MILLI: for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * 1'000; break;
        case arrow::TimeUnit::MICRO: std::memcpy(dst, src, n * 8); break;
        case arrow::TimeUnit::NANO:  // floor, as Spark truncates nanoseconds
          for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] >= 0 ? src[i] / 1'000 : -((-src[i] + 999) / 1'000);
          break;
      }
      break;
    }
    default: break;  // strings are appended in order by the caller; null columns need no values
  }
  copyValidity(out, a, row);
}

template <class Offset>
void appendStrings(engine::Vector& out, const arrow::Array& a, std::size_t row) {
  const auto& data = *a.data();
  const Offset* offsets = data.GetValues<Offset>(1);
  const char* chars = data.buffers[2] ? reinterpret_cast<const char*>(data.buffers[2]->data()) : nullptr;
  const std::size_t n = static_cast<std::size_t>(a.length());
  auto& dst = out.chars();
  const std::int64_t base = static_cast<std::int64_t>(dst.size()) - static_cast<std::int64_t>(offsets[0]);
  std::int64_t* o = out.offsets() + row;
  for (std::size_t i = 0; i < n; ++i) o[i] = base + static_cast<std::int64_t>(offsets[i]);
  if (n > 0 && offsets[n] > offsets[0]) dst.insert(dst.end(), chars + offsets[0], chars + offsets[n]);
  copyValidity(out, a, row);
}

}  // namespace

DataType engineType(const arrow::DataType& type, const std::string& column) {
  switch (type.id()) {
    case arrow::Type::NA: return engine::NullType();
    case arrow::Type::BOOL: return engine::BooleanType();
    case arrow::Type::INT8: return engine::ByteType();
    case arrow::Type::INT16: return engine::ShortType();
    case arrow::Type::INT32: return engine::IntegerType();
    case arrow::Type::INT64: return engine::LongType();
    case arrow::Type::UINT8:
    case arrow::Type::UINT16:
    case arrow::Type::UINT32: return engine::LongType();  // widened: Spark has no unsigned types
    case arrow::Type::FLOAT: return engine::FloatType();
    case arrow::Type::DOUBLE: return engine::DoubleType();
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING: return engine::StringType();
    case arrow::Type::DATE32:
    case arrow::Type::DATE64: return engine::DateType();
    case arrow::Type::TIMESTAMP: return engine::TimestampType();
    case arrow::Type::DECIMAL128: {
      const auto& d = static_cast<const arrow::Decimal128Type&>(type);
      if (d.precision() <= DataType::kMaxDecimalPrecision) return engine::DecimalType(d.precision(), d.scale());
      break;
    }
    default: break;
  }
  throw norq::ValueError(fmt::format(
      "column {} has the Arrow type {}, which has no engine type (supported: bool, int8 to int64, uint8 to uint32, "
      "float, double, decimal128, string, large_string, date32, date64, timestamp, null)",
      column, type.ToString()));
}

engine::LocalTable arrowToLocalTable(const arrow::Table& table) {
  const std::size_t rows = static_cast<std::size_t>(table.num_rows());
  const int ncols = table.num_columns();
  engine::StructType schema;
  std::vector<engine::MutableVectorPtr> vectors;
  std::vector<Chunk> fixed;
  for (int c = 0; c < ncols; ++c) {
    const auto& field = table.schema()->field(c);
    DataType type = engineType(*field->type(), field->name());
    schema.add(field->name(), type, field->nullable());
    auto v = engine::Vector::make(type, rows);
    const auto& chunked = *table.column(c);
    bool anyNull = false;
    for (const auto& chunk : chunked.chunks()) anyNull = anyNull || chunk->null_count() > 0;
    if (anyNull || type.isNull()) v->validity().ensureMaterialized(rows);
    if (type.isString()) {
      // Offsets depend on the chunks before: strings are appended in order, with the character buffer sized once.
      std::size_t bytes = 0;
      for (const auto& chunk : chunked.chunks()) {
        const auto& d = *chunk->data();
        if (chunk->length() == 0) continue;
        if (chunk->type_id() == arrow::Type::STRING)
          bytes += static_cast<std::size_t>(d.GetValues<std::int32_t>(1)[chunk->length()] - d.GetValues<std::int32_t>(1)[0]);
        else
          bytes += static_cast<std::size_t>(d.GetValues<std::int64_t>(1)[chunk->length()] - d.GetValues<std::int64_t>(1)[0]);
      }
      v->chars().reserve(bytes);
      std::size_t row = 0;
      for (const auto& chunk : chunked.chunks()) {
        if (chunk->type_id() == arrow::Type::STRING) appendStrings<std::int32_t>(*v, *chunk, row);
        else appendStrings<std::int64_t>(*v, *chunk, row);
        row += static_cast<std::size_t>(chunk->length());
      }
      v->offsets()[rows] = static_cast<std::int64_t>(v->chars().size());
    } else {
      std::size_t row = 0;
      for (const auto& chunk : chunked.chunks()) {
        if (chunk->length() > 0) fixed.push_back({static_cast<std::size_t>(c), chunk.get(), row});
        row += static_cast<std::size_t>(chunk->length());
      }
    }
    vectors.push_back(std::move(v));
  }
  // Large chunks are split so that a table of one chunk per column still spreads over the cores.
  constexpr std::size_t kPiece = 1 << 20;
  std::vector<std::pair<Chunk, std::shared_ptr<arrow::Array>>> pieces;
  for (const Chunk& ch : fixed) {
    const std::size_t n = static_cast<std::size_t>(ch.array->length());
    for (std::size_t off = 0; off < n; off += kPiece) {
      std::size_t len = std::min(kPiece, n - off);
      // Piece boundaries are multiples of 8 rows, so validity stays byte-aligned.
      pieces.push_back({Chunk{ch.column, nullptr, ch.row + off},
                        ch.array->Slice(static_cast<std::int64_t>(off), static_cast<std::int64_t>(len))});
    }
  }
  tbb::parallel_for(std::size_t{0}, pieces.size(), [&](std::size_t i) {
    const auto& [ch, array] = pieces[i];
    copyChunk(*vectors[ch.column], *array, ch.row);
  });
  std::vector<engine::VectorPtr> columns(vectors.begin(), vectors.end());
  return engine::LocalTable(std::move(schema), std::move(columns), rows);
}

namespace {

// An Arrow buffer over memory an engine vector owns; the vector lives as long as the buffer.
class VectorBuffer : public arrow::Buffer {
 public:
  VectorBuffer(engine::VectorPtr owner, const void* data, std::size_t size)
      : arrow::Buffer(static_cast<const std::uint8_t*>(data), static_cast<std::int64_t>(size)),
        owner_(std::move(owner)) {}

 private:
  engine::VectorPtr owner_;
};

std::shared_ptr<arrow::DataType> arrowType(const DataType& t, const std::string& column) {
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
    case TypeId::String: return arrow::large_utf8();
    case TypeId::Date: return arrow::date32();
    case TypeId::Timestamp: return arrow::timestamp(arrow::TimeUnit::MICRO, "UTC");
    case TypeId::Array: break;
  }
  throw norq::NotImplementedError(
      fmt::format("column {} of type {} cannot be converted to Arrow yet", column, t.simpleString()));
}

std::shared_ptr<arrow::Array> toArrow(const engine::VectorPtr& v, std::size_t rows, const std::string& column) {
  auto type = arrowType(v->type(), column);
  std::shared_ptr<arrow::Buffer> validity;
  std::int64_t nulls = 0;
  if (v->type().isNull()) {
    return std::make_shared<arrow::NullArray>(static_cast<std::int64_t>(rows));
  }
  if (!v->validity().allValid()) {
    nulls = static_cast<std::int64_t>(v->validity().countNulls(rows));
    if (nulls > 0)
      validity = std::make_shared<VectorBuffer>(v, v->validity().words(), engine::Validity::wordsFor(rows) * 8);
  }
  std::shared_ptr<arrow::Buffer> values;
  switch (v->type().id()) {
    case TypeId::Boolean: {
      auto buf = check(arrow::AllocateBitmap(static_cast<std::int64_t>(rows)), "converting to Arrow");
      std::uint8_t* bits = buf->mutable_data();
      std::memset(bits, 0, static_cast<std::size_t>(buf->size()));
      const std::uint8_t* src = v->data<std::uint8_t>();
      for (std::size_t i = 0; i < rows; ++i)
        if (src[i]) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
      values = std::move(buf);
      break;
    }
    case TypeId::String: {
      auto offsets = std::make_shared<VectorBuffer>(v, v->offsets(), (rows + 1) * 8);
      auto chars = std::make_shared<VectorBuffer>(v, v->chars().data(), v->chars().size());
      return std::make_shared<arrow::LargeStringArray>(static_cast<std::int64_t>(rows), offsets, chars, validity,
                                                       nulls);
    }
    default:
      values = std::make_shared<VectorBuffer>(v, rows == 0 ? nullptr : v->data<std::uint8_t>(),
                                              rows * v->type().fixedWidth());
      break;
  }
  auto data = arrow::ArrayData::Make(type, static_cast<std::int64_t>(rows), {validity, values}, nulls);
  return arrow::MakeArray(data);
}

}  // namespace

std::shared_ptr<arrow::Table> localTableToArrow(const engine::LocalTable& table) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  const auto& schema = table.schema();
  for (std::size_t c = 0; c < table.numColumns(); ++c) {
    const auto& f = schema[c];
    arrays.push_back(toArrow(table.columnPtr(c), table.numRows(), f.name));
    fields.push_back(arrow::field(f.name, arrays.back()->type(), f.nullable));
  }
  return arrow::Table::Make(arrow::schema(fields), arrays, static_cast<std::int64_t>(table.numRows()));
}

}  // namespace pynorq
