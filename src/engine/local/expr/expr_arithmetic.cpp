// Arithmetic operators with Spark's non-ANSI semantics: integral results wrap, division and remainder by
// zero give null, floating point follows IEEE, decimals use DecimalPrecision's result types.
#include <cmath>
#include <limits>
#include <type_traits>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expr_decimal.h"
#include "engine/local/expr/expr_interval.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

enum class ArithOp { Add, Subtract, Multiply, Divide, Remainder, IntegralDivide };

const char* symbol(ArithOp op) {
  switch (op) {
    case ArithOp::Add: return "+";
    case ArithOp::Subtract: return "-";
    case ArithOp::Multiply: return "*";
    case ArithOp::Divide: return "/";
    case ArithOp::Remainder: return "%";
    case ArithOp::IntegralDivide: return "div";
  }
  return "?";
}

template <class T>
T wrapAdd(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
  } else {
    return a + b;
  }
}
template <class T>
T wrapSub(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(a) - static_cast<U>(b)));
  } else {
    return a - b;
  }
}
template <class T>
T wrapMul(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    using U = std::make_unsigned_t<T>;
    using W = std::conditional_t<(sizeof(T) < sizeof(unsigned)), unsigned, U>;  // avoid int promotion overflow
    return static_cast<T>(static_cast<U>(static_cast<W>(static_cast<U>(a)) * static_cast<W>(static_cast<U>(b))));
  } else {
    return a * b;
  }
}
template <class T>
T wrapNeg(T a) {
  if constexpr (std::is_integral_v<T>) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(U{0} - static_cast<U>(a)));
  } else {
    return -a;
  }
}

class ArithmeticExpr final : public FunctionExpr {
 public:
  ArithmeticExpr(ArithOp op, BoundExprPtr l, BoundExprPtr r, DataType type, bool mayBeNull)
      : FunctionExpr(symbol(op), {l, r}, std::move(type), mayBeNull || l->nullable() || r->nullable(), Style::Infix),
        op_(op) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    Arg b = evalArg(*args_[1], input, ctx);
    const std::size_t n = input.rows;
    const DataType& operand = args_[0]->type();
    if (operand.isDecimal()) return evalDecimal(a, b, n);
    return dispatchPrimitiveNumeric(operand.id(), [&](auto tag) -> VectorPtr {
      using T = typename decltype(tag)::type;
      return evalPrimitive<T>(a, b, n);
    });
  }

 private:
  template <class T>
  VectorPtr evalPrimitive(const Arg& a, const Arg& b, std::size_t n) const {
    const DataType& t = type();
    switch (op_) {
      case ArithOp::Add:
        return binaryKernelTotal<T, T, T>(a, b, t, n, [](T x, T y) { return wrapAdd(x, y); });
      case ArithOp::Subtract:
        return binaryKernelTotal<T, T, T>(a, b, t, n, [](T x, T y) { return wrapSub(x, y); });
      case ArithOp::Multiply:
        return binaryKernelTotal<T, T, T>(a, b, t, n, [](T x, T y) { return wrapMul(x, y); });
      case ArithOp::Divide:
        // Operands are double here; x / 0 (either zero) is null.
        return binaryKernel<T, T, T>(a, b, t, n, [](T x, T y, T& o) {
          if (y == 0) return false;
          o = x / y;
          return true;
        });
      case ArithOp::Remainder:
        return binaryKernel<T, T, T>(a, b, t, n, [](T x, T y, T& o) {
          if (y == 0) return false;
          if constexpr (std::is_integral_v<T>) {
            o = y == -1 ? T{0} : static_cast<T>(x % y);  // MIN % -1 would trap
          } else {
            o = std::fmod(x, y);
          }
          return true;
        });
      case ArithOp::IntegralDivide:
        if constexpr (std::is_same_v<T, std::int64_t>) {
          return binaryKernel<T, T, T>(a, b, t, n, [](T x, T y, T& o) {
            if (y == 0) return false;
            o = y == -1 ? wrapNeg(x) : x / y;  // MIN div -1 wraps to MIN
            return true;
          });
        }
        break;
    }
    throw ExecutionException("internal error: unsupported arithmetic operand type");
  }

  VectorPtr evalDecimal(const Arg& a, const Arg& b, std::size_t n) const {
    const DataType& t = type();
    const int sa = args_[0]->type().scale(), sb = args_[1]->type().scale();
    const int rp = t.precision(), rs = t.scale();
    switch (op_) {
      case ArithOp::Add:
      case ArithOp::Subtract: {
        const bool sub = op_ == ArithOp::Subtract;
        return binaryKernel<int128_t, int128_t, int128_t>(a, b, t, n, [=](int128_t x, int128_t y, int128_t& o) {
          return decimalAdd(x, sa, y, sb, sub, rp, rs, o);
        });
      }
      case ArithOp::Multiply:
        return binaryKernel<int128_t, int128_t, int128_t>(a, b, t, n, [=](int128_t x, int128_t y, int128_t& o) {
          return decimalMultiply(x, sa, y, sb, rp, rs, o);
        });
      case ArithOp::Divide:
        return binaryKernel<int128_t, int128_t, int128_t>(a, b, t, n, [=](int128_t x, int128_t y, int128_t& o) {
          return decimalDivide(x, sa, y, sb, rp, rs, o);
        });
      case ArithOp::Remainder:
        return binaryKernel<int128_t, int128_t, int128_t>(a, b, t, n, [=](int128_t x, int128_t y, int128_t& o) {
          return decimalRemainder(x, sa, y, sb, rp, rs, o);
        });
      case ArithOp::IntegralDivide:
        return binaryKernel<int128_t, int128_t, std::int64_t>(
            a, b, t, n, [=](int128_t x, int128_t y, std::int64_t& o) { return decimalIntegralDivide(x, sa, y, sb, o); });
    }
    throw ExecutionException("internal error: unsupported decimal arithmetic");
  }

  ArithOp op_;
};

