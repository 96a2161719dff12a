// Logical plans: immutable trees built lazily by DataFrame transformations and by SQL text. The nodes
// follow Spark's (and Spark Connect's) relations so that every backend can take them. Each node has a
// process-unique id; attributes made with df["c"] carry the id of df's plan and resolve against it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/expression.h"
#include "engine/local_table.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine {

struct Plan;
using PlanPtr = std::shared_ptr<const Plan>;

enum class PlanKind : std::uint8_t {
  LocalRelation,  // rows given by the caller
  Range,          // range(start, end, step): one column "id" of type long
  CsvScan,        // CSV files
  ParquetScan,    // Parquet files
  Project,        // select expressions (may contain window expressions)
  Filter,
  Aggregate,      // group by + aggregate expressions
  Join,
  SetOperation,   // union / except / intersect
  Deduplicate,    // distinct, dropDuplicates
  Limit,
  Sort,
  WithColumns,    // withColumn: add or replace columns by name
  Drop,           // drop columns by name
  Repartition,    // coalesce(n) / repartition(n)
  Persist,        // cache / persist: materialised once, reused
  SubqueryAlias,  // a named relation (views, FROM t AS x): qualifies its columns
  Sample,         // Bernoulli sample by bounds (randomSplit)
  NaDrop,         // na.drop
  Offset,         // skip the first rows (OFFSET m, DataFrame.offset)
};

struct Plan {
  explicit Plan(PlanKind k);
  virtual ~Plan() = default;
  PlanKind kind;
  std::int64_t id;
  std::vector<PlanPtr> inputs;
};

struct LocalRelationPlan : Plan {
  LocalRelationPlan() : Plan(PlanKind::LocalRelation) {}
  std::shared_ptr<const LocalTable> table;
  int numPartitions = 0;  // 0: the session's default parallelism
};

struct RangePlan : Plan {
  RangePlan() : Plan(PlanKind::Range) {}
  std::int64_t start = 0, end = 0, step = 1;
  int numPartitions = 0;  // 0: default parallelism
};

struct CsvOptions {
  bool header = false;
  bool inferSchema = false;
  char sep = ',';
  char quote = '"';
  char escape = '\\';
  std::string nullValue;            // text read as null besides the empty field
  std::string mode = "PERMISSIVE";  // PERMISSIVE | DROPMALFORMED | FAILFAST
  std::string timestampFormat;      // empty: Spark's default parsing
  std::string dateFormat;           // empty: yyyy-MM-dd
  bool multiLine = false;           // true: quoted fields may hold newlines (Spark's default is false)
  std::string encoding = "UTF-8";
};

struct CsvScanPlan : Plan {
  CsvScanPlan() : Plan(PlanKind::CsvScan) {}
  std::vector<std::string> files;  // resolved part files, in order
  CsvOptions options;
  StructType schema;               // user schema or inferred schema
};

struct ParquetScanPlan : Plan {
  ParquetScanPlan() : Plan(PlanKind::ParquetScan) {}
  std::vector<std::string> files;  // resolved part files, in order (on a Spark server: the paths as given)
  StructType schema;               // the files' schema (the first file's), or the user's schema
  bool userSchema = false;         // schema given with DataFrameReader::schema
};

struct ProjectPlan : Plan {
  ProjectPlan() : Plan(PlanKind::Project) {}
  std::vector<ExprPtr> exprs;
};

struct FilterPlan : Plan {
  FilterPlan() : Plan(PlanKind::Filter) {}
  ExprPtr condition;
};

struct AggregatePlan : Plan {
  AggregatePlan() : Plan(PlanKind::Aggregate) {}
  std::vector<ExprPtr> groupings;
  // Output expressions: may reference grouping expressions and contain aggregate calls. DataFrame
  // groupBy(...).agg(...) puts the grouping columns first.
  std::vector<ExprPtr> aggregates;
};

