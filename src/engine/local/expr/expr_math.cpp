// Math functions: round/bround (Spark rounds the decimal text of a double, as BigDecimal(d) does), floor
// and ceil (to bigint or to a decimal of scale 0), pmod, and the double functions (sqrt, exp, ln, log,
// pow, trigonometry, ...). The logarithms give null outside their domain, as Spark's do.
#include <charconv>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_kernel.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

// A numeric argument as double (strings and untyped nulls too, as Spark's implicit casts do).
BoundExprPtr doubleArg(BoundExprPtr e, const Expr& source, std::size_t i) {
  const DataType& t = e->type();
  if (!(t.isNumeric() || t.isString() || t.isNull()))
    throwUnexpectedInput(callText(source), i, "\"DOUBLE\"", argText(source, i, *e), t);
  return castIfNeeded(std::move(e), DoubleType());
}

enum class Domain { All, Positive, AboveMinusOne };

ScalarBinder unaryDouble(double (*fn)(double), Domain domain = Domain::All) {
  return [fn, domain](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = doubleArg(std::move(args[0]), source, 0);
    bool nullable = args[0]->nullable() || domain != Domain::All;
    return makeKernel(name, std::move(args), DoubleType(), nullable,
                      [fn, domain](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
                        const double* x = a[0].data<double>();
                        const bool sc = a[0].scalar;
                        return strictFixed<double>(a, n, DoubleType(), [&](std::size_t i, double& o) {
                          double v = x[sc ? 0 : i];
                          // Null at or below the domain's edge; NaN passes through as NaN.
                          if (domain == Domain::Positive && v <= 0) return false;
                          if (domain == Domain::AboveMinusOne && v <= -1) return false;
                          o = fn(v);
                          return true;
                        });
                      });
  };
}

ScalarBinder binaryDouble(double (*fn)(double, double)) {
  return [fn](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < 2; ++i) args[i] = doubleArg(std::move(args[i]), source, i);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), DoubleType(), nullable,
                      [fn](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
                        const double* x = a[0].data<double>();
                        const double* y = a[1].data<double>();
                        return strictFixed<double>(a, n, DoubleType(), [&](std::size_t i, double& o) {
                          o = fn(x[a[0].row(i)], y[a[1].row(i)]);
                          return true;
                        });
                      });
  };
}

double signum(double v) { return v > 0 ? 1.0 : v < 0 ? -1.0 : v; }
double degrees(double v) { return v * (180.0 / M_PI); }
double radians(double v) { return v / 180.0 * M_PI; }
double cot(double v) { return 1.0 / std::tan(v); }
double sec(double v) { return 1.0 / std::cos(v); }
double csc(double v) { return 1.0 / std::sin(v); }
double logBase(double base, double x) { return std::log(x) / std::log(base); }

// ---- rounding ----------------------------------------------------------------------------------

enum class RoundMode { HalfUp, HalfEven };

// Whether dropping the digits from `at` on (digits[at] is the first dropped) rounds the kept part up.
bool roundsUp(const std::string& digits, std::int64_t at, RoundMode mode) {
  if (at < 0 || at >= static_cast<std::int64_t>(digits.size())) return false;
  int first = digits[static_cast<std::size_t>(at)] - '0';
  if (first != 5) return first > 5;
  bool rest = false;
  for (std::size_t k = static_cast<std::size_t>(at) + 1; k < digits.size(); ++k) rest |= digits[k] != '0';
  if (mode == RoundMode::HalfUp || rest) return true;
  int prev = at > 0 ? digits[static_cast<std::size_t>(at) - 1] - '0' : 0;
  return prev % 2 == 1;
}

