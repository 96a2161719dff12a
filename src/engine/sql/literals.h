// Values of SQL literals whose text needs more than a number parse: DATE '...' and TIMESTAMP '...'
// (Spark's stringToDate / stringToTimestamp forms), and exact decimals.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/value.h"

namespace engine::sql {

// yyyy, yyyy-[m]m, yyyy-[m]m-[d]d, optionally followed by ' ' or 'T' and anything. Days since the epoch.
std::optional<std::int32_t> parseDateText(std::string_view text);

// A date form as above, optionally followed by ' ' or 'T' and [h]h:[m]m[:[s]s[.fraction]] and a zone
// (Z, UTC, GMT, UT, +hh, +hh:mm, +hhmm, UTC+hh:mm, ...). Text without a zone is read in UTC.
// Microseconds since the epoch.
std::optional<std::int64_t> parseTimestampText(std::string_view text);

// Exact decimal of the literal text (digits, optional fraction, optional exponent), with Spark's
// precision and scale: 1.50 -> decimal(3,2), 0.001 -> decimal(3,3), 1E3 -> decimal(4,0). `negative`
// negates the value. Sets `precisionOut` and returns nullopt when the precision exceeds 38.
std::optional<Decimal> parseDecimalText(std::string_view text, bool negative, int& precisionOut);

// An interval literal's value and type: a year-month interval (months) or a day-time interval (microseconds).
struct IntervalLiteral {
  Value value;
  DataType type;
};

// INTERVAL <value> <unit> [<value> <unit> ...]: each value is the signed number text ("-3", "1.5") and each
// unit a word as written (YEAR, months, week, DAYS, hour, MINUTES, second, millisecond, microseconds).
// Units of both kinds (years/months with weeks..microseconds) cannot mix; only seconds take a fraction.
// Throws std::invalid_argument with the reason.
IntervalLiteral intervalFromUnits(const std::vector<std::pair<std::string, std::string>>& items);

// INTERVAL '<text>' <from> TO <to>: YEAR TO MONTH ('[+|-]y-m'), DAY TO HOUR/MINUTE/SECOND, HOUR TO
// MINUTE/SECOND, MINUTE TO SECOND ('[+|-]d h:m:s.f' shapes). Throws std::invalid_argument.
IntervalLiteral intervalFromTo(std::string_view text, const std::string& from, const std::string& to);

}  // namespace engine::sql