class UnaryArithmeticExpr final : public FunctionExpr {
 public:
  UnaryArithmeticExpr(bool isAbs, BoundExprPtr child)
      : FunctionExpr(isAbs ? "abs" : "-", {child}, child->type(), child->nullable(),
                     isAbs ? Style::Call : Style::Prefix),
        abs_(isAbs) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    const std::size_t n = input.rows;
    auto out = Vector::make(type(), n);
    if (!propagateNulls(*out, {&a}, n)) return out;
    const bool isAbs = abs_;
    if (type().isDecimal()) {
      // The result keeps the input's precision, so negation cannot overflow.
      const int128_t* x = a.data<int128_t>();
      int128_t* o = out->data<int128_t>();
      for (std::size_t i = 0; i < n; ++i) {
        int128_t v = x[a.row(i)];
        o[i] = isAbs ? (v < 0 ? -v : v) : -v;
      }
      return out;
    }
    dispatchPrimitiveNumeric(type().id(), [&](auto tag) {
      using T = typename decltype(tag)::type;
      const T* x = a.data<T>();
      T* o = out->data<T>();
      auto f = [isAbs](T v) {
        if constexpr (std::is_floating_point_v<T>) {
          return isAbs ? std::fabs(v) : -v;
        } else {
          return isAbs ? (v < 0 ? wrapNeg(v) : v) : wrapNeg(v);  // abs(MIN) stays MIN, as in Java
        }
      };
      if (a.scalar) {
        T v = f(x[0]);
        for (std::size_t i = 0; i < n; ++i) o[i] = v;
      } else {
        for (std::size_t i = 0; i < n; ++i) o[i] = f(x[i]);
      }
    });
    return out;
  }

 private:
  bool abs_;
};