// BigDecimal(text of v).setScale(scale, mode) back to a double; `shortest` is v's shortest decimal text.
double roundDecimalText(const char* shortest, int scale, RoundMode mode, bool isFloat) {
  // Split "[-]d.ddde[+-]x" into digits and the position of the decimal point.
  std::string_view s(shortest);
  bool negative = !s.empty() && s[0] == '-';
  if (negative) s.remove_prefix(1);
  std::string digits;
  std::int64_t exponent = 0;
  std::size_t e = s.find_first_of("eE");
  std::string_view mant = s.substr(0, e);
  if (e != std::string_view::npos) exponent = std::strtoll(std::string(s.substr(e + 1)).c_str(), nullptr, 10);
  std::int64_t point = -1;
  for (char c : mant) {
    if (c == '.') {
      point = static_cast<std::int64_t>(digits.size());
    } else {
      digits.push_back(c);
    }
  }
  if (point < 0) point = static_cast<std::int64_t>(digits.size());
  point += exponent;  // digits before the decimal point
  std::int64_t keep = point + scale;  // number of digits kept
  if (keep >= static_cast<std::int64_t>(digits.size())) return std::strtod(shortest, nullptr);
  bool up = roundsUp(digits, keep, mode);
  std::string kept = keep > 0 ? digits.substr(0, static_cast<std::size_t>(keep)) : std::string();
  // Add one in the last kept place.
  std::int64_t place = -scale;  // power of ten of the last kept digit
  if (up) {
    int k = static_cast<int>(kept.size()) - 1;
    while (k >= 0 && kept[static_cast<std::size_t>(k)] == '9') kept[static_cast<std::size_t>(k--)] = '0';
    if (k >= 0) {
      ++kept[static_cast<std::size_t>(k)];
    } else {
      kept.insert(kept.begin(), '1');
    }
  }
  if (kept.empty() || kept.find_first_not_of('0') == std::string::npos) return 0.0;  // BigDecimal has no -0
  std::string text = (negative ? "-" : "") + kept + "e" + std::to_string(place);
  return isFloat ? static_cast<double>(std::strtof(text.c_str(), nullptr)) : std::strtod(text.c_str(), nullptr);
}

double roundDouble(double v, int scale, RoundMode mode) {
  if (std::isnan(v) || std::isinf(v)) return v;
  if (v == 0) return 0.0;  // BigDecimal has no negative zero
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific);
  *r.ptr = '\0';
  return roundDecimalText(buf, scale, mode, false);
}

float roundFloat(float v, int scale, RoundMode mode) {
  if (std::isnan(v) || std::isinf(v)) return v;
  if (v == 0) return 0.0f;
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific);
  *r.ptr = '\0';
  return static_cast<float>(roundDecimalText(buf, scale, mode, true));
}

// Divides an unscaled value by 10^k with the rounding mode (k >= 0).
int128_t divRound(int128_t v, int k, RoundMode mode) {
  if (k == 0) return v;
  if (k > 38) return 0;
  int128_t p = pow10i128(k);
  int128_t q = v / p, r = v % p;
  int128_t twice = (r < 0 ? -r : r) * 2;
  bool up = twice > p || (twice == p && (mode == RoundMode::HalfUp || (q % 2 != 0)));
  if (up) q += v < 0 ? -1 : 1;
  return q;
}

