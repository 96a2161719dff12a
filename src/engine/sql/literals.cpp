#include "engine/sql/literals.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>
#include <string>

namespace engine::sql {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads between minDigits and maxDigits digits at s[i].
std::optional<int> readInt(std::string_view s, std::size_t& i, int minDigits, int maxDigits) {
  int v = 0, n = 0;
  while (i < s.size() && isDigit(s[i]) && n < maxDigits) {
    v = v * 10 + (s[i] - '0');
    ++i;
    ++n;
  }
  if (n < minDigits || (i < s.size() && isDigit(s[i]))) return std::nullopt;
  return v;
}

// Reads the date part at the start of s; i ends after it.
std::optional<std::int32_t> readDate(std::string_view s, std::size_t& i) {
  i = 0;
  auto year = readInt(s, i, 4, 6);
  if (!year) return std::nullopt;
  int month = 1, day = 1;
  if (i < s.size() && s[i] == '-') {
    ++i;
    auto m = readInt(s, i, 1, 2);
    if (!m) return std::nullopt;
    month = *m;
    if (i < s.size() && s[i] == '-') {
      ++i;
      auto d = readInt(s, i, 1, 2);
      if (!d) return std::nullopt;
      day = *d;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  std::int32_t days = daysFromCivil(*year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  int y = 0;
  unsigned m = 0, d = 0;
  civilFromDays(days, y, m, d);
  if (y != *year || static_cast<int>(m) != month || static_cast<int>(d) != day) return std::nullopt;  // 2024-02-30
  return days;
}

bool equalsUpper(std::string_view s, std::string_view upper) {
  if (s.size() != upper.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(s[i])) != upper[i]) return false;
  }
  return true;
}

// +hh, +hh:mm, +hhmm, +h (seconds east of UTC).
std::optional<std::int64_t> readOffset(std::string_view z) {
  if (z.empty() || (z[0] != '+' && z[0] != '-')) return std::nullopt;
  int sign = z[0] == '-' ? -1 : 1;
  std::size_t i = 1;
  auto h = readInt(z, i, 1, 2);
  if (!h) return std::nullopt;
  int minutes = 0;
  if (i < z.size()) {
    if (z[i] == ':') ++i;
    auto m = readInt(z, i, 2, 2);
    if (!m) return std::nullopt;
    minutes = *m;
  }
  if (i != z.size() || *h > 18 || minutes > 59) return std::nullopt;
  return sign * (static_cast<std::int64_t>(*h) * 3600 + minutes * 60);
}

std::optional<std::int64_t> zoneOffsetSeconds(std::string_view z) {
  if (z.empty()) return 0;
  if (equalsUpper(z, "Z")) return 0;
  if (z[0] == '+' || z[0] == '-') return readOffset(z);
  for (std::string_view prefix : {"UTC", "GMT", "UT"}) {
    if (z.size() >= prefix.size() && equalsUpper(z.substr(0, prefix.size()), prefix)) {
      std::string_view rest = z.substr(prefix.size());
      if (rest.empty()) return 0;
      return readOffset(rest);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::int32_t> parseDateText(std::string_view text) {
  std::string_view s = trim(text);
  std::size_t i = 0;
  auto days = readDate(s, i);
  if (!days) return std::nullopt;
  if (i < s.size() && s[i] != ' ' && s[i] != 'T') return std::nullopt;
  return days;
}

std::optional<std::int64_t> parseTimestampText(std::string_view text) {
  std::string_view s = trim(text);
  std::size_t i = 0;
  auto days = readDate(s, i);
  if (!days) return std::nullopt;
  // Years past the timestamp range (about 294,247) overflow the microsecond count: no value, as in Spark.
  std::int64_t micros = 0;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(*days), 86400LL * 1000000LL, &micros)) return std::nullopt;
  if (i == s.size()) return micros;
  if (s[i] != ' ' && s[i] != 'T') return std::nullopt;
  ++i;
  if (i == s.size()) return micros;
  auto hour = readInt(s, i, 1, 2);
  if (!hour || i >= s.size() || s[i] != ':') return std::nullopt;
  ++i;
  auto minute = readInt(s, i, 1, 2);
  if (!minute) return std::nullopt;
  int second = 0;
  std::int64_t fraction = 0;
  if (i < s.size() && s[i] == ':') {
    ++i;
    auto sec = readInt(s, i, 1, 2);
    if (!sec) return std::nullopt;
    second = *sec;
    if (i < s.size() && s[i] == '.') {
      ++i;
      int digits = 0;
      while (i < s.size() && isDigit(s[i])) {
        if (digits < 6) fraction = fraction * 10 + (s[i] - '0');
        ++digits;
        ++i;
      }
      if (digits == 0 || digits > 9) return std::nullopt;
      for (int k = std::min(digits, 6); k < 6; ++k) fraction *= 10;
    }
  }
  if (*hour > 23 || *minute > 59 || second > 59) return std::nullopt;
  std::string_view zone = trim(s.substr(i));
  auto offset = zoneOffsetSeconds(zone);
  if (!offset) return std::nullopt;
  const std::int64_t timeOfDay =
      ((static_cast<std::int64_t>(*hour) * 60 + *minute) * 60 + second - *offset) * 1000000LL + fraction;
  if (__builtin_add_overflow(micros, timeOfDay, &micros)) return std::nullopt;
  return micros;
}

std::optional<Decimal> parseDecimalText(std::string_view text, bool negative, int& precisionOut) {
  std::string digits;
  int scale = 0;
  std::size_t i = 0;
  bool seenDot = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (isDigit(c)) {
      digits += c;
      if (seenDot) ++scale;
    } else if (c == '.' && !seenDot) {
      seenDot = true;
    } else {
      break;
    }
  }
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    int sign = 1;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) sign = text[i++] == '-' ? -1 : 1;
    while (i < text.size() && isDigit(text[i])) {
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    exponent *= sign;
  }
  // Leading zeros carry no precision.
  std::size_t firstNonZero = digits.find_first_not_of('0');
  digits = firstNonZero == std::string::npos ? std::string("0") : digits.substr(firstNonZero);
  long long newScale = static_cast<long long>(scale) - exponent;
  if (newScale < 0) {
    if (digits != "0") digits.append(static_cast<std::size_t>(std::min<long long>(-newScale, 100)), '0');
    newScale = 0;
  }
  long long precision = std::max<long long>(static_cast<long long>(digits.size()), newScale);
  precisionOut = static_cast<int>(std::min<long long>(precision, 1000000));
  if (precision > 38) return std::nullopt;
  __int128 unscaled = 0;
  for (char c : digits) unscaled = unscaled * 10 + (c - '0');
  Decimal d;
  d.unscaled = negative ? -unscaled : unscaled;
  d.precision = static_cast<std::uint8_t>(precision);
  d.scale = static_cast<std::uint8_t>(newScale);
  return d;
}

}  // namespace engine::sql

