#include "engine/dataframe.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <random>

#include <fmt/format.h>

#include "engine/connect/connect_backend.h"
#include "engine/errors.h"
#include "engine/local/plan/persist_cache.h"
#include "engine/session.h"
#include "engine/sql/parser.h"

namespace engine {

namespace {

std::string lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

ExprPtr sortOrderOf(const ColumnOrName& c) {
  const ExprPtr& e = c.column().expr();
  return e->kind == ExprKind::SortOrder ? e : Expr::sortOrder(e, true, true);
}

ExprPtr countRows() { return Expr::alias(Expr::function("count", {Expr::literalOf(Value(1))}), "count"); }

}  // namespace

DataFrame::DataFrame(std::shared_ptr<SparkSession> session, PlanPtr plan)
    : session_(std::move(session)), plan_(std::move(plan)) {
  if (!session_) throw IllegalArgumentException("a DataFrame needs a session");
}

DataFrame DataFrame::withPlan(std::shared_ptr<Plan> p) const { return DataFrame(session_, std::move(p)); }

StructType DataFrame::schema() const { return session_->backend().analyze(plan_); }

std::vector<std::string> DataFrame::columns() const { return schema().names(); }

RDDInfo DataFrame::rdd() const { return RDDInfo(session_->backend().numPartitions(plan_)); }

Column DataFrame::operator[](const std::string& name) const {
  auto e = Expr::attribute(name, plan_->id);
  if (e->kind == ExprKind::Attribute && e->nameParts.size() == 1) {
    // Resolve eagerly, as Spark does, so a typo fails where it is written.
    StructType s = schema();
    bool found = false;
    // Compared with the name the text denotes (`a.b` quoted denotes the column a.b).
    const std::string& denoted = e->nameParts[0];
    for (const auto& f : s.fields()) found = found || lower(f.name) == lower(denoted);
    if (!found) {
      std::string available;
      for (const auto& f : s.fields()) available += (available.empty() ? "`" : ", `") + f.name + "`";
      throw AnalysisException(fmt::format(
          "[UNRESOLVED_COLUMN.WITH_SUGGESTION] A column, variable, or function parameter with name `{}` cannot be "
          "resolved. Did you mean one of the following? [{}].",
          denoted, available));
    }
  }
  return Column(e);
}

DataFrame DataFrame::select(const std::vector<ColumnOrName>& cols) const {
  auto p = std::make_shared<ProjectPlan>();
  p->inputs = {plan_};
  for (const auto& c : cols) p->exprs.push_back(c.column().expr());
  return withPlan(p);
}

DataFrame DataFrame::select(const std::vector<std::string>& names) const {
  return select(std::vector<ColumnOrName>(names.begin(), names.end()));
}

DataFrame DataFrame::select(const std::vector<Column>& cols) const {
  return select(std::vector<ColumnOrName>(cols.begin(), cols.end()));
}

DataFrame DataFrame::selectExpr(const std::vector<std::string>& exprs) const {
  auto p = std::make_shared<ProjectPlan>();
  p->inputs = {plan_};
  for (const auto& text : exprs) p->exprs.push_back(sql::parseExpression(text, session_.get()));
  return withPlan(p);
}

DataFrame DataFrame::filter(const Column& condition) const {
  auto p = std::make_shared<FilterPlan>();
  p->inputs = {plan_};
  p->condition = condition.expr();
  return withPlan(p);
}

DataFrame DataFrame::filter(const std::string& condition) const {
  return filter(Column(sql::parseExpression(condition, session_.get())));
}

DataFrame DataFrame::withColumn(const std::string& name, const Column& c) const {
  auto p = std::make_shared<WithColumnsPlan>();
  p->inputs = {plan_};
  p->names = {name};
  p->exprs = {c.expr()};
  return withPlan(p);
}

DataFrame DataFrame::withColumnRenamed(const std::string& existing, const std::string& newName) const {
  StructType s = schema();
  std::vector<ColumnOrName> cols;
  bool renamed = false;
  for (const auto& f : s.fields()) {
    Column c(Expr::attributeParts({f.name}));
    if (!renamed && lower(f.name) == lower(existing)) {
      cols.emplace_back(c.alias(newName));
      renamed = true;
    } else {
      cols.emplace_back(c);
    }
  }
  if (!renamed) return *this;  // Spark ignores a rename of a column that does not exist
  return select(cols);
}

DataFrame DataFrame::drop(const std::vector<std::string>& names) const {
  auto p = std::make_shared<DropPlan>();
  p->inputs = {plan_};
  p->names = names;
  return withPlan(p);
}

DataFrame DataFrame::drop(const Column& c) const {
  auto p = std::make_shared<DropPlan>();
  p->inputs = {plan_};
  p->columns = {c.expr()};
  return withPlan(p);
}

DataFrameNaFunctions DataFrame::na() const { return DataFrameNaFunctions(*this); }

DataFrame DataFrame::dropna(const std::string& how, std::optional<int> thresh,
                            const std::vector<std::string>& subset) const {
  auto p = std::make_shared<NaDropPlan>();
  p->inputs = {plan_};
  p->subset = subset;
  if (thresh) {
    p->minNonNulls = *thresh;
  } else if (lower(how) == "any") {
    p->minNonNulls = -1;
  } else if (lower(how) == "all") {
    p->minNonNulls = 1;
  } else {
    throw IllegalArgumentException(fmt::format("how ('{}') should be 'any' or 'all'", how));
  }
  return withPlan(p);
}

DataFrame DataFrame::dropDuplicates(const std::optional<std::vector<std::string>>& subset) const {
  auto p = std::make_shared<DeduplicatePlan>();
  p->inputs = {plan_};
  if (subset) {
    p->allColumns = false;
    p->columns = *subset;
  }
  return withPlan(p);
}

DataFrame DataFrame::distinct() const { return dropDuplicates(); }

DataFrame DataFrame::limit(std::int64_t n) const {
  if (n < 0)
    throw AnalysisException(fmt::format(
        "[INVALID_LIMIT_LIKE_EXPRESSION.IS_NEGATIVE] The limit like expression \"{}\" is invalid. The limit expression "
        "must be equal to or greater than 0, but got {}.",
        n, n));
  auto p = std::make_shared<LimitPlan>();
  p->inputs = {plan_};
  p->limit = n;
  return withPlan(p);
}

DataFrame DataFrame::offset(std::int64_t n) const {
  if (n < 0)
    throw AnalysisException(fmt::format(
        "[INVALID_LIMIT_LIKE_EXPRESSION.IS_NEGATIVE] The offset expression \"{}\" is invalid. The offset expression "
        "must be equal to or greater than 0, but got {}.",
        n, n));
  auto p = std::make_shared<OffsetPlan>();
  p->inputs = {plan_};
  p->offset = n;
  return withPlan(p);
}

DataFrame DataFrame::orderBy(const std::vector<ColumnOrName>& cols) const {
  auto p = std::make_shared<SortPlan>();
  p->inputs = {plan_};
  for (const auto& c : cols) p->order.push_back(sortOrderOf(c));
  return withPlan(p);
}

DataFrame DataFrame::orderBy(const std::vector<std::string>& names) const {
  return orderBy(std::vector<ColumnOrName>(names.begin(), names.end()));
}

GroupedData DataFrame::groupBy(const std::vector<ColumnOrName>& cols) const {
  std::vector<ExprPtr> g;
  for (const auto& c : cols) g.push_back(c.column().expr());
  return GroupedData(std::make_shared<const DataFrame>(*this), std::move(g));
}

GroupedData DataFrame::groupBy(const std::vector<std::string>& names) const {
  return groupBy(std::vector<ColumnOrName>(names.begin(), names.end()));
}

DataFrame GroupedData::agg(const std::vector<Column>& aggregates) const {
  auto p = std::make_shared<AggregatePlan>();
  p->inputs = {df_->plan()};
  p->groupings = groupings_;
  p->aggregates = groupings_;
  for (const auto& a : aggregates) p->aggregates.push_back(a.expr());
  return DataFrame(df_->sparkSession(), p);
}

DataFrame GroupedData::count() const {
  auto p = std::make_shared<AggregatePlan>();
  p->inputs = {df_->plan()};
  p->groupings = groupings_;
  p->aggregates = groupings_;
  p->aggregates.push_back(countRows());
  return DataFrame(df_->sparkSession(), p);
}

DataFrame DataFrame::agg(const std::vector<Column>& aggregates) const { return groupBy().agg(aggregates); }

DataFrame DataFrame::join(const DataFrame& other, const JoinOn& on, const std::string& how) const {
  auto p = std::make_shared<JoinPlan>();
  p->inputs = {plan_, other.plan_};
  p->joinType = parseJoinType(how);
  p->usingColumns = on.names();
  p->condition = on.condition();
  return withPlan(p);
}

DataFrame DataFrame::crossJoin(const DataFrame& other) const {
  auto p = std::make_shared<JoinPlan>();
  p->inputs = {plan_, other.plan_};
  p->joinType = JoinType::Cross;
  return withPlan(p);
}

namespace {
std::shared_ptr<SetOperationPlan> setOp(const PlanPtr& a, const PlanPtr& b, SetOpType t, bool all) {
  auto p = std::make_shared<SetOperationPlan>();
  p->inputs = {a, b};
  p->opType = t;
  p->isAll = all;
  return p;
}
}  // namespace

DataFrame DataFrame::union_(const DataFrame& other) const { return withPlan(setOp(plan_, other.plan_, SetOpType::Union, true)); }

DataFrame DataFrame::unionByName(const DataFrame& other) const {
  auto p = setOp(plan_, other.plan_, SetOpType::Union, true);
  p->byName = true;
  return withPlan(p);
}

DataFrame DataFrame::exceptAll(const DataFrame& other) const {
  return withPlan(setOp(plan_, other.plan_, SetOpType::Except, true));
}
DataFrame DataFrame::subtract(const DataFrame& other) const {
  return withPlan(setOp(plan_, other.plan_, SetOpType::Except, false));
}
DataFrame DataFrame::intersect(const DataFrame& other) const {
  return withPlan(setOp(plan_, other.plan_, SetOpType::Intersect, false));
}

DataFrame DataFrame::coalesce(int numPartitions) const {
  if (numPartitions <= 0)
    throw IllegalArgumentException(fmt::format("Number of partitions ({}) must be positive.", numPartitions));
  auto p = std::make_shared<RepartitionPlan>();
  p->inputs = {plan_};
  p->numPartitions = numPartitions;
  p->shuffle = false;
  return withPlan(p);
}

DataFrame DataFrame::repartition(int numPartitions) const {
  if (numPartitions <= 0)
    throw IllegalArgumentException(fmt::format("Number of partitions ({}) must be positive.", numPartitions));
  auto p = std::make_shared<RepartitionPlan>();
  p->inputs = {plan_};
  p->numPartitions = numPartitions;
  p->shuffle = true;
  return withPlan(p);
}

DataFrame DataFrame::persist(const std::string& storageLevel) const {
  if (plan_->kind == PlanKind::Persist) return *this;  // already persisted: keep the one cache
  auto p = std::make_shared<PersistPlan>();
  p->inputs = {plan_};
  p->slot = std::make_shared<PersistSlot>();
  p->storageLevel = storageLevel;
  return withPlan(p);
}

DataFrame DataFrame::unpersist() const {
  if (plan_->kind != PlanKind::Persist) return *this;
  const auto& p = static_cast<const PersistPlan&>(*plan_);
  {
    std::lock_guard<std::mutex> lock(p.slot->mutex);
    if (p.slot->filled && session_->isRemote()) connect::unpersistOnServer(*session_, plan_);
    p.slot->filled = false;
    p.slot->data.reset();
    local::forgetPersisted(p.slot.get());
  }
  return DataFrame(session_, plan_->inputs[0]);
}

bool DataFrame::isPersisted() const { return plan_->kind == PlanKind::Persist; }

DataFrame DataFrame::alias(const std::string& name) const {
  auto p = std::make_shared<SubqueryAliasPlan>();
  p->inputs = {plan_};
  p->alias = name;
  return withPlan(p);
}

std::vector<DataFrame> DataFrame::randomSplit(const std::vector<double>& weights, std::optional<std::int64_t> seed) const {
  double total = 0;
  for (double w : weights) {
    if (!(w >= 0) || std::isinf(w))
      throw IllegalArgumentException(fmt::format("requirement failed: Weights must be nonnegative, but got [{}]",
                                                 fmt::join(weights, ", ")));
    total += w;
  }
  if (weights.empty() || !(total > 0))
    throw IllegalArgumentException(fmt::format("requirement failed: Sum of weights must be positive, but got [{}]",
                                               fmt::join(weights, ", ")));
  std::int64_t s = seed ? *seed : static_cast<std::int64_t>(std::random_device{}());
  std::vector<DataFrame> out;
  double lower = 0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    double upper = i + 1 == weights.size() ? 1.0 : lower + weights[i] / total;
    auto p = std::make_shared<SamplePlan>();
    p->inputs = {plan_};
    p->lowerBound = lower;
    p->upperBound = upper;
    p->seed = s;
    p->deterministicOrder = true;
    out.push_back(withPlan(p));
    lower = upper;
  }
  return out;
}