std::string arithmeticRequirement(ArithOp op) {
  switch (op) {
    case ArithOp::Add:
    case ArithOp::Subtract:
      return "(\"NUMERIC\" or \"INTERVAL DAY TO SECOND\" or \"INTERVAL YEAR TO MONTH\" or \"INTERVAL\")";
    case ArithOp::Divide:
      return "(\"DOUBLE\" or \"DECIMAL\")";
    case ArithOp::IntegralDivide:
      return "(\"BIGINT\" or \"DECIMAL\")";
    default:
      return "\"NUMERIC\"";
  }
}

DataType decimalResultType(ArithOp op, const DataType& l, const DataType& r) {
  const int p1 = l.precision(), s1 = l.scale(), p2 = r.precision(), s2 = r.scale();
  switch (op) {
    case ArithOp::Add:
    case ArithOp::Subtract: {
      int scale = std::max(s1, s2);
      return adjustPrecisionScale(std::max(p1 - s1, p2 - s2) + scale + 1, scale);
    }
    case ArithOp::Multiply:
      return adjustPrecisionScale(p1 + p2 + 1, s1 + s2);
    case ArithOp::Divide: {
      int scale = std::max(6, s1 + p2 + 1);
      return adjustPrecisionScale(p1 - s1 + s2 + scale, scale);
    }
    case ArithOp::Remainder: {
      int scale = std::max(s1, s2);
      return adjustPrecisionScale(std::min(p1 - s1, p2 - s2) + scale, scale);
    }
    case ArithOp::IntegralDivide:
      return LongType();
  }
  return l;
}

BoundExprPtr bindBinaryArithmetic(ArithOp op, BoundExprPtr l, BoundExprPtr r, const Expr& source) {
  const std::string text = callText(source);
  // date + n, n + date and date - n move the date by whole days (Spark's date_add / date_sub).
  auto dayCount = [](const BoundExprPtr& e) { return e->type().isIntegral() && e->type().id() != TypeId::Long; };
  if (op == ArithOp::Add && l->type().id() == TypeId::Date && dayCount(r))
    return bindScalarFunction("date_add", {std::move(l), std::move(r)}, source);
  if (op == ArithOp::Add && r->type().id() == TypeId::Date && dayCount(l))
    return bindScalarFunction("date_add", {std::move(r), std::move(l)}, source);
  if (op == ArithOp::Subtract && l->type().id() == TypeId::Date && dayCount(r))
    return bindScalarFunction("date_sub", {std::move(l), std::move(r)}, source);
  if (op == ArithOp::Add || op == ArithOp::Subtract) {
    if (auto e = bindIntervalArithmetic(op == ArithOp::Subtract, l, r, source)) return e;
  } else if (l->type().isInterval() || r->type().isInterval()) {
    throwTypeMismatch("BINARY_OP_WRONG_TYPE", text,
                      fmt::format("the binary operator {} is not supported with intervals ({} and {}).",
                                  exprText(source), quoteType(l->type()), quoteType(r->type())));
  }
  // Untyped nulls take the other side's type; two of them compute in double (Spark's choice).
  if (l->type().isNull() && r->type().isNull()) {
    l = castIfNeeded(l, DoubleType());
    r = castIfNeeded(r, DoubleType());
  } else if (l->type().isNull()) {
    l = castIfNeeded(l, r->type().isString() ? DoubleType() : r->type());
  } else if (r->type().isNull()) {
    r = castIfNeeded(r, l->type().isString() ? DoubleType() : l->type());
  }
  // Strings take part in arithmetic as doubles (ANSI off).
  if (l->type().isString()) l = castIfNeeded(l, DoubleType());
  if (r->type().isString()) r = castIfNeeded(r, DoubleType());
  const DataType lt = l->type(), rt = r->type();
  if (!lt.isNumeric() || !rt.isNumeric()) {
    if (lt != rt)
      throwTypeMismatch("BINARY_OP_DIFF_TYPES", text,
                        fmt::format("the left and right operands of the binary operator have incompatible types ({} "
                                    "and {}).",
                                    quoteType(lt), quoteType(rt)));
    throwTypeMismatch("BINARY_OP_WRONG_TYPE", text,
                      fmt::format("the binary operator requires the input type {}, not {}.",
                                  arithmeticRequirement(op), quoteType(lt)));
  }
  if (lt.isDecimal() || rt.isDecimal()) {
    if (lt.isFloating() || rt.isFloating()) {
      l = castIfNeeded(l, DoubleType());
      r = castIfNeeded(r, DoubleType());
    } else {
      DataType dl = *decimalOperandType(*l), dr = *decimalOperandType(*r);
      l = castIfNeeded(l, dl);
      r = castIfNeeded(r, dr);
      DataType result = decimalResultType(op, dl, dr);
      return std::make_shared<ArithmeticExpr>(op, l, r, result, true);
    }
  }
  DataType operand;
  switch (op) {
    case ArithOp::Divide:
      operand = DoubleType();
      break;
    case ArithOp::IntegralDivide:
      operand = LongType();
      break;
    default:
      operand = *findTightestCommonType(l->type(), r->type());
  }
  l = castIfNeeded(l, operand);
  r = castIfNeeded(r, operand);
  bool mayBeNull = op == ArithOp::Divide || op == ArithOp::Remainder || op == ArithOp::IntegralDivide;
  return std::make_shared<ArithmeticExpr>(op, l, r, operand, mayBeNull);
}

