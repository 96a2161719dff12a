// A single value of any engine type, null included: the boxed form used at the API boundary (literals,
// rows given to createDataFrame, rows returned by collect). Columnar data lives in Vector (vector.h);
// hot loops never box values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/types.h"

namespace engine {

using int128_t = __int128;

struct Decimal {
  int128_t unscaled = 0;
  std::uint8_t precision = 10;
  std::uint8_t scale = 0;
  bool operator==(const Decimal& o) const {
    return unscaled == o.unscaled && precision == o.precision && scale == o.scale;
  }
  // Exact decimal text in Java BigDecimal.toPlainString form ("1.50", "-0.001", "12").
  std::string toString() const;
  double toDouble() const;
  // Parses "123", "-1.50", "1e3" (plain or scientific); nullopt when not a decimal number or when it
  // needs more than 38 digits.
  static std::optional<Decimal> parse(std::string_view text);
};

struct Date {
  std::int32_t days = 0;  // since 1970-01-01
  bool operator==(const Date& o) const { return days == o.days; }
};

struct Timestamp {
  std::int64_t micros = 0;  // since 1970-01-01T00:00:00Z
  bool operator==(const Timestamp& o) const { return micros == o.micros; }
};

// Spark's year-month interval: a number of months, with the type's fields (YEAR 0, MONTH 1).
struct YearMonthIntervalValue {
  std::int32_t months = 0;
  std::uint8_t startField = 0;
  std::uint8_t endField = 1;
  bool operator==(const YearMonthIntervalValue& o) const {
    return months == o.months && startField == o.startField && endField == o.endField;
  }
};

// Spark's day-time interval: microseconds, with the type's fields (DAY 0, HOUR 1, MINUTE 2, SECOND 3).
struct DayTimeIntervalValue {
  std::int64_t micros = 0;
  std::uint8_t startField = 0;
  std::uint8_t endField = 3;
  bool operator==(const DayTimeIntervalValue& o) const {
    return micros == o.micros && startField == o.startField && endField == o.endField;
  }
};

class Value;

struct ArrayValue {
  DataType elementType;
  std::vector<Value> elements;
};

class Value {
 public:
  using Storage = std::variant<std::monostate, bool, std::int8_t, std::int16_t, std::int32_t, std::int64_t, float,
                               double, Decimal, std::string, Date, Timestamp, std::shared_ptr<const ArrayValue>,
                               YearMonthIntervalValue, DayTimeIntervalValue>;

  Value() = default;  // null
  Value(std::nullptr_t) {}  // NOLINT: null
  Value(std::monostate) {}  // NOLINT: null
  Value(bool v) : v_(v) {}                          // NOLINT
  Value(std::int8_t v) : v_(v) {}                   // NOLINT
  Value(std::int16_t v) : v_(v) {}                  // NOLINT
  Value(int v) : v_(static_cast<std::int32_t>(v)) {}  // NOLINT
  Value(long v) : v_(static_cast<std::int64_t>(v)) {}  // NOLINT
  Value(long long v) : v_(static_cast<std::int64_t>(v)) {}  // NOLINT
  Value(float v) : v_(v) {}                         // NOLINT
  Value(double v) : v_(v) {}                        // NOLINT
  Value(Decimal v) : v_(v) {}                       // NOLINT
  Value(std::string v) : v_(std::move(v)) {}        // NOLINT
  Value(std::string_view v) : v_(std::string(v)) {}  // NOLINT
  Value(const char* v) : v_(std::string(v)) {}      // NOLINT
  Value(Date v) : v_(v) {}                          // NOLINT
  Value(Timestamp v) : v_(v) {}                     // NOLINT
  Value(YearMonthIntervalValue v) : v_(v) {}        // NOLINT
  Value(DayTimeIntervalValue v) : v_(v) {}          // NOLINT
  static Value array(DataType elementType, std::vector<Value> elements);

  bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
  // The engine type this value carries (NullType for null).
  DataType dataType() const;

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }
  template <class T>
  const T& get() const {
    return std::get<T>(v_);
  }
  const Storage& storage() const { return v_; }

  bool isNumeric() const;
  // Numeric value (any integral, floating or decimal) as a double; throws for other types.
  double toDouble() const;
  // Integral value (byte/short/int/long/date/timestamp/bool) as int64; throws for other types.
  std::int64_t toInt64() const;
  const std::string& str() const { return std::get<std::string>(v_); }
  const ArrayValue& arr() const { return *std::get<std::shared_ptr<const ArrayValue>>(v_); }

  // The value as Spark casts it to a string: 1, 1.0, 1.0E20, NaN, Infinity, true, 2024-01-31,
  // 2024-01-31 12:00:00 (session time zone UTC), [1, 2, null]; null renders as "null".
  std::string toString() const;

  // Exact equality of type and content (NaN equals NaN, -0.0 differs from 0.0). For tests and lookups;
  // SQL comparison semantics live in the executor.
  bool operator==(const Value& o) const;
  bool operator!=(const Value& o) const { return !(*this == o); }

 private:
  Storage v_;
};

std::ostream& operator<<(std::ostream& os, const Value& v);

// Date and timestamp helpers shared by the engine (proleptic Gregorian, UTC).
std::int32_t daysFromCivil(int year, unsigned month, unsigned day);
void civilFromDays(std::int32_t days, int& year, unsigned& month, unsigned& day);
std::string formatDate(std::int32_t days);             // yyyy-MM-dd
std::string formatTimestamp(std::int64_t micros);      // yyyy-MM-dd HH:mm:ss[.ffffff] as Spark prints it
// Intervals as Spark casts them to strings: INTERVAL '1-2' YEAR TO MONTH, INTERVAL '3 04:05:06.789' DAY TO SECOND.
std::string formatYearMonthInterval(std::int32_t months, int startField, int endField);
std::string formatDayTimeInterval(std::int64_t micros, int startField, int endField);
// Java's Double.toString / Float.toString: 1.0, 0.1, 1.0E20, 1.0E-5, NaN, Infinity, -0.0
std::string javaDoubleString(double v);
std::string javaFloatString(float v);

}  // namespace engine
