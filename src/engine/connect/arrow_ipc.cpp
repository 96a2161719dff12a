#include "engine/connect/arrow_ipc.h"

#include <cstring>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>
#include <arrow/util/bitmap_ops.h>
#include <fmt/format.h>

#include "engine/errors.h"

namespace engine::connect {

namespace {

using ArrayList = std::vector<std::shared_ptr<arrow::Array>>;

template <class T>
T check(arrow::Result<T> r, const char* what) {
  if (!r.ok()) throw ExecutionException(fmt::format("{}: {}", what, r.status().ToString()));
  return std::move(r).ValueUnsafe();
}
void check(const arrow::Status& s, const char* what) {
  if (!s.ok()) throw ExecutionException(fmt::format("{}: {}", what, s.ToString()));
}

std::size_t totalLength(const ArrayList& parts) {
  std::size_t n = 0;
  for (const auto& a : parts) n += static_cast<std::size_t>(a->length());
  return n;
}

// The chunks' validity bitmaps copied bit range by bit range into the vector's (64-bit words hold the bits in
// the same little-endian order as Arrow's bytes).
void copyValidity(Vector& out, const ArrayList& parts) {
  std::size_t row = 0;
  for (const auto& a : parts) {
    if (a->null_count() > 0) {
      out.validity().ensureMaterialized(out.size());
      auto* dest = reinterpret_cast<std::uint8_t*>(out.validity().words());
      if (a->null_bitmap_data()) {
        arrow::internal::CopyBitmap(a->null_bitmap_data(), a->offset(), a->length(), dest,
                                    static_cast<std::int64_t>(row));
      } else {  // a null-typed or otherwise bitmap-less array reporting nulls
        for (std::int64_t i = 0; i < a->length(); ++i)
          if (a->IsNull(i)) out.validity().setNull(row + static_cast<std::size_t>(i));
      }
    }
    row += static_cast<std::size_t>(a->length());
  }
}

[[noreturn]] void mismatch(const DataType& type, const arrow::DataType& got) {
  throw ExecutionException(
      fmt::format("a column of Arrow type {} cannot be read as a column of type {}", got.ToString(),
                  type.simpleString()));
}

// Fixed-width values of Arrow type A (C type Src) into a vector of C type Dst.
template <class Dst, class ArrowArray>
void copyNumeric(Vector& out, const ArrayList& parts) {
  Dst* dst = out.data<Dst>();
  for (const auto& a : parts) {
    const auto& arr = static_cast<const ArrowArray&>(*a);
    const auto* src = arr.raw_values();
    for (std::int64_t i = 0; i < arr.length(); ++i) dst[i] = static_cast<Dst>(src[i]);
    dst += arr.length();
  }
}

template <class Dst>
void copyAnyNumeric(Vector& out, const ArrayList& parts, const DataType& type) {
  switch (parts.front()->type_id()) {
    case arrow::Type::INT8: return copyNumeric<Dst, arrow::Int8Array>(out, parts);
    case arrow::Type::INT16: return copyNumeric<Dst, arrow::Int16Array>(out, parts);
    case arrow::Type::INT32: return copyNumeric<Dst, arrow::Int32Array>(out, parts);
    case arrow::Type::INT64: return copyNumeric<Dst, arrow::Int64Array>(out, parts);
    case arrow::Type::UINT8: return copyNumeric<Dst, arrow::UInt8Array>(out, parts);
    case arrow::Type::UINT16: return copyNumeric<Dst, arrow::UInt16Array>(out, parts);
    case arrow::Type::UINT32: return copyNumeric<Dst, arrow::UInt32Array>(out, parts);
    case arrow::Type::FLOAT: return copyNumeric<Dst, arrow::FloatArray>(out, parts);
    case arrow::Type::DOUBLE: return copyNumeric<Dst, arrow::DoubleArray>(out, parts);
    case arrow::Type::DATE32: return copyNumeric<Dst, arrow::Date32Array>(out, parts);
    default: mismatch(type, *parts.front()->type());
  }
}

std::int64_t timestampFactor(const arrow::DataType& t) {
  switch (static_cast<const arrow::TimestampType&>(t).unit()) {
    case arrow::TimeUnit::SECOND: return 1'000'000;
    case arrow::TimeUnit::MILLI: return 1'000;
    case arrow::TimeUnit::MICRO: return 1;
    case arrow::TimeUnit::NANO: return -1'000;
  }
  return 1;
}

VectorPtr toVector(const DataType& type, const ArrayList& parts);

template <class ListArray>
VectorPtr listToVector(const DataType& type, const ArrayList& parts, std::size_t n) {
  auto out = Vector::make(type, n);
  std::int64_t* offsets = out->offsets();
  ArrayList children;
  std::size_t row = 0;
  std::int64_t base = 0;
  for (const auto& a : parts) {
    const auto& arr = static_cast<const ListArray&>(*a);
    auto first = arr.value_offset(0);
    for (std::int64_t i = 0; i < arr.length(); ++i) offsets[row + i] = base + (arr.value_offset(i) - first);
    auto len = arr.length() == 0 ? 0 : arr.value_offset(arr.length()) - first;
    children.push_back(arr.values()->Slice(first, len));
    base += len;
    row += static_cast<std::size_t>(arr.length());
  }
  offsets[n] = base;
  out->setChild(toVector(type.elementType(), children));
  copyValidity(*out, parts);
  return out;
}

VectorPtr toVector(const DataType& type, const ArrayList& parts) {
  const std::size_t n = totalLength(parts);
  if (parts.empty()) return Vector::make(type, 0);
  const arrow::Type::type got = parts.front()->type_id();
  if (type.isNull() || got == arrow::Type::NA) {
    if (!type.isNull() && got == arrow::Type::NA) {
      auto out = Vector::make(type, n);
      out->validity().setAllNull(n);
      return out;
    }
    return Vector::make(type, n);
  }
  for (const auto& a : parts)
    if (a->type_id() != got) mismatch(type, *a->type());
  switch (type.id()) {
    case TypeId::Boolean: {
      if (got != arrow::Type::BOOL) mismatch(type, *parts.front()->type());
      auto out = Vector::make(type, n);
      auto* dst = out->data<std::uint8_t>();
      for (const auto& a : parts) {
        const auto& arr = static_cast<const arrow::BooleanArray&>(*a);
        for (std::int64_t i = 0; i < arr.length(); ++i) dst[i] = arr.Value(i) ? 1 : 0;
        dst += arr.length();
      }
      copyValidity(*out, parts);
      return out;
    }
    case TypeId::Byte:
    case TypeId::Short:
    case TypeId::Integer:
    case TypeId::Long:
    case TypeId::Float:
    case TypeId::Double:
    case TypeId::Date: {
      auto out = Vector::make(type, n);
      switch (type.id()) {
        case TypeId::Byte: copyAnyNumeric<std::int8_t>(*out, parts, type); break;
        case TypeId::Short: copyAnyNumeric<std::int16_t>(*out, parts, type); break;
        case TypeId::Integer:
        case TypeId::Date: copyAnyNumeric<std::int32_t>(*out, parts, type); break;
        case TypeId::Long: copyAnyNumeric<std::int64_t>(*out, parts, type); break;
        case TypeId::Float: copyAnyNumeric<float>(*out, parts, type); break;
        default: copyAnyNumeric<double>(*out, parts, type); break;
      }
      copyValidity(*out, parts);
      return out;
    }
    case TypeId::Timestamp: {
      if (got != arrow::Type::TIMESTAMP) mismatch(type, *parts.front()->type());
      auto out = Vector::make(type, n);
      auto* dst = out->data<std::int64_t>();
      for (const auto& a : parts) {
        const auto& arr = static_cast<const arrow::TimestampArray&>(*a);
        std::int64_t f = timestampFactor(*arr.type());
        const std::int64_t* src = arr.raw_values();
        for (std::int64_t i = 0; i < arr.length(); ++i) dst[i] = f > 0 ? src[i] * f : src[i] / -f;
        dst += arr.length();
      }
      copyValidity(*out, parts);
      return out;
    }
    case TypeId::Decimal: {
      if (got == arrow::Type::UINT64 || got == arrow::Type::INT64) {  // whole numbers as decimal(20,0)
        if (type.scale() != 0) mismatch(type, *parts.front()->type());
        auto out = Vector::make(type, n);
        if (got == arrow::Type::UINT64) copyNumeric<int128_t, arrow::UInt64Array>(*out, parts);
        else copyNumeric<int128_t, arrow::Int64Array>(*out, parts);
        copyValidity(*out, parts);
        return out;
      }
      if (got != arrow::Type::DECIMAL128) mismatch(type, *parts.front()->type());
      const int scale = static_cast<const arrow::Decimal128Type&>(*parts.front()->type()).scale();
      if (scale != type.scale()) mismatch(type, *parts.front()->type());
      auto out = Vector::make(type, n);
      auto* dst = out->data<int128_t>();
      for (const auto& a : parts) {
        const auto& arr = static_cast<const arrow::Decimal128Array&>(*a);
        for (std::int64_t i = 0; i < arr.length(); ++i) std::memcpy(&dst[i], arr.GetValue(i), 16);
        dst += arr.length();
      }
      copyValidity(*out, parts);
      return out;
    }
    case TypeId::String: {
      if (got != arrow::Type::STRING && got != arrow::Type::LARGE_STRING) mismatch(type, *parts.front()->type());
      auto out = Vector::make(type, n);
      std::int64_t* offsets = out->offsets();
      auto& chars = out->chars();
      std::size_t row = 0;
      for (const auto& a : parts) {
        auto append = [&](const auto& arr) {
          auto first = arr.value_offset(0);
          auto last = arr.length() == 0 ? first : arr.value_offset(arr.length());
          std::int64_t base = static_cast<std::int64_t>(chars.size());
          for (std::int64_t i = 0; i < arr.length(); ++i) offsets[row + i] = base + (arr.value_offset(i) - first);
          const auto* data = arr.value_data() ? arr.value_data()->data() : nullptr;
          if (last > first) chars.insert(chars.end(), data + first, data + last);
          row += static_cast<std::size_t>(arr.length());
        };
        if (got == arrow::Type::STRING) append(static_cast<const arrow::StringArray&>(*a));
        else append(static_cast<const arrow::LargeStringArray&>(*a));
      }
      offsets[n] = static_cast<std::int64_t>(chars.size());
      copyValidity(*out, parts);
      return out;
    }
    case TypeId::Array: {
      if (got == arrow::Type::LIST) return listToVector<arrow::ListArray>(type, parts, n);
      if (got == arrow::Type::LARGE_LIST) return listToVector<arrow::LargeListArray>(type, parts, n);
      mismatch(type, *parts.front()->type());
    }
    case TypeId::Null:
      break;
  }
  return Vector::make(type, n);
}

std::shared_ptr<arrow::DataType> arrowType(const DataType& t) {
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
    case TypeId::String: return arrow::utf8();
    case TypeId::Date: return arrow::date32();
    case TypeId::Timestamp: return arrow::timestamp(arrow::TimeUnit::MICRO, "UTC");
    case TypeId::Array: return arrow::list(arrowType(t.elementType()));
  }
  return arrow::null();
}

// Appends rows [from, to) of v to a builder of the matching Arrow type.
void appendTo(arrow::ArrayBuilder& b, const Vector& v, std::size_t from, std::size_t to) {
  const DataType& t = v.type();
  auto each = [&](auto&& appendValue) {
    for (std::size_t i = from; i < to; ++i) {
      if (v.isNull(i)) check(b.AppendNull(), "encoding a local table");
      else check(appendValue(i), "encoding a local table");
    }
  };
  switch (t.id()) {
    case TypeId::Null: check(b.AppendNulls(static_cast<std::int64_t>(to - from)), "encoding a local table"); return;
    case TypeId::Boolean: each([&](std::size_t i) { return static_cast<arrow::BooleanBuilder&>(b).Append(v.data<std::uint8_t>()[i] != 0); }); return;
    case TypeId::Byte: each([&](std::size_t i) { return static_cast<arrow::Int8Builder&>(b).Append(v.data<std::int8_t>()[i]); }); return;
    case TypeId::Short: each([&](std::size_t i) { return static_cast<arrow::Int16Builder&>(b).Append(v.data<std::int16_t>()[i]); }); return;
    case TypeId::Integer: each([&](std::size_t i) { return static_cast<arrow::Int32Builder&>(b).Append(v.data<std::int32_t>()[i]); }); return;
    case TypeId::Date: each([&](std::size_t i) { return static_cast<arrow::Date32Builder&>(b).Append(v.data<std::int32_t>()[i]); }); return;
    case TypeId::Long: each([&](std::size_t i) { return static_cast<arrow::Int64Builder&>(b).Append(v.data<std::int64_t>()[i]); }); return;
    case TypeId::Timestamp: each([&](std::size_t i) { return static_cast<arrow::TimestampBuilder&>(b).Append(v.data<std::int64_t>()[i]); }); return;
    case TypeId::Float: each([&](std::size_t i) { return static_cast<arrow::FloatBuilder&>(b).Append(v.data<float>()[i]); }); return;
    case TypeId::Double: each([&](std::size_t i) { return static_cast<arrow::DoubleBuilder&>(b).Append(v.data<double>()[i]); }); return;
    case TypeId::Decimal:
      each([&](std::size_t i) {
        std::uint8_t bytes[16];
        std::memcpy(bytes, &v.data<int128_t>()[i], 16);
        return static_cast<arrow::Decimal128Builder&>(b).Append(arrow::Decimal128(bytes));
      });
      return;
    case TypeId::String: each([&](std::size_t i) { return static_cast<arrow::StringBuilder&>(b).Append(v.str(i)); }); return;
    case TypeId::Array: {
      auto& lb = static_cast<arrow::ListBuilder&>(b);
      each([&](std::size_t i) {
        auto s = lb.Append();
        if (!s.ok()) return s;
        appendTo(*lb.value_builder(), *v.child(), static_cast<std::size_t>(v.offsets()[i]),
                 static_cast<std::size_t>(v.offsets()[i + 1]));
        return arrow::Status::OK();
      });
      return;
    }
  }
}

}  // namespace

