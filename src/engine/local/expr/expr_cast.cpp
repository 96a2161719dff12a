// CAST with Spark's non-ANSI rules: invalid text gives null, integral narrowing wraps, floating to integral
// saturates (NaN gives 0), decimal overflow gives null, and text forms follow Spark's UTF8String parsers.
#include "engine/local/expr/expr_cast.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expr_datetime.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

// Java's BigDecimal.toString: plain text unless the exponent of the leading digit is below -6 (or the scale
// is negative), then scientific with one digit before the point: 1E-10, -1.25E-8, 0E-10.
std::string javaDecimalString(const Decimal& d) {
  std::string plain = Decimal{d.unscaled, d.precision, 0}.toString();  // the unscaled value's digits
  bool negative = !plain.empty() && plain[0] == '-';
  std::string digits = negative ? plain.substr(1) : plain;
  long adjusted = static_cast<long>(digits.size()) - 1 - static_cast<long>(d.scale);
  if (adjusted >= -6) return d.toString();
  std::string out = negative ? "-" : "";
  out += digits[0];
  if (digits.size() > 1) out += "." + digits.substr(1);
  return out + "E" + std::to_string(adjusted);
}

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Java's String.trim: drops chars <= ' ' at both ends.
std::string_view javaTrim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// UTF8String.trimAll: whitespace and ISO control bytes.
std::string_view trimAll(std::string_view s) {
  auto ws = [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b <= 0x20 || b == 0x7F;
  };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

// Java's (int)/(long) conversion of a floating value: NaN -> 0, saturating at the bounds.
template <class I, class F>
I saturatingFromFloating(F v) {
  if (std::isnan(v)) return 0;
  constexpr long double lo = static_cast<long double>(std::numeric_limits<I>::min());
  constexpr long double hi = static_cast<long double>(std::numeric_limits<I>::max());
  long double x = static_cast<long double>(v);
  if (x <= lo) return std::numeric_limits<I>::min();
  if (x >= hi) return std::numeric_limits<I>::max();
  return static_cast<I>(x);
}

// Floating to an integral type as Spark's cast does it: to int/long directly (saturating); to byte/short
// through int, then wrapping.
template <class To, class F>
To floatingToIntegral(F v) {
  if constexpr (std::is_same_v<To, std::int64_t>) {
    return saturatingFromFloating<std::int64_t>(v);
  } else {
    return static_cast<To>(saturatingFromFloating<std::int32_t>(v));
  }
}

MutableVectorPtr makeWithValidity(const Vector& in, const DataType& to) {
  auto out = Vector::make(to, in.size());
  out->validity() = in.validity();
  return out;
}

// Applies `f(value, out&) -> bool` (false = null) row by row over non-null rows of a fixed-width input.
template <class In, class Out, class F>
VectorPtr mapFixed(const Vector& in, const DataType& to, F f) {
  const std::size_t n = in.size();
  auto out = makeWithValidity(in, to);
  const In* src = in.data<In>();
  Out* dst = out->template data<Out>();
  bool allValid = in.validity().allValid();
  for (std::size_t i = 0; i < n; ++i) {
    if (!allValid && in.isNull(i)) continue;
    if (!f(src[i], dst[i])) out->setNull(i);
  }
  return out;
}

// Applies `f(string_view, out&) -> bool` over a string input.
template <class Out, class F>
VectorPtr mapFromString(const Vector& in, const DataType& to, F f) {
  const std::size_t n = in.size();
  auto out = makeWithValidity(in, to);
  Out* dst = out->template data<Out>();
  bool allValid = in.validity().allValid();
  for (std::size_t i = 0; i < n; ++i) {
    if (!allValid && in.isNull(i)) continue;
    if (!f(in.str(i), dst[i])) out->setNull(i);
  }
  return out;
}

// ---- to string -----------------------------------------------------------------------------------

// Java's Double.toString (as value.h's javaDoubleString) written into a reused buffer: this is the hot
// path of double-to-string casts, so it avoids the temporary strings of the general helper.
void formatJavaDouble(double v, std::string& out) {
  // Subnormal values take the general helper's two-digit rule.
  if (!std::isfinite(v) || v == 0 || std::fabs(v) < std::numeric_limits<double>::min()) {
    out = javaDoubleString(v);
    return;
  }
  char sci[32];
  auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const char* p = sci;
  const char* end = r.ptr;
  out.clear();
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[24];
  int nd = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[nd++] = *p;
  while (nd > 1 && digits[nd - 1] == '0') --nd;
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp);
  const double mag = std::fabs(v);
  if (mag >= 1e-3 && mag < 1e7) {
    if (exp >= 0) {
      for (int k = 0; k <= exp; ++k) out.push_back(k < nd ? digits[k] : '0');
      out.push_back('.');
      if (nd > exp + 1) {
        out.append(digits + exp + 1, static_cast<std::size_t>(nd - exp - 1));
      } else {
        out.push_back('0');
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out.append(digits, static_cast<std::size_t>(nd));
    }
  } else {
    out.push_back(digits[0]);
    out.push_back('.');
    if (nd > 1) {
      out.append(digits + 1, static_cast<std::size_t>(nd - 1));
    } else {
      out.push_back('0');
    }
    out.push_back('E');
    char eb[8];
    auto er = std::to_chars(eb, eb + sizeof eb, exp);
    out.append(eb, er.ptr);
  }
}

template <class T, class F>
VectorPtr fixedToString(const Vector& in, F format) {
  const std::size_t n = in.size();
  StringVectorBuilder b(n, n * 8);
  const T* src = in.data<T>();
  std::string buf;
  for (std::size_t i = 0; i < n; ++i) {
    if (in.isNull(i)) {
      b.appendNull();
    } else {
      format(src[i], buf);
      b.append(buf);
    }
  }
  return b.finish();
}

template <class T>
void integerText(T v, std::string& buf) {
  char tmp[24];
  auto r = std::to_chars(tmp, tmp + sizeof tmp, static_cast<std::int64_t>(v));
  buf.assign(tmp, r.ptr);
}

VectorPtr toStringVector(const VectorPtr& inPtr, const EvalContext& ctx) {
  const Vector& in = *inPtr;
  const DataType& t = in.type();
  switch (t.id()) {
    case TypeId::String:
      return inPtr;
    case TypeId::Boolean:
      return fixedToString<std::uint8_t>(in, [](std::uint8_t v, std::string& b) { b = v ? "true" : "false"; });
    case TypeId::Byte:
      return fixedToString<std::int8_t>(in, integerText<std::int8_t>);
    case TypeId::Short:
      return fixedToString<std::int16_t>(in, integerText<std::int16_t>);
    case TypeId::Integer:
      return fixedToString<std::int32_t>(in, integerText<std::int32_t>);
    case TypeId::Long:
      return fixedToString<std::int64_t>(in, integerText<std::int64_t>);
    case TypeId::Float:
      return fixedToString<float>(in, [](float v, std::string& b) { b = javaFloatString(v); });
    case TypeId::Double:
      return fixedToString<double>(in, [](double v, std::string& b) { formatJavaDouble(v, b); });
    case TypeId::Decimal: {
      auto p = static_cast<std::uint8_t>(t.precision()), s = static_cast<std::uint8_t>(t.scale());
      return fixedToString<int128_t>(in, [p, s](int128_t v, std::string& b) { b = javaDecimalString(Decimal{v, p, s}); });
    }
    case TypeId::Date:
      return fixedToString<std::int32_t>(in, [](std::int32_t v, std::string& b) { b = formatDate(v); });
    case TypeId::Timestamp: {
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      return fixedToString<std::int64_t>(
          in, [&zone](std::int64_t v, std::string& b) { b = formatTimestamp(zone.utcToLocalMicros(v)); });
    }
    case TypeId::Array: {
      const std::size_t n = in.size();
      VectorPtr elems = toStringVector(in.child(), ctx);
      StringVectorBuilder b(n);
      std::string buf;
      const std::int64_t* off = in.offsets();
      for (std::size_t i = 0; i < n; ++i) {
        if (in.isNull(i)) {
          b.appendNull();
          continue;
        }
        buf = "[";
        for (std::int64_t j = off[i]; j < off[i + 1]; ++j) {
          if (j > off[i]) buf += ", ";
          auto k = static_cast<std::size_t>(j);
          if (elems->isNull(k)) {
            buf += "null";
          } else {
            buf += elems->str(k);
          }
        }
        buf += "]";
        b.append(buf);
      }
      return b.finish();
    }
    case TypeId::YearMonthInterval: {
      const int start = t.startField(), end = t.endField();
      return fixedToString<std::int32_t>(
          in, [start, end](std::int32_t v, std::string& b) { b = formatYearMonthInterval(v, start, end); });
    }
    case TypeId::DayTimeInterval: {
      const int start = t.startField(), end = t.endField();
      return fixedToString<std::int64_t>(
          in, [start, end](std::int64_t v, std::string& b) { b = formatDayTimeInterval(v, start, end); });
    }
    case TypeId::Null:
      return allNullVector(StringType(), in.size());
  }
  throw ExecutionException("internal error: unsupported cast to string");
}

// ---- from string ---------------------------------------------------------------------------------

VectorPtr fromString(const Vector& in, const DataType& to, const EvalContext& ctx) {
  switch (to.id()) {
    case TypeId::Boolean:
      return mapFromString<std::uint8_t>(in, to, [](std::string_view s, std::uint8_t& o) {
        auto b = parseBooleanText(s);
        if (!b) return false;
        o = *b ? 1 : 0;
        return true;
      });
    case TypeId::Byte:
    case TypeId::Short:
    case TypeId::Integer:
    case TypeId::Long:
      return dispatchIntegral(to.id(), [&](auto tag) -> VectorPtr {
        using T = typename decltype(tag)::type;
        return mapFromString<T>(in, to, [](std::string_view s, T& o) {
          auto v = parseIntegralText(s, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
          if (!v) return false;
          o = static_cast<T>(*v);
          return true;
        });
      });
    case TypeId::Float:
      return mapFromString<float>(in, to, [](std::string_view s, float& o) {
        auto v = parseFloatText(s);
        if (!v) return false;
        o = *v;
        return true;
      });
    case TypeId::Double:
      return mapFromString<double>(in, to, [](std::string_view s, double& o) {
        auto v = parseDoubleText(s);
        if (!v) return false;
        o = *v;
        return true;
      });
    case TypeId::Decimal: {
      int p = to.precision(), sc = to.scale();
      return mapFromString<int128_t>(in, to, [p, sc](std::string_view s, int128_t& o) {
        auto v = parseDecimalText(javaTrim(s), p, sc);
        if (!v) return false;
        o = *v;
        return true;
      });
    }
    case TypeId::Date:
      return mapFromString<std::int32_t>(in, to, [](std::string_view s, std::int32_t& o) {
        auto v = parseDateText(s);
        if (!v) return false;
        o = *v;
        return true;
      });
    case TypeId::Timestamp: {
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      return mapFromString<std::int64_t>(in, to, [&zone](std::string_view s, std::int64_t& o) {
        auto v = parseTimestampText(s, zone);
        if (!v) return false;
        o = *v;
        return true;
      });
    }
    default:
      break;
  }
  throw ExecutionException(fmt::format("internal error: unsupported cast from string to {}", to.simpleString()));
}

// ---- decimals ------------------------------------------------------------------------------------

double decimalToDouble(int128_t u, int scale) {
  constexpr int128_t kExact = int128_t{1} << 53;
  if (u > -kExact && u < kExact && scale <= 22) {
    // Both operands are exact doubles, so one division rounds correctly.
    static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    return static_cast<double>(u) / kPow10[scale];
  }
  return Decimal{u, 38, static_cast<std::uint8_t>(scale)}.toDouble();
}

float decimalToFloat(int128_t u, int scale) {
  std::string s = Decimal{u, 38, static_cast<std::uint8_t>(scale)}.toString();
  float f = 0;
  std::from_chars(s.data(), s.data() + s.size(), f);
  return f;
}

// Spark converts a double to a decimal through its shortest text (scala BigDecimal(d)), then rounds.
bool doubleToDecimal(double d, int precision, int scale, int128_t& out) {
  if (!std::isfinite(d)) return false;
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  auto v = parseDecimalText(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)), precision, scale);
  if (!v) return false;
  out = *v;
  return true;
}