BoundExprPtr bindRound(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) {
  const RoundMode mode = name == "bround" ? RoundMode::HalfEven : RoundMode::HalfUp;
  int scale = 0;
  if (args.size() == 2) {
    const Value* s = literalValue(*args[1]);
    if (!args[1]->isConstant() || !args[1]->type().isIntegral())
      throwTypeMismatch("NON_FOLDABLE_INPUT", callText(source),
                        fmt::format("the input scale should be a foldable \"INT\" expression; however, got \"{}\".",
                                    argText(source, 1, *args[1])));
    Value sv = s ? *s : args[1]->constantValue();
    if (sv.isNull()) return boundLiteral(Value(), args[0]->type().isString() ? DoubleType() : args[0]->type());
    scale = static_cast<int>(castVector(Vector::constant(sv, args[1]->type(), 1), IntegerType(), EvalContext{})
                                 ->data<std::int32_t>()[0]);
  }
  BoundExprPtr x = args[0];
  if (x->type().isString() || x->type().isNull()) x = castIfNeeded(x, DoubleType());
  const DataType t = x->type();
  if (!t.isNumeric()) throwUnexpectedInput(callText(source), 0, "\"NUMERIC\"", argText(source, 0, *x), t);
  const bool nullable = x->nullable();
  std::vector<BoundExprPtr> kargs{x};
  if (t.id() == TypeId::Double) {
    return makeKernel(name, std::move(kargs), t, nullable, [scale, mode](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      const double* v = a[0].data<double>();
      return strictFixed<double>(a, n, DoubleType(), [&](std::size_t i, double& o) {
        o = roundDouble(v[a[0].row(i)], scale, mode);
        return true;
      });
    });
  }
  if (t.id() == TypeId::Float) {
    return makeKernel(name, std::move(kargs), t, nullable, [scale, mode](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      const float* v = a[0].data<float>();
      return strictFixed<float>(a, n, FloatType(), [&](std::size_t i, float& o) {
        o = roundFloat(v[a[0].row(i)], scale, mode);
        return true;
      });
    });
  }
  if (t.isIntegral()) {
    return makeKernel(name, std::move(kargs), t, nullable, [scale, mode, t](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return dispatchIntegral(t.id(), [&](auto tag) -> VectorPtr {
        using T = typename decltype(tag)::type;
        const T* v = a[0].data<T>();
        return strictFixed<T>(a, n, t, [&](std::size_t i, T& o) {
          T x = v[a[0].row(i)];
          if (scale >= 0) {
            o = x;
          } else {
            int128_t p = -scale > 38 ? 0 : pow10i128(-scale);
            int128_t r = p == 0 ? 0 : divRound(static_cast<int128_t>(x), -scale, mode) * p;
            o = static_cast<T>(static_cast<std::uint64_t>(static_cast<std::int64_t>(r)));
          }
          return true;
        });
      });
    });
  }
  // Decimal: Spark's RoundBase result type.
  const int p = t.precision(), s = t.scale();
  const int integral = p - s + 1;
  DataType out = scale < 0 ? DecimalType(std::min(std::max(integral, -scale + 1), 38), 0)
                           : DecimalType(std::min(integral + std::min(s, scale), 38), std::min(s, scale));
  return makeKernel(name, std::move(kargs), out, true, [scale, mode, s, out](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
    const int128_t* v = a[0].data<int128_t>();
    return strictFixed<int128_t>(a, n, out, [&](std::size_t i, int128_t& o) {
      int128_t x = v[a[0].row(i)];
      int128_t r;
      if (scale >= s) {
        r = x;
      } else if (scale >= 0) {
        r = divRound(x, s - scale, mode);
      } else {
        int drop = s - scale;
        if (drop > 38) {
          r = 0;
        } else {
          r = divRound(x, drop, mode);
          if (-scale <= 38) r *= pow10i128(-scale);
        }
      }
      if (!fitsPrecision(r, out.precision())) return false;
      o = r;
      return true;
    });
  });
}

ScalarBinder floorCeil(bool ceil) {
  return [ceil](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    BoundExprPtr x = args[0];
    const DataType& t0 = x->type();
    if (!(t0.isNumeric() || t0.isString() || t0.isNull()))
      throwUnexpectedInput(callText(source), 0, "(\"DECIMAL\" or \"DOUBLE\" or \"BIGINT\")", argText(source, 0, *x), t0);
    const bool nullable = x->nullable();
    if (t0.isDecimal()) {
      const int p = t0.precision(), s = t0.scale();
      if (s == 0) return x;
      DataType out = boundedDecimal(p - s + 1, 0);
      return makeKernel(name, {x}, out, nullable, [ceil, s, out](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
        const int128_t* v = a[0].data<int128_t>();
        const int128_t pw = pow10i128(s);
        return strictFixed<int128_t>(a, n, out, [&](std::size_t i, int128_t& o) {
          int128_t x = v[a[0].row(i)];
          int128_t q = x / pw, r = x % pw;
          if (ceil && r > 0) ++q;
          if (!ceil && r < 0) --q;
          o = q;
          return true;
        });
      });
    }
    if (t0.isIntegral()) return castIfNeeded(x, LongType());
    x = castIfNeeded(x, DoubleType());
    return makeKernel(name, {x}, LongType(), nullable, [ceil](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      const double* v = a[0].data<double>();
      return strictFixed<std::int64_t>(a, n, LongType(), [&](std::size_t i, std::int64_t& o) {
        double d = v[a[0].row(i)];
        o = javaDoubleToLong(ceil ? std::ceil(d) : std::floor(d));
        return true;
      });
    });
  };
}

}  // namespace

