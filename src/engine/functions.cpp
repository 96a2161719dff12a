#include "engine/functions.h"

#include "engine/sql/parser.h"

namespace engine::functions {

namespace {
Column call(const std::string& name, std::vector<ExprPtr> args, bool distinct = false) {
  return Column(Expr::function(name, std::move(args), distinct));
}
// count(*) is count(1), as Spark rewrites it (and names the result "count(1)").
ExprPtr starToOne(const ColumnOrName& c) {
  const ExprPtr& e = c.column().expr();
  if (e->kind == ExprKind::Star && e->nameParts.empty()) return Expr::literalOf(Value(1));
  return e;
}
}  // namespace

Column col(const std::string& name) { return Column(Expr::attribute(name)); }
Column column(const std::string& name) { return col(name); }
Column lit(const Value& v) { return Column(Expr::literalOf(v)); }
Column expr(const std::string& sqlText) { return Column(sql::parseExpression(sqlText)); }

Column avg(const ColumnOrName& c) { return call("avg", {c.column().expr()}); }
Column mean(const ColumnOrName& c) { return call("avg", {c.column().expr()}); }
Column min(const ColumnOrName& c) { return call("min", {c.column().expr()}); }
Column max(const ColumnOrName& c) { return call("max", {c.column().expr()}); }
Column sum(const ColumnOrName& c) { return call("sum", {c.column().expr()}); }
Column count(const ColumnOrName& c) { return call("count", {starToOne(c)}); }
Column countDistinct(const std::vector<ColumnOrName>& cols) {
  std::vector<ExprPtr> args;
  for (const auto& c : cols) args.push_back(c.column().expr());
  return call("count", std::move(args), true);
}
Column stddev(const ColumnOrName& c) { return call("stddev", {c.column().expr()}); }
Column stddev_samp(const ColumnOrName& c) { return call("stddev_samp", {c.column().expr()}); }
Column first(const ColumnOrName& c, bool ignorenulls) {
  return call("first", {c.column().expr(), Expr::literalOf(Value(ignorenulls))});
}
Column last(const ColumnOrName& c, bool ignorenulls) {
  return call("last", {c.column().expr(), Expr::literalOf(Value(ignorenulls))});
}

Column abs(const ColumnOrName& c) { return call("abs", {c.column().expr()}); }
Column when(const Column& condition, const Column& value) { return call("when", {condition.expr(), value.expr()}); }
Column when(const Column& condition, const Value& value) { return when(condition, lit(value)); }
Column coalesce(const std::vector<ColumnOrName>& cols) {
  std::vector<ExprPtr> args;
  for (const auto& c : cols) args.push_back(c.column().expr());
  return call("coalesce", std::move(args));
}
Column isnull(const ColumnOrName& c) { return call("isnull", {c.column().expr()}); }
Column isnan(const ColumnOrName& c) { return call("isnan", {c.column().expr()}); }

Column call_function(const std::string& name, const std::vector<ColumnOrName>& args) {
  std::vector<ExprPtr> a;
  for (const auto& c : args) a.push_back(c.column().expr());
  return call(name, std::move(a));
}

}  // namespace engine::functions
