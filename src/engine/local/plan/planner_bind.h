// Expression binding for the planner: unresolved Expr trees become BoundExprs over a scope. In aggregate
// mode the binder splits aggregate calls out of the expression (they become AggregateCalls and the
// expression reads their results); in window mode window expressions become references to columns that
// window operators append.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/local/ops/operators.h"
#include "engine/local/plan/planner.h"

namespace engine::local {

// Structural key of an expression with attributes replaced by their resolved input positions, so that
// `k` and `K` (or df["k"]) compare equal when they name the same column.
std::string canonicalKey(const Expr& e, const Scope& scope);

// True when the expression contains an aggregate call outside any window expression.
bool containsAggregate(const Expr& e);
// Throws Spark's UNRESOLVED_ROUTINE for the first call of a function no registry knows.
void requireKnownFunctions(const Expr& e);
bool containsWindow(const Expr& e);

// The column name Spark gives an output expression: the alias, the attribute's name as written, or the
// expression's text with qualifiers dropped.
std::string outputName(const Expr& e);

struct AggregateContext {
  std::vector<std::string> keyKeys;  // canonical keys of the grouping expressions
  std::vector<DataType> keyTypes;
  std::vector<bool> keyNullable;
  std::vector<std::string> callKeys;
  std::vector<AggregateCall> calls;
  bool hasGroupBy = true;
  // Position of the first grouping expression and of the call with each canonical key: an aggregate of
  // thousands of columns binds each of them without comparing it with all the others.
  std::unordered_map<std::string, std::size_t> keyIndex, callIndex;
};

struct WindowGroup {
  std::string specKey;
  const WindowSpecData* spec = nullptr;
  std::vector<BoundExprPtr> partitionKeys;
  std::vector<SortKey> orderKeys;
  WindowFrame frame;
  std::vector<WindowCall> calls;
  std::vector<std::string> callKeys;
};

struct WindowContext {
  std::vector<WindowGroup> groups;
  std::map<std::string, std::size_t> columnOf;  // canonical key of a window expression -> output column
  std::vector<DataType> columnTypes;            // types of the appended columns, in column order
};

class Binder {
 public:
  explicit Binder(const Scope& scope) : scope_(scope) {}
  Binder(const Scope& scope, AggregateContext* agg) : scope_(scope), agg_(agg) {}
  Binder(const Scope& scope, const WindowContext* win) : scope_(scope), win_(win) {}

  BoundExprPtr bind(const Expr& e);

 private:
  BoundExprPtr bindAggregateRef(const Expr& e, const std::string& key);
  BoundExprPtr bindFunction(const Expr& e);

  const Scope& scope_;
  AggregateContext* agg_ = nullptr;
  const WindowContext* win_ = nullptr;
};

// Collects the window expressions of `exprs` into groups of identical window definitions and binds their
// calls and definitions against the input scope.
WindowContext collectWindows(const std::vector<ExprPtr>& exprs, const Scope& scope);

// Splits a call's arguments into column arguments and literal parameters (percentages, offsets,
// ignore-nulls flags) as the aggregate and window operators take them.
struct CallArgs {
  std::vector<BoundExprPtr> args;
  std::vector<Value> params;
  bool ignoreNulls = false;
};
CallArgs bindCallArgs(const std::string& lname, const Expr& call, const Scope& scope);

// Spark's common type for an equality comparison of two types (join keys); throws when there is none.
DataType comparisonType(const DataType& a, const DataType& b, const std::string& what);
BoundExprPtr castTo(BoundExprPtr e, const DataType& t);

}  // namespace engine::local