void registerMathFunctions(ScalarFunctionRegistry& r) {
  r.add("round", 1, 2, bindRound);
  r.add("bround", 1, 2, bindRound);
  r.add("floor", 1, 1, floorCeil(false));
  r.add("ceil", 1, 1, floorCeil(true));
  r.add("ceiling", 1, 1, floorCeil(true));
  r.add("sqrt", 1, 1, unaryDouble([](double v) { return std::sqrt(v); }));
  r.add("cbrt", 1, 1, unaryDouble([](double v) { return std::cbrt(v); }));
  r.add("exp", 1, 1, unaryDouble([](double v) { return std::exp(v); }));
  r.add("expm1", 1, 1, unaryDouble([](double v) { return std::expm1(v); }));
  r.add("ln", 1, 1, unaryDouble([](double v) { return std::log(v); }, Domain::Positive));
  r.add("log10", 1, 1, unaryDouble([](double v) { return std::log10(v); }, Domain::Positive));
  r.add("log2", 1, 1, unaryDouble([](double v) { return std::log2(v); }, Domain::Positive));
  r.add("log1p", 1, 1, unaryDouble([](double v) { return std::log1p(v); }, Domain::AboveMinusOne));
  r.add("sin", 1, 1, unaryDouble([](double v) { return std::sin(v); }));
  r.add("cos", 1, 1, unaryDouble([](double v) { return std::cos(v); }));
  r.add("tan", 1, 1, unaryDouble([](double v) { return std::tan(v); }));
  r.add("cot", 1, 1, unaryDouble(cot));
  r.add("sec", 1, 1, unaryDouble(sec));
  r.add("csc", 1, 1, unaryDouble(csc));
  r.add("asin", 1, 1, unaryDouble([](double v) { return std::asin(v); }));
  r.add("acos", 1, 1, unaryDouble([](double v) { return std::acos(v); }));
  r.add("atan", 1, 1, unaryDouble([](double v) { return std::atan(v); }));
  r.add("sinh", 1, 1, unaryDouble([](double v) { return std::sinh(v); }));
  r.add("cosh", 1, 1, unaryDouble([](double v) { return std::cosh(v); }));
  r.add("tanh", 1, 1, unaryDouble([](double v) { return std::tanh(v); }));
  r.add("degrees", 1, 1, unaryDouble(degrees));
  r.add("radians", 1, 1, unaryDouble(radians));
  r.add("sign", 1, 1, unaryDouble(signum));
  r.add("signum", 1, 1, unaryDouble(signum));
  r.add("rint", 1, 1, unaryDouble([](double v) { return std::nearbyint(v); }));
  r.add("pow", 2, 2, binaryDouble([](double a, double b) { return std::pow(a, b); }));
  r.add("power", 2, 2, binaryDouble([](double a, double b) { return std::pow(a, b); }));
  r.add("atan2", 2, 2, binaryDouble([](double a, double b) { return std::atan2(a, b); }));
  r.add("hypot", 2, 2, binaryDouble([](double a, double b) { return std::hypot(a, b); }));
  // log(x) is ln(x); log(base, x) is null unless both are positive.
  r.add("log", 1, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    if (args.size() == 1) return unaryDouble([](double v) { return std::log(v); }, Domain::Positive)(name, std::move(args), source);
    for (std::size_t i = 0; i < 2; ++i) args[i] = doubleArg(std::move(args[i]), source, i);
    return makeKernel(name, std::move(args), DoubleType(), true, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      const double* b = a[0].data<double>();
      const double* x = a[1].data<double>();
      return strictFixed<double>(a, n, DoubleType(), [&](std::size_t i, double& o) {
        double bv = b[a[0].row(i)], xv = x[a[1].row(i)];
        if (bv <= 0 || xv <= 0) return false;
        o = logBase(bv, xv);
        return true;
      });
    });
  });
  r.add("pi", 0, 0, [](const std::string&, std::vector<BoundExprPtr>, const Expr&) -> BoundExprPtr {
    return boundLiteral(Value(M_PI), DoubleType());
  });
  r.add("e", 0, 0, [](const std::string&, std::vector<BoundExprPtr>, const Expr&) -> BoundExprPtr {
    return boundLiteral(Value(M_E), DoubleType());
  });
  // pmod(a, n): a % n moved into [0, |n|) the way Spark computes it, ((a % n) + n) % n for a negative rest.
  r.add("pmod", 2, 2, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    BoundExprPtr rem = bindScalarFunction("%", {args[0], args[1]}, source);
    BoundExprPtr n = castIfNeeded(args[1], rem->type());
    BoundExprPtr negative = bindScalarFunction("<", {rem, boundLiteral(Value(0), IntegerType())}, source);
    BoundExprPtr moved = bindScalarFunction("%", {bindScalarFunction("+", {rem, n}, source), n}, source);
    return bindScalarFunction("if", {negative, castIfNeeded(moved, rem->type()), rem}, source);
  });
}

}  // namespace engine::local
