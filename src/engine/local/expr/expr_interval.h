// Arithmetic with year-month and day-time intervals (see expr_interval.cpp).
#pragma once

#include "engine/expression.h"
#include "engine/local/expr/bound_expr.h"

namespace engine::local {

// l + r or l - r when an operand is an interval, or both are dates/timestamps (their difference is an
// interval); nullptr when neither applies. Throws AnalysisException for operands that cannot combine.
BoundExprPtr bindIntervalArithmetic(bool subtract, BoundExprPtr l, BoundExprPtr r, const Expr& source);

// -interval.
BoundExprPtr bindIntervalNegate(BoundExprPtr child);

}  // namespace engine::local
