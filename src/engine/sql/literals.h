// Values of SQL literals whose text needs more than a number parse: DATE '...' and TIMESTAMP '...'
// (Spark's stringToDate / stringToTimestamp forms), and exact decimals.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

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

}  // namespace engine::sql
