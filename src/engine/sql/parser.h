// Spark SQL text: expressions (conditions, selectExpr) and SELECT queries, parsed into the engine's
// unresolved expressions and logical plans.
#pragma once

#include <string>

#include "engine/expression.h"
#include "engine/plan.h"

namespace engine {
class SparkSession;
}

namespace engine::sql {

// One expression, optionally with an alias ("a + 1 AS b"). Throws ParseException with the position.
ExprPtr parseExpression(const std::string& text);
// The same, with the session's views visible to subqueries in the expression (k IN (SELECT k FROM v)).
ExprPtr parseExpression(const std::string& text, SparkSession* session);

// A query: SELECT ... [UNION ALL | EXCEPT ALL ...]. Views are looked up in the session (case-insensitive);
// range(n) / range(a, b[, step]) are table functions. Throws ParseException for malformed text and
// AnalysisException for an unknown view.
PlanPtr parseQuery(const std::string& text, SparkSession& session);

}  // namespace engine::sql
