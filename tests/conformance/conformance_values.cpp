#include "conformance_values.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <variant>

namespace conformance {

using engine::DataType;
using engine::TypeId;
using engine::Value;

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

[[noreturn]] void bad(const std::string& what) { throw std::invalid_argument(what); }

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil). Kept local so
// that a fault in the engine's own date helpers cannot hide behind the runner's inputs.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

int digits(std::string_view s, std::size_t pos, std::size_t n, const std::string& text) {
  if (pos + n > s.size()) bad("bad date/time text: " + text);
  int v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) bad("bad date/time text: " + text);
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

std::int64_t parseDate(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') bad("bad date text (want yyyy-mm-dd): " + text);
  return daysFromCivil(digits(text, 0, 4, text), static_cast<unsigned>(digits(text, 5, 2, text)),
                       static_cast<unsigned>(digits(text, 8, 2, text)));
}

std::int64_t parseTimestamp(const std::string& text) {
  if (text.size() < 19 || (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':')
    bad("bad timestamp text (want yyyy-mm-dd hh:mm:ss[.ffffff]): " + text);
  std::int64_t micros = parseDate(text.substr(0, 10)) * 86400LL * 1000000LL;
  micros += (digits(text, 11, 2, text) * 3600LL + digits(text, 14, 2, text) * 60LL + digits(text, 17, 2, text)) *
            1000000LL;
  if (text.size() > 19) {
    if (text[19] != '.' || text.size() > 26 || text.size() == 20) bad("bad timestamp fraction: " + text);
    std::int64_t frac = digits(text, 20, text.size() - 20, text);
    for (std::size_t i = text.size() - 20; i < 6; ++i) frac *= 10;
    micros += frac;
  }
  return micros;
}

double parseDoubleText(const std::string& text) {
  if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (text == "Infinity") return std::numeric_limits<double>::infinity();
  if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) bad("bad double text: " + text);
  return v;
}

double jsonDouble(const json& j) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) return parseDoubleText(j.get<std::string>());
  bad("not a double: " + j.dump());
}

// Exact text -> unscaled value at the column's scale; more fraction digits than the scale is a data error.
engine::Decimal parseDecimal(const std::string& text, int precision, int scale) {
  std::size_t i = 0;
  bool neg = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) neg = text[i++] == '-';
  engine::int128_t v = 0;
  int fracDigits = 0;
  bool seenDot = false, any = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && !seenDot) {
      seenDot = true;
      continue;
    }
    if (!std::isdigit(static_cast<unsigned char>(c))) bad("bad decimal text: " + text);
    any = true;
    v = v * 10 + (c - '0');
    if (seenDot) ++fracDigits;
  }
  if (!any || fracDigits > scale) bad("decimal text does not fit the scale: " + text);
  for (int k = fracDigits; k < scale; ++k) v *= 10;
  engine::int128_t limit = 1;
  for (int k = 0; k < precision; ++k) limit *= 10;
  if (v >= limit) bad("decimal text exceeds the precision: " + text);
  engine::Decimal d;
  d.unscaled = neg ? -v : v;
  d.precision = static_cast<std::uint8_t>(precision);
  d.scale = static_cast<std::uint8_t>(scale);
  return d;
}

std::string int128Text(engine::int128_t v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  // Work on the negative range so that the minimum value needs no special case.
  std::string out;
  engine::int128_t x = neg ? v : -v;
  while (x != 0) {
    out.push_back(static_cast<char>('0' - static_cast<int>(x % 10)));
    x /= 10;
  }
  if (neg) out.push_back('-');
  return std::string(out.rbegin(), out.rend());
}

std::string decimalText(const engine::Decimal& d) {
  std::string digitsText = int128Text(d.unscaled < 0 ? -d.unscaled : d.unscaled);
  const bool neg = d.unscaled < 0;
  if (d.scale > 0) {
    if (digitsText.size() <= d.scale) digitsText.insert(0, d.scale + 1 - digitsText.size(), '0');
    digitsText.insert(digitsText.size() - d.scale, ".");
  }
  return neg ? "-" + digitsText : digitsText;
}

