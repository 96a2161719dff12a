#include "engine/value.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <stdexcept>

#include <fmt/format.h>

namespace engine {

namespace {

std::string int128ToString(int128_t v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  // Work with the magnitude as unsigned so the minimum value does not overflow.
  unsigned __int128 u = neg ? static_cast<unsigned __int128>(-(v + 1)) + 1 : static_cast<unsigned __int128>(v);
  char buf[48];
  int pos = 47;
  buf[pos] = '\0';
  while (u > 0) {
    buf[--pos] = static_cast<char>('0' + static_cast<int>(u % 10));
    u /= 10;
  }
  if (neg) buf[--pos] = '-';
  return std::string(buf + pos);
}

// Shortest round-trip digits and decimal exponent of a finite, non-zero double: value = 0.d1d2d3... * 10^exp10
// is not the form used; instead value = d1.d2d3... * 10^sciExp.
template <class F>
void shortestDigits(F v, std::string& digits, int& sciExp) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof(buf), v, std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  auto e = s.find('e');
  std::string_view mant = s.substr(0, e);
  sciExp = std::atoi(std::string(s.substr(e + 1)).c_str());
  digits.clear();
  for (char c : mant)
    if (c != '.') digits.push_back(c);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

template <class F>
std::string javaFloatingString(F v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
  std::string digits;
  int exp = 0;
  shortestDigits(v, digits, exp);
  std::string out = std::signbit(v) ? "-" : "";
  F mag = std::fabs(v);
  if (mag >= F(1e-3) && mag < F(1e7)) {
    if (exp >= 0) {
      std::string intPart = digits.substr(0, std::min<std::size_t>(digits.size(), static_cast<std::size_t>(exp) + 1));
      while (intPart.size() < static_cast<std::size_t>(exp) + 1) intPart.push_back('0');
      std::string frac = digits.size() > static_cast<std::size_t>(exp) + 1 ? digits.substr(exp + 1) : "0";
      out += intPart + "." + frac;
    } else {
      out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
    }
  } else {
    if (digits.size() == 1) {
      // Java writes at least two digits in this form, and where the second is not a 0 (subnormal values,
      // whose neighbours are far apart) it takes the two-digit decimal closest to the value: 4.9E-324, not
      // 5.0E-324, for the smallest double.
      char buf[64];
      auto res = std::to_chars(buf, buf + sizeof(buf), mag, std::chars_format::scientific, 1);
      std::string_view two(buf, static_cast<std::size_t>(res.ptr - buf));
      auto e = two.find('e');
      if (e == 3) {
        digits = {two[0], two[2]};
        exp = std::atoi(std::string(two.substr(e + 1)).c_str());
      }
      while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    }
    out += digits.substr(0, 1) + "." + (digits.size() > 1 ? digits.substr(1) : "0") + "E" + std::to_string(exp);
  }
  return out;
}

}  // namespace

std::string javaDoubleString(double v) { return javaFloatingString(v); }
std::string javaFloatString(float v) { return javaFloatingString(v); }

std::string Decimal::toString() const {
  std::string digits = int128ToString(unscaled);
  bool neg = !digits.empty() && digits[0] == '-';
  if (neg) digits.erase(0, 1);
  if (scale > 0) {
    if (digits.size() <= scale) digits.insert(0, std::string(scale - digits.size() + 1, '0'));
    digits.insert(digits.size() - scale, ".");
  }
  return neg ? "-" + digits : digits;
}

double Decimal::toDouble() const {
  // Exact through text: avoids accumulating error from dividing by powers of ten.
  std::string s = toString();
  double d = 0;
  std::from_chars(s.data(), s.data() + s.size(), d);
  return d;
}

std::optional<Decimal> Decimal::parse(std::string_view text) {
  std::size_t i = 0;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    neg = text[i] == '-';
    ++i;
  }
  int128_t unscaled = 0;
  int digitsSeen = 0, significant = 0, scale = 0;
  bool dot = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.') {
      if (dot) return std::nullopt;
      dot = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    ++digitsSeen;
    if (significant > 0 || c != '0') ++significant;
    if (significant > DataType::kMaxDecimalPrecision) return std::nullopt;
    unscaled = unscaled * 10 + (c - '0');
    if (dot) ++scale;
  }
  if (digitsSeen == 0) return std::nullopt;
  int exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool eneg = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      eneg = text[i] == '-';
      ++i;
    }
    int e = 0, ed = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++ed) {
      e = e * 10 + (text[i] - '0');
      if (e > 1000) return std::nullopt;
    }
    if (ed == 0) return std::nullopt;
    exponent = eneg ? -e : e;
  }
  if (i != text.size()) return std::nullopt;
  scale -= exponent;
  while (scale < 0) {  // a negative scale is normalised to scale 0
    unscaled *= 10;
    ++significant;
    ++scale;
    if (significant > DataType::kMaxDecimalPrecision) return std::nullopt;
  }
  if (scale > DataType::kMaxDecimalPrecision) return std::nullopt;
  int precision = std::max(std::max(significant, 1), scale);
  if (precision > DataType::kMaxDecimalPrecision) return std::nullopt;
  Decimal d;
  d.unscaled = neg ? -unscaled : unscaled;
  d.precision = static_cast<std::uint8_t>(precision);
  d.scale = static_cast<std::uint8_t>(scale);
  return d;
}

