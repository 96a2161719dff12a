#include "engine/local/expr/datetime_pattern.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>
#include <unordered_map>

#include <date/tz.h>
#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/value.h"

namespace engine::local {

struct DateTimePattern::Element {
  enum Kind { Literal, Number, TwoDigitYear, Fraction, MonthText, DayOfWeekText, AmPm, EraText, Offset, ZoneId, Optional };
  enum Field { Year, Month, Day, DayOfYear, Hour24, Hour12, Hour0to11, Hour1to24, Minute, Second, None };
  Kind kind = Literal;
  Field field = None;
  std::string text;        // literal text
  int minWidth = 1, maxWidth = 19;
  bool fullText = false;   // MMMM / EEEE
  char offsetLetter = 'X';
  int offsetCount = 1;
  std::vector<Element> children;  // optional section
};

namespace {

using Element = DateTimePattern::Element;

struct Parsed {
  std::optional<std::int64_t> year, month, day, dayOfYear, hour24, hour12, hour0to11, hour1to24, minute, second;
  std::int64_t nanos = 0;
  std::optional<int> ampm;  // 0 AM, 1 PM
  std::optional<int> offsetSeconds;
  std::optional<std::string> zone;
};

[[noreturn]] void badPattern(const std::string& pattern, const std::string& why) {
  throw ExecutionException(fmt::format("[INVALID_DATETIME_PATTERN] Unrecognized datetime pattern: {}. {}", pattern, why));
}

bool isPatternLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::vector<Element> compileElements(const std::string& p, std::size_t& i, bool inOptional) {
  std::vector<Element> out;
  while (i < p.size()) {
    char c = p[i];
    if (c == '[') {
      ++i;
      Element e;
      e.kind = Element::Optional;
      e.children = compileElements(p, i, true);
      out.push_back(std::move(e));
      continue;
    }
    if (c == ']') {
      if (!inOptional) badPattern(p, "An optional section is closed without being opened.");
      ++i;
      return out;
    }
    if (c == '\'') {
      std::string lit;
      ++i;
      if (i < p.size() && p[i] == '\'') {  // '' is a quote
        lit = "'";
        ++i;
      } else {
        bool closed = false;
        while (i < p.size()) {
          if (p[i] == '\'') {
            if (i + 1 < p.size() && p[i + 1] == '\'') {
              lit.push_back('\'');
              i += 2;
              continue;
            }
            closed = true;
            ++i;
            break;
          }
          lit.push_back(p[i++]);
        }
        if (!closed) badPattern(p, "A quoted literal is not closed.");
      }
      Element e;
      e.text = lit;
      out.push_back(std::move(e));
      continue;
    }
    if (!isPatternLetter(c)) {
      Element e;
      e.text = std::string(1, c);
      out.push_back(std::move(e));
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < p.size() && p[j] == c) ++j;
    const int n = static_cast<int>(j - i);
    i = j;
    Element e;
    auto number = [&](Element::Field f, int maxLetters) {
      if (n > maxLetters) badPattern(p, fmt::format("Too many pattern letters: {}", c));
      e.kind = Element::Number;
      e.field = f;
      if (n == 1) {
        e.minWidth = 1;
        e.maxWidth = 19;
      } else {
        e.minWidth = e.maxWidth = n;
      }
    };
    switch (c) {
      case 'y':
      case 'u':
        if (n == 2) {
          e.kind = Element::TwoDigitYear;
          e.field = Element::Year;
        } else {
          e.kind = Element::Number;
          e.field = Element::Year;
          e.minWidth = n == 1 ? 1 : n;
          e.maxWidth = n < 4 ? (n == 1 ? 19 : n) : 19;
          if (n == 3) e.maxWidth = 19;
        }
        break;
      case 'M':
      case 'L':
        if (n <= 2) {
          number(Element::Month, 2);
        } else if (n <= 4) {
          e.kind = Element::MonthText;
          e.fullText = n == 4;
        } else {
          badPattern(p, fmt::format("Too many pattern letters: {}", c));
        }
        break;
      case 'd': number(Element::Day, 2); break;
      case 'D':
        if (n > 3) badPattern(p, "Too many pattern letters: D");
        e.kind = Element::Number;
        e.field = Element::DayOfYear;
        e.minWidth = n;
        e.maxWidth = n == 1 ? 3 : 3;
        break;
      case 'H': number(Element::Hour24, 2); break;
      case 'h': number(Element::Hour12, 2); break;
      case 'K': number(Element::Hour0to11, 2); break;
      case 'k': number(Element::Hour1to24, 2); break;
      case 'm': number(Element::Minute, 2); break;
      case 's': number(Element::Second, 2); break;
      case 'S':
        if (n > 9) badPattern(p, "Too many pattern letters: S");
        e.kind = Element::Fraction;
        e.minWidth = 1;  // Spark accepts 1 to n fraction digits when parsing
        e.maxWidth = n;
        break;
      case 'a':
        if (n > 1) badPattern(p, "Too many pattern letters: a");
        e.kind = Element::AmPm;
        break;
      case 'E':
        // Spark's parser rejects day-of-week fields (their meaning changed with the java.time parser).
        throw ExecutionException(fmt::format(
            "[INCONSISTENT_BEHAVIOR_CROSS_VERSION.DATETIME_PATTERN_RECOGNITION] Fail to recognize '{}' pattern in the "
            "DateTimeFormatter: day-of-week fields (E) cannot be parsed.",
            p));
      case 'G':
        if (n > 4) badPattern(p, "Too many pattern letters: G");
        e.kind = Element::EraText;
        break;
      case 'X':
      case 'x':
      case 'Z':
      case 'O':
        if (n > 5) badPattern(p, fmt::format("Too many pattern letters: {}", c));
        e.kind = Element::Offset;
        e.offsetLetter = c;
        e.offsetCount = n;
        break;
      case 'V':
      case 'z':
        e.kind = Element::ZoneId;
        break;
      case 'Y':
      case 'w':
      case 'W':
      case 'e':
      case 'c':
      case 'F':
        badPattern(p, fmt::format("Pattern letter {} is not supported for parsing timestamps (week-based patterns "
                                  "are not allowed); use y, M, d and E instead.", c));
      default:
        badPattern(p, fmt::format("Unknown pattern letter: {}", c));
    }
    out.push_back(std::move(e));
  }
  if (inOptional) badPattern(p, "An optional section is opened without being closed.");
  return out;
}

constexpr std::array<const char*, 12> kMonthsFull = {"january", "february", "march",     "april",   "may",      "june",
                                                     "july",    "august",   "september", "october", "november", "december"};
constexpr std::array<const char*, 7> kDaysFull = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};

bool matchesIgnoreCase(std::string_view text, std::size_t pos, std::string_view word) {
  if (pos + word.size() > text.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k)
    if (std::tolower(static_cast<unsigned char>(text[pos + k])) != std::tolower(static_cast<unsigned char>(word[k])))
      return false;
  return true;
}

int fixedWidthFollowing(const std::vector<Element>& els, std::size_t idx) {
  int reserved = 0;
  for (std::size_t k = idx + 1; k < els.size(); ++k) {
    const Element& e = els[k];
    if ((e.kind == Element::Number && e.minWidth == e.maxWidth) || e.kind == Element::TwoDigitYear) {
      reserved += e.kind == Element::TwoDigitYear ? 2 : e.minWidth;
    } else {
      break;
    }
  }
  return reserved;
}

bool parseElements(const std::vector<Element>& els, std::string_view text, std::size_t& pos, Parsed& out);

bool parseOffset(const Element& e, std::string_view text, std::size_t& pos, Parsed& out) {
  if (e.offsetLetter == 'O') {
    if (!matchesIgnoreCase(text, pos, "GMT")) return false;
    pos += 3;
    if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) {
      out.offsetSeconds = 0;
      return true;
    }
  } else if ((e.offsetLetter == 'X' || (e.offsetLetter == 'Z' && e.offsetCount >= 4)) && pos < text.size() &&
             (text[pos] == 'Z' || text[pos] == 'z')) {
    ++pos;
    out.offsetSeconds = 0;
    return true;
  }
  if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return false;
  int sign = text[pos] == '-' ? -1 : 1;
  ++pos;
  auto digits2 = [&](int& v) {
    if (pos + 2 > text.size() || !std::isdigit(static_cast<unsigned char>(text[pos])) ||
        !std::isdigit(static_cast<unsigned char>(text[pos + 1])))
      return false;
    v = (text[pos] - '0') * 10 + (text[pos + 1] - '0');
    pos += 2;
    return true;
  };
  int h = 0, m = 0, s = 0;
  if (!digits2(h)) {
    if (e.offsetLetter == 'O' && pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
      h = text[pos++] - '0';
    } else {
      return false;
    }
  }
  if (pos < text.size() && text[pos] == ':') {
    std::size_t save = pos++;
    if (!digits2(m)) pos = save;
    else if (pos < text.size() && text[pos] == ':') {
      std::size_t save2 = pos++;
      if (!digits2(s)) pos = save2;
    }
  } else {
    std::size_t save = pos;
    if (!digits2(m)) pos = save;
  }
  if (h > 18 || m > 59 || s > 59) return false;
  out.offsetSeconds = sign * (h * 3600 + m * 60 + s);
  return true;
}

