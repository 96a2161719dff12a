// The dateFormat / timestampFormat options of the CSV reader: Java DateTimeFormatter patterns as Spark
// parses them (case-insensitive text, fields not in the pattern default to 1970-01-01 00:00:00, the
// whole text must match, impossible dates are rejected, S..S reads one up to that many fraction digits).
// Supported letters: y u (year), M L (month, number or name), d, H, k, h, K, a, m, s, S, and the offsets
// X, x, Z. Quoted text and other symbols are literals.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/local/expr/expr_datetime.h"

namespace engine::local::csv {

class DateTimePattern {
 public:
  // Throws AnalysisException naming the pattern and the letter that is not supported.
  static DateTimePattern compile(const std::string& pattern);

  std::optional<std::int32_t> parseDate(std::string_view s) const;
  // Text without an offset is read in `zone`.
  std::optional<std::int64_t> parseTimestamp(std::string_view s, const ZoneRules& zone) const;
  const std::string& text() const { return text_; }

 private:
  enum class Kind : std::uint8_t {
    Literal,
    Year,
    Month,
    MonthName,
    Day,
    Hour,
    Hour12,
    HourK,
    Hour24k,
    AmPm,
    Minute,
    Second,
    Fraction,
    Offset
  };
  struct Token {
    Kind kind;
    int count = 0;
    char letter = 0;
    std::string literal;
  };
  struct Fields {
    std::int64_t year = 1970;
    int month = 1, day = 1, hour = 0, minute = 0, second = 0, micros = 0;
    int pm = -1;  // -1: no AM/PM marker
    bool hour12 = false;
    std::optional<int> offset;
  };
  bool match(std::string_view s, Fields& f) const;

  std::string text_;
  std::vector<Token> tokens_;
};

}  // namespace engine::local::csv
