// DataFrame: an immutable handle on a logical plan and the session that runs it, with PySpark's
// operations and names. Transformations return new frames (nothing runs); actions run one job.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/column.h"
#include "engine/local_table.h"
#include "engine/plan.h"
#include "engine/row.h"
#include "engine/types.h"

namespace engine {

class SparkSession;
class DataFrame;

class GroupedData {
 public:
  GroupedData(std::shared_ptr<const DataFrame> df, std::vector<ExprPtr> groupings)
      : df_(std::move(df)), groupings_(std::move(groupings)) {}
  DataFrame agg(const std::vector<Column>& aggregates) const;
  template <class... Cs>
    requires(std::is_convertible_v<Cs, Column> && ...)
  DataFrame agg(const Cs&... aggregates) const;
  // One row per group with a column "count" (long).
  DataFrame count() const;

 private:
  std::shared_ptr<const DataFrame> df_;
  std::vector<ExprPtr> groupings_;
};

class DataFrameNaFunctions;

class RDDInfo {
 public:
  explicit RDDInfo(int n) : n_(n) {}
  int getNumPartitions() const { return n_; }

 private:
  int n_;
};

// `on` argument of join: a name, a list of names, or a condition.
class JoinOn {
 public:
  JoinOn() = default;
  JoinOn(const std::string& name) : names_{name} {}           // NOLINT
  JoinOn(const char* name) : names_{std::string(name)} {}     // NOLINT
  JoinOn(std::vector<std::string> names) : names_(std::move(names)) {}  // NOLINT
  JoinOn(std::initializer_list<std::string> names) : names_(names) {}  // NOLINT
  JoinOn(const Column& condition) : condition_(condition.expr()) {}   // NOLINT
  const std::vector<std::string>& names() const { return names_; }
  const ExprPtr& condition() const { return condition_; }

 private:
  std::vector<std::string> names_;
  ExprPtr condition_;
};

class DataFrame {
 public:
  DataFrame(std::shared_ptr<SparkSession> session, PlanPtr plan);

  const PlanPtr& plan() const { return plan_; }
  std::shared_ptr<SparkSession> sparkSession() const { return session_; }

  // Shape.
  StructType schema() const;
  std::vector<std::string> columns() const;
  RDDInfo rdd() const;
  // Column bound to this frame: stays unambiguous after joins with frames that share the name.
  Column operator[](const std::string& name) const;
  Column col(const std::string& name) const { return (*this)[name]; }

