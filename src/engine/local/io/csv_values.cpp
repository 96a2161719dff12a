#include "engine/local/io/csv_values.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "engine/local/io/csv_datetime_pattern.h"
#include "engine/local/expr/expr_datetime.h"

namespace engine::local::csv {

namespace {

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }
inline bool isJavaSpace(char c) { return static_cast<unsigned char>(c) <= ' '; }

constexpr int128_t kTen38 = [] {
  int128_t v = 1;
  for (int i = 0; i < 38; ++i) v *= 10;
  return v;
}();

int128_t pow10(int k) {
  int128_t v = 1;
  for (int i = 0; i < k; ++i) v *= 10;
  return v;
}

// Validates Java's floating-point literal grammar (after trimming and the sign) and returns the part
// std::from_chars understands: the digits without the f/F/d/D suffix, and whether it is hexadecimal.
struct FloatText {
  std::string_view body;  // number without sign and suffix ("1.5e3", or "1.8p1" for hex)
  bool negative = false;
  bool hex = false;
  enum Kind { Number, NaN, Infinity } kind = Number;
};

bool scanJavaFloat(std::string_view s, FloatText& out) {
  while (!s.empty() && isJavaSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isJavaSpace(s.back())) s.remove_suffix(1);
  if (s.empty()) return false;
  if (s[0] == '+' || s[0] == '-') {
    out.negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s == "NaN") {
    out.kind = FloatText::NaN;
    return true;
  }
  if (s == "Infinity") {
    out.kind = FloatText::Infinity;
    return true;
  }
  if (!s.empty() && (s.back() == 'f' || s.back() == 'F' || s.back() == 'd' || s.back() == 'D')) s.remove_suffix(1);
  if (s.empty()) return false;
  std::size_t i = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    // Hexadecimal significand with a mandatory binary exponent: 0x1.8p1.
    i = 2;
    std::size_t digits = 0;
    auto hexDigit = [](char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    while (i < s.size() && hexDigit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
      ++i;
      while (i < s.size() && hexDigit(s[i])) ++i, ++digits;
    }
    if (digits == 0 || i >= s.size() || (s[i] != 'p' && s[i] != 'P')) return false;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++expDigits;
    if (expDigits == 0 || i != s.size()) return false;
    out.body = s.substr(2);
    out.hex = true;
    return true;
  }
  std::size_t digits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != s.size()) return false;
  out.body = s;
  return true;
}

template <class T>
bool convertFloat(const FloatText& t, T& out) {
  if (t.kind == FloatText::NaN) {
    out = std::numeric_limits<T>::quiet_NaN();
    return true;
  }
  if (t.kind == FloatText::Infinity) {
    out = t.negative ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
    return true;
  }
  T v{};
  const char* first = t.body.data();
  const char* last = first + t.body.size();
  auto res = std::from_chars(first, last, v, t.hex ? std::chars_format::hex : std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow gives infinity and underflow zero in Java; strtod reports exactly that.
    std::string text = t.hex ? "0x" + std::string(t.body) : std::string(t.body);
    if constexpr (std::is_same_v<T, float>) {
      v = std::strtof(text.c_str(), nullptr);
    } else {
      v = std::strtod(text.c_str(), nullptr);
    }
  } else if (res.ec != std::errc() || res.ptr != last) {
    return false;
  }
  out = t.negative ? -v : v;
  return true;
}

// The digits of a BigDecimal literal: [sign] digits [. digits] [e [sign] digits], commas optionally
// skipped (Spark's US-locale decimal parser drops them before parsing).
struct DecimalText {
  bool negative = false;
  std::string_view mantissa;  // digits and at most one '.', commas included when skipped
  int fractionDigits = 0;
  std::int64_t exponent = 0;
};

