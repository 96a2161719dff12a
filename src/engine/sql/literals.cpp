#include "engine/sql/literals.h"

#include <algorithm>
#include <cctype>
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
  std::int64_t micros = static_cast<std::int64_t>(*days) * 86400LL * 1000000LL;
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
  micros += ((static_cast<std::int64_t>(*hour) * 60 + *minute) * 60 + second - *offset) * 1000000LL + fraction;
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
