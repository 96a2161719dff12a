#include "engine/local/io/csv_datetime_pattern.h"

#include <cctype>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/value.h"

namespace engine::local::csv {

namespace {

constexpr const char* kMonths[] = {"january", "february", "march",     "april",   "may",      "june",
                                   "july",    "august",   "september", "october", "november", "december"};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(std::string_view s, std::size_t pos, std::string_view word) {
  if (s.size() - pos < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lowerAscii(s[pos + i]) != word[i]) return false;
  }
  return true;
}

bool validDate(std::int64_t y, int m, int d) {
  if (m < 1 || m > 12 || d < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

}  // namespace

DateTimePattern DateTimePattern::compile(const std::string& pattern) {
  DateTimePattern p;
  p.text_ = pattern;
  auto literal = [&](std::string text) {
    if (!p.tokens_.empty() && p.tokens_.back().kind == Kind::Literal) {
      p.tokens_.back().literal += text;
    } else {
      p.tokens_.push_back({Kind::Literal, 0, 0, std::move(text)});
    }
  };
  std::size_t i = 0;
  while (i < pattern.size()) {
    char c = pattern[i];
    if (c == '\'') {
      std::size_t j = i + 1;
      std::string text;
      if (j < pattern.size() && pattern[j] == '\'') {
        literal("'");
        i = j + 1;
        continue;
      }
      while (j < pattern.size()) {
        if (pattern[j] == '\'') {
          if (j + 1 < pattern.size() && pattern[j + 1] == '\'') {
            text += '\'';
            j += 2;
            continue;
          }
          break;
        }
        text += pattern[j++];
      }
      if (j >= pattern.size())
        throw AnalysisException(fmt::format("The datetime pattern '{}' has an unterminated quoted literal.", pattern));
      literal(text);
      i = j + 1;
      continue;
    }
    if (!std::isalpha(static_cast<unsigned char>(c))) {
      literal(std::string(1, c));
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < pattern.size() && pattern[j] == c) ++j;
    int count = static_cast<int>(j - i);
    Token t{Kind::Literal, count, c, {}};
    switch (c) {
      case 'y':
      case 'u':
        t.kind = Kind::Year;
        break;
      case 'M':
      case 'L':
        t.kind = count >= 3 ? Kind::MonthName : Kind::Month;
        break;
      case 'd':
        t.kind = Kind::Day;
        break;
      case 'H':
        t.kind = Kind::Hour;
        break;
      case 'k':
        t.kind = Kind::Hour24k;
        break;
      case 'h':
        t.kind = Kind::Hour12;
        break;
      case 'K':
        t.kind = Kind::HourK;
        break;
      case 'a':
        t.kind = Kind::AmPm;
        break;
      case 'm':
        t.kind = Kind::Minute;
        break;
      case 's':
        t.kind = Kind::Second;
        break;
      case 'S':
        t.kind = Kind::Fraction;
        break;
      case 'X':
      case 'x':
      case 'Z':
        t.kind = Kind::Offset;
        break;
      default:
        throw AnalysisException(fmt::format(
            "The datetime pattern '{}' uses the letter '{}', which the CSV reader does not support.", pattern, c));
    }
    if (t.kind == Kind::Fraction && count > 9) {
      throw AnalysisException(fmt::format("The datetime pattern '{}' has more than 9 fraction letters.", pattern));
    }
    if (count > 2 && t.kind != Kind::Year && t.kind != Kind::MonthName && t.kind != Kind::Fraction &&
        t.kind != Kind::Offset) {
      throw AnalysisException(fmt::format("The datetime pattern '{}' has too many '{}' letters.", pattern, c));
    }
    p.tokens_.push_back(std::move(t));
    i = j;
  }
  return p;
}

bool DateTimePattern::match(std::string_view s, Fields& f) const {
  std::size_t pos = 0;
  auto isNumeric = [](Kind k) {
    return k != Kind::Literal && k != Kind::MonthName && k != Kind::AmPm && k != Kind::Offset;
  };
  for (std::size_t ti = 0; ti < tokens_.size(); ++ti) {
    const Token& t = tokens_[ti];
    if (t.kind == Kind::Literal) {
      if (s.compare(pos, t.literal.size(), t.literal) != 0) return false;
      pos += t.literal.size();
      continue;
    }
    if (t.kind == Kind::MonthName) {
      bool found = false;
      for (int m = 0; m < 12 && !found; ++m) {
        std::string_view name(kMonths[m]);
        std::string_view want = t.count == 3 ? name.substr(0, 3) : name;
        if (startsWithNoCase(s, pos, want)) {
          f.month = m + 1;
          pos += want.size();
          found = true;
        }
      }
      if (!found) return false;
      continue;
    }
    if (t.kind == Kind::AmPm) {
      if (startsWithNoCase(s, pos, "am")) {
        f.pm = 0;
      } else if (startsWithNoCase(s, pos, "pm")) {
        f.pm = 1;
      } else {
        return false;
      }
      pos += 2;
      continue;
    }
    if (t.kind == Kind::Offset) {
      if (pos < s.size() && (s[pos] == 'Z' || s[pos] == 'z') && t.letter != 'x' && !(t.letter == 'Z' && t.count < 4)) {
        f.offset = 0;
        ++pos;
        continue;
      }
      if (pos >= s.size() || (s[pos] != '+' && s[pos] != '-')) return false;
      int sign = s[pos] == '-' ? -1 : 1;
      ++pos;
      auto two = [&](int& out) {
        if (pos + 2 > s.size() || !isDigit(s[pos]) || !isDigit(s[pos + 1])) return false;
        out = (s[pos] - '0') * 10 + (s[pos + 1] - '0');
        pos += 2;
        return true;
      };
      int h = 0, m = 0;
      if (!two(h)) return false;
      bool colon = (t.letter != 'Z' && t.count == 3) || (t.letter == 'Z' && t.count >= 5);
      bool minutesOptional = t.letter != 'Z' && t.count == 1;
      if (colon) {
        if (pos >= s.size() || s[pos] != ':') return false;
        ++pos;
        if (!two(m)) return false;
      } else if (!minutesOptional || (pos + 1 < s.size() && isDigit(s[pos]))) {
        if (!two(m)) return false;
      }
      if (h > 18 || m > 59) return false;
      f.offset = sign * (h * 3600 + m * 60);
      continue;
    }
    // Numbers. A field followed directly by another number takes exactly its width (adjacent value
    // parsing, as in yyyyMMdd).
    bool adjacent = ti + 1 < tokens_.size() && isNumeric(tokens_[ti + 1].kind);
    int minWidth = t.count, maxWidth = t.count;
    if (t.kind == Kind::Fraction) {
      minWidth = 1;
    } else if (t.kind == Kind::Year) {
      if (t.count == 2) {
        minWidth = maxWidth = 2;
      } else {
        maxWidth = adjacent ? std::max(t.count, 4) : 9;
        if (adjacent) minWidth = maxWidth;
      }
    } else if (t.count == 1) {
      maxWidth = adjacent ? 1 : 2;
    }
    std::int64_t v = 0;
    int digits = 0;
    while (digits < maxWidth && pos < s.size() && isDigit(s[pos])) v = v * 10 + (s[pos++] - '0'), ++digits;
    if (digits < minWidth) return false;
    switch (t.kind) {
      case Kind::Year:
        f.year = t.count == 2 ? 2000 + v : v;
        break;
      case Kind::Month:
        f.month = static_cast<int>(v);
        break;
      case Kind::Day:
        f.day = static_cast<int>(v);
        break;
      case Kind::Hour:
        if (v > 23) return false;
        f.hour = static_cast<int>(v);
        break;
      case Kind::Hour24k:
        if (v < 1 || v > 24) return false;
        f.hour = static_cast<int>(v % 24);
        break;
      case Kind::Hour12:
        if (v < 1 || v > 12) return false;
        f.hour = static_cast<int>(v % 12);
        f.hour12 = true;
        break;
      case Kind::HourK:
        if (v > 11) return false;
        f.hour = static_cast<int>(v);
        f.hour12 = true;
        break;
      case Kind::Minute:
        if (v > 59) return false;
        f.minute = static_cast<int>(v);
        break;
      case Kind::Second:
        if (v > 59) return false;
        f.second = static_cast<int>(v);
        break;
      case Kind::Fraction: {
        std::int64_t micros = v;
        for (int k = digits; k < 6; ++k) micros *= 10;
        for (int k = 6; k < digits; ++k) micros /= 10;
        f.micros = static_cast<int>(micros);
        break;
      }
      default:
        break;
    }
  }
  if (pos != s.size()) return false;
  if (f.pm == 1 && f.hour12) f.hour += 12;
  return f.year >= -290307 && f.year <= 294246 && validDate(f.year, f.month, f.day);
}

std::optional<std::int32_t> DateTimePattern::parseDate(std::string_view s) const {
  Fields f;
  if (!match(s, f)) return std::nullopt;
  return daysFromCivil(static_cast<int>(f.year), static_cast<unsigned>(f.month), static_cast<unsigned>(f.day));
}

std::optional<std::int64_t> DateTimePattern::parseTimestamp(std::string_view s, const ZoneRules& zone) const {
  Fields f;
  if (!match(s, f)) return std::nullopt;
  std::int64_t days =
      daysFromCivil(static_cast<int>(f.year), static_cast<unsigned>(f.month), static_cast<unsigned>(f.day));
  std::int64_t local = (days * 86400 + f.hour * 3600 + f.minute * 60 + f.second) * 1000000 + f.micros;
  if (f.offset) return local - static_cast<std::int64_t>(*f.offset) * 1000000;
  return zone.localToUtcMicros(local);
}

}  // namespace engine::local::csv