bool parseOne(const std::vector<Element>& els, std::size_t idx, std::string_view text, std::size_t& pos, Parsed& out) {
  const Element& e = els[idx];
  switch (e.kind) {
    case Element::Literal:
      if (!matchesIgnoreCase(text, pos, e.text)) return false;
      pos += e.text.size();
      return true;
    case Element::Optional: {
      std::size_t save = pos;
      Parsed saved = out;
      if (!parseElements(e.children, text, pos, out)) {
        pos = save;
        out = saved;
      }
      return true;
    }
    case Element::Number:
    case Element::TwoDigitYear: {
      std::size_t avail = 0;
      while (pos + avail < text.size() && std::isdigit(static_cast<unsigned char>(text[pos + avail]))) ++avail;
      int minW = e.kind == Element::TwoDigitYear ? 2 : e.minWidth;
      int maxW = e.kind == Element::TwoDigitYear ? 2 : e.maxWidth;
      std::size_t take = std::min<std::size_t>(avail, static_cast<std::size_t>(maxW));
      if (maxW > minW) {
        int reserved = fixedWidthFollowing(els, idx);
        if (reserved > 0) {
          if (avail < static_cast<std::size_t>(reserved)) return false;
          take = std::min(take, avail - static_cast<std::size_t>(reserved));
        }
      }
      if (take < static_cast<std::size_t>(minW) || take == 0) return false;
      std::int64_t v = 0;
      for (std::size_t k = 0; k < take; ++k) v = v * 10 + (text[pos + k] - '0');
      pos += take;
      if (e.kind == Element::TwoDigitYear) {
        out.year = 2000 + v;  // Spark's base year for yy is 2000 (2000..2099)
        return true;
      }
      switch (e.field) {
        case Element::Year: out.year = v; break;
        case Element::Month: out.month = v; break;
        case Element::Day: out.day = v; break;
        case Element::DayOfYear: out.dayOfYear = v; break;
        case Element::Hour24: out.hour24 = v; break;
        case Element::Hour12: out.hour12 = v; break;
        case Element::Hour0to11: out.hour0to11 = v; break;
        case Element::Hour1to24: out.hour1to24 = v; break;
        case Element::Minute: out.minute = v; break;
        case Element::Second: out.second = v; break;
        case Element::None: break;
      }
      return true;
    }
    case Element::Fraction: {
      std::size_t avail = 0;
      while (pos + avail < text.size() && avail < static_cast<std::size_t>(e.maxWidth) &&
             std::isdigit(static_cast<unsigned char>(text[pos + avail])))
        ++avail;
      if (avail < static_cast<std::size_t>(e.minWidth)) return false;
      std::int64_t nanos = 0;
      for (std::size_t k = 0; k < 9; ++k) nanos = nanos * 10 + (k < avail ? text[pos + k] - '0' : 0);
      out.nanos = nanos;
      pos += avail;
      return true;
    }
    case Element::MonthText:
      for (std::size_t m = 0; m < 12; ++m) {
        std::string_view full = kMonthsFull[m];
        std::string_view word = e.fullText ? full : full.substr(0, 3);
        if (matchesIgnoreCase(text, pos, word)) {
          pos += word.size();
          out.month = static_cast<std::int64_t>(m + 1);
          return true;
        }
      }
      return false;
    case Element::DayOfWeekText:
      for (const char* d : kDaysFull) {
        std::string_view full = d;
        std::string_view word = e.fullText ? full : full.substr(0, 3);
        if (matchesIgnoreCase(text, pos, word)) {
          pos += word.size();
          return true;  // checked for form only; the date fields decide the day
        }
      }
      return false;
    case Element::AmPm:
      if (matchesIgnoreCase(text, pos, "AM")) {
        out.ampm = 0;
      } else if (matchesIgnoreCase(text, pos, "PM")) {
        out.ampm = 1;
      } else {
        return false;
      }
      pos += 2;
      return true;
    case Element::EraText:
      if (matchesIgnoreCase(text, pos, "AD")) {
        pos += 2;
        return true;
      }
      return false;
    case Element::Offset: return parseOffset(e, text, pos, out);
    case Element::ZoneId: {
      std::size_t end = pos;
      while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '/' ||
                                   text[end] == '_' || text[end] == '+' || text[end] == '-' || text[end] == ':'))
        ++end;
      if (end == pos) return false;
      std::string zone(text.substr(pos, end - pos));
      if (!zoneOffsetForInstant(zone, 0)) return false;
      out.zone = zone;
      pos = end;
      return true;
    }
  }
  return false;
}