VectorPtr arrowToVector(const DataType& type, const std::vector<std::shared_ptr<arrow::Array>>& chunks) {
  return toVector(type, chunks);
}

LocalTable arrowIpcToLocalTable(const std::vector<std::string>& ipcStreams, const StructType& schema) {
  std::vector<ArrayList> columns(schema.size());
  for (const std::string& chunk : ipcStreams) {
    auto buffer = std::make_shared<arrow::Buffer>(reinterpret_cast<const std::uint8_t*>(chunk.data()),
                                                  static_cast<std::int64_t>(chunk.size()));
    auto input = std::make_shared<arrow::io::BufferReader>(buffer);
    auto reader = check(arrow::ipc::RecordBatchStreamReader::Open(input), "decoding a result from Spark Connect");
    for (;;) {
      std::shared_ptr<arrow::RecordBatch> batch;
      check(reader->ReadNext(&batch), "decoding a result from Spark Connect");
      if (!batch) break;
      if (static_cast<std::size_t>(batch->num_columns()) != schema.size())
        throw ExecutionException(fmt::format("the Spark Connect server sent {} columns for a result of {} columns ({})",
                                             batch->num_columns(), schema.size(), schema.simpleString()));
      if (batch->num_rows() == 0) continue;
      for (std::size_t c = 0; c < schema.size(); ++c) columns[c].push_back(batch->column(static_cast<int>(c)));
    }
  }
  std::vector<VectorPtr> vectors;
  vectors.reserve(schema.size());
  std::size_t rows = columns.empty() ? 0 : totalLength(columns.front());
  for (std::size_t c = 0; c < schema.size(); ++c) vectors.push_back(toVector(schema[c].dataType, columns[c]));
  return LocalTable(schema, std::move(vectors), rows);
}

std::string localTableToArrowIpc(const LocalTable& table) {
  arrow::FieldVector fields;
  for (const auto& f : table.schema().fields()) fields.push_back(arrow::field(f.name, arrowType(f.dataType), f.nullable));
  auto schema = arrow::schema(fields);
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  for (std::size_t c = 0; c < table.numColumns(); ++c) {
    std::unique_ptr<arrow::ArrayBuilder> builder;
    check(arrow::MakeBuilder(arrow::default_memory_pool(), fields[c]->type(), &builder), "encoding a local table");
    appendTo(*builder, table.column(c), 0, table.numRows());
    arrays.push_back(check(builder->Finish(), "encoding a local table"));
  }
  auto batch = arrow::RecordBatch::Make(schema, static_cast<std::int64_t>(table.numRows()), arrays);
  auto sink = check(arrow::io::BufferOutputStream::Create(), "encoding a local table");
  auto writer = check(arrow::ipc::MakeStreamWriter(sink, schema), "encoding a local table");
  check(writer->WriteRecordBatch(*batch), "encoding a local table");
  check(writer->Close(), "encoding a local table");
  auto buf = check(sink->Finish(), "encoding a local table");
  return buf->ToString();
}

}  // namespace engine::connect