namespace engine::sql {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerMinute = 60 * kMicrosPerSecond;
constexpr std::int64_t kMicrosPerHour = 60 * kMicrosPerMinute;
constexpr std::int64_t kMicrosPerDay = 24 * kMicrosPerHour;

std::string lowerWord(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

[[noreturn]] void invalidInterval(const std::string& why) { throw std::invalid_argument(why); }

std::int64_t checkedAdd(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) invalidInterval("the interval overflows (long overflow)");
  return r;
}

std::int64_t checkedMul(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) invalidInterval("the interval overflows (long overflow)");
  return r;
}

// A signed number: whole part and up to 9 fraction digits (nanoseconds); `hasFraction` when a '.' appears.
struct IntervalNumber {
  bool negative = false;
  std::int64_t whole = 0;
  std::int64_t nanos = 0;
  bool hasFraction = false;
};

IntervalNumber parseIntervalNumber(std::string_view text) {
  IntervalNumber n;
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  std::size_t end = text.size();
  while (end > i && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  if (i < end && (text[i] == '-' || text[i] == '+')) n.negative = text[i++] == '-';
  std::size_t digits = 0;
  for (; i < end && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits)
    n.whole = checkedAdd(checkedMul(n.whole, 10), text[i] - '0');
  if (i < end && text[i] == '.') {
    n.hasFraction = true;
    ++i;
    int scale = 0;
    for (; i < end && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
      if (scale >= 9) invalidInterval("'" + std::string(text) + "' has more than 9 fraction digits");
      n.nanos = n.nanos * 10 + (text[i] - '0');
      ++scale;
    }
    for (; scale < 9; ++scale) n.nanos *= 10;
  }
  if (digits == 0 || i != end) invalidInterval("'" + std::string(text) + "' is not a number");
  return n;
}

}  // namespace

