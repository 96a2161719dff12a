#include "engine/connect/type_translation.h"

#include <fmt/format.h>

#include "engine/errors.h"

namespace engine::connect {

namespace pb = spark::connect;

pb::DataType toProtoType(const DataType& type) {
  pb::DataType out;
  switch (type.id()) {
    case TypeId::Null: out.mutable_null(); break;
    case TypeId::Boolean: out.mutable_boolean(); break;
    case TypeId::Byte: out.mutable_byte(); break;
    case TypeId::Short: out.mutable_short_(); break;
    case TypeId::Integer: out.mutable_integer(); break;
    case TypeId::Long: out.mutable_long_(); break;
    case TypeId::Float: out.mutable_float_(); break;
    case TypeId::Double: out.mutable_double_(); break;
    case TypeId::Decimal: {
      auto* d = out.mutable_decimal();
      d->set_precision(type.precision());
      d->set_scale(type.scale());
      break;
    }
    case TypeId::String: out.mutable_string(); break;
    case TypeId::Date: out.mutable_date(); break;
    case TypeId::Timestamp: out.mutable_timestamp(); break;
    case TypeId::YearMonthInterval: {
      auto* i = out.mutable_year_month_interval();
      i->set_start_field(type.startField());
      i->set_end_field(type.endField());
      break;
    }
    case TypeId::DayTimeInterval: {
      auto* i = out.mutable_day_time_interval();
      i->set_start_field(type.startField());
      i->set_end_field(type.endField());
      break;
    }
    case TypeId::Array: {
      auto* a = out.mutable_array();
      *a->mutable_element_type() = toProtoType(type.elementType());
      a->set_contains_null(true);
      break;
    }
  }
  return out;
}

pb::DataType toProtoType(const StructType& schema) {
  pb::DataType out;
  auto* s = out.mutable_struct_();
  for (const auto& f : schema.fields()) {
    auto* pf = s->add_fields();
    pf->set_name(f.name);
    *pf->mutable_data_type() = toProtoType(f.dataType);
    pf->set_nullable(f.nullable);
  }
  return out;
}

namespace {
const char* unsupportedName(const pb::DataType& t) {
  switch (t.kind_case()) {
    case pb::DataType::kBinary: return "binary";
    case pb::DataType::kTimestampNtz: return "timestamp_ntz";
    case pb::DataType::kCalendarInterval: return "interval";
    case pb::DataType::kYearMonthInterval: return "interval year to month";
    case pb::DataType::kDayTimeInterval: return "interval day to second";
    case pb::DataType::kStruct: return "struct";
    case pb::DataType::kMap: return "map";
    case pb::DataType::kVariant: return "variant";
    case pb::DataType::kUdt: return "user-defined type";
    default: return "unknown";
  }
}
}  // namespace

DataType fromProtoType(const pb::DataType& t) {
  switch (t.kind_case()) {
    case pb::DataType::kNull: return NullType();
    case pb::DataType::kBoolean: return BooleanType();
    case pb::DataType::kByte: return ByteType();
    case pb::DataType::kShort: return ShortType();
    case pb::DataType::kInteger: return IntegerType();
    case pb::DataType::kLong: return LongType();
    case pb::DataType::kFloat: return FloatType();
    case pb::DataType::kDouble: return DoubleType();
    case pb::DataType::kDecimal: {
      // Spark's DecimalType() defaults: precision 10, scale 0.
      const int precision = t.decimal().has_precision() ? t.decimal().precision() : 10;
      const int scale = t.decimal().has_scale() ? t.decimal().scale() : 0;
      return DecimalType(precision, scale);
    }
    case pb::DataType::kString:
    case pb::DataType::kChar:
    case pb::DataType::kVarChar: return StringType();
    case pb::DataType::kDate: return DateType();
    case pb::DataType::kTimestamp: return TimestampType();
    // Spark's own defaults when a field is absent: YEAR TO MONTH, DAY TO SECOND.
    case pb::DataType::kYearMonthInterval:
      return DataType::yearMonthInterval(
          t.year_month_interval().has_start_field() ? t.year_month_interval().start_field() : 0,
          t.year_month_interval().has_end_field() ? t.year_month_interval().end_field() : 1);
    case pb::DataType::kDayTimeInterval:
      return DataType::dayTimeInterval(
          t.day_time_interval().has_start_field() ? t.day_time_interval().start_field() : 0,
          t.day_time_interval().has_end_field() ? t.day_time_interval().end_field() : 3);
    case pb::DataType::kArray:
      return ArrayType(fromProtoType(t.array().element_type()), t.array().contains_null());
    default:
      throw AnalysisException(
          fmt::format("[UNSUPPORTED_DATA_TYPE] The column type {} returned by Spark is not supported by this engine.",
                      unsupportedName(t)));
  }
}

StructType fromProtoSchema(const pb::DataType& type) {
  if (type.kind_case() != pb::DataType::kStruct) {
    throw AnalysisException(fmt::format("[UNSUPPORTED_DATA_TYPE] Spark returned a {} type where a schema (struct) was "
                                        "expected.",
                                        unsupportedName(type)));
  }
  std::vector<StructField> fields;
  for (const auto& f : type.struct_().fields()) {
    try {
      fields.push_back(StructField{f.name(), fromProtoType(f.data_type()), f.nullable()});
    } catch (const AnalysisException&) {
      throw AnalysisException(fmt::format(
          "[UNSUPPORTED_DATA_TYPE] Column `{}` has type {} in Spark, which is not supported by this engine.", f.name(),
          unsupportedName(f.data_type())));
    }
  }
  return StructType(std::move(fields));
}

namespace {
void appendJsonString(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) out += fmt::format("\\u{:04x}", c);
        else out += static_cast<char>(c);
    }
  }
  out += '"';
}

void appendTypeJson(std::string& out, const DataType& t) {
  switch (t.id()) {
    case TypeId::Null: out += "\"void\""; break;
    case TypeId::Decimal: out += fmt::format("\"decimal({},{})\"", t.precision(), t.scale()); break;
    case TypeId::Array:
      out += "{\"type\":\"array\",\"elementType\":";
      appendTypeJson(out, t.elementType());
      out += ",\"containsNull\":true}";
      break;
    default: out += '"' + t.typeName() + '"';
  }
}
}  // namespace

std::string schemaToJson(const StructType& schema) {
  std::string out = "{\"type\":\"struct\",\"fields\":[";
  bool first = true;
  for (const auto& f : schema.fields()) {
    if (!first) out += ',';
    first = false;
    out += "{\"name\":";
    appendJsonString(out, f.name);
    out += ",\"type\":";
    appendTypeJson(out, f.dataType);
    out += f.nullable ? ",\"nullable\":true" : ",\"nullable\":false";
    out += ",\"metadata\":{}}";
  }
  out += "]}";
  return out;
}

}  // namespace engine::connect