VectorPtr castToDecimal(const Vector& in, const DataType& to) {
  const DataType& from = in.type();
  const int p = to.precision(), s = to.scale();
  switch (from.id()) {
    case TypeId::Boolean:
      return mapFixed<std::uint8_t, int128_t>(in, to, [p, s](std::uint8_t v, int128_t& o) {
        return rescaleDecimal(v ? 1 : 0, 0, s, p, o);
      });
    case TypeId::Byte:
    case TypeId::Short:
    case TypeId::Integer:
    case TypeId::Long:
      return dispatchIntegral(from.id(), [&](auto tag) -> VectorPtr {
        using T = typename decltype(tag)::type;
        return mapFixed<T, int128_t>(in, to, [p, s](T v, int128_t& o) { return rescaleDecimal(v, 0, s, p, o); });
      });
    case TypeId::Float:
      return mapFixed<float, int128_t>(
          in, to, [p, s](float v, int128_t& o) { return doubleToDecimal(static_cast<double>(v), p, s, o); });
    case TypeId::Double:
      return mapFixed<double, int128_t>(in, to, [p, s](double v, int128_t& o) { return doubleToDecimal(v, p, s, o); });
    case TypeId::Decimal: {
      const int fs = from.scale();
      return mapFixed<int128_t, int128_t>(in, to,
                                          [p, s, fs](int128_t v, int128_t& o) { return rescaleDecimal(v, fs, s, p, o); });
    }
    case TypeId::Timestamp:
      return mapFixed<std::int64_t, int128_t>(in, to, [p, s](std::int64_t v, int128_t& o) {
        return doubleToDecimal(static_cast<double>(v) / kMicrosPerSecond, p, s, o);
      });
    case TypeId::Date:
      return allNullVector(to, in.size());
    default:
      break;
  }
  throw ExecutionException("internal error: unsupported cast to decimal");
}