  // Transformations.
  DataFrame select(const std::vector<ColumnOrName>& cols) const;
  DataFrame select(const std::vector<std::string>& names) const;
  DataFrame select(const std::vector<Column>& cols) const;
  template <class... Cs>
    requires(sizeof...(Cs) > 0 && (std::is_convertible_v<Cs, ColumnOrName> && ...))
  DataFrame select(const Cs&... cols) const {
    return select(std::vector<ColumnOrName>{ColumnOrName(cols)...});
  }
  DataFrame selectExpr(const std::vector<std::string>& exprs) const;
  template <class... Ss>
    requires(sizeof...(Ss) > 0 && (std::is_convertible_v<Ss, std::string> && ...))
  DataFrame selectExpr(const Ss&... exprs) const {
    return selectExpr(std::vector<std::string>{std::string(exprs)...});
  }
  DataFrame filter(const Column& condition) const;
  DataFrame filter(const std::string& condition) const;  // SQL expression text
  DataFrame where(const Column& condition) const { return filter(condition); }
  DataFrame where(const std::string& condition) const { return filter(condition); }
  DataFrame withColumn(const std::string& name, const Column& c) const;
  DataFrame withColumnRenamed(const std::string& existing, const std::string& newName) const;
  DataFrame drop(const std::vector<std::string>& names) const;
  DataFrame drop(const std::string& name) const { return drop(std::vector<std::string>{name}); }
  DataFrame drop(const Column& c) const;
  DataFrameNaFunctions na() const;
  DataFrame dropna(const std::string& how = "any", std::optional<int> thresh = std::nullopt,
                   const std::vector<std::string>& subset = {}) const;
  DataFrame dropDuplicates(const std::optional<std::vector<std::string>>& subset = std::nullopt) const;
  DataFrame drop_duplicates(const std::optional<std::vector<std::string>>& subset = std::nullopt) const {
    return dropDuplicates(subset);
  }
  DataFrame distinct() const;
  DataFrame limit(std::int64_t n) const;
  // Skips the first n rows (in partition order; follow an orderBy for a defined set).
  DataFrame offset(std::int64_t n) const;
  DataFrame orderBy(const std::vector<ColumnOrName>& cols) const;
  template <class... Cs>
    requires(sizeof...(Cs) > 0 && (std::is_convertible_v<Cs, ColumnOrName> && ...))
  DataFrame orderBy(const Cs&... cols) const {
    return orderBy(std::vector<ColumnOrName>{ColumnOrName(cols)...});
  }
  DataFrame orderBy(const std::vector<std::string>& names) const;
  DataFrame sort(const std::vector<ColumnOrName>& cols) const { return orderBy(cols); }
  GroupedData groupBy(const std::vector<ColumnOrName>& cols = {}) const;
  GroupedData groupBy(const std::vector<std::string>& names) const;
  template <class... Cs>
    requires(sizeof...(Cs) > 0 && (std::is_convertible_v<Cs, ColumnOrName> && ...))
  GroupedData groupBy(const Cs&... cols) const {
    return groupBy(std::vector<ColumnOrName>{ColumnOrName(cols)...});
  }
  DataFrame agg(const std::vector<Column>& aggregates) const;  // groupBy().agg(...)
  DataFrame join(const DataFrame& other, const JoinOn& on = JoinOn(), const std::string& how = "inner") const;
  DataFrame crossJoin(const DataFrame& other) const;
  DataFrame union_(const DataFrame& other) const;  // `union` is a C++ keyword
  DataFrame unionAll(const DataFrame& other) const { return union_(other); }
  DataFrame unionByName(const DataFrame& other) const;
  DataFrame exceptAll(const DataFrame& other) const;
  DataFrame subtract(const DataFrame& other) const;
  DataFrame intersect(const DataFrame& other) const;
  DataFrame coalesce(int numPartitions) const;
  DataFrame repartition(int numPartitions) const;
  DataFrame persist(const std::string& storageLevel = "MEMORY_AND_DISK") const;
  DataFrame cache() const { return persist(); }
  DataFrame unpersist() const;
  DataFrame alias(const std::string& name) const;
  std::vector<DataFrame> randomSplit(const std::vector<double>& weights, std::optional<std::int64_t> seed = std::nullopt) const;
  void createOrReplaceTempView(const std::string& name) const;

  // Actions.
  std::int64_t count() const;
  std::optional<Row> first() const;
  std::optional<Row> head() const { return first(); }
  std::vector<Row> take(std::int64_t n) const;
  std::vector<Row> collect() const;
  LocalTable toPandas() const;
  LocalTable toLocalTable() const { return toPandas(); }
  // Aligned text of the first n rows (DataFrame.show()).
  std::string showString(int n = 20) const;
  bool isEmpty() const;
  // Indented logical plan text.
  std::string explain() const;

  bool isPersisted() const;

 private:
  DataFrame withPlan(std::shared_ptr<Plan> p) const;
  std::shared_ptr<SparkSession> session_;
  PlanPtr plan_;
};

class DataFrameNaFunctions {
 public:
  explicit DataFrameNaFunctions(DataFrame df) : df_(std::move(df)) {}
  // Drops rows with a null or NaN value: how "any" (default) or "all", thresh = minimum non-null count.
  DataFrame drop(const std::string& how = "any", std::optional<int> thresh = std::nullopt,
                 const std::vector<std::string>& subset = {}) const {
    return df_.dropna(how, thresh, subset);
  }

 private:
  DataFrame df_;
};

template <class... Cs>
  requires(std::is_convertible_v<Cs, Column> && ...)
DataFrame GroupedData::agg(const Cs&... aggregates) const {
  return agg(std::vector<Column>{Column(aggregates)...});
}

}  // namespace engine
