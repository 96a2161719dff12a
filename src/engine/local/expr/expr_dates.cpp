// Date and time functions: the parts of a date or timestamp (year ... second), date arithmetic (date_add,
// date_sub, datediff, add_months, last_day, make_date), truncation (date_trunc, trunc), conversions with
// Spark's datetime patterns (to_date, date_format, unix_timestamp, from_unixtime) and the current date and
// time. Timestamps are read in the session time zone.
#include <chrono>
#include <cmath>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/datetime_pattern.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_datetime.h"
#include "engine/local/expr/expr_kernel.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

BoundExprPtr dateArg(BoundExprPtr e, const Expr& source, std::size_t i) {
  const DataType& t = e->type();
  if (t.id() == TypeId::Date) return e;
  if (!(t.isString() || t.isNull() || t.id() == TypeId::Timestamp))
    throwUnexpectedInput(callText(source), i, "\"DATE\"", argText(source, i, *e), t);
  return castIfNeeded(std::move(e), DateType());
}

BoundExprPtr timestampArg(BoundExprPtr e, const Expr& source, std::size_t i) {
  const DataType& t = e->type();
  if (t.id() == TypeId::Timestamp) return e;
  if (!(t.isString() || t.isNull() || t.id() == TypeId::Date))
    throwUnexpectedInput(callText(source), i, "\"TIMESTAMP\"", argText(source, i, *e), t);
  return castIfNeeded(std::move(e), TimestampType());
}

BoundExprPtr dateIntArg(BoundExprPtr e, const Expr& source, std::size_t i) {
  const DataType& t = e->type();
  if (t.id() == TypeId::Integer) return e;
  if (!(t.isIntegral() || t.isString() || t.isNull()))
    throwUnexpectedInput(callText(source), i, "(\"INT\" or \"SMALLINT\" or \"TINYINT\")", argText(source, i, *e), t);
  return castIfNeeded(std::move(e), IntegerType());
}

std::int32_t dayAt(const Arg& a, std::size_t i) { return a.data<std::int32_t>()[a.row(i)]; }
std::int64_t tsAt(const Arg& a, std::size_t i) { return a.data<std::int64_t>()[a.row(i)]; }
std::int32_t intAt(const Arg& a, std::size_t i) { return a.data<std::int32_t>()[a.row(i)]; }

// Day of week with Monday = 0.
int weekdayOf(std::int64_t days) { return static_cast<int>(floorMod64(days + 3, 7)); }

int isoWeekOfYear(std::int64_t days) {
  // The ISO week's Thursday decides the year; week 1 holds the year's first Thursday.
  std::int64_t thursday = days - weekdayOf(days) + 3;
  CivilDate c = civilFromDays(thursday);
  std::int64_t jan1 = daysFromCivil(c.year, 1, 1);
  return static_cast<int>((thursday - jan1) / 7 + 1);
}

enum class Part { Year, Month, Day, DayOfWeek, WeekDay, DayOfYear, Quarter, WeekOfYear, Hour, Minute, Second };

int datePart(std::int64_t days, Part p) {
  CivilDate c = civilFromDays(days);
  switch (p) {
    case Part::Year: return c.year;
    case Part::Month: return c.month;
    case Part::Day: return c.day;
    case Part::DayOfWeek: return (weekdayOf(days) + 1) % 7 + 1;  // Sunday = 1
    case Part::WeekDay: return weekdayOf(days);
    case Part::DayOfYear: return static_cast<int>(days - daysFromCivil(c.year, 1, 1) + 1);
    case Part::Quarter: return (c.month - 1) / 3 + 1;
    case Part::WeekOfYear: return isoWeekOfYear(days);
    default: return 0;
  }
}