std::string shortestDouble(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, end);
  if (s.find_first_of(".eE") == std::string::npos && s.find("inf") == std::string::npos) s += ".0";
  return s;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool closeDoubles(double e, double a, double tolerance) {
  if (std::isnan(e) || std::isnan(a)) return std::isnan(e) && std::isnan(a);
  if (tolerance <= 0) {
    if (e == 0 && a == 0) return std::signbit(e) == std::signbit(a);
    return e == a;
  }
  if (e == a) return true;  // infinities and exact matches
  if (std::isinf(e) || std::isinf(a)) return false;
  return std::fabs(e - a) <= tolerance * std::max(std::fabs(e), std::fabs(a));
}

}  // namespace

std::string formatDays(std::int64_t days) {
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  return buf;
}

std::string formatMicros(std::int64_t micros) {
  const std::int64_t perDay = 86400LL * 1000000LL;
  std::int64_t days = floorDiv(micros, perDay);
  std::int64_t rest = micros - days * perDay;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s %02lld:%02lld:%02lld.%06lld", formatDays(days).c_str(),
                static_cast<long long>(rest / 3600000000LL), static_cast<long long>(rest / 60000000LL % 60),
                static_cast<long long>(rest / 1000000LL % 60), static_cast<long long>(rest % 1000000LL));
  return buf;
}

DataType parseTypeName(std::string_view textIn) {
  const std::string text = lower(trim(textIn));
  if (text == "void") return engine::NullType();
  if (text == "int" || text == "integer") return engine::IntegerType();
  if (text == "bigint" || text == "long") return engine::LongType();
  if (text == "smallint" || text == "short") return engine::ShortType();
  if (text == "tinyint" || text == "byte") return engine::ByteType();
  if (text == "float" || text == "real") return engine::FloatType();
  if (text == "double") return engine::DoubleType();
  if (text == "string") return engine::StringType();
  if (text == "boolean") return engine::BooleanType();
  if (text == "date") return engine::DateType();
  if (text == "timestamp") return engine::TimestampType();
  if (text.rfind("decimal(", 0) == 0 && text.back() == ')') {
    int p = 0, s = 0;
    if (std::sscanf(text.c_str(), "decimal(%d,%d)", &p, &s) != 2 || p < 1 || p > 38 || s < 0 || s > p)
      bad("bad decimal type: " + text);
    return engine::DecimalType(p, s);
  }
  if (text.rfind("array<", 0) == 0 && text.back() == '>')
    return engine::ArrayType(parseTypeName(std::string_view(text).substr(6, text.size() - 7)));
  if (text.rfind("interval ", 0) == 0) {
    if (auto t = DataType::parse(text)) return *t;
  }
  bad("unknown type in scenario file: " + std::string(textIn));
}

Value inputValue(const json& cell, const DataType& type) {
  if (cell.is_null()) return Value();
  auto integral = [&](std::int64_t lo, std::int64_t hi) {
    if (!cell.is_number_integer()) bad("not an integer for " + type.simpleString() + ": " + cell.dump());
    std::int64_t v = cell.get<std::int64_t>();
    if (v < lo || v > hi) bad("integer out of range for " + type.simpleString() + ": " + cell.dump());
    return v;
  };
  switch (type.id()) {
    case TypeId::Boolean:
      if (!cell.is_boolean()) bad("not a boolean: " + cell.dump());
      return Value(cell.get<bool>());
    case TypeId::Byte:
      return Value(static_cast<std::int8_t>(integral(-128, 127)));
    case TypeId::Short:
      return Value(static_cast<std::int16_t>(integral(-32768, 32767)));
    case TypeId::Integer:
      return Value(static_cast<std::int32_t>(integral(INT32_MIN, INT32_MAX)));
    case TypeId::Long:
      return Value(integral(INT64_MIN, INT64_MAX));
    case TypeId::Float:
      return Value(static_cast<float>(jsonDouble(cell)));
    case TypeId::Double:
      return Value(jsonDouble(cell));
    case TypeId::Decimal:
      if (!cell.is_string()) bad("decimal cells are strings: " + cell.dump());
      return Value(parseDecimal(cell.get<std::string>(), type.precision(), type.scale()));
    case TypeId::String:
      if (!cell.is_string()) bad("not a string: " + cell.dump());
      return Value(cell.get<std::string>());
    case TypeId::Date:
      return Value(engine::Date{static_cast<std::int32_t>(parseDate(cell.get<std::string>()))});
    case TypeId::Timestamp:
      return Value(engine::Timestamp{parseTimestamp(cell.get<std::string>())});
    case TypeId::Array: {
      if (!cell.is_array()) bad("not an array: " + cell.dump());
      std::vector<Value> elements;
      for (const auto& e : cell) elements.push_back(inputValue(e, type.elementType()));
      return Value::array(type.elementType(), std::move(elements));
    }
    default:
      bad("unsupported input type " + type.simpleString());
  }
}