enum class JoinType : std::uint8_t { Inner, LeftOuter, RightOuter, FullOuter, LeftSemi, LeftAnti, Cross };
// Parses PySpark's `how` names: inner, cross, outer, full, fullouter, full_outer, left, leftouter,
// left_outer, right, rightouter, right_outer, semi, leftsemi, left_semi, anti, leftanti, left_anti.
// Throws AnalysisException (Spark's UNSUPPORTED_JOIN_TYPE) for an unknown name.
JoinType parseJoinType(const std::string& how);
std::string joinTypeName(JoinType t);

struct JoinPlan : Plan {
  JoinPlan() : Plan(PlanKind::Join) {}
  JoinType joinType = JoinType::Inner;
  ExprPtr condition;                       // may be null
  std::vector<std::string> usingColumns;   // join on names: output has them once, first
  bool natural = false;                    // NATURAL JOIN: USING every column the two sides share
};

enum class SetOpType : std::uint8_t { Union, Except, Intersect };

struct SetOperationPlan : Plan {
  SetOperationPlan() : Plan(PlanKind::SetOperation) {}
  SetOpType opType = SetOpType::Union;
  bool isAll = true;   // UNION ALL / EXCEPT ALL; false: distinct variants
  bool byName = false;
};

struct DeduplicatePlan : Plan {
  DeduplicatePlan() : Plan(PlanKind::Deduplicate) {}
  bool allColumns = true;
  std::vector<std::string> columns;  // subset when !allColumns
};

struct LimitPlan : Plan {
  LimitPlan() : Plan(PlanKind::Limit) {}
  std::int64_t limit = 0;
};

struct OffsetPlan : Plan {
  OffsetPlan() : Plan(PlanKind::Offset) {}
  std::int64_t offset = 0;
};

struct SortPlan : Plan {
  SortPlan() : Plan(PlanKind::Sort) {}
  std::vector<ExprPtr> order;  // SortOrder expressions
  bool global = true;
};

struct WithColumnsPlan : Plan {
  WithColumnsPlan() : Plan(PlanKind::WithColumns) {}
  std::vector<std::string> names;
  std::vector<ExprPtr> exprs;
};

struct DropPlan : Plan {
  DropPlan() : Plan(PlanKind::Drop) {}
  std::vector<std::string> names;  // columns that do not exist are ignored (as in Spark)
  std::vector<ExprPtr> columns;    // drop(df["c"]) forms
};

struct RepartitionPlan : Plan {
  RepartitionPlan() : Plan(PlanKind::Repartition) {}
  int numPartitions = 1;
  bool shuffle = false;  // coalesce: false
};

// State shared by every frame made from one persist()/cache() call: filled on first execution.
struct PersistSlot {
  std::mutex mutex;
  bool filled = false;
  // The kept partitions while filled. Queries share them (a query of a few columns of a wide frame reads
  // those in place), and dropping them from the cache leaves a running query its own reference.
  std::shared_ptr<const Partitions> data;
};

struct PersistPlan : Plan {
  PersistPlan() : Plan(PlanKind::Persist) {}
  std::shared_ptr<PersistSlot> slot;
  std::string storageLevel = "MEMORY_AND_DISK";
};

struct SubqueryAliasPlan : Plan {
  SubqueryAliasPlan() : Plan(PlanKind::SubqueryAlias) {}
  std::string alias;
};

struct SamplePlan : Plan {
  SamplePlan() : Plan(PlanKind::Sample) {}
  double lowerBound = 0.0, upperBound = 1.0;
  std::int64_t seed = 0;
  bool withReplacement = false;
  bool deterministicOrder = false;  // randomSplit: sort within partitions before sampling
};

struct NaDropPlan : Plan {
  NaDropPlan() : Plan(PlanKind::NaDrop) {}
  int minNonNulls = -1;              // -1: 'any' over the subset (every column must be non-null, non-NaN)
  std::vector<std::string> subset;   // empty: all columns
};

std::int64_t nextPlanId();

// Indented tree text, for errors and debugging.
std::string planToString(const Plan& p);

}  // namespace engine