// ---- numeric / boolean / datetime among themselves -------------------------------------------------

template <class To>
VectorPtr castPrimitiveTo(const Vector& in, const DataType& to) {
  const DataType& from = in.type();
  switch (from.id()) {
    case TypeId::Boolean:
    case TypeId::Byte:
    case TypeId::Short:
    case TypeId::Integer:
    case TypeId::Long:
    case TypeId::Float:
    case TypeId::Double:
      return dispatchFixed(from.id(), [&](auto tag) -> VectorPtr {
        using F = typename decltype(tag)::type;
        return mapFixed<F, To>(in, to, [](F v, To& o) {
          if constexpr (std::is_same_v<To, std::uint8_t>) {
            o = v != 0 ? 1 : 0;  // to boolean (NaN is non-zero: true)
          } else if constexpr (std::is_floating_point_v<F> && !std::is_floating_point_v<To>) {
            o = floatingToIntegral<To>(v);
          } else {
            o = static_cast<To>(v);  // integral narrowing wraps (two's complement)
          }
          return true;
        });
      });
    case TypeId::Decimal: {
      const int s = from.scale();
      return mapFixed<int128_t, To>(in, to, [s](int128_t v, To& o) {
        if constexpr (std::is_same_v<To, std::uint8_t>) {
          o = v != 0;
        } else if constexpr (std::is_same_v<To, double>) {
          o = decimalToDouble(v, s);
        } else if constexpr (std::is_same_v<To, float>) {
          o = decimalToFloat(v, s);
        } else {
          // Truncates toward zero, keeps the low 64 bits (BigDecimal.longValue), then narrows by wrapping.
          int128_t q = v / pow10i128(s);
          o = static_cast<To>(static_cast<std::int64_t>(static_cast<std::uint64_t>(q)));
        }
        return true;
      });
    }
    case TypeId::Timestamp:
      return mapFixed<std::int64_t, To>(in, to, [](std::int64_t v, To& o) {
        if constexpr (std::is_same_v<To, std::uint8_t>) {
          o = v != 0;
        } else if constexpr (std::is_floating_point_v<To>) {
          o = static_cast<To>(static_cast<double>(v) / kMicrosPerSecond);
        } else {
          o = static_cast<To>(floorDiv(v, kMicrosPerSecond));
        }
        return true;
      });
    case TypeId::Date:
      // Spark (ANSI off) allows the cast but yields null.
      return allNullVector(to, in.size());
    default:
      break;
  }
  throw ExecutionException("internal error: unsupported numeric cast");
}