ScalarBinder partOf(Part p) {
  return [p](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    const bool timePart = p == Part::Hour || p == Part::Minute || p == Part::Second;
    args[0] = timePart ? timestampArg(std::move(args[0]), source, 0) : dateArg(std::move(args[0]), source, 0);
    bool nullable = args[0]->nullable();
    return makeKernel(name, std::move(args), IntegerType(), nullable, [p, timePart](const std::vector<Arg>& a, std::size_t n, const EvalContext& ctx) {
      if (!timePart) {
        return strictFixed<std::int32_t>(a, n, IntegerType(), [&](std::size_t i, std::int32_t& o) {
          o = datePart(dayAt(a[0], i), p);
          return true;
        });
      }
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      return strictFixed<std::int32_t>(a, n, IntegerType(), [&](std::size_t i, std::int32_t& o) {
        std::int64_t secs = floorDiv64(zone.utcToLocalMicros(tsAt(a[0], i)), kMicrosPerSecond);
        std::int64_t ofDay = floorMod64(secs, 86400);
        o = static_cast<std::int32_t>(p == Part::Hour ? ofDay / 3600 : p == Part::Minute ? ofDay / 60 % 60 : ofDay % 60);
        return true;
      });
    });
  };
}

// ---- formatting with Spark's datetime patterns -----------------------------------------------------

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kDays[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

// A compiled output pattern: literal text and (letter, count) fields.
struct FormatField {
  char letter = 0;  // 0: literal
  int count = 0;
  std::string text;
};

std::vector<FormatField> compileFormat(const std::string& pattern) {
  std::vector<FormatField> out;
  for (std::size_t i = 0; i < pattern.size();) {
    char c = pattern[i];
    if (c == '\'') {
      std::string lit;
      std::size_t j = i + 1;
      if (j < pattern.size() && pattern[j] == '\'') {
        out.push_back({0, 0, "'"});
        i = j + 1;
        continue;
      }
      for (; j < pattern.size(); ++j) {
        if (pattern[j] == '\'') {
          if (j + 1 < pattern.size() && pattern[j + 1] == '\'') {
            lit.push_back('\'');
            ++j;
            continue;
          }
          break;
        }
        lit.push_back(pattern[j]);
      }
      out.push_back({0, 0, lit});
      i = j + 1;
      continue;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      std::size_t j = i;
      while (j < pattern.size() && pattern[j] == c) ++j;
      int count = static_cast<int>(j - i);
      if (std::string_view("GyMLdDQqEaHkKhmsSzZXxVO").find(c) == std::string_view::npos)
        throw ExecutionException(fmt::format(
            "[INCONSISTENT_BEHAVIOR_CROSS_VERSION.DATETIME_PATTERN_RECOGNITION] You may get a different result due "
            "to the upgrading to Spark >= 3.0: Fail to recognize '{}' pattern in the DateTimeFormatter.",
            pattern));
      out.push_back({c, count, {}});
      i = j;
      continue;
    }
    out.push_back({0, 0, std::string(1, c)});
    ++i;
  }
  return out;
}

void padNumber(std::string& out, std::int64_t v, int width) {
  if (v < 0) {
    out.push_back('-');
    v = -v;
  }
  std::string digits = std::to_string(v);
  for (int k = static_cast<int>(digits.size()); k < width; ++k) out.push_back('0');
  out += digits;
}

std::string offsetText(int seconds, bool colon, bool zForZero) {
  if (seconds == 0 && zForZero) return "Z";
  int a = std::abs(seconds);
  std::string s = seconds < 0 ? "-" : "+";
  s += fmt::format("{:02}", a / 3600);
  if (colon) s += ":";
  s += fmt::format("{:02}", a / 60 % 60);
  return s;
}

// Formats the instant `utcMicros` in `zone` (named `zoneId`).
void formatTimestamp(const std::vector<FormatField>& fields, std::int64_t utcMicros, const ZoneRules& zone,
                     const std::string& zoneId, std::string& out) {
  std::int64_t local = zone.utcToLocalMicros(utcMicros);
  std::int64_t days = floorDiv64(local, kMicrosPerDay);
  std::int64_t micros = floorMod64(local, kMicrosPerDay);
  CivilDate c = civilFromDays(days);
  int hour = static_cast<int>(micros / (3600 * kMicrosPerSecond));
  int minute = static_cast<int>(micros / (60 * kMicrosPerSecond) % 60);
  int second = static_cast<int>(micros / kMicrosPerSecond % 60);
  std::int64_t fraction = micros % kMicrosPerSecond;
  int offset = static_cast<int>((local - utcMicros) / kMicrosPerSecond);
  for (const auto& f : fields) {
    switch (f.letter) {
      case 0: out += f.text; break;
      case 'G': out += c.year > 0 ? "AD" : "BC"; break;
      case 'y': {
        std::int64_t y = c.year > 0 ? c.year : 1 - c.year;
        if (f.count == 2) {
          padNumber(out, y % 100, 2);
        } else {
          padNumber(out, y, f.count);
        }
        break;
      }
      case 'M':
      case 'L':
        if (f.count >= 4) {
          out += kMonths[c.month - 1];
        } else if (f.count == 3) {
          out.append(kMonths[c.month - 1], 3);
        } else {
          padNumber(out, c.month, f.count);
        }
        break;
      case 'd': padNumber(out, c.day, f.count); break;
      case 'D': padNumber(out, days - daysFromCivil(c.year, 1, 1) + 1, f.count); break;
      case 'Q':
      case 'q': {
        int q = (c.month - 1) / 3 + 1;
        if (f.count <= 2) {
          padNumber(out, q, f.count);
        } else if (f.count == 3) {
          out += fmt::format("Q{}", q);
        } else {
          static const char* const kQ[] = {"1st quarter", "2nd quarter", "3rd quarter", "4th quarter"};
          out += kQ[q - 1];
        }
        break;
      }
      case 'E': {
        const char* name = kDays[weekdayOf(days)];
        if (f.count >= 4) {
          out += name;
        } else {
          out.append(name, 3);
        }
        break;
      }
      case 'a': out += hour < 12 ? "AM" : "PM"; break;
      case 'H': padNumber(out, hour, f.count); break;
      case 'k': padNumber(out, hour == 0 ? 24 : hour, f.count); break;
      case 'K': padNumber(out, hour % 12, f.count); break;
      case 'h': padNumber(out, hour % 12 == 0 ? 12 : hour % 12, f.count); break;
      case 'm': padNumber(out, minute, f.count); break;
      case 's': padNumber(out, second, f.count); break;
      case 'S': {
        std::string digits = fmt::format("{:06}", fraction);
        if (f.count <= 6) {
          out += digits.substr(0, static_cast<std::size_t>(f.count));
        } else {
          out += digits;
          out.append(static_cast<std::size_t>(f.count - 6), '0');
        }
        break;
      }
      case 'V': out += zoneId; break;
      case 'z': out += zone.isFixed() && offset == 0 ? (zoneId == "Z" ? "Z" : zoneId) : zoneId; break;
      case 'O': out += offset == 0 ? "GMT" : "GMT" + offsetText(offset, true, false); break;
      case 'X': out += offsetText(offset, f.count >= 3 && f.count != 4, true); break;
      case 'x': out += offsetText(offset, f.count >= 3 && f.count != 4, false); break;
      case 'Z': out += f.count >= 4 ? (offset == 0 ? "GMT" : "GMT" + offsetText(offset, true, false)) : offsetText(offset, false, false); break;
      default: break;
    }
  }
}

// A pattern argument compiled once when constant.
struct PatternArg {
  std::shared_ptr<const std::vector<FormatField>> fixed;
  explicit PatternArg(const BoundExprPtr& e) {
    if (e->isConstant()) {
      Value v = e->constantValue();
      if (!v.isNull()) fixed = std::make_shared<const std::vector<FormatField>>(compileFormat(v.str()));
    }
  }
  const std::vector<FormatField>& get(std::string_view text, std::vector<FormatField>& cur, std::string& curText) const {
    if (fixed) return *fixed;
    if (curText != text || cur.empty()) {
      curText.assign(text);
      cur = compileFormat(curText);
    }
    return cur;
  }
};

const char* const kDefaultFormat = "yyyy-MM-dd HH:mm:ss";

// Parses text with a Spark datetime pattern (the pattern of argument `k` of `a`), caching the compiled pattern.
struct ParsePatternArg {
  std::shared_ptr<const DateTimePattern> fixed;
  explicit ParsePatternArg(const BoundExprPtr& e) {
    if (e->isConstant()) {
      Value v = e->constantValue();
      if (!v.isNull()) fixed = DateTimePattern::compile(v.str());
    }
  }
  std::optional<std::int64_t> parse(std::string_view text, std::string_view pattern, const std::string& zone,
                                    std::shared_ptr<const DateTimePattern>& cur, std::string& curText) const {
    const DateTimePattern* p = fixed.get();
    if (!p) {
      if (!cur || curText != pattern) {
        curText.assign(pattern);
        cur = DateTimePattern::compile(curText);
      }
      p = cur.get();
    }
    return p->parseTimestamp(text, zone);
  }
};

// unix_timestamp / to_unix_timestamp: seconds since the epoch of a timestamp, a date (its midnight in
// the session zone) or a text read with the pattern.
BoundExprPtr bindUnixTimestamp(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) {
  if (args.empty()) {
    auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    return boundLiteral(Value(static_cast<std::int64_t>(now.count())), LongType());
  }
  const DataType t = args[0]->type();
  if (!t.isString() && !t.isNull()) {
    BoundExprPtr ts = timestampArg(std::move(args[0]), source, 0);
    bool nullable = ts->nullable();
    return makeKernel(name, {ts}, LongType(), nullable, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int64_t>(a, n, LongType(), [&](std::size_t i, std::int64_t& o) {
        o = tsAt(a[0], i) / kMicrosPerSecond;  // Spark truncates toward zero here
        return true;
      });
    });
  }
  args[0] = stringArg(std::move(args[0]), source, 0);
  if (args.size() == 1) args.push_back(boundLiteral(Value(kDefaultFormat), StringType()));
  args[1] = stringArg(std::move(args[1]), source, 1);
  auto pattern = std::make_shared<ParsePatternArg>(args[1]);
  return makeKernel(name, std::move(args), LongType(), true, [pattern](const std::vector<Arg>& a, std::size_t n, const EvalContext& ctx) {
    std::shared_ptr<const DateTimePattern> cur;
    std::string curText;
    return strictFixed<std::int64_t>(a, n, LongType(), [&](std::size_t i, std::int64_t& o) {
      auto r = pattern->parse(a[0].str(i), a[1].str(i), ctx.timeZone, cur, curText);
      if (!r) return false;
      o = floorDiv64(*r, kMicrosPerSecond);
      return true;
    });
  });
}

