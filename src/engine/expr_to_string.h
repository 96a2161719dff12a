// Text forms of unresolved expressions.
#pragma once

#include <string>

#include "engine/expression.h"

namespace engine {

// The expression's SQL-like text as Spark shows it inside other expressions and in error messages.
// Expr::toString() is the generated column name, which differs only for a top-level CAST of a named
// column (the name is kept there).
std::string exprText(const Expr& e);

}  // namespace engine