VectorPtr castToTimestamp(const Vector& in, const DataType& to, const EvalContext& ctx) {
  const DataType& from = in.type();
  switch (from.id()) {
    case TypeId::Boolean:
      return mapFixed<std::uint8_t, std::int64_t>(in, to, [](std::uint8_t v, std::int64_t& o) {
        o = v ? 1 : 0;
        return true;
      });
    case TypeId::Byte:
    case TypeId::Short:
    case TypeId::Integer:
    case TypeId::Long:
      return dispatchIntegral(from.id(), [&](auto tag) -> VectorPtr {
        using T = typename decltype(tag)::type;
        return mapFixed<T, std::int64_t>(in, to, [](T v, std::int64_t& o) {
          // Seconds to microseconds, saturating like TimeUnit.toMicros.
          if (__builtin_mul_overflow(static_cast<std::int64_t>(v), kMicrosPerSecond, &o))
            o = v < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
          return true;
        });
      });
    case TypeId::Float:
    case TypeId::Double:
      return dispatchFloating(from.id(), [&](auto tag) -> VectorPtr {
        using T = typename decltype(tag)::type;
        return mapFixed<T, std::int64_t>(in, to, [](T v, std::int64_t& o) {
          if (!std::isfinite(v)) return false;
          o = saturatingFromFloating<std::int64_t>(static_cast<double>(v) * kMicrosPerSecond);
          return true;
        });
      });
    case TypeId::Decimal: {
      const int s = from.scale();
      return mapFixed<int128_t, std::int64_t>(in, to, [s](int128_t v, std::int64_t& o) {
        // BigDecimal.longValue keeps the low 64 bits; unsigned arithmetic wraps the same way.
        unsigned __int128 micros;
        if (s <= 6) {
          micros = static_cast<unsigned __int128>(v) * static_cast<unsigned __int128>(pow10i128(6 - s));
        } else {
          micros = static_cast<unsigned __int128>(v / pow10i128(s - 6));
        }
        o = static_cast<std::int64_t>(static_cast<std::uint64_t>(micros));
        return true;
      });
    }
    case TypeId::Date: {
      ZoneRules zone = ZoneRules::session(ctx.timeZone);
      return mapFixed<std::int32_t, std::int64_t>(in, to, [&zone](std::int32_t d, std::int64_t& o) {
        o = zone.localToUtcMicros(static_cast<std::int64_t>(d) * kMicrosPerDay);
        return true;
      });
    }
    default:
      break;
  }
  throw ExecutionException("internal error: unsupported cast to timestamp");
}

