// Text-to-value rules of Spark's CSV source. They are not the rules of CAST: Spark reads CSV fields with
// the JVM's own parsers (Integer.parseInt, Long.parseLong, Double.parseDouble, new BigDecimal, Scala's
// toBoolean), which reject surrounding whitespace for integers but accept it for doubles, accept a '+'
// sign, the "1.5d" / "2f" suffixes and hexadecimal doubles, and so on. Dates and timestamps use Spark's
// DateTimeUtils text forms (shared with the casts).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/local/expr/expr_datetime.h"
#include "engine/types.h"
#include "engine/value.h"

namespace engine::local::csv {

// Integer.parseInt / Long.parseLong (ASCII digits): optional sign, at least one digit, nothing else.
bool parseJavaLong(std::string_view s, std::int64_t& out);
bool parseJavaInt(std::string_view s, std::int32_t& out);

// Double.parseDouble / Float.parseFloat: whitespace around the number is ignored; "NaN", "Infinity"
// (signed), decimal and hexadecimal forms, an optional f/F/d/D suffix.
bool parseJavaDouble(std::string_view s, double& out);
bool parseJavaFloat(std::string_view s, float& out);

// The shape of `new BigDecimal(s)`: precision (significant digits of the unscaled value) and scale.
// false when the text is not a BigDecimal literal.
struct DecimalShape {
  int precision = 0;
  int scale = 0;
};
bool decimalShape(std::string_view s, DecimalShape& out);

// new BigDecimal(s) rounded HALF_UP to `scale` digits; false when invalid or wider than `precision`.
bool parseJavaDecimal(std::string_view s, int precision, int scale, int128_t& out);

// Scala's String.toBoolean: "true" / "false", case-insensitive.
bool parseJavaBoolean(std::string_view s, bool& out);

// Date with the strict pattern yyyy-MM-dd (what inference accepts as a date).
bool isStrictIsoDate(std::string_view s);

// Spark's stringToDate / stringToTimestamp (timestamp text without a zone is read in `zone`; a time
// without a date is taken on today's date there).
std::optional<std::int32_t> parseDate(std::string_view s);
std::optional<std::int64_t> parseTimestamp(std::string_view s, const ZoneRules& zone);

// Spark's CSVInferSchema.inferField: the type of a column seen so far (NullType before any value)
// combined with one more non-null field. StringType absorbs everything.
class DateTimePattern;

// What inference takes for dates and timestamps: the dateFormat / timestampFormat patterns (null: the
// default forms), and whether a date column that meets a timestamp widens to timestamp (Spark only does
// so without a timestampFormat and with a yyyy-MM-dd-like dateFormat) or becomes a string.
struct InferRules {
  const DateTimePattern* date = nullptr;
  const DateTimePattern* timestamp = nullptr;
  bool dateWidensToTimestamp = true;

  bool isDate(std::string_view f) const;
  bool isTimestamp(std::string_view f) const;
};

// Whether text is a timestamp does not depend on the zone, so inference needs none.
DataType inferField(const DataType& typeSoFar, std::string_view field, const InferRules& rules = {});

// CSVInferSchema.compatibleType with StringType for incompatible pairs.
DataType mergeInferred(const DataType& a, const DataType& b, const InferRules& rules = {});

}  // namespace engine::local::csv