bool scanDecimal(std::string_view s, bool skipCommas, DecimalText& out) {
  std::size_t i = 0;
  auto skip = [&] {
    while (skipCommas && i < s.size() && s[i] == ',') ++i;
  };
  skip();
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    out.negative = s[i] == '-';
    ++i;
  }
  std::size_t start = i;
  int digits = 0;
  bool dot = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (isDigit(c)) {
      ++digits;
      if (dot) ++out.fractionDigits;
    } else if (c == '.' && !dot) {
      dot = true;
    } else if (!(skipCommas && c == ',')) {
      break;
    }
  }
  if (digits == 0) return false;
  out.mantissa = s.substr(start, i - start);
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    skip();
    bool negExp = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      negExp = s[i] == '-';
      ++i;
    }
    std::int64_t e = 0;
    int expDigits = 0;
    for (; i < s.size(); ++i) {
      if (isDigit(s[i])) {
        e = e * 10 + (s[i] - '0');
        ++expDigits;
        if (e > 1000000000) return false;  // BigDecimal rejects exponents beyond int range
      } else if (!(skipCommas && s[i] == ',')) {
        break;
      }
    }
    if (expDigits == 0) return false;
    out.exponent = negExp ? -e : e;
  }
  return i == s.size();
}

// Runs of digits longer than any date or timestamp segment can hold: such text is invalid, and the
// shared segment parsers must not see it (their segment accumulators are plain ints).
bool hasOverlongDigitRun(std::string_view s, bool allowFraction, bool stopAtTime) {
  int run = 0;
  bool afterDot = false;
  for (char c : s) {
    if (stopAtTime && (c == ' ' || c == 'T')) return false;
    if (isDigit(c)) {
      if (++run >= 10 && !(allowFraction && afterDot)) return true;
    } else {
      afterDot = c == '.';
      run = 0;
    }
  }
  return false;
}

// The signed leading digit run (the year of a date form) lies in [lo, hi]; text not starting with a
// number passes (it is a time or invalid).
bool leadingYearWithin(std::string_view s, std::int64_t lo, std::int64_t hi) {
  std::size_t i = 0;
  while (i < s.size() && (static_cast<unsigned char>(s[i]) <= 0x20 || s[i] == 0x7F)) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::int64_t v = 0;
  int digits = 0;
  while (i < s.size() && isDigit(s[i]) && digits < 12) v = v * 10 + (s[i++] - '0'), ++digits;
  if (negative) v = -v;
  return v >= lo && v <= hi;
}

bool isInfOrNaN(std::string_view s) { return s == "NaN" || s == "Inf" || s == "-Inf"; }

DataType tryBoolean(std::string_view f) {
  bool b;
  return parseJavaBoolean(f, b) ? BooleanType() : StringType();
}

DataType tryTimestamp(std::string_view f, const InferRules& r) {
  return r.isTimestamp(f) ? TimestampType() : tryBoolean(f);
}

DataType tryDate(std::string_view f, const InferRules& r) { return r.isDate(f) ? DateType() : tryTimestamp(f, r); }

DataType tryDouble(std::string_view f, const InferRules& r) {
  double d;
  if (parseJavaDouble(f, d) || isInfOrNaN(f)) return DoubleType();
  return tryDate(f, r);
}

DataType tryDecimal(std::string_view f, const InferRules& r) {
  DecimalShape shape;
  // A scale above zero is left to double (Spark keeps decimals for integers only); a negative scale or
  // more than 38 digits cannot be a decimal type.
  if (decimalShape(f, shape) && shape.scale == 0 && shape.precision <= DataType::kMaxDecimalPrecision) {
    return DecimalType(shape.precision, 0);
  }
  return tryDouble(f, r);
}

DataType tryLong(std::string_view f, const InferRules& r) {
  std::int64_t v;
  return parseJavaLong(f, v) ? LongType() : tryDecimal(f, r);
}

DataType tryInteger(std::string_view f, const InferRules& r) {
  std::int32_t v;
  return parseJavaInt(f, v) ? IntegerType() : tryLong(f, r);
}

int numericRank(TypeId id) {
  switch (id) {
    case TypeId::Byte:
      return 1;
    case TypeId::Short:
      return 2;
    case TypeId::Integer:
      return 3;
    case TypeId::Long:
      return 4;
    case TypeId::Float:
      return 5;
    case TypeId::Double:
      return 6;
    default:
      return 0;
  }
}

DataType decimalForIntegral(const DataType& t) {
  switch (t.id()) {
    case TypeId::Byte:
      return DecimalType(3, 0);
    case TypeId::Short:
      return DecimalType(5, 0);
    case TypeId::Integer:
      return DecimalType(10, 0);
    default:
      return DecimalType(20, 0);
  }
}

}  // namespace

