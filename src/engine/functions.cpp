#include "engine/functions.h"

#include "engine/sql/parser.h"
#include "engine/errors.h"
#include "engine/udf.h"

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
Column approx_count_distinct(const ColumnOrName& c) { return call("approx_count_distinct", {c.column().expr()}); }
Column approx_count_distinct(const ColumnOrName& c, double rsd) {
  return call("approx_count_distinct", {c.column().expr(), Expr::literalOf(Value(rsd))});
}
Column stddev(const ColumnOrName& c) { return call("stddev", {c.column().expr()}); }
Column stddev_samp(const ColumnOrName& c) { return call("stddev_samp", {c.column().expr()}); }
Column first(const ColumnOrName& c, bool ignorenulls) {
  return call("first", {c.column().expr(), Expr::literalOf(Value(ignorenulls))});
}
Column last(const ColumnOrName& c, bool ignorenulls) {
  return call("last", {c.column().expr(), Expr::literalOf(Value(ignorenulls))});
}

Column percentile_approx(const ColumnOrName& c, double percentage, int accuracy) {
  return call("percentile_approx", {c.column().expr(), Expr::literalOf(Value(percentage)), Expr::literalOf(Value(accuracy))});
}

Column percentile_approx(const ColumnOrName& c, const std::vector<double>& percentages, int accuracy) {
  std::vector<ExprPtr> items;
  for (double p : percentages) items.push_back(Expr::literalOf(Value(p)));
  return call("percentile_approx", {c.column().expr(), Expr::function("array", std::move(items)),
                                    Expr::literalOf(Value(accuracy))});
}

Column cume_dist() { return call("cume_dist", {}); }
Column row_number() { return call("row_number", {}); }
Column rank() { return call("rank", {}); }
Column dense_rank() { return call("dense_rank", {}); }
Column percent_rank() { return call("percent_rank", {}); }

namespace {
std::vector<ExprPtr> exprsOf(const std::vector<ColumnOrName>& cols) {
  std::vector<ExprPtr> out;
  for (const auto& c : cols) out.push_back(c.column().expr());
  return out;
}
}  // namespace

Column xxhash64(const std::vector<ColumnOrName>& cols) { return call("xxhash64", exprsOf(cols)); }

Column format_string(const std::string& format, const std::vector<ColumnOrName>& cols) {
  auto args = exprsOf(cols);
  args.insert(args.begin(), Expr::literalOf(Value(format)));
  return call("format_string", std::move(args));
}

Column to_timestamp(const ColumnOrName& c) { return call("to_timestamp", {c.column().expr()}); }
Column to_timestamp(const ColumnOrName& c, const std::string& format) {
  return call("to_timestamp", {c.column().expr(), Expr::literalOf(Value(format))});
}
Column width_bucket(const ColumnOrName& v, const ColumnOrName& min, const ColumnOrName& max,
                    const ColumnOrName& numBuckets) {
  return call("width_bucket", {v.column().expr(), min.column().expr(), max.column().expr(), numBuckets.column().expr()});
}
Column array(const std::vector<ColumnOrName>& cols) { return call("array", exprsOf(cols)); }
Column nvl(const ColumnOrName& a, const ColumnOrName& b) { return call("nvl", {a.column().expr(), b.column().expr()}); }

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

UserDefinedFunction pandas_udf(BatchFunction f, const DataType& returnType, const std::string& name,
                               PythonUdfSerializer python) {
  if (!f) throw IllegalArgumentException("pandas_udf needs a function");
  auto info = std::make_shared<UdfInfo>();
  info->name = name;
  info->returnType = returnType;
  info->function = std::move(f);
  info->pythonSerializer = std::move(python);
  return UserDefinedFunction(std::move(info));
}

}  // namespace engine::functions

namespace engine {

const PythonUdfPayload* UdfInfo::pythonPayload() const {
  if (!pythonSerializer) return nullptr;
  // A serializer that throws leaves the flag unset: the next use tries again and reports the same error.
  std::call_once(pythonOnce_, [this] { python_ = std::make_shared<const PythonUdfPayload>(pythonSerializer()); });
  return python_.get();
}

Column UserDefinedFunction::operator()(const std::vector<ColumnOrName>& args) const {
  auto e = std::make_shared<Expr>();
  e->kind = ExprKind::Udf;
  e->name = info_->name;
  e->udf = info_;
  for (const auto& a : args) e->children.push_back(a.column().expr());
  return Column(e);
}

}  // namespace engine