VectorPtr castToDate(const Vector& in, const DataType& to, const EvalContext& ctx) {
  if (in.type().id() == TypeId::Timestamp) {
    ZoneRules zone = ZoneRules::session(ctx.timeZone);
    return mapFixed<std::int64_t, std::int32_t>(in, to, [&zone](std::int64_t t, std::int32_t& o) {
      o = static_cast<std::int32_t>(floorDiv(zone.utcToLocalMicros(t), kMicrosPerDay));
      return true;
    });
  }
  throw ExecutionException("internal error: unsupported cast to date");
}

VectorPtr castArray(const VectorPtr& inPtr, const DataType& to, const EvalContext& ctx) {
  const Vector& in = *inPtr;
  auto out = makeWithValidity(in, to);
  out->offsetStorage() = std::vector<std::int64_t>(in.offsets(), in.offsets() + in.size() + 1);
  out->setChild(castVector(in.child(), to.elementType(), ctx));
  return out;
}

bool sameType(const DataType& a, const DataType& b) {
  if (a.id() != b.id()) return false;
  if (a.isDecimal()) return a.precision() == b.precision() && a.scale() == b.scale();
  if (a.isArray()) return sameType(a.elementType(), b.elementType());
  return true;
}

class CastExpr final : public FunctionExpr {
 public:
  CastExpr(BoundExprPtr child, const DataType& to)
      : FunctionExpr("CAST", {child}, to, child->nullable() || castMayFail(child->type(), to)) {}