bool parseJavaLong(std::string_view s, std::int64_t& out) {
  if (s.empty()) return false;
  std::size_t i = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    i = 1;
    if (s.size() == 1) return false;
  }
  if (s.size() - i <= 18) {
    // Eighteen digits cannot overflow.
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
      unsigned d = static_cast<unsigned>(s[i] - '0');
      if (d > 9) return false;
      v = v * 10 + d;
    }
    out = negative ? -v : v;
    return true;
  }
  // Accumulate negatively so that the minimum value parses without overflow.
  std::int64_t v = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (!isDigit(c)) return false;
    int d = c - '0';
    if (v < kMin / 10 || v * 10 < kMin + d) return false;
    v = v * 10 - d;
  }
  if (!negative) {
    if (v == kMin) return false;
    v = -v;
  }
  out = v;
  return true;
}

bool parseJavaInt(std::string_view s, std::int32_t& out) {
  if (s.size() > 20) {
    // Leading zeros are legal, so long text can still be an int; fall back to the exact check.
    std::size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    std::size_t j = i;
    while (j + 1 < s.size() && s[j] == '0') ++j;
    if (j > i) {
      std::string t(s.substr(0, i));
      t.append(s.substr(j));
      return parseJavaInt(t, out);
    }
    return false;
  }
  std::int64_t v;
  if (!parseJavaLong(s, v)) {
    return false;
  }
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

bool parseJavaDouble(std::string_view s, double& out) {
  // Plain decimal text (the usual case) is read directly; from_chars accepts exactly Java's plain
  // grammar when it starts with a digit, '.' or '-' and consumes the whole text.
  if (!s.empty() && (isDigit(s[0]) || s[0] == '.' || (s[0] == '-' && s.size() > 1 && (isDigit(s[1]) || s[1] == '.')))) {
    const char* last = s.data() + s.size();
    auto res = std::from_chars(s.data(), last, out, std::chars_format::general);
    if (res.ec == std::errc() && res.ptr == last) return true;
  }
  FloatText t;
  return scanJavaFloat(s, t) && convertFloat(t, out);
}

bool parseJavaFloat(std::string_view s, float& out) {
  FloatText t;
  return scanJavaFloat(s, t) && convertFloat(t, out);
}

bool decimalShape(std::string_view s, DecimalShape& out) {
  DecimalText t;
  if (!scanDecimal(s, false, t)) return false;
  int significant = 0;
  bool leading = true;
  for (char c : t.mantissa) {
    if (!isDigit(c)) continue;
    if (leading && c == '0') continue;
    leading = false;
    ++significant;
  }
  std::int64_t scale = t.fractionDigits - t.exponent;
  if (scale > std::numeric_limits<int>::max() || scale < std::numeric_limits<int>::min()) return false;
  out.precision = significant == 0 ? 1 : significant;
  out.scale = static_cast<int>(scale);
  return true;
}

bool parseJavaDecimal(std::string_view s, int precision, int scale, int128_t& out) {
  DecimalText t;
  if (!scanDecimal(s, true, t)) return false;
  // value = D * 10^(exponent - fractionDigits); wanted: round_half_up(D * 10^shift).
  std::int64_t total = 0;
  for (char c : t.mantissa) total += isDigit(c) ? 1 : 0;
  std::int64_t shift = t.exponent - t.fractionDigits + scale;
  std::int64_t keep = total + shift;  // leading digits of D that stay in front of the decimal point
  int128_t u = 0;
  bool roundUp = false;
  std::int64_t seen = 0;
  for (char c : t.mantissa) {
    if (!isDigit(c)) continue;
    if (seen < keep) {
      u = u * 10 + (c - '0');
      if (u >= kTen38) return false;
    } else if (seen == keep) {
      roundUp = c >= '5';
      break;
    }
    ++seen;
  }
  if (roundUp) ++u;
  if (shift > 0 && u != 0) {
    if (shift > 38) return false;
    int128_t p = pow10(static_cast<int>(shift));
    if (u > kTen38 / p) return false;
    u *= p;
  }
  if (u >= pow10(precision)) return false;
  out = t.negative ? -u : u;
  return true;
}

bool parseJavaBoolean(std::string_view s, bool& out) {
  auto eq = [&](std::string_view word) {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
      char c = s[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != word[i]) return false;
    }
    return true;
  };
  if (eq("true")) {
    out = true;
    return true;
  }
  if (eq("false")) {
    out = false;
    return true;
  }
  return false;
}

