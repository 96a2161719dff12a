#include "engine/local/expr/expr_datetime.h"

#include <cctype>
#include <chrono>

#include <date/tz.h>
#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/value.h"

namespace engine::local {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

// Spark trims whitespace and ISO control characters (single bytes) around date and timestamp text.
std::string_view trimAll(std::string_view s) {
  auto ws = [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b <= 0x20 || b == 0x7F;
  };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool validCivil(int y, int m, int d) {
  if (m < 1 || m > 12 || d < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  int dim = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
  return d <= dim;
}

// "+hh", "+hh:mm", "+hhmm", "+hh:mm:ss", "+h" (sign included) as seconds; Java's ZoneOffset.of rules.
std::optional<int> parseOffset(std::string_view s) {
  if (s.empty() || (s[0] != '+' && s[0] != '-')) return std::nullopt;
  int sign = s[0] == '-' ? -1 : 1;
  s.remove_prefix(1);
  auto two = [&](std::string_view t, std::size_t pos, int& out) {
    if (pos + 2 > t.size() || !isDigit(t[pos]) || !isDigit(t[pos + 1])) return false;
    out = (t[pos] - '0') * 10 + (t[pos + 1] - '0');
    return true;
  };
  int h = 0, m = 0, sec = 0;
  switch (s.size()) {
    case 1:
      if (!isDigit(s[0])) return std::nullopt;
      h = s[0] - '0';
      break;
    case 2:
      if (!two(s, 0, h)) return std::nullopt;
      break;
    case 4:
      if (!two(s, 0, h) || !two(s, 2, m)) return std::nullopt;
      break;
    case 5:
      if (!two(s, 0, h) || s[2] != ':' || !two(s, 3, m)) return std::nullopt;
      break;
    case 6:
      if (!two(s, 0, h) || !two(s, 2, m) || !two(s, 4, sec)) return std::nullopt;
      break;
    case 8:
      if (!two(s, 0, h) || s[2] != ':' || !two(s, 3, m) || s[5] != ':' || !two(s, 6, sec)) return std::nullopt;
      break;
    default:
      return std::nullopt;
  }
  if (h > 18 || m > 59 || sec > 59) return std::nullopt;
  int total = h * 3600 + m * 60 + sec;
  if (total > 18 * 3600) return std::nullopt;
  return sign * total;
}

}  // namespace

namespace {

std::optional<int> fixedZoneOffset(std::string_view zone) {
  if (zone.empty()) return std::nullopt;
  // Spark accepts the pre-3.0 forms (+|-)h:mm and (+|-)hh:m by padding them.
  std::string z(zone);
  if (z.size() >= 3 && (z[0] == '+' || z[0] == '-') && isDigit(z[1]) && z[2] == ':') z.insert(1, "0");
  if (z.size() == 5 && (z[0] == '+' || z[0] == '-') && isDigit(z[1]) && isDigit(z[2]) && z[3] == ':' && isDigit(z[4]))
    z.insert(4, "0");
  if (z == "Z") return 0;
  if (z[0] == '+' || z[0] == '-') return parseOffset(z);
  if (z == "EST") return -5 * 3600;
  if (z == "MST") return -7 * 3600;
  if (z == "HST") return -10 * 3600;
  for (const char* prefix : {"UTC", "GMT", "UT"}) {
    std::string_view p(prefix);
    if (z.compare(0, p.size(), p) == 0) {
      std::string_view rest = std::string_view(z).substr(p.size());
      if (rest.empty()) return 0;
      if (rest[0] == '+' || rest[0] == '-') return parseOffset(rest);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// java.time.ZoneId.SHORT_IDS entries that name regions.
std::string_view shortIdRegion(std::string_view id) {
  static const std::pair<const char*, const char*> kIds[] = {
      {"ACT", "Australia/Darwin"},    {"AET", "Australia/Sydney"},     {"AGT", "America/Argentina/Buenos_Aires"},
      {"ART", "Africa/Cairo"},        {"AST", "America/Anchorage"},    {"BET", "America/Sao_Paulo"},
      {"BST", "Asia/Dhaka"},          {"CAT", "Africa/Harare"},        {"CNT", "America/St_Johns"},
      {"CST", "America/Chicago"},     {"CTT", "Asia/Shanghai"},        {"EAT", "Africa/Addis_Ababa"},
      {"ECT", "Europe/Paris"},        {"IET", "America/Indiana/Indianapolis"}, {"IST", "Asia/Kolkata"},
      {"JST", "Asia/Tokyo"},          {"MIT", "Pacific/Apia"},         {"NET", "Asia/Yerevan"},
      {"NST", "Pacific/Auckland"},    {"PLT", "Asia/Karachi"},         {"PNT", "America/Phoenix"},
      {"PRT", "America/Puerto_Rico"}, {"PST", "America/Los_Angeles"},  {"SST", "Pacific/Guadalcanal"},
      {"VST", "Asia/Ho_Chi_Minh"}};
  for (const auto& [k, v] : kIds)
    if (id == k) return v;
  return id;
}

std::int64_t floorDivI(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

std::optional<ZoneRules> ZoneRules::parse(std::string_view id) {
  while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
  while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
  ZoneRules z;
  if (auto off = fixedZoneOffset(id)) {
    z.fixed_ = *off;
    return z;
  }
  if (id.empty() || !(std::isalpha(static_cast<unsigned char>(id[0])))) return std::nullopt;
  try {
    z.tz_ = date::locate_zone(shortIdRegion(id));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return z;
}

ZoneRules ZoneRules::session(const std::string& id) {
  if (id.empty() || id == "UTC") return ZoneRules();
  auto z = parse(id);
  if (!z) throw ExecutionException(fmt::format("[INVALID_CONF_VALUE.TIME_ZONE] The time zone '{}' is invalid.", id));
  return *z;
}

int ZoneRules::regionOffsetAtUtc(std::int64_t utcSeconds) const {
  auto info = tz_->get_info(date::sys_seconds{std::chrono::seconds{utcSeconds}});
  return static_cast<int>(info.offset.count());
}

int ZoneRules::regionOffsetForLocal(std::int64_t localSeconds) const {
  auto info = tz_->get_info(date::local_seconds{std::chrono::seconds{localSeconds}});
  // Unique: the only offset. Gap or overlap: the offset before the transition, which java.time uses to
  // move a skipped time forward and to pick the earlier of two instants.
  return static_cast<int>(info.first.offset.count());
}

std::int64_t ZoneRules::utcToLocalMicros(std::int64_t utcMicros) const {
  if (!tz_) return utcMicros + static_cast<std::int64_t>(fixed_) * kMicrosPerSecond;
  return utcMicros + static_cast<std::int64_t>(regionOffsetAtUtc(floorDivI(utcMicros, kMicrosPerSecond))) *
                         kMicrosPerSecond;
}

std::int64_t ZoneRules::localToUtcMicros(std::int64_t localMicros) const {
  if (!tz_) return localMicros - static_cast<std::int64_t>(fixed_) * kMicrosPerSecond;
  return localMicros - static_cast<std::int64_t>(regionOffsetForLocal(floorDivI(localMicros, kMicrosPerSecond))) *
                           kMicrosPerSecond;
}

std::optional<std::int32_t> parseDateText(std::string_view text) {
  std::string_view s = trimAll(text);
  if (s.empty()) return std::nullopt;
  auto validDigits = [](int segment, int digits) {
    return (segment == 0 && digits >= 4 && digits <= 7) || (segment != 0 && digits > 0 && digits <= 2);
  };
  int segments[3] = {1, 1, 1};
  int sign = 1, i = 0, value = 0, digits = 0;
  std::size_t j = 0;
  if (s[0] == '-' || s[0] == '+') {
    sign = s[0] == '-' ? -1 : 1;
    ++j;
  }
  while (j < s.size() && i < 3 && !(s[j] == ' ' || s[j] == 'T')) {
    char b = s[j];
    if (i < 2 && b == '-') {
      if (!validDigits(i, digits)) return std::nullopt;
      segments[i] = value;
      value = digits = 0;
      ++i;
    } else {
      if (!isDigit(b)) return std::nullopt;
      if (digits >= 8) return std::nullopt;  // no segment may have this many digits; stops int overflow
      value = value * 10 + (b - '0');
      ++digits;
    }
    ++j;
  }
  if (!validDigits(i, digits)) return std::nullopt;
  if (i < 2 && j < s.size()) return std::nullopt;  // yyyy and yyyy-[m]m must use the whole text
  segments[i] = value;
  int y = sign * segments[0];
  if (!validCivil(y, segments[1], segments[2])) return std::nullopt;
  return daysFromCivil(y, static_cast<unsigned>(segments[1]), static_cast<unsigned>(segments[2]));
}

namespace {
std::optional<std::int64_t> parseTimestampImpl(std::string_view text, const ZoneRules& defaultZone,
                                               std::optional<std::int32_t> today) {
  std::string_view s = trimAll(text);
  if (s.empty()) return std::nullopt;
  auto validDigits = [](int segment, int digits) {
    return segment == 6 || (segment == 0 && digits >= 4 && digits <= 6) || (segment == 7 && digits <= 2) ||
           (segment != 0 && segment != 6 && segment != 7 && digits > 0 && digits <= 2);
  };
  int segments[9] = {1, 1, 1, 0, 0, 0, 0, 0, 0};
  int i = 0, value = 0, digits = 0, fractionDigits = 0;
  bool justTime = false, hasTz = false;
  int yearSign = 0;
  std::string_view tz;
  std::size_t j = 0;
  if (s[0] == '-' || s[0] == '+') {
    yearSign = s[0] == '-' ? -1 : 1;
    ++j;
  }
  auto closeSegment = [&](int seg) {
    if (!validDigits(seg, digits)) return false;
    segments[seg] = value;
    value = digits = 0;
    return true;
  };
  while (j < s.size()) {
    char b = s[j];
    if (!isDigit(b)) {
      if (j == 0 && b == 'T') {
        justTime = true;
        i += 3;
      } else if (i < 2) {
        if (b == '-') {
          if (!closeSegment(i)) return std::nullopt;
          ++i;
        } else if (i == 0 && b == ':' && yearSign == 0) {
          justTime = true;
          if (!validDigits(3, digits)) return std::nullopt;
          segments[3] = value;
          value = digits = 0;
          i = 4;
        } else {
          return std::nullopt;
        }
      } else if (i == 2) {
        if (b != ' ' && b != 'T') return std::nullopt;
        if (!closeSegment(i)) return std::nullopt;
        ++i;
      } else if (i == 3 || i == 4) {
        if (b != ':') return std::nullopt;
        if (!closeSegment(i)) return std::nullopt;
        ++i;
      } else if (i == 5 || i == 6) {
        if (b == '.' && i == 5) {
          if (!closeSegment(i)) return std::nullopt;
          ++i;
        } else {
          if (!closeSegment(i)) return std::nullopt;
          ++i;
          tz = s.substr(j);
          hasTz = true;
          j = s.size() - 1;
        }
        if (i == 6 && b != '.') ++i;
      } else {
        if (i < 9 && (b == ':' || b == ' ')) {
          if (!closeSegment(i)) return std::nullopt;
          ++i;
        } else {
          return std::nullopt;
        }
      }
    } else {
      if (i == 6) ++fractionDigits;
      if (i != 6 && digits >= 8) return std::nullopt;  // no such segment is valid; stops int overflow
      // Digits past microseconds are dropped (truncated), as Spark does.
      if (i != 6 || digits < 6) value = value * 10 + (b - '0');
      ++digits;
    }
    ++j;
  }
  if (i > 8 || !validDigits(i, digits)) return std::nullopt;
  segments[i] = value;
  while (fractionDigits < 6) {
    segments[6] *= 10;
    ++fractionDigits;
  }
  if (yearSign != 0) segments[0] *= yearSign;

  std::optional<ZoneRules> textZone;
  if (hasTz) {
    textZone = ZoneRules::parse(tz);
    if (!textZone) return std::nullopt;
  }
  const ZoneRules& zone = textZone ? *textZone : defaultZone;
  int h = segments[3], mi = segments[4], sec = segments[5];
  if (h > 23 || mi > 59 || sec > 59) return std::nullopt;
  std::int64_t days;
  if (justTime && today) {
    days = *today;
  } else if (justTime) {
    std::int64_t nowUtc = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    days = floorDivI(zone.utcToLocalMicros(nowUtc), kMicrosPerDay);
  } else {
    if (!validCivil(segments[0], segments[1], segments[2])) return std::nullopt;
    days = daysFromCivil(segments[0], static_cast<unsigned>(segments[1]), static_cast<unsigned>(segments[2]));
  }
  // Years far outside the timestamp range overflow the microsecond count: no value, as in Spark.
  std::int64_t secs = 0, local = 0;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(days), std::int64_t{86400}, &secs) ||
      __builtin_add_overflow(secs, static_cast<std::int64_t>(h * 3600 + mi * 60 + sec), &secs) ||
      __builtin_mul_overflow(secs, kMicrosPerSecond, &local) || __builtin_add_overflow(local, segments[6], &local) ||
      local > INT64_MAX - 2 * kMicrosPerDay || local < INT64_MIN + 2 * kMicrosPerDay)
    return std::nullopt;
  return zone.localToUtcMicros(local);
}

}  // namespace

std::optional<std::int64_t> parseTimestampText(std::string_view s, const ZoneRules& defaultZone) {
  return parseTimestampImpl(s, defaultZone, std::nullopt);
}

std::optional<std::int64_t> parseTimestampText(std::string_view s, int defaultOffsetSeconds, std::int32_t today) {
  return parseTimestampImpl(s, ZoneRules::fixedOffset(defaultOffsetSeconds), today);
}

int sessionZoneOffset(const std::string& zone) {
  ZoneRules z = ZoneRules::session(zone);
  if (!z.isFixed())
    throw ExecutionException(fmt::format(
        "The time zone '{}' has no fixed offset; this reader needs UTC or a fixed offset such as +02:00.", zone));
  return z.offsetAtUtc(0);
}

std::int32_t currentDay(int offsetSeconds) {
  auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count() +
             static_cast<std::int64_t>(offsetSeconds) * kMicrosPerSecond;
  return static_cast<std::int32_t>(floorDivI(now, kMicrosPerDay));
}

}  // namespace engine::local