Value Value::array(DataType elementType, std::vector<Value> elements) {
  Value v;
  v.v_ = std::make_shared<const ArrayValue>(ArrayValue{std::move(elementType), std::move(elements)});
  return v;
}

DataType Value::dataType() const {
  struct Visitor {
    DataType operator()(std::monostate) const { return NullType(); }
    DataType operator()(bool) const { return BooleanType(); }
    DataType operator()(std::int8_t) const { return ByteType(); }
    DataType operator()(std::int16_t) const { return ShortType(); }
    DataType operator()(std::int32_t) const { return IntegerType(); }
    DataType operator()(std::int64_t) const { return LongType(); }
    DataType operator()(float) const { return FloatType(); }
    DataType operator()(double) const { return DoubleType(); }
    DataType operator()(const Decimal& d) const { return DecimalType(d.precision, d.scale); }
    DataType operator()(const std::string&) const { return StringType(); }
    DataType operator()(Date) const { return DateType(); }
    DataType operator()(Timestamp) const { return TimestampType(); }
    DataType operator()(const std::shared_ptr<const ArrayValue>& a) const { return ArrayType(a->elementType); }
    DataType operator()(const YearMonthIntervalValue& v) const {
      return YearMonthIntervalType(v.startField, v.endField);
    }
    DataType operator()(const DayTimeIntervalValue& v) const { return DayTimeIntervalType(v.startField, v.endField); }
  };
  return std::visit(Visitor{}, v_);
}

bool Value::isNumeric() const {
  return is<std::int8_t>() || is<std::int16_t>() || is<std::int32_t>() || is<std::int64_t>() || is<float>() ||
         is<double>() || is<Decimal>();
}

double Value::toDouble() const {
  if (is<double>()) return get<double>();
  if (is<float>()) return get<float>();
  if (is<std::int64_t>()) return static_cast<double>(get<std::int64_t>());
  if (is<std::int32_t>()) return get<std::int32_t>();
  if (is<std::int16_t>()) return get<std::int16_t>();
  if (is<std::int8_t>()) return get<std::int8_t>();
  if (is<Decimal>()) return get<Decimal>().toDouble();
  throw std::invalid_argument("value " + toString() + " of type " + dataType().simpleString() + " is not numeric");
}

std::int64_t Value::toInt64() const {
  if (is<std::int64_t>()) return get<std::int64_t>();
  if (is<std::int32_t>()) return get<std::int32_t>();
  if (is<std::int16_t>()) return get<std::int16_t>();
  if (is<std::int8_t>()) return get<std::int8_t>();
  if (is<bool>()) return get<bool>() ? 1 : 0;
  if (is<Date>()) return get<Date>().days;
  if (is<Timestamp>()) return get<Timestamp>().micros;
  throw std::invalid_argument("value " + toString() + " of type " + dataType().simpleString() + " is not integral");
}

