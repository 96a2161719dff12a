// Scalar function binding: Spark's implicit type coercion and the scalar kernels, looked up by SQL
// function name in one registry. Aggregate and window functions live with their operators.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/expression.h"
#include "engine/local/expr/bound_expr.h"
#include "engine/types.h"

namespace engine::local {

// True when `name` (case-insensitive) is a registered scalar function or operator.
bool isScalarFunction(const std::string& name);

// Binds a scalar function or operator call over bound arguments, inserting Spark's implicit casts
// (non-ANSI rules). `source` is the unresolved call (for messages and literal-only parameters).
// Throws AnalysisException naming the function for an unknown name, a wrong argument count or
// argument types Spark rejects.
BoundExprPtr bindScalarFunction(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source);

// CAST with Spark's non-ANSI semantics (invalid input gives null, integral overflow wraps).
// Throws AnalysisException when Spark does not allow the cast at all.
BoundExprPtr bindCast(BoundExprPtr child, const DataType& to);
bool canCast(const DataType& from, const DataType& to);

// Spark's type widening (TypeCoercion.findWiderTypeForTwo / findWiderCommonType), used by union,
// CASE/COALESCE/IN and comparisons. nullopt when no common type exists.
std::optional<DataType> findWiderType(const DataType& a, const DataType& b);
std::optional<DataType> findWiderCommonType(const std::vector<DataType>& types);

}  // namespace engine::local