BoundExprPtr bindUnaryArithmetic(bool isAbs, BoundExprPtr child, const Expr& source) {
  if (!isAbs && child->type().isInterval()) return bindIntervalNegate(std::move(child));
  if (child->type().isString() || child->type().isNull()) child = castIfNeeded(child, DoubleType());
  if (!child->type().isNumeric()) {
    const std::string argText = source.children.empty() ? child->toString() : exprText(*source.children[0]);
    throwUnexpectedInput(callText(source), 0,
                         "(\"NUMERIC\" or \"INTERVAL DAY TO SECOND\" or \"INTERVAL YEAR TO MONTH\")", argText,
                         child->type());
  }
  return std::make_shared<UnaryArithmeticExpr>(isAbs, std::move(child));
}

ScalarBinder binary(ArithOp op) {
  return [op](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindBinaryArithmetic(op, std::move(args[0]), std::move(args[1]), source);
  };
}

}  // namespace

void registerArithmeticFunctions(ScalarFunctionRegistry& r) {
  r.add("+", 2, 2, binary(ArithOp::Add));
  r.add("*", 2, 2, binary(ArithOp::Multiply));
  r.add("/", 2, 2, binary(ArithOp::Divide));
  r.add("%", 2, 2, binary(ArithOp::Remainder));
  r.add("mod", 2, 2, binary(ArithOp::Remainder));
  r.add("div", 2, 2, binary(ArithOp::IntegralDivide));
  // "-" is subtraction with two arguments and negation with one.
  r.add("-", 1, 2, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    if (args.size() == 1) return bindUnaryArithmetic(false, std::move(args[0]), source);
    return bindBinaryArithmetic(ArithOp::Subtract, std::move(args[0]), std::move(args[1]), source);
  });
  r.add("negative", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindUnaryArithmetic(false, std::move(args[0]), source);
  });
  // Unary plus: the operand itself (numbers only, as in Spark).
  r.add("positive", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    const DataType& t = args[0]->type();
    if (!(t.isNumeric() || t.isNull() || t.isString()))
      throwUnexpectedInput(callText(source), 0, "\"NUMERIC\"", args[0]->toString(), t);
    if (t.isString()) return bindCast(std::move(args[0]), DoubleType());
    return std::move(args[0]);
  });
  r.add("abs", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindUnaryArithmetic(true, std::move(args[0]), source);
  });
}

}  // namespace engine::local
