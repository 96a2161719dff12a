// The scalar function registry: one table from lower-case SQL name to a binder that checks the argument
// count, coerces the arguments with Spark's rules and builds the bound expression. Adding a function is one
// `add` call in the registration hook of the file that implements it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/expression.h"
#include "engine/local/expr/bound_expr.h"

namespace engine::local {

// Binds one call: `name` is the lower-case name it was called by (aliases share a binder), `args` the bound
// arguments, `source` the unresolved call (its text names the expression in error messages).
using ScalarBinder =
    std::function<BoundExprPtr(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source)>;

struct ScalarFunctionDef {
  std::string name;
  int minArgs = 0;
  int maxArgs = 0;  // -1: no upper bound
  ScalarBinder bind;
};

class ScalarFunctionRegistry {
 public:
  void add(const std::string& name, int minArgs, int maxArgs, ScalarBinder bind);
  const ScalarFunctionDef* find(const std::string& lowerName) const;
  // The process-wide registry, filled once on first use (thread-safe) and read-only afterwards.
  static const ScalarFunctionRegistry& instance();

 private:
  std::unordered_map<std::string, ScalarFunctionDef> defs_;
};

// Registration hooks, one per implementation file.
void registerArithmeticFunctions(ScalarFunctionRegistry& r);
void registerComparisonFunctions(ScalarFunctionRegistry& r);
void registerLogicFunctions(ScalarFunctionRegistry& r);
void registerConditionalFunctions(ScalarFunctionRegistry& r);
void registerStringFunctions(ScalarFunctionRegistry& r);
void registerMathFunctions(ScalarFunctionRegistry& r);
void registerTextFunctions(ScalarFunctionRegistry& r);
void registerDateFunctions(ScalarFunctionRegistry& r);
void registerMiscFunctions(ScalarFunctionRegistry& r);

// Spark's text of a call for messages: the source expression's generated name.
std::string callText(const Expr& source);

// ---- coercion helpers shared by the binders (expr_coercion.cpp) ---------------------------------

// Spark's findTightestCommonType (no decimal widening beyond an exact fit, no string promotion).
std::optional<DataType> findTightestCommonType(const DataType& a, const DataType& b);
// DecimalPrecision.widerDecimalType.
DataType widerDecimalType(int p1, int s1, int p2, int s2);
// DecimalType.forType: byte (3,0), short (5,0), int (10,0), long (20,0); float (14,7), double (30,15).
DataType decimalForType(const DataType& t);
// The decimal type of an integral literal as Spark types it next to decimals: just enough digits.
DataType decimalForLiteral(const Value& v);
// findWiderTypeWithoutStringPromotion over several types (greatest/least).
std::optional<DataType> findWiderTypeWithoutStringPromotion(const std::vector<DataType>& types);
// Common type of the two sides of a comparison (TypeCoercion's comparison rules, ANSI off).
std::optional<DataType> comparisonType(const BoundExpr& left, const BoundExpr& right);
// Spark's bounded decimal (precision and scale capped at 38).
DataType boundedDecimal(int precision, int scale);
// DecimalType.adjustPrecisionScale (precision loss allowed).
DataType adjustPrecisionScale(int precision, int scale);
// The decimal form an operand takes in decimal arithmetic/comparison (literal-aware for integrals).
std::optional<DataType> decimalOperandType(const BoundExpr& e);

}  // namespace engine::local

namespace engine::local {
// The argument itself when BOOLEAN (an untyped NULL becomes a boolean null); otherwise Spark's
// UNEXPECTED_INPUT_TYPE error for parameter `argIndex` of the call.
BoundExprPtr requireBoolean(BoundExprPtr e, const Expr& source, std::size_t argIndex);
}  // namespace engine::local