IntervalLiteral intervalFromUnits(const std::vector<std::pair<std::string, std::string>>& items) {
  std::int64_t months = 0, micros = 0;
  int ymStart = 2, ymEnd = -1, dtStart = 4, dtEnd = -1;
  for (const auto& [valueText, unitText] : items) {
    std::string unit = lowerWord(unitText);
    if (unit.size() > 1 && unit.back() == 's') unit.pop_back();
    IntervalNumber n = parseIntervalNumber(valueText);
    if (n.hasFraction && unit != "second") {
      invalidInterval("'" + valueText + " " + unitText + "' cannot have a fractional part: only seconds take one");
    }
    const std::int64_t sign = n.negative ? -1 : 1;
    auto ym = [&](int field, std::int64_t perUnit) {
      months = checkedAdd(months, checkedMul(sign * n.whole, perUnit));
      ymStart = std::min(ymStart, field);
      ymEnd = std::max(ymEnd, field);
    };
    auto dt = [&](int field, std::int64_t perUnit) {
      micros = checkedAdd(micros, checkedMul(sign * n.whole, perUnit));
      dtStart = std::min(dtStart, field);
      dtEnd = std::max(dtEnd, field);
    };
    if (unit == "year") {
      ym(0, 12);
    } else if (unit == "month") {
      ym(1, 1);
    } else if (unit == "week") {
      dt(0, 7 * kMicrosPerDay);
    } else if (unit == "day") {
      dt(0, kMicrosPerDay);
    } else if (unit == "hour") {
      dt(1, kMicrosPerHour);
    } else if (unit == "minute") {
      dt(2, kMicrosPerMinute);
    } else if (unit == "second") {
      dt(3, kMicrosPerSecond);
      micros = checkedAdd(micros, sign * (n.nanos / 1000));
    } else if (unit == "millisecond") {
      dt(3, 1000);
    } else if (unit == "microsecond") {
      dt(3, 1);
    } else {
      invalidInterval("'" + unitText + "' is not an interval unit");
    }
  }
  if (ymEnd >= 0 && dtEnd >= 0) invalidInterval("Cannot mix year-month and day-time fields");
  if (ymEnd >= 0) {
    if (months < std::numeric_limits<std::int32_t>::min() || months > std::numeric_limits<std::int32_t>::max())
      invalidInterval("the interval overflows (integer overflow)");
    return {Value(YearMonthIntervalValue{static_cast<std::int32_t>(months), static_cast<std::uint8_t>(ymStart),
                                         static_cast<std::uint8_t>(ymEnd)}),
            YearMonthIntervalType(ymStart, ymEnd)};
  }
  return {Value(DayTimeIntervalValue{micros, static_cast<std::uint8_t>(dtStart), static_cast<std::uint8_t>(dtEnd)}),
          DayTimeIntervalType(dtStart, dtEnd)};
}