std::string Value::toString() const {
  struct Visitor {
    std::string operator()(std::monostate) const { return "null"; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(std::int8_t x) const { return std::to_string(x); }
    std::string operator()(std::int16_t x) const { return std::to_string(x); }
    std::string operator()(std::int32_t x) const { return std::to_string(x); }
    std::string operator()(std::int64_t x) const { return std::to_string(x); }
    std::string operator()(float x) const { return javaFloatString(x); }
    std::string operator()(double x) const { return javaDoubleString(x); }
    std::string operator()(const Decimal& d) const { return d.toString(); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(Date d) const { return formatDate(d.days); }
    std::string operator()(Timestamp t) const { return formatTimestamp(t.micros); }
    std::string operator()(const YearMonthIntervalValue& v) const {
      return formatYearMonthInterval(v.months, v.startField, v.endField);
    }
    std::string operator()(const DayTimeIntervalValue& v) const {
      return formatDayTimeInterval(v.micros, v.startField, v.endField);
    }
    std::string operator()(const std::shared_ptr<const ArrayValue>& a) const {
      std::string s = "[";
      for (std::size_t i = 0; i < a->elements.size(); ++i) {
        if (i) s += ", ";
        s += a->elements[i].toString();
      }
      return s + "]";
    }
  };
  return std::visit(Visitor{}, v_);
}

bool Value::operator==(const Value& o) const {
  if (v_.index() != o.v_.index()) return false;
  if (is<double>()) {
    double a = get<double>(), b = o.get<double>();
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0 || (a == b && std::signbit(a) == std::signbit(b));
  }
  if (is<float>()) {
    float a = get<float>(), b = o.get<float>();
    if (std::isnan(a) && std::isnan(b)) return true;
    return a == b && std::signbit(a) == std::signbit(b);
  }
  if (is<std::shared_ptr<const ArrayValue>>()) {
    const auto& a = arr();
    const auto& b = o.arr();
    return a.elementType == b.elementType && a.elements == b.elements;
  }
  return v_ == o.v_;
}

std::ostream& operator<<(std::ostream& os, const Value& v) { return os << v.toString(); }

// Howard Hinnant's civil calendar algorithms (proleptic Gregorian).
std::int32_t daysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int>(doe) - 719468;
}

void civilFromDays(std::int32_t z, int& y, unsigned& m, unsigned& d) {
  std::int64_t zz = static_cast<std::int64_t>(z) + 719468;
  const std::int64_t era = (zz >= 0 ? zz : zz - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(zz - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yoe + era * 400) + (m <= 2);
}

std::string formatDate(std::int32_t days) {
  int y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  if (y >= 0 && y <= 9999) return fmt::format("{:04d}-{:02d}-{:02d}", y, m, d);
  return fmt::format("{:+05d}-{:02d}-{:02d}", y, m, d);
}

std::string formatTimestamp(std::int64_t micros) {
  std::int64_t days = micros / 86400000000LL;
  std::int64_t rem = micros % 86400000000LL;
  if (rem < 0) {
    rem += 86400000000LL;
    --days;
  }
  std::int64_t secs = rem / 1000000, frac = rem % 1000000;
  std::string s = formatDate(static_cast<std::int32_t>(days)) +
                  fmt::format(" {:02d}:{:02d}:{:02d}", secs / 3600, (secs / 60) % 60, secs % 60);
  if (frac != 0) {
    std::string f = fmt::format("{:06d}", frac);
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return s;
}

}  // namespace engine

namespace engine {

namespace {

// BigDecimal.valueOf(micros, 6).stripTrailingZeros().toPlainString() of a non-negative number of microseconds.
std::string secondsText(std::int64_t micros) {
  std::string s = std::to_string(micros / 1000000);
  std::int64_t frac = micros % 1000000;
  if (frac != 0) {
    std::string f = fmt::format("{:06d}", frac);
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return s;
}

const char* const kYearMonthFields[] = {"YEAR", "MONTH"};
const char* const kDayTimeFields[] = {"DAY", "HOUR", "MINUTE", "SECOND"};

}  // namespace

std::string formatYearMonthInterval(std::int32_t months, int startField, int endField) {
  std::string sign = months < 0 ? "-" : "";
  std::int64_t absMonths = months < 0 ? -static_cast<std::int64_t>(months) : months;
  std::string year = sign + std::to_string(absMonths / 12);
  std::string body;
  if (startField == endField) {
    body = startField == 0 ? year : std::to_string(months);
  } else {
    body = year + "-" + std::to_string(absMonths % 12);
  }
  std::string out = "INTERVAL '" + body + "' " + kYearMonthFields[startField];
  if (startField != endField) out += std::string(" TO ") + kYearMonthFields[endField];
  return out;
}

std::string formatDayTimeInterval(std::int64_t micros, int startField, int endField) {
  constexpr std::int64_t kSecond = 1000000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
  std::string postfix = std::string("' ") + kDayTimeFields[startField];
  if (startField != endField) postfix += std::string(" TO ") + kDayTimeFields[endField];
  if (micros == std::numeric_limits<std::int64_t>::min()) {
    // -micros overflows: Spark spells the minimum out.
    static const std::string base = "-106751991 04:00:54.775808000";
    static const char* const first[] = {"-106751991", "-2562047788", "-153722867280", "-9223372036854.775808"};
    static const int subStart[] = {10, 13, 16, 0};
    static const int subEnd[] = {0, 13, 16, 26};
    std::string following;
    if (startField != endField) following = base.substr(subStart[startField], subEnd[endField] - subStart[startField]);
    return "INTERVAL '" + std::string(first[startField]) + following + postfix;
  }
  std::string out = micros < 0 ? "-" : "";
  std::int64_t rest = micros < 0 ? -micros : micros;
  auto seconds = [&](std::int64_t r) { return (r < 10 * kSecond ? "0" : "") + secondsText(r); };
  switch (startField) {
    case 0:
      out += std::to_string(rest / kDay);
      rest %= kDay;
      break;
    case 1:
      out += fmt::format("{:02d}", rest / kHour);
      rest %= kHour;
      break;
    case 2:
      out += fmt::format("{:02d}", rest / kMinute);
      rest %= kMinute;
      break;
    default:
      out += seconds(rest);
      break;
  }
  if (startField < 1 && 1 <= endField) {
    out += fmt::format(" {:02d}", rest / kHour);
    rest %= kHour;
  }
  if (startField < 2 && 2 <= endField) {
    out += fmt::format(":{:02d}", rest / kMinute);
    rest %= kMinute;
  }
  if (startField < 3 && 3 <= endField) out += ":" + seconds(rest);
  return "INTERVAL '" + out + postfix;
}

}  // namespace engine