  std::string toString() const override {
    return fmt::format("CAST({} AS {})", args_[0]->toString(), type().sql());
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    return castVector(args_[0]->eval(input, ctx), type(), ctx);
  }

 private:
  static bool castMayFail(const DataType& from, const DataType& to) {
    if (to.isString()) return false;
    if (from.isIntegral() && (to.isIntegral() || to.isFloating())) return false;
    return true;
  }
};

}  // namespace

// ---- text parsers ------------------------------------------------------------------------------------

std::optional<std::int64_t> parseIntegralText(std::string_view text, std::int64_t min, std::int64_t max) {
  // UTF8String.toLong/toInt: trimmed, optional sign, digits, optionally '.' and digits (the fraction is
  // validated and dropped); accumulates negatively so the minimum value parses.
  std::string_view s = trimAll(text);
  if (s.empty()) return std::nullopt;
  std::size_t i = 0;
  bool negative = s[0] == '-';
  if (negative || s[0] == '+') {
    ++i;
    if (s.size() == 1) return std::nullopt;
  }
  const std::int64_t stopValue = min / 10;
  std::int64_t result = 0;
  for (; i < s.size(); ++i) {
    char b = s[i];
    if (b == '.') {
      ++i;
      break;
    }
    if (b < '0' || b > '9') return std::nullopt;
    int digit = b - '0';
    if (result < stopValue) return std::nullopt;
    result = result * 10 - digit;
    if (result > 0 || result < min) return std::nullopt;
  }
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
  if (!negative) {
    if (result < -max) return std::nullopt;
    result = -result;
  }
  return result;
}

namespace {

// Java's Double.parseDouble grammar (decimal forms only), then Spark's special literals. Writes the
// cleaned number (no sign, no suffix) into `num` and returns the sign, or 0 for a special value stored in
// `special`.
enum class FloatText { Invalid, Number, Special };

FloatText scanFloatText(std::string_view text, bool& negative, std::string_view& num, double& special) {
  std::string_view s = javaTrim(text);
  negative = false;
  if (s.empty()) return FloatText::Invalid;
  std::string_view body = s;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body == "NaN") {
    special = std::numeric_limits<double>::quiet_NaN();
    return FloatText::Special;
  }
  if (body == "Infinity") {
    special = negative ? -HUGE_VAL : HUGE_VAL;
    return FloatText::Special;
  }
  // Optional type suffix.
  if (!body.empty() && (body.back() == 'd' || body.back() == 'D' || body.back() == 'f' || body.back() == 'F'))
    body.remove_suffix(1);
  std::size_t i = 0, mantDigits = 0;
  while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++mantDigits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++mantDigits;
  }
  bool ok = mantDigits > 0;
  if (ok && i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    std::size_t ed = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++ed;
    ok = ed > 0;
  }
  if (ok && i == body.size()) {
    num = body;
    return FloatText::Number;
  }
  // Spark's fallback: inf, +inf, infinity, +infinity, -inf, -infinity, nan in any case.
  std::string lower;
  for (char c : s) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity") {
    special = HUGE_VAL;
    return FloatText::Special;
  }
  if (lower == "-inf" || lower == "-infinity") {
    special = -HUGE_VAL;
    return FloatText::Special;
  }
  if (lower == "nan") {
    special = std::numeric_limits<double>::quiet_NaN();
    return FloatText::Special;
  }
  return FloatText::Invalid;
}