void DataFrame::createOrReplaceTempView(const std::string& name) const {
  session_->createOrReplaceTempView(name, plan_);
}

std::int64_t DataFrame::count() const {
  // Counted over an empty projection: no column of the rows is needed, so filters below copy none.
  auto empty = std::make_shared<ProjectPlan>();
  empty->inputs = {plan_};
  auto p = std::make_shared<AggregatePlan>();
  p->inputs = {empty};
  p->aggregates = {countRows()};
  LocalTable t = session_->backend().execute(p);
  if (t.size() != 1 || t.numColumns() != 1) throw ExecutionException("count returned no single value");
  return t.at(0, 0).toInt64();
}

std::vector<Row> DataFrame::take(std::int64_t n) const { return limit(n).collect(); }

std::optional<Row> DataFrame::first() const {
  auto rows = take(1);
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

std::vector<Row> DataFrame::collect() const { return toPandas().rows(); }

LocalTable DataFrame::toPandas() const { return session_->backend().execute(plan_); }

std::string DataFrame::showString(int n) const {
  LocalTable t = limit(static_cast<std::int64_t>(n) + 1).toPandas();
  return t.toString(static_cast<std::size_t>(n));
}

bool DataFrame::isEmpty() const { return take(1).empty(); }

std::string DataFrame::explain() const { return planToString(*plan_); }

}  // namespace engine