bool parseElements(const std::vector<Element>& els, std::string_view text, std::size_t& pos, Parsed& out) {
  for (std::size_t i = 0; i < els.size(); ++i)
    if (!parseOne(els, i, text, pos, out)) return false;
  return true;
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int daysInMonth(std::int64_t y, std::int64_t m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : d[m - 1];
}

}  // namespace

std::shared_ptr<const DateTimePattern> DateTimePattern::compile(const std::string& pattern) {
  auto p = std::make_shared<DateTimePattern>();
  p->pattern_ = pattern;
  std::size_t i = 0;
  p->elements_ = compileElements(pattern, i, false);
  return p;
}

std::optional<std::int64_t> DateTimePattern::parseTimestamp(std::string_view text, const std::string& zone) const {
  Parsed f;
  std::size_t pos = 0;
  if (!parseElements(elements_, text, pos, f) || pos != text.size()) return std::nullopt;
  // Resolve strictly: fields out of range or dates that do not exist give no value.
  std::int64_t year = f.year.value_or(1970);
  if (year < -290000 || year > 294000) return std::nullopt;
  std::int64_t month = 1, day = 1;
  if (f.dayOfYear) {
    if (*f.dayOfYear < 1 || *f.dayOfYear > (isLeap(year) ? 366 : 365)) return std::nullopt;
    std::int64_t doy = *f.dayOfYear;
    month = 1;
    while (doy > daysInMonth(year, month)) doy -= daysInMonth(year, month++);
    day = doy;
    if ((f.month && *f.month != month) || (f.day && *f.day != day)) return std::nullopt;
  } else {
    month = f.month.value_or(1);
    day = f.day.value_or(1);
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
  std::int64_t hour = 0;
  if (f.hour24) {
    if (*f.hour24 > 23) return std::nullopt;
    hour = *f.hour24;
  } else if (f.hour1to24) {
    if (*f.hour1to24 < 1 || *f.hour1to24 > 24) return std::nullopt;
    hour = *f.hour1to24 % 24;
  } else if (f.hour12 || f.hour0to11) {
    std::int64_t h = f.hour12 ? *f.hour12 : *f.hour0to11;
    if (f.hour12 && (h < 1 || h > 12)) return std::nullopt;
    if (f.hour0to11 && h > 11) return std::nullopt;
    if (!f.ampm) return std::nullopt;  // a 12-hour clock needs its AM/PM marker
    hour = (h % 12) + (*f.ampm == 1 ? 12 : 0);
  } else if (f.ampm) {
    return std::nullopt;
  }
  std::int64_t minute = f.minute.value_or(0), second = f.second.value_or(0);
  if (minute > 59 || second > 59) return std::nullopt;
  const std::int64_t days = daysFromCivil(static_cast<int>(year), static_cast<unsigned>(month), static_cast<unsigned>(day));
  const std::int64_t localSeconds = days * 86400 + hour * 3600 + minute * 60 + second;
  std::optional<int> offset = f.offsetSeconds;
  if (!offset) offset = zoneOffsetForLocal(f.zone ? *f.zone : zone, localSeconds);
  if (!offset) return std::nullopt;
  return (localSeconds - *offset) * 1000000 + f.nanos / 1000;
}

namespace {

std::optional<int> fixedOffset(std::string_view z) {
  std::string up;
  for (char c : z) up.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  std::string_view rest = up;
  if (rest == "Z" || rest == "UTC" || rest == "GMT" || rest == "UT") return 0;
  for (std::string_view prefix : {"UTC", "GMT", "UT"}) {
    if (rest.substr(0, prefix.size()) == prefix && rest.size() > prefix.size() &&
        (rest[prefix.size()] == '+' || rest[prefix.size()] == '-')) {
      rest.remove_prefix(prefix.size());
      break;
    }
  }
  if (rest.empty() || (rest[0] != '+' && rest[0] != '-')) return std::nullopt;
  int sign = rest[0] == '-' ? -1 : 1;
  rest.remove_prefix(1);
  int h = 0, m = 0, s = 0;
  auto num = [&](int& out, std::size_t maxDigits) {
    std::size_t k = 0;
    out = 0;
    while (k < rest.size() && k < maxDigits && std::isdigit(static_cast<unsigned char>(rest[k]))) out = out * 10 + (rest[k++] - '0');
    rest.remove_prefix(k);
    return k;
  };
  std::size_t hd = num(h, 2);
  if (hd == 0) return std::nullopt;
  if (!rest.empty() && rest[0] == ':') rest.remove_prefix(1);
  if (!rest.empty() && num(m, 2) != 2) return std::nullopt;
  if (!rest.empty() && rest[0] == ':') rest.remove_prefix(1);
  if (!rest.empty() && num(s, 2) != 2) return std::nullopt;
  if (!rest.empty() || h > 18 || m > 59 || s > 59) return std::nullopt;
  return sign * (h * 3600 + m * 60 + s);
}

const date::time_zone* regionZone(const std::string& zone) {
  static std::mutex mu;
  static std::unordered_map<std::string, const date::time_zone*> cache;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(zone);
  if (it != cache.end()) return it->second;
  const date::time_zone* tz = nullptr;
  try {
    tz = date::locate_zone(zone);
  } catch (const std::exception&) {
    tz = nullptr;
  }
  cache.emplace(zone, tz);
  return tz;
}

}  // namespace

std::optional<int> zoneOffsetForLocal(const std::string& zone, std::int64_t localSeconds) {
  if (auto f = fixedOffset(zone)) return f;
  const date::time_zone* tz = regionZone(zone);
  if (!tz) return std::nullopt;
  date::local_seconds ls{std::chrono::seconds(localSeconds)};
  auto info = tz->get_info(ls);
  // In a gap Java moves the time forward by the gap (the earlier offset applies); in an overlap it keeps the
  // earlier offset. Both are the first offset.
  return static_cast<int>(info.first.offset.count());
}

std::optional<int> zoneOffsetForInstant(const std::string& zone, std::int64_t utcSeconds) {
  if (auto f = fixedOffset(zone)) return f;
  const date::time_zone* tz = regionZone(zone);
  if (!tz) return std::nullopt;
  date::sys_seconds ss{std::chrono::seconds(utcSeconds)};
  return static_cast<int>(tz->get_info(ss).offset.count());
}

}  // namespace engine::local
