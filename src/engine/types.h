// Column types with Apache Spark's names and type names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

enum class TypeId : std::uint8_t {
  Null,  // the type of an untyped NULL literal (Spark's NullType, typeName "void")
  Boolean,
  Byte,
  Short,
  Integer,
  Long,
  Float,
  Double,
  Decimal,
  String,
  Date,       // days since 1970-01-01, int32
  Timestamp,  // microseconds since the epoch (UTC), int64
  Array,
  YearMonthInterval,  // months, int32; fields YEAR (0) .. MONTH (1)
  DayTimeInterval,    // microseconds, int64; fields DAY (0) .. SECOND (3)
};

// The fields of interval types, in Spark's numbering (YearMonthIntervalType.YEAR = 0, DayTimeIntervalType.DAY = 0).
enum class IntervalField : std::uint8_t { Year = 0, Month = 1, Day = 0, Hour = 1, Minute = 2, Second = 3 };

class DataType {
 public:
  DataType() = default;  // NullType
  explicit DataType(TypeId id) : id_(id) {}
  static DataType decimal(int precision, int scale);
  static DataType array(const DataType& element, bool containsNull = true);
  // Spark's YearMonthIntervalType(start, end) (0 YEAR, 1 MONTH) and DayTimeIntervalType(start, end)
  // (0 DAY, 1 HOUR, 2 MINUTE, 3 SECOND).
  static DataType yearMonthInterval(int startField, int endField);
  static DataType dayTimeInterval(int startField, int endField);

  TypeId id() const { return id_; }
  int precision() const { return precision_; }
  int scale() const { return scale_; }
  // First and last field of an interval type.
  int startField() const { return precision_; }
  int endField() const { return scale_; }
  // Element type of an array; NullType for any other type.
  const DataType& elementType() const;

  // Spark's DataType.typeName(): "integer", "long", "decimal" (without precision), "string", "array", "void", ...
  std::string typeName() const;
  // Spark's simpleString / SQL-ish form: "int", "bigint", "decimal(10,2)", "array<int>", "void", ...
  std::string simpleString() const;
  // Spark's DataType.sql form as used in generated column names: "INT", "BIGINT", "DECIMAL(10,2)", "ARRAY<INT>".
  std::string sql() const;

  bool isNull() const { return id_ == TypeId::Null; }
  bool isBoolean() const { return id_ == TypeId::Boolean; }
  bool isIntegral() const;  // byte, short, integer, long
  bool isFloating() const { return id_ == TypeId::Float || id_ == TypeId::Double; }
  bool isDecimal() const { return id_ == TypeId::Decimal; }
  bool isNumeric() const { return isIntegral() || isFloating() || isDecimal(); }
  bool isString() const { return id_ == TypeId::String; }
  bool isDatetime() const { return id_ == TypeId::Date || id_ == TypeId::Timestamp; }
  bool isArray() const { return id_ == TypeId::Array; }
  bool isInterval() const { return id_ == TypeId::YearMonthInterval || id_ == TypeId::DayTimeInterval; }

  // Byte width of one value in a column vector (0 for strings and arrays, whose data is variable).
  std::size_t fixedWidth() const;

  bool operator==(const DataType& o) const;
  bool operator!=(const DataType& o) const { return !(*this == o); }

  // Parses a type name as written in SQL text or cast("...") calls: int, integer, bigint, long, smallint,
  // short, tinyint, byte, float, real, double, decimal, decimal(p), decimal(p,s), dec, numeric, string,
  // varchar(n), char(n), boolean, bool, date, timestamp, array<...>. Case-insensitive. Returns nullopt for
  // an unknown name.
  static std::optional<DataType> parse(std::string_view text);

  // Maximum decimal precision (Spark's DecimalType.MAX_PRECISION).
  static constexpr int kMaxDecimalPrecision = 38;

 private:
  TypeId id_ = TypeId::Null;
  std::uint8_t precision_ = 0;
  std::uint8_t scale_ = 0;
  bool containsNull_ = true;
  std::shared_ptr<const DataType> element_;
};

// Spark-style factories.
inline DataType NullType() { return DataType(TypeId::Null); }
inline DataType BooleanType() { return DataType(TypeId::Boolean); }
inline DataType ByteType() { return DataType(TypeId::Byte); }
inline DataType ShortType() { return DataType(TypeId::Short); }
inline DataType IntegerType() { return DataType(TypeId::Integer); }
inline DataType LongType() { return DataType(TypeId::Long); }
inline DataType FloatType() { return DataType(TypeId::Float); }
inline DataType DoubleType() { return DataType(TypeId::Double); }
inline DataType DecimalType(int precision = 10, int scale = 0) { return DataType::decimal(precision, scale); }
inline DataType StringType() { return DataType(TypeId::String); }
inline DataType DateType() { return DataType(TypeId::Date); }
inline DataType TimestampType() { return DataType(TypeId::Timestamp); }
inline DataType YearMonthIntervalType(int startField = 0, int endField = 1) {
  return DataType::yearMonthInterval(startField, endField);
}
inline DataType DayTimeIntervalType(int startField = 0, int endField = 3) {
  return DataType::dayTimeInterval(startField, endField);
}
inline DataType ArrayType(const DataType& element, bool containsNull = true) {
  return DataType::array(element, containsNull);
}

struct StructField {
  std::string name;
  DataType dataType;
  bool nullable = true;

  bool operator==(const StructField& o) const {
    return name == o.name && dataType == o.dataType && nullable == o.nullable;
  }
};

// An ordered list of fields (a frame's schema).
class StructType {
 public:
  StructType() = default;
  StructType(std::vector<StructField> fields) : fields_(std::move(fields)) {}  // NOLINT(implicit)

  StructType& add(std::string name, DataType type, bool nullable = true);

  const std::vector<StructField>& fields() const { return fields_; }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  const StructField& operator[](std::size_t i) const { return fields_.at(i); }
  // Field by exact name; throws AnalysisException naming the field and the available ones.
  const StructField& operator[](std::string_view name) const;
  // Index of the first field with that exact name, or nullopt.
  std::optional<std::size_t> indexOf(std::string_view name) const;
  std::vector<std::string> names() const;
  // "struct<a:int,b:string>"
  std::string simpleString() const;
  std::string typeName() const { return "struct"; }

  bool operator==(const StructType& o) const { return fields_ == o.fields_; }

 private:
  std::vector<StructField> fields_;
};

}  // namespace engine
