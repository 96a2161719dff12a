// Shared machinery of the scalar kernels: physical-type dispatch, evaluated arguments that are either a
// whole column or a broadcast constant, validity combination, the base class of function expressions and
// Spark-style analysis errors. Internal to the local backend.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/errors.h"
#include "engine/expression.h"
#include "engine/local/expr/bound_expr.h"
#include "engine/types.h"
#include "engine/value.h"
#include "engine/vector.h"

namespace engine::local {

template <class T>
using Tag = std::type_identity<T>;

// Calls f(Tag<T>{}) with T the physical storage type of `id` (vector.h's layout). Only for fixed-width
// types; throws for others.
template <class F>
decltype(auto) dispatchFixed(TypeId id, F&& f) {
  switch (id) {
    case TypeId::Boolean:
      return f(Tag<std::uint8_t>{});
    case TypeId::Byte:
      return f(Tag<std::int8_t>{});
    case TypeId::Short:
      return f(Tag<std::int16_t>{});
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval:
      return f(Tag<std::int32_t>{});
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval:
      return f(Tag<std::int64_t>{});
    case TypeId::Float:
      return f(Tag<float>{});
    case TypeId::Double:
      return f(Tag<double>{});
    case TypeId::Decimal:
      return f(Tag<int128_t>{});
    default:
      throw ExecutionException("internal error: no fixed-width layout for this type");
  }
}

// Integral and floating types only (the arithmetic kernels; decimals are handled separately).
template <class F>
decltype(auto) dispatchPrimitiveNumeric(TypeId id, F&& f) {
  switch (id) {
    case TypeId::Byte:
      return f(Tag<std::int8_t>{});
    case TypeId::Short:
      return f(Tag<std::int16_t>{});
    case TypeId::Integer:
      return f(Tag<std::int32_t>{});
    case TypeId::Long:
      return f(Tag<std::int64_t>{});
    case TypeId::Float:
      return f(Tag<float>{});
    case TypeId::Double:
      return f(Tag<double>{});
    default:
      throw ExecutionException("internal error: not a primitive numeric type");
  }
}

// Integral types only (byte, short, int, long).
template <class F>
decltype(auto) dispatchIntegral(TypeId id, F&& f) {
  switch (id) {
    case TypeId::Byte:
      return f(Tag<std::int8_t>{});
    case TypeId::Short:
      return f(Tag<std::int16_t>{});
    case TypeId::Integer:
      return f(Tag<std::int32_t>{});
    case TypeId::Long:
      return f(Tag<std::int64_t>{});
    default:
      throw ExecutionException("internal error: not an integral type");
  }
}

// Float and double only.
template <class F>
decltype(auto) dispatchFloating(TypeId id, F&& f) {
  if (id == TypeId::Float) return f(Tag<float>{});
  if (id == TypeId::Double) return f(Tag<double>{});
  throw ExecutionException("internal error: not a floating type");
}

// An evaluated argument: a full column of batch.rows rows, or (for constant expressions) one row that
// stands for every row.
struct Arg {
  VectorPtr vec;
  bool scalar = false;

  const Vector& v() const { return *vec; }
  template <class T>
  const T* data() const {
    return vec->data<T>();
  }
  bool valid(std::size_t i) const { return vec->isValid(scalar ? 0 : i); }
  // A constant null: every row of the result is null for null-propagating functions.
  bool scalarNull() const { return scalar && vec->isNull(0); }
  bool allValid() const { return vec->validity().allValid() || (scalar && vec->isValid(0)); }
  std::string_view str(std::size_t i) const { return vec->str(scalar ? 0 : i); }
  std::size_t row(std::size_t i) const { return scalar ? 0 : i; }
};

// Evaluates `e` over `batch`; constants are evaluated over a single row.
Arg evalArg(const BoundExpr& e, const Batch& batch, const EvalContext& ctx);
std::vector<Arg> evalArgs(const std::vector<BoundExprPtr>& args, const Batch& batch, const EvalContext& ctx);

// Sets out's validity to the conjunction of the arguments' validities over n rows. Returns false when a
// constant null argument makes every row null (out is then all null).
bool propagateNulls(Vector& out, const std::vector<const Arg*>& args, std::size_t n);
inline bool propagateNulls(Vector& out, std::initializer_list<const Arg*> args, std::size_t n) {
  return propagateNulls(out, std::vector<const Arg*>(args), n);
}

// A result vector of n null rows.
MutableVectorPtr allNullVector(const DataType& type, std::size_t n);

// Base of every function/operator expression: children, constant detection and folding (a function of
// constants is evaluated on one row and broadcast), and Spark-like text.
class FunctionExpr : public BoundExpr {
 public:
  enum class Style { Call, Infix, Prefix };
  FunctionExpr(std::string name, std::vector<BoundExprPtr> args, DataType type, bool nullable,
               Style style = Style::Call);