template <class F>
std::optional<F> parseFloating(std::string_view text) {
  bool negative;
  std::string_view num;
  double special;
  switch (scanFloatText(text, negative, num, special)) {
    case FloatText::Invalid:
      return std::nullopt;
    case FloatText::Special:
      return static_cast<F>(special);
    case FloatText::Number:
      break;
  }
  F v = 0;
  auto r = std::from_chars(num.data(), num.data() + num.size(), v);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow gives infinity and underflow zero, as in Java. Decide by the decimal magnitude.
    std::size_t e = num.find_first_of("eE");
    long exp = 0;
    if (e != std::string_view::npos) {
      std::string_view es = num.substr(e + 1);
      bool eneg = !es.empty() && es[0] == '-';
      if (!es.empty() && (es[0] == '+' || es[0] == '-')) es.remove_prefix(1);
      for (char c : es) exp = std::min(exp * 10 + (c - '0'), 100000L);
      if (eneg) exp = -exp;
    }
    std::string_view mant = num.substr(0, e);
    std::size_t dot = mant.find('.');
    long intDigits = static_cast<long>(dot == std::string_view::npos ? mant.size() : dot);
    std::size_t firstNz = mant.find_first_not_of("0.");
    long mag = 0;
    if (firstNz != std::string_view::npos) {
      mag = static_cast<long>(firstNz) < intDigits ? intDigits - static_cast<long>(firstNz)
                                                   : -(static_cast<long>(firstNz) - intDigits - 1);
    }
    v = (mag + exp > 0) ? std::numeric_limits<F>::infinity() : F(0);
  } else if (r.ec != std::errc() || r.ptr != num.data() + num.size()) {
    return std::nullopt;
  }
  return negative ? -v : v;
}

}  // namespace

std::optional<double> parseDoubleText(std::string_view s) { return parseFloating<double>(s); }
std::optional<float> parseFloatText(std::string_view s) { return parseFloating<float>(s); }

std::optional<int128_t> parseDecimalText(std::string_view s, int precision, int scale) {
  // BigDecimal syntax: [sign] digits [. digits] [e|E [sign] digits]; rounded HALF_UP to `scale`.
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  std::string digits;  // significant digits, leading zeros dropped
  long pointPos = 0;   // digits before the decimal point, counted over `digits`
  bool seenPoint = false, anyDigit = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.') {
      if (seenPoint) return std::nullopt;
      seenPoint = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    anyDigit = true;
    if (digits.empty() && c == '0') {
      if (seenPoint) --pointPos;  // 0.00ddd: the first significant digit sits further right
      continue;
    }
    digits.push_back(c);
    if (!seenPoint) ++pointPos;
  }
  if (!anyDigit) return std::nullopt;
  long exp = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool eneg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      eneg = s[i] == '-';
      ++i;
    }
    std::size_t ed = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++ed) exp = std::min(exp * 10 + (s[i] - '0'), 100000L);
    if (ed == 0) return std::nullopt;
    if (eneg) exp = -exp;
  }
  if (i != s.size()) return std::nullopt;
  if (digits.empty()) return int128_t{0};
  // value = 0.d1d2d3... * 10^(pointPos + exp); unscaled = value * 10^scale.
  long keep = pointPos + exp + scale;  // digits of `digits` that land left of the target scale's point
  if (keep > static_cast<long>(precision)) return std::nullopt;
  int128_t v = 0;
  long n = static_cast<long>(digits.size());
  for (long k = 0; k < keep; ++k) v = v * 10 + (k < n ? digits[static_cast<std::size_t>(k)] - '0' : 0);
  if (keep >= 0 && keep < n && digits[static_cast<std::size_t>(keep)] >= '5') ++v;  // HALF_UP
  if (!fitsPrecision(v, precision)) return std::nullopt;
  return negative ? -v : v;
}

