// CAST kernels with Spark's non-ANSI semantics, usable on whole vectors by any operator (union widening,
// CSV typing) as well as through bindCast.
#pragma once

#include <optional>
#include <string_view>

#include "engine/expression.h"
#include "engine/local/expr/bound_expr.h"
#include "engine/local/plan/exec_context.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine::local {

// The vector cast to `to` (rows that cannot be converted become null). Requires canCast(in.type(), to).
VectorPtr castVector(const VectorPtr& in, const DataType& to, const EvalContext& ctx);

// bindCast for a CAST written by the user: errors name the cast as written (`source` is the unresolved
// CAST expression), e.g. Cannot resolve "CAST(a AS DATE)".
BoundExprPtr bindCast(BoundExprPtr child, const DataType& to, const Expr& source);

// `e` itself when it already has type `to`, else CAST(e AS to).
BoundExprPtr castIfNeeded(BoundExprPtr e, const DataType& to);

// Text parsers behind the string casts (Spark's UTF8String / DateTimeUtils rules); nullopt when invalid.
std::optional<std::int64_t> parseIntegralText(std::string_view s, std::int64_t min, std::int64_t max);
std::optional<double> parseDoubleText(std::string_view s);
std::optional<float> parseFloatText(std::string_view s);
// Unscaled value at `scale`, rounded HALF_UP; nullopt when invalid or wider than `precision` digits.
std::optional<int128_t> parseDecimalText(std::string_view s, int precision, int scale);
std::optional<bool> parseBooleanText(std::string_view s);

}  // namespace engine::local