  VectorPtr eval(const Batch& input, const EvalContext& ctx) const final;
  std::string toString() const override;
  bool isConstant() const override { return constant_; }
  Value constantValue() const override;
  // The columns of the arguments (every operand of a function is one of its arguments).
  bool collectColumns(std::vector<int>& out) const override;
  const std::vector<BoundExprPtr>& args() const { return args_; }

 protected:
  // Evaluates over `input` (input.rows rows; a single row when the whole expression is constant).
  virtual VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const = 0;

  std::string name_;
  std::vector<BoundExprPtr> args_;
  Style style_;
  bool constant_;
};

// ---- errors ------------------------------------------------------------------------------------

// "[DATATYPE_MISMATCH.<sub>] Cannot resolve "<expr>" due to data type mismatch: <detail>"
[[noreturn]] void throwTypeMismatch(const std::string& subclass, const std::string& exprText,
                                    const std::string& detail);
// Spark's quoting of types in messages: "INT".
std::string quoteType(const DataType& t);
// "first", "second", ... for UNEXPECTED_INPUT_TYPE messages.
std::string ordinalWord(std::size_t i);
// UNEXPECTED_INPUT_TYPE: "The <ordinal> parameter requires the <required> type, however "<arg>" has the type <t>."
[[noreturn]] void throwUnexpectedInput(const std::string& exprText, std::size_t argIndex, const std::string& required,
                                       const std::string& argText, const DataType& actual);

// The SQL text of argument i of a call, for messages (the bound expression's text when the call has fewer).
std::string argText(const Expr& source, std::size_t i, const BoundExpr& bound);
// Implicit cast of an atomic argument to STRING (ANSI off); arrays are rejected.
BoundExprPtr stringArg(BoundExprPtr e, const Expr& source, std::size_t i);
// Implicit cast of a number, text or null argument to INT (ANSI off); anything else is rejected.
BoundExprPtr intArg(BoundExprPtr e, const Expr& source, std::size_t i);

// The value of a literal (not merely constant) bound expression, or nullptr.
const Value* literalValue(const BoundExpr& e);
// Spark's text of a literal: NULL, 1.5, abc (strings unquoted), DATE '2024-01-31'.
std::string literalText(const Value& v);

// ---- small numeric helpers ---------------------------------------------------------------------

// 10^k as int128 for 0 <= k <= 38.
int128_t pow10i128(int k);
// Number of decimal digits of |v| (0 has 1 digit).
int decimalDigits(int128_t v);
// Rescales an unscaled decimal from scale `from` to scale `to`, rounding HALF_UP when digits are dropped.
// Returns false on overflow of int128 or of `precision` digits.
bool rescaleDecimal(int128_t v, int from, int to, int precision, int128_t& out);
inline bool fitsPrecision(int128_t v, int precision) {
  int128_t lim = pow10i128(precision);
  return v < lim && v > -lim;
}

}  // namespace engine::local

namespace engine::local {

// Runs f(i, ia, ib) over n rows where ia/ib index the two arguments (0 for a broadcast constant). Separate
// loops per shape keep the common column-column case free of per-row branches.
template <class F>
inline void forEach2(bool scalarA, bool scalarB, std::size_t n, F&& f) {
  if (!scalarA && !scalarB) {
    for (std::size_t i = 0; i < n; ++i) f(i, i, i);
  } else if (scalarA && !scalarB) {
    for (std::size_t i = 0; i < n; ++i) f(i, std::size_t{0}, i);
  } else if (!scalarA && scalarB) {
    for (std::size_t i = 0; i < n; ++i) f(i, i, std::size_t{0});
  } else {
    for (std::size_t i = 0; i < n; ++i) f(i, std::size_t{0}, std::size_t{0});
  }
}

// Binary kernel over fixed-width inputs of types A and B: `op(a, b, out&) -> bool` (false makes the row null).
// Null inputs give null rows (Spark's null propagation).
template <class A, class B, class O, class Op>
VectorPtr binaryKernel(const Arg& a, const Arg& b, const DataType& outType, std::size_t n, Op&& op) {
  auto out = Vector::make(outType, n);
  if (!propagateNulls(*out, {&a, &b}, n)) return out;
  const A* x = a.data<A>();
  const B* y = b.data<B>();
  O* o = out->template data<O>();
  Vector& ov = *out;
  forEach2(a.scalar, b.scalar, n, [&](std::size_t i, std::size_t ia, std::size_t ib) {
    if (!op(x[ia], y[ib], o[i])) ov.setNull(i);
  });
  return out;
}

// Same for ops that always produce a value (no per-row null checks in the loop).
template <class A, class B, class O, class Op>
VectorPtr binaryKernelTotal(const Arg& a, const Arg& b, const DataType& outType, std::size_t n, Op&& op) {
  auto out = Vector::make(outType, n);
  if (!propagateNulls(*out, {&a, &b}, n)) return out;
  const A* x = a.data<A>();
  const B* y = b.data<B>();
  O* o = out->template data<O>();
  forEach2(a.scalar, b.scalar, n,
           [&](std::size_t i, std::size_t ia, std::size_t ib) { o[i] = op(x[ia], y[ib]); });
  return out;
}

}  // namespace engine::local