IntervalLiteral intervalFromTo(std::string_view text, const std::string& fromText, const std::string& toText) {
  const std::string from = lowerWord(fromText), to = lowerWord(toText);
  std::string_view t = text;
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
  const std::string shown = "'" + std::string(text) + "' " + fromText + " TO " + toText;
  bool negative = false;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  // Reads an unsigned run of digits, at most maxDigits long (0: any length).
  auto number = [&](std::size_t maxDigits) -> std::int64_t {
    std::size_t k = 0;
    std::int64_t v = 0;
    while (k < t.size() && std::isdigit(static_cast<unsigned char>(t[k]))) {
      v = checkedAdd(checkedMul(v, 10), t[k] - '0');
      ++k;
    }
    if (k == 0 || (maxDigits && k > maxDigits)) invalidInterval("Interval string does not match the form of " + shown);
    t.remove_prefix(k);
    return v;
  };
  auto expect = [&](char c) {
    if (t.empty() || t.front() != c) invalidInterval("Interval string does not match the form of " + shown);
    t.remove_prefix(1);
  };
  if (from == "year" && to == "month") {
    std::int64_t y = number(0);
    expect('-');
    std::int64_t m = number(0);
    if (!t.empty()) invalidInterval("Interval string does not match the form of " + shown);
    if (m > 11) invalidInterval("month " + std::to_string(m) + " outside range [0, 11] in " + shown);
    std::int64_t months = checkedAdd(checkedMul(y, 12), m);
    if (negative) months = -months;
    if (months < std::numeric_limits<std::int32_t>::min() || months > std::numeric_limits<std::int32_t>::max())
      invalidInterval("the interval overflows (integer overflow)");
    return {Value(YearMonthIntervalValue{static_cast<std::int32_t>(months), 0, 1}), YearMonthIntervalType(0, 1)};
  }
  static const char* const kFields[] = {"day", "hour", "minute", "second"};
  int start = -1, end = -1;
  for (int i = 0; i < 4; ++i) {
    if (from == kFields[i]) start = i;
    if (to == kFields[i]) end = i;
  }
  if (start < 0 || end < 0 || start >= end) invalidInterval("Intervals FROM " + fromText + " TO " + toText + " are not supported");
  std::int64_t micros = 0;
  for (int f = start; f <= end; ++f) {
    if (f > start) expect(f == 1 ? ' ' : ':');
    if (f == 0) {
      micros = checkedAdd(micros, checkedMul(number(0), kMicrosPerDay));
    } else if (f == 1) {
      std::int64_t h = number(2);
      if (h > 23) invalidInterval("hour " + std::to_string(h) + " outside range [0, 23] in " + shown);
      micros = checkedAdd(micros, h * kMicrosPerHour);
    } else if (f == 2) {
      std::int64_t m = number(2);
      if (m > 59) invalidInterval("minute " + std::to_string(m) + " outside range [0, 59] in " + shown);
      micros = checkedAdd(micros, m * kMicrosPerMinute);
    } else {
      std::int64_t s = number(2);
      if (s > 59) invalidInterval("second " + std::to_string(s) + " outside range [0, 59] in " + shown);
      micros = checkedAdd(micros, s * kMicrosPerSecond);
      if (!t.empty() && t.front() == '.') {
        t.remove_prefix(1);
        std::size_t k = 0;
        std::int64_t frac = 0;
        while (k < t.size() && std::isdigit(static_cast<unsigned char>(t[k])) && k < 9) frac = frac * 10 + (t[k++] - '0');
        if (k == 0) invalidInterval("Interval string does not match the form of " + shown);
        for (std::size_t z = k; z < 9; ++z) frac *= 10;
        t.remove_prefix(k);
        micros = checkedAdd(micros, frac / 1000);
      }
    }
  }
  if (!t.empty()) invalidInterval("Interval string does not match the form of " + shown);
  if (negative) micros = -micros;
  return {Value(DayTimeIntervalValue{micros, static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(end)}),
          DayTimeIntervalType(start, end)};
}

}  // namespace engine::sql
