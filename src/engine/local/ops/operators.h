// Physical operators of the local backend over partitioned columnar data. Every operator is given its
// input partitions and bound expressions and returns new partitions; all of them spread their work
// over the thread pool. Keys follow Spark's semantics: NaN equals NaN, -0.0 equals 0.0, nulls group
// together (grouping, distinct, except) but never match in equi-joins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/expression.h"
#include "engine/plan.h"
#include "engine/types.h"
#include "engine/value.h"
#include "engine/vector.h"
#include "engine/local/expr/bound_expr.h"
#include "engine/local/plan/exec_context.h"

namespace engine::local {

// ---- Aggregation --------------------------------------------------------------------------------

struct AggregateCall {
  std::string name;                 // lower-case SQL name: count, sum, avg, mean, min, max, stddev, ...
  std::vector<BoundExprPtr> args;   // count(*) is count with a literal 1 argument
  bool distinct = false;
  bool ignoreNulls = false;         // first/last
  std::vector<Value> params;        // literal parameters (e.g. percentages and accuracy)
  DataType resultType;
};

bool isAggregateFunction(const std::string& name);
// Spark's result type of an aggregate over arguments of these types; throws AnalysisException for a
// type the aggregate does not accept.
DataType aggregateResultType(const std::string& name, const std::vector<DataType>& argTypes,
                             const std::vector<Value>& params = {});

// Output columns: the keys, then one column per aggregate call. Without keys the result is exactly
// one row (also for empty input). The output partition count is at most ctx.parallelism.
Partitions hashAggregate(const Partitions& input, const std::vector<BoundExprPtr>& keys,
                         const std::vector<AggregateCall>& aggs, const ExecContext& ctx);

// ---- Joins --------------------------------------------------------------------------------------

// Equi-join on pairs of keys (hash join), with an optional residual condition evaluated over the
// joined columns [left..., right...]. Without keys every pair is tested against the residual
// (nested loop; a cross join when the residual is null too). Output: left columns then right columns,
// the missing side null-extended for outer joins; LeftSemi/LeftAnti output the left columns only.
// With `rowLimit` (a LIMIT above the join, inner, cross and left or right outer joins only), the probe side
// is joined morsel by morsel in order and the join stops once that many rows came out: a limited query
// does not materialise the whole product.
Partitions hashJoin(const Partitions& left, const Partitions& right, const std::vector<DataType>& leftTypes,
                    const std::vector<DataType>& rightTypes, const std::vector<BoundExprPtr>& leftKeys,
                    const std::vector<BoundExprPtr>& rightKeys, JoinType type, const BoundExprPtr& residual,
                    const ExecContext& ctx, std::size_t rowLimit = static_cast<std::size_t>(-1));

// ---- Sorting ------------------------------------------------------------------------------------

struct SortKey {
  BoundExprPtr expr;
  bool ascending = true;
  bool nullsFirst = true;
};

// Global, stable sort. Concatenating the output partitions in order gives the sorted rows. NaN sorts
// above every number; nulls first or last as asked.
Partitions sortPartitions(const Partitions& input, const std::vector<DataType>& types,
                          const std::vector<SortKey>& keys, const ExecContext& ctx);

// ---- Set operations and de-duplication -----------------------------------------------------------

// Keeps the first row (in partition order) of each distinct combination of the key columns.
Partitions deduplicate(const Partitions& input, const std::vector<DataType>& types,
                       const std::vector<std::size_t>& keyColumns, const ExecContext& ctx);
// Multiset difference: each distinct row kept max(0, left count - right count) times (nulls equal).
Partitions exceptAll(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                     const ExecContext& ctx);
// Distinct rows of left absent from right (EXCEPT), or present in both (INTERSECT).
Partitions exceptDistinct(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                          const ExecContext& ctx);
Partitions intersectDistinct(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                             const ExecContext& ctx);

// ---- Windows ------------------------------------------------------------------------------------

struct WindowCall {
  std::string name;  // row_number, rank, dense_rank, cume_dist, percent_rank, or an aggregate name
  std::vector<BoundExprPtr> args;
  bool ignoreNulls = false;
  std::vector<Value> params;
  DataType resultType;
};

struct WindowFrame {
  bool specified = false;  // false: Spark's default (RANGE UNBOUNDED PRECEDING..CURRENT ROW with an
                           // ordering, whole partition without one)
  FrameType type = FrameType::Rows;
  std::int64_t lower = 0, upper = 0;  // Window::unboundedPreceding / currentRow / offsets
};

bool isWindowFunction(const std::string& name);  // ranking/distribution functions (not aggregates)
DataType windowResultType(const std::string& name, const std::vector<DataType>& argTypes);

// Output: the input columns, then one column per call, all calls sharing one window definition.
// Rows come out grouped by partition key and ordered within each partition. A window without
// partition keys still sorts in parallel and computes running values with a parallel prefix pass.
Partitions windowOp(const Partitions& input, const std::vector<DataType>& types,
                    const std::vector<BoundExprPtr>& partitionKeys, const std::vector<SortKey>& orderKeys,
                    const WindowFrame& frame, const std::vector<WindowCall>& calls, const ExecContext& ctx);

}  // namespace engine::local
