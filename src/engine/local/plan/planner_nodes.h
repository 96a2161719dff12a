// Resolved node types of the local planner (internal to planner*.cpp).
#pragma once

#include <memory>
#include <vector>

#include "engine/local/ops/operators.h"
#include "engine/local/plan/planner.h"
#include "engine/local/plan/planner_bind.h"

namespace engine::local {

// Project, Filter, Drop, SubqueryAlias and window-free WithColumns: per-partition steps that the runner
// fuses with the steps of the nodes below.
struct PipelineNode : Node {
  std::vector<Step> stepList;
  const std::vector<Step>* steps() const override { return &stepList; }
  Partitions run(Runner& runner, const ColumnMask& need) const override { return runner.run(*this, need); }
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  std::optional<int> knownPartitions(Runner& runner) const override { return runner.partitionCount(*children[0]); }
};

// A source that can produce only some of its columns: under per-partition steps (or an aggregate) it makes
// only the columns they read (the others stay empty slots), so a count reads none.
struct ColumnSourceNode : Node {
  // Produces only the columns marked in `columns`.
  virtual Partitions runColumns(Runner& runner, const std::vector<bool>& columns) const = 0;
};

// A table in memory, cut into partitions by slicing (only the columns asked for).
struct LocalRelationNode : ColumnSourceNode {
  std::shared_ptr<const LocalTable> table;
  int numPartitions = 1;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  Partitions runColumns(Runner& runner, const std::vector<bool>& columns) const override;
  std::optional<int> knownPartitions(Runner&) const override { return numPartitions; }
};

struct RangeNode : Node {
  std::int64_t start = 0, end = 0, step = 1;
  int numPartitions = 1;
  Partitions run(Runner&, const ColumnMask&) const override { return rangePartitions(start, end, step, numPartitions); }
  std::optional<int> knownPartitions(Runner&) const override { return numPartitions; }
};

struct CsvScanNode : ColumnSourceNode {
  std::vector<std::string> files;
  CsvOptions options;
  StructType fileSchema;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  Partitions runColumns(Runner& runner, const std::vector<bool>& columns) const override;
};

struct ParquetScanNode : ColumnSourceNode {
  std::vector<std::string> files;
  StructType fileSchema;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  Partitions runColumns(Runner& runner, const std::vector<bool>& columns) const override;
};

struct WindowProjectNode : Node {
  std::vector<WindowGroup> groups;
  std::vector<BoundExprPtr> finalExprs;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
};

struct AggregateNode : Node {
  std::vector<BoundExprPtr> keys;
  std::vector<AggregateCall> calls;
  std::vector<BoundExprPtr> post;  // over [keys..., calls...]
  bool identityPost = false;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
};

struct JoinNode : Node {
  JoinType joinType = JoinType::Inner;
  std::vector<BoundExprPtr> leftKeys, rightKeys;
  BoundExprPtr residual;
  std::vector<BoundExprPtr> post;  // using-column joins: the output columns over the joined ones
  bool hasPost = false;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  // The join stopped once `rowLimit` rows came out (for a LIMIT above it; never cached as the join's result).
  Partitions runLimited(Runner& runner, std::size_t rowLimit, const ColumnMask& need) const;
};

struct SetOpNode : Node {
  SetOpType opType = SetOpType::Union;
  bool isAll = true;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  std::optional<int> knownPartitions(Runner& runner) const override;
};

struct DeduplicateNode : Node {
  std::vector<std::size_t> keyColumns;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
};

struct LimitNode : Node {
  std::int64_t limit = 0;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  std::optional<int> knownPartitions(Runner&) const override { return 1; }
};

// The first `wanted` rows of `node`'s result in order, as one partition, computing no more of it than needed
// where the node allows (a join stops early, a projection runs a wave of partitions at a time).
Partitions firstRows(Runner& runner, const Node& node, std::size_t wanted, const ColumnMask& need = {});

struct OffsetNode : Node {
  std::int64_t offset = 0;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  std::optional<int> knownPartitions(Runner&) const override { return 1; }
};

struct SortNode : Node {
  std::vector<SortKey> keys;
  bool global = true;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
};

struct RepartitionNode : Node {
  int numPartitions = 1;
  bool shuffle = false;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  std::optional<int> knownPartitions(Runner& runner) const override;
};

struct PersistNode : Node {
  std::shared_ptr<PersistSlot> slot;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  // The whole frame, computed on first use and kept in the slot; shared, never copied.
  std::shared_ptr<const Partitions> kept(Runner& runner) const;
  // Computes the whole frame into the slot on first use (the caller holds the slot's mutex).
  void fill(Runner& runner) const;
  std::optional<int> knownPartitions(Runner& runner) const override;
};

struct SampleNode : Node {
  double lower = 0, upper = 1;
  std::int64_t seed = 0;
  bool withReplacement = false;
  bool deterministicOrder = false;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  std::optional<int> knownPartitions(Runner& runner) const override { return runner.partitionCount(*children[0]); }
};

struct NaDropNode : Node {
  std::vector<std::size_t> columns;
  int minNonNulls = -1;
  Partitions run(Runner& runner, const ColumnMask& need) const override;
  std::vector<ColumnMask> childNeeds(const ColumnMask& need) const override;
  std::optional<int> knownPartitions(Runner& runner) const override { return runner.partitionCount(*children[0]); }
};

}  // namespace engine::local
