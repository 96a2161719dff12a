// Turns the parsed clauses of a SELECT into a logical plan with Spark's analyzer shapes: aggregates with
// hidden items for HAVING / ORDER BY, ORDER BY over aliases and ordinals, DISTINCT, LIMIT.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expression.h"
#include "engine/plan.h"

namespace engine::sql {

struct SelectSpec {
  bool distinct = false;
  std::vector<ExprPtr> items;  // select list, aliases included
  PlanPtr from;                // null: no FROM clause (one row)
  ExprPtr where;
  bool hasGroupBy = false;
  bool groupByAll = false;
  std::vector<ExprPtr> groupBy;
  ExprPtr having;
};

// Spark's aggregate functions by (lower-case) name.
bool isAggregateFunctionName(std::string_view lowerName);
// True when the expression computes an aggregate outside a window (sum(x) OVER w does not count, but
// the sum(x) inside sum(sum(x)) OVER w does).
bool containsAggregate(const ExprPtr& e);
bool containsWindow(const ExprPtr& e);

// Name of the column a select item produces: its alias, the last part of an attribute, or the
// generated text of any other expression; nullopt for * items.
std::optional<std::string> outputName(const ExprPtr& item);

// Structural equality as the analyzer would see it (attribute names case-insensitive, t.a matching a).
bool sameExpr(const ExprPtr& a, const ExprPtr& b);

// Builds the plan of one SELECT with its ORDER BY items (SortOrder expressions) and LIMIT.
// Throws AnalysisException for ordinals out of range and similar errors Spark reports while analysing.
PlanPtr buildSelect(const SelectSpec& spec, const std::vector<ExprPtr>& orderBy, std::optional<std::int64_t> limit);

// ORDER BY / LIMIT over a set operation or a parenthesised query. `outputs` are the select items of the
// leftmost SELECT (for ordinals), empty when unknown.
PlanPtr applyOrderAndLimit(PlanPtr plan, const std::vector<ExprPtr>& outputs, const std::vector<ExprPtr>& orderBy,
                           std::optional<std::int64_t> limit);

}  // namespace engine::sql