bool isStrictIsoDate(std::string_view s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!isDigit(s[i])) return false;
  }
  int y = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
  int m = (s[5] - '0') * 10 + (s[6] - '0');
  int d = (s[8] - '0') * 10 + (s[9] - '0');
  if (m < 1 || m > 12 || d < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

std::optional<std::int32_t> parseDate(std::string_view s) {
  // Days since the epoch must fit an int (Spark's toIntExact); years past that would also overflow the
  // civil-date arithmetic.
  if (hasOverlongDigitRun(s, false, true) || !leadingYearWithin(s, -5877640, 5881579)) return std::nullopt;
  return parseDateText(s);
}

std::optional<std::int64_t> parseTimestamp(std::string_view s, const ZoneRules& zone) {
  // Microseconds since the epoch must fit a long (Spark's multiplyExact).
  if (hasOverlongDigitRun(s, true, false) || !leadingYearWithin(s, -290307, 294246)) return std::nullopt;
  return parseTimestampText(s, zone);
}

bool InferRules::isDate(std::string_view f) const { return date ? date->parseDate(f).has_value() : isStrictIsoDate(f); }

namespace {

bool twoDigits(std::string_view s, std::size_t at, int below) {
  return isDigit(s[at]) && isDigit(s[at + 1]) && (s[at] - '0') * 10 + (s[at + 1] - '0') < below;
}

// The shapes nearly every timestamp column has, recognised without the general parser: a date alone
// (yyyy-MM-dd) or a date and a time of day to the second (yyyy-MM-dd HH:mm:ss, a space or a T between).
// Only a yes is certain here; anything else is left to the general parser, which accepts all of these.
bool commonTimestampShape(std::string_view s) {
  if (s.size() == 10) return isStrictIsoDate(s);
  return s.size() == 19 && (s[10] == ' ' || s[10] == 'T') && s[13] == ':' && s[16] == ':' &&
         isStrictIsoDate(s.substr(0, 10)) && twoDigits(s, 11, 24) && twoDigits(s, 14, 60) && twoDigits(s, 17, 60);
}

}  // namespace

bool InferRules::isTimestamp(std::string_view f) const {
  static const ZoneRules kUtc;
  if (timestamp) return timestamp->parseTimestamp(f, kUtc).has_value();
  return commonTimestampShape(f) || parseTimestamp(f, kUtc).has_value();
}

DataType inferField(const DataType& typeSoFar, std::string_view f, const InferRules& r) {
  DataType found;
  switch (typeSoFar.id()) {
    case TypeId::Null:
    case TypeId::Integer:
      found = tryInteger(f, r);
      break;
    case TypeId::Long:
      found = tryLong(f, r);
      break;
    case TypeId::Decimal:
      found = tryDecimal(f, r);
      break;
    case TypeId::Double:
      found = tryDouble(f, r);
      break;
    case TypeId::Date:
      found = tryDate(f, r);
      break;
    case TypeId::Timestamp:
      found = tryTimestamp(f, r);
      break;
    case TypeId::Boolean:
      found = tryBoolean(f);
      break;
    default:
      return StringType();
  }
  return mergeInferred(typeSoFar, found, r);
}

DataType mergeInferred(const DataType& a, const DataType& b, const InferRules& r) {
  if (a == b) return a;
  if (a.isNull()) return b;
  if (b.isNull()) return a;
  if (a.isString() || b.isString()) return StringType();
  int ra = numericRank(a.id()), rb = numericRank(b.id());
  if (ra && rb) return ra >= rb ? a : b;
  if (a.isDatetime() && b.isDatetime()) return r.dateWidensToTimestamp ? TimestampType() : StringType();
  if (a.isDecimal() && b.isDecimal()) {
    int scale = std::max(a.scale(), b.scale());
    int range = std::max(a.precision() - a.scale(), b.precision() - b.scale());
    if (range + scale > DataType::kMaxDecimalPrecision) return DoubleType();
    return DecimalType(range + scale, scale);
  }
  if (a.isIntegral() && b.isDecimal()) return mergeInferred(decimalForIntegral(a), b, r);
  if (a.isDecimal() && b.isIntegral()) return mergeInferred(a, decimalForIntegral(b), r);
  if ((a.isFloating() && b.isDecimal()) || (a.isDecimal() && b.isFloating())) return DoubleType();
  return StringType();
}

}  // namespace engine::local::csv