// date_trunc levels, finest last; -1 for an unknown name.
int truncLevel(std::string_view fmt, bool dateOnly) {
  std::string u;
  for (char c : fmt) u.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  if (u == "YEAR" || u == "YYYY" || u == "YY") return 0;
  if (u == "QUARTER") return 1;
  if (u == "MONTH" || u == "MM" || u == "MON") return 2;
  if (u == "WEEK") return 3;
  if (dateOnly) return -1;
  if (u == "DAY" || u == "DD") return 4;
  if (u == "HOUR") return 5;
  if (u == "MINUTE") return 6;
  if (u == "SECOND") return 7;
  if (u == "MILLISECOND") return 8;
  if (u == "MICROSECOND") return 9;
  return -1;
}

std::int64_t truncDays(std::int64_t days, int level) {
  CivilDate c = civilFromDays(days);
  switch (level) {
    case 0: return daysFromCivil(c.year, 1, 1);
    case 1: return daysFromCivil(c.year, static_cast<unsigned>((c.month - 1) / 3 * 3 + 1), 1);
    case 2: return daysFromCivil(c.year, static_cast<unsigned>(c.month), 1);
    case 3: return days - weekdayOf(days);
    default: return days;
  }
}

}  // namespace

void registerDateFunctions(ScalarFunctionRegistry& r) {
  r.add("year", 1, 1, partOf(Part::Year));
  r.add("month", 1, 1, partOf(Part::Month));
  r.add("day", 1, 1, partOf(Part::Day));
  r.add("dayofmonth", 1, 1, partOf(Part::Day));
  r.add("dayofweek", 1, 1, partOf(Part::DayOfWeek));
  r.add("weekday", 1, 1, partOf(Part::WeekDay));
  r.add("dayofyear", 1, 1, partOf(Part::DayOfYear));
  r.add("quarter", 1, 1, partOf(Part::Quarter));
  r.add("weekofyear", 1, 1, partOf(Part::WeekOfYear));
  r.add("hour", 1, 1, partOf(Part::Hour));
  r.add("minute", 1, 1, partOf(Part::Minute));
  r.add("second", 1, 1, partOf(Part::Second));

  auto dateAdd = [](bool subtract) {
    return [subtract](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
      args[0] = dateArg(std::move(args[0]), source, 0);
      args[1] = dateIntArg(std::move(args[1]), source, 1);
      bool nullable = anyArgNullable(args);
      return makeKernel(name, std::move(args), DateType(), nullable, [subtract](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
        return strictFixed<std::int32_t>(a, n, DateType(), [&](std::size_t i, std::int32_t& o) {
          auto d = static_cast<std::uint32_t>(dayAt(a[0], i)), k = static_cast<std::uint32_t>(intAt(a[1], i));
          o = static_cast<std::int32_t>(subtract ? d - k : d + k);  // wraps like Java's int arithmetic
          return true;
        });
      });
    };
  };
  r.add("date_add", 2, 2, dateAdd(false));
  r.add("dateadd", 2, 2, dateAdd(false));
  r.add("date_sub", 2, 2, dateAdd(true));
  r.add("datediff", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < 2; ++i) args[i] = dateArg(std::move(args[i]), source, i);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), IntegerType(), nullable, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int32_t>(a, n, IntegerType(), [&](std::size_t i, std::int32_t& o) {
        o = static_cast<std::int32_t>(static_cast<std::uint32_t>(dayAt(a[0], i)) - static_cast<std::uint32_t>(dayAt(a[1], i)));
        return true;
      });
    });
  });
  r.add("add_months", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = dateArg(std::move(args[0]), source, 0);
    args[1] = dateIntArg(std::move(args[1]), source, 1);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), DateType(), nullable, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int32_t>(a, n, DateType(), [&](std::size_t i, std::int32_t& o) {
        o = addMonthsToDate(dayAt(a[0], i), intAt(a[1], i));
        return true;
      });
    });
  });
  r.add("last_day", 1, 1, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = dateArg(std::move(args[0]), source, 0);
    bool nullable = args[0]->nullable();
    return makeKernel(name, std::move(args), DateType(), nullable, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int32_t>(a, n, DateType(), [&](std::size_t i, std::int32_t& o) {
        CivilDate c = civilFromDays(dayAt(a[0], i));
        o = static_cast<std::int32_t>(daysFromCivil(c.year, static_cast<unsigned>(c.month),
                                                    static_cast<unsigned>(daysInMonth(c.year, c.month))));
        return true;
      });
    });
  });
  r.add("make_date", 3, 3, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < 3; ++i) args[i] = dateIntArg(std::move(args[i]), source, i);
    return makeKernel(name, std::move(args), DateType(), true, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int32_t>(a, n, DateType(), [&](std::size_t i, std::int32_t& o) {
        std::int64_t y = intAt(a[0], i), m = intAt(a[1], i), d = intAt(a[2], i);
        if (y < -999999999 || y > 999999999 || m < 1 || m > 12 || d < 1 || d > daysInMonth(y, static_cast<int>(m)))
          return false;
        o = static_cast<std::int32_t>(daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)));
        return true;
      });
    });
  });
  r.add("date_trunc", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = stringArg(std::move(args[0]), source, 0);
    args[1] = timestampArg(std::move(args[1]), source, 1);
    return makeKernel(name, std::move(args), TimestampType(), true, [](const std::vector<Arg>& a, std::size_t n, const EvalContext& ctx) {
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      return strictFixed<std::int64_t>(a, n, TimestampType(), [&](std::size_t i, std::int64_t& o) {
        int level = truncLevel(a[0].str(i), false);
        if (level < 0) return false;
        std::int64_t ts = tsAt(a[1], i);
        if (level >= 8) {
          o = level == 9 ? ts : ts - floorMod64(ts, 1000);
          return true;
        }
        std::int64_t local = zone.utcToLocalMicros(ts);
        std::int64_t days = floorDiv64(local, kMicrosPerDay), ofDay = floorMod64(local, kMicrosPerDay);
        std::int64_t unit = level == 5 ? 3600 * kMicrosPerSecond : level == 6 ? 60 * kMicrosPerSecond : kMicrosPerSecond;
        std::int64_t truncated = level <= 4 ? truncDays(days, level) * kMicrosPerDay : days * kMicrosPerDay + ofDay / unit * unit;
        o = zone.localToUtcMicros(truncated);
        return true;
      });
    });
  });
  r.add("trunc", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = dateArg(std::move(args[0]), source, 0);
    args[1] = stringArg(std::move(args[1]), source, 1);
    return makeKernel(name, std::move(args), DateType(), true, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int32_t>(a, n, DateType(), [&](std::size_t i, std::int32_t& o) {
        int level = truncLevel(a[1].str(i), true);
        if (level < 0) return false;
        o = static_cast<std::int32_t>(truncDays(dayAt(a[0], i), level));
        return true;
      });
    });
  });
  r.add("to_date", 1, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    const DataType& t = args[0]->type();
    if (args.size() == 1 || !t.isString()) return dateArg(std::move(args[0]), source, 0);
    args[1] = stringArg(std::move(args[1]), source, 1);
    auto pattern = std::make_shared<ParsePatternArg>(args[1]);
    return makeKernel(name, std::move(args), DateType(), true, [pattern](const std::vector<Arg>& a, std::size_t n, const EvalContext& ctx) {
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      std::shared_ptr<const DateTimePattern> cur;
      std::string curText;
      return strictFixed<std::int32_t>(a, n, DateType(), [&](std::size_t i, std::int32_t& o) {
        auto r = pattern->parse(a[0].str(i), a[1].str(i), ctx.timeZone, cur, curText);
        if (!r) return false;
        o = static_cast<std::int32_t>(floorDiv64(zone.utcToLocalMicros(*r), kMicrosPerDay));
        return true;
      });
    });
  });
  r.add("date_format", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = timestampArg(std::move(args[0]), source, 0);
    args[1] = stringArg(std::move(args[1]), source, 1);
    auto pattern = std::make_shared<PatternArg>(args[1]);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), StringType(), nullable, [pattern](const std::vector<Arg>& a, std::size_t n, const EvalContext& ctx) {
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      std::vector<FormatField> cur;
      std::string curText;
      return strictString(a, n, [&](std::size_t i, std::string& out) {
        formatTimestamp(pattern->get(a[1].str(i), cur, curText), tsAt(a[0], i), zone, ctx.timeZone, out);
        return true;
      });
    });
  });
  r.add("from_unixtime", 1, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    const DataType& t = args[0]->type();
    if (!(t.isNumeric() || t.isString() || t.isNull()))
      throwUnexpectedInput(callText(source), 0, "\"BIGINT\"", argText(source, 0, *args[0]), t);
    args[0] = castIfNeeded(std::move(args[0]), LongType());
    if (args.size() == 1) args.push_back(boundLiteral(Value(kDefaultFormat), StringType()));
    args[1] = stringArg(std::move(args[1]), source, 1);
    auto pattern = std::make_shared<PatternArg>(args[1]);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), StringType(), nullable, [pattern](const std::vector<Arg>& a, std::size_t n, const EvalContext& ctx) {
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      std::vector<FormatField> cur;
      std::string curText;
      return strictString(a, n, [&](std::size_t i, std::string& out) {
        std::int64_t secs = tsAt(a[0], i);
        formatTimestamp(pattern->get(a[1].str(i), cur, curText), static_cast<std::int64_t>(static_cast<std::uint64_t>(secs) * 1000000u), zone,
                        ctx.timeZone, out);
        return true;
      });
    });
  });
  r.add("unix_timestamp", 0, 2, bindUnixTimestamp);
  r.add("to_unix_timestamp", 1, 2, bindUnixTimestamp);
  r.add("unix_seconds", 1, 1, bindUnixTimestamp);
  auto nowMicros = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  r.add("current_timestamp", 0, 0, [nowMicros](const std::string&, std::vector<BoundExprPtr>, const Expr&) -> BoundExprPtr {
    return boundLiteral(Value(Timestamp{static_cast<std::int64_t>(nowMicros())}), TimestampType());
  });
  r.add("now", 0, 0, [nowMicros](const std::string&, std::vector<BoundExprPtr>, const Expr&) -> BoundExprPtr {
    return boundLiteral(Value(Timestamp{static_cast<std::int64_t>(nowMicros())}), TimestampType());
  });
  r.add("current_date", 0, 0, [nowMicros](const std::string&, std::vector<BoundExprPtr>, const Expr&) -> BoundExprPtr {
    // The session zone is not known while binding; the date is taken in UTC, the reference configuration.
    return boundLiteral(Value(Date{static_cast<std::int32_t>(floorDiv64(nowMicros(), kMicrosPerDay))}), DateType());
  });
}

}  // namespace engine::local