std::optional<bool> parseBooleanText(std::string_view text) {
  std::string_view s = trimAll(text);
  if (s.size() > 5) return std::nullopt;
  char buf[6];
  for (std::size_t i = 0; i < s.size(); ++i) buf[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
  std::string_view l(buf, s.size());
  if (l == "t" || l == "true" || l == "y" || l == "yes" || l == "1") return true;
  if (l == "f" || l == "false" || l == "n" || l == "no" || l == "0") return false;
  return std::nullopt;
}

// Between intervals of one kind: the value truncated to the unit of the target's last field (a no-op when
// the target is at least as fine, as when operands widen).
VectorPtr castInterval(const Vector& in, const DataType& to) {
  auto out = Vector::make(to, in.size());
  out->validity() = in.validity();
  if (to.id() == TypeId::YearMonthInterval) {
    const std::int32_t* s = in.data<std::int32_t>();
    std::int32_t* o = out->data<std::int32_t>();
    for (std::size_t i = 0; i < in.size(); ++i) o[i] = to.endField() == 0 ? s[i] / 12 * 12 : s[i];
  } else {
    static const std::int64_t kUnit[] = {86400000000LL, 3600000000LL, 60000000LL, 1};
    const std::int64_t unit = kUnit[to.endField()];
    const std::int64_t* s = in.data<std::int64_t>();
    std::int64_t* o = out->data<std::int64_t>();
    for (std::size_t i = 0; i < in.size(); ++i) o[i] = s[i] / unit * unit;
  }
  return out;
}

// ---- public entry points ------------------------------------------------------------------------------

bool canCast(const DataType& from, const DataType& to) {
  if (sameType(from, to)) return true;
  if (from.isNull()) return true;
  if (to.isString()) return from.id() != TypeId::Array || canCast(from.elementType(), StringType());
  if (from.isInterval() || to.isInterval()) return from.id() == to.id();
  if (from.isString()) return to.isNumeric() || to.isBoolean() || to.isDatetime();
  if (from.isArray() || to.isArray()) return from.isArray() && to.isArray() && canCast(from.elementType(), to.elementType());
  if (to.id() == TypeId::Date) return from.id() == TypeId::Timestamp;
  if (to.id() == TypeId::Timestamp) return from.isNumeric() || from.isBoolean() || from.id() == TypeId::Date;
  if (to.isNumeric() || to.isBoolean()) return from.isNumeric() || from.isBoolean() || from.isDatetime();
  return false;
}

VectorPtr castVector(const VectorPtr& inPtr, const DataType& to, const EvalContext& ctx) {
  const Vector& in = *inPtr;
  const DataType& from = in.type();
  if (sameType(from, to)) return inPtr;
  if (from.isNull()) return allNullVector(to, in.size());
  if (to.isString()) return toStringVector(inPtr, ctx);
  if (from.isString()) return fromString(in, to, ctx);
  if (from.isArray() && to.isArray()) return castArray(inPtr, to, ctx);
  if (from.isInterval() && from.id() == to.id()) return castInterval(in, to);
  switch (to.id()) {
    case TypeId::Boolean:
      return castPrimitiveTo<std::uint8_t>(in, to);
    case TypeId::Byte:
      return castPrimitiveTo<std::int8_t>(in, to);
    case TypeId::Short:
      return castPrimitiveTo<std::int16_t>(in, to);
    case TypeId::Integer:
      return castPrimitiveTo<std::int32_t>(in, to);
    case TypeId::Long:
      return castPrimitiveTo<std::int64_t>(in, to);
    case TypeId::Float:
      return castPrimitiveTo<float>(in, to);
    case TypeId::Double:
      return castPrimitiveTo<double>(in, to);
    case TypeId::Decimal:
      return castToDecimal(in, to);
    case TypeId::Timestamp:
      return castToTimestamp(in, to, ctx);
    case TypeId::Date:
      return castToDate(in, to, ctx);
    default:
      break;
  }
  throw ExecutionException(
      fmt::format("internal error: cannot cast {} to {}", from.simpleString(), to.simpleString()));
}

namespace {
BoundExprPtr bindCastNamed(BoundExprPtr child, const DataType& to, const std::string& text) {
  if (!canCast(child->type(), to)) {
    throwTypeMismatch("CAST_WITHOUT_SUGGESTION", text,
                      fmt::format("cannot cast {} to {}.", quoteType(child->type()), quoteType(to)));
  }
  if (sameType(child->type(), to)) return child;
  return std::make_shared<CastExpr>(std::move(child), to);
}
}  // namespace

BoundExprPtr bindCast(BoundExprPtr child, const DataType& to) {
  std::string text = fmt::format("CAST({} AS {})", child->toString(), to.sql());
  return bindCastNamed(std::move(child), to, text);
}

BoundExprPtr bindCast(BoundExprPtr child, const DataType& to, const Expr& source) {
  return bindCastNamed(std::move(child), to, exprText(source));
}

BoundExprPtr castIfNeeded(BoundExprPtr e, const DataType& to) {
  if (sameType(e->type(), to)) return e;
  return bindCast(std::move(e), to);
}

}  // namespace engine::local