json outputJson(const Value& v) {
  return std::visit(
      [&](const auto& x) -> json {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, bool>) {
          return x;
        } else if constexpr (std::is_same_v<T, std::int8_t> || std::is_same_v<T, std::int16_t> ||
                             std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>) {
          return static_cast<std::int64_t>(x);
        } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
          return shortestDouble(static_cast<double>(x));
        } else if constexpr (std::is_same_v<T, engine::Decimal>) {
          return decimalText(x);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return x;
        } else if constexpr (std::is_same_v<T, engine::Date>) {
          return formatDays(x.days);
        } else if constexpr (std::is_same_v<T, engine::Timestamp>) {
          return formatMicros(x.micros);
        } else if constexpr (std::is_same_v<T, engine::YearMonthIntervalValue>) {
          return x.months;
        } else if constexpr (std::is_same_v<T, engine::DayTimeIntervalValue>) {
          return x.micros;
        } else {
          json arr = json::array();
          if (x)
            for (const auto& e : x->elements) arr.push_back(outputJson(e));
          return arr;
        }
      },
      v.storage());
}

bool cellEquals(const json& expected, const json& actual, const DataType& type, double tolerance) {
  if (expected.is_null() || actual.is_null()) return expected.is_null() && actual.is_null();
  switch (type.id()) {
    case TypeId::Float:
    case TypeId::Double:
      try {
        return closeDoubles(jsonDouble(expected), jsonDouble(actual), tolerance);
      } catch (const std::invalid_argument&) {
        return false;
      }
    case TypeId::Array: {
      if (!expected.is_array() || !actual.is_array() || expected.size() != actual.size()) return false;
      for (std::size_t i = 0; i < expected.size(); ++i)
        if (!cellEquals(expected[i], actual[i], type.elementType(), tolerance)) return false;
      return true;
    }
    default:
      return expected == actual;
  }
}

bool rowEquals(const json& expected, const json& actual, const std::vector<DataType>& types, double tolerance) {
  if (!expected.is_array() || !actual.is_array() || expected.size() != actual.size() ||
      expected.size() != types.size())
    return false;
  for (std::size_t c = 0; c < types.size(); ++c)
    if (!cellEquals(expected[c], actual[c], types[c], tolerance)) return false;
  return true;
}

std::string compareRows(const json& expected, const json& actual, const std::vector<DataType>& types,
                        double tolerance, bool ordered) {
  std::string report;
  const std::size_t maxLines = 40;
  std::size_t lines = 0;
  auto note = [&](const std::string& line) {
    if (lines++ < maxLines) report += line + "\n";
  };
  if (ordered) {
    const std::size_t n = std::max(expected.size(), actual.size());
    for (std::size_t i = 0; i < n; ++i) {
      const bool haveE = i < expected.size(), haveA = i < actual.size();
      if (haveE && haveA && rowEquals(expected[i], actual[i], types, tolerance)) continue;
      note("  row " + std::to_string(i) + ": expected " + (haveE ? expected[i].dump() : "(none)") + ", got " +
           (haveA ? actual[i].dump() : "(none)"));
    }
  } else {
    std::vector<bool> used(actual.size(), false);
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      bool found = false;
      for (std::size_t j = 0; j < actual.size() && !found; ++j) {
        if (!used[j] && rowEquals(expected[i], actual[j], types, tolerance)) used[j] = found = true;
      }
      if (!found) missing.push_back(i);
    }
    for (std::size_t i : missing) note("  missing (expected, not produced): " + expected[i].dump());
    for (std::size_t j = 0; j < actual.size(); ++j)
      if (!used[j]) note("  unexpected (produced, not expected): " + actual[j].dump());
  }
  if (lines > maxLines) report += "  ... " + std::to_string(lines - maxLines) + " more differences\n";
  if (!report.empty())
    report = "rows differ (expected " + std::to_string(expected.size()) + " rows, got " +
             std::to_string(actual.size()) + ")\n" + report;
  return report;
}

}  // namespace conformance
