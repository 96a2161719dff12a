// Execution of resolved nodes: the runner fuses Project/Filter chains into one pass per partition and
// runs independent inputs side by side; each node hands its inputs to the physical operators.
#include <limits>

#include <tbb/parallel_invoke.h>
#include <tbb/task_arena.h>

#include "engine/errors.h"
#include "engine/local/io/csv_reader.h"
#include "engine/local/io/parquet_reader.h"
#include "engine/local/ops/op_setops.h"
#include "engine/local/plan/memory_budget.h"
#include "engine/local/plan/persist_cache.h"
#include "engine/local/plan/planner_nodes.h"

namespace engine::local {

std::optional<int> Node::knownPartitions(Runner&) const { return std::nullopt; }

namespace {

// The operators that build a new copy of their input (sorted, grouped, windowed, deduplicated) hold it
// against the query's memory budget: past it the query fails with the budget's error instead of going on to
// exhaust the machine. Their input fitted, so what they add is bounded; the checks on growth inside
// operators (joins, frames of collected values, repeated text) stop runaway output before it is built.
void checkMaterialised(const Node& node, const Partitions& out) {
  const char* what = nullptr;
  if (dynamic_cast<const SortNode*>(&node))
    what = "a sort";
  else if (dynamic_cast<const AggregateNode*>(&node))
    what = "an aggregate";
  else if (dynamic_cast<const WindowProjectNode*>(&node))
    what = "a window";
  else if (dynamic_cast<const DeduplicateNode*>(&node))
    what = "a distinct";
  else if (const auto* set = dynamic_cast<const SetOpNode*>(&node); set && !(set->opType == SetOpType::Union && set->isAll))
    what = "a set operation";
  if (!what) return;
  std::size_t bytes = 0, rows = 0;
  for (const Batch& b : out) {
    rows += b.rows;
    for (const auto& c : b.columns)
      if (c) bytes += c->memoryBytes();
  }
  checkQueryMemory(static_cast<double>(bytes), std::string("the result of ") + what + " (" + std::to_string(rows) + " rows)");
}

}  // namespace

Partitions Runner::run(const Node& node, const Step* consumer) {
  if (!node.steps()) {
    const auto* scan = consumer ? dynamic_cast<const ColumnSourceNode*>(&node) : nullptr;
    if (scan) return scan->runColumns(*this, neededInputColumns(scan->output.size(), {consumer}));
    Partitions out = node.run(*this);
    checkMaterialised(node, out);
    return out;
  }
  // Gather the chain of per-partition steps down to the first node that is not a pipeline.
  std::vector<const std::vector<Step>*> chain;
  const Node* cur = &node;
  while (cur->steps()) {
    chain.push_back(cur->steps());
    cur = cur->children.at(0).get();
  }
  std::vector<const Step*> steps;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    for (const Step& s : **it) steps.push_back(&s);
  }
  // A file scan (or persisted data) under the steps gives only the columns they read (a count reads none).
  const auto* scan = dynamic_cast<const ColumnSourceNode*>(cur);
  Partitions input;
  if (scan && (!steps.empty() || consumer)) {
    std::vector<const Step*> readers = steps;
    if (consumer) readers.push_back(consumer);
    input = scan->runColumns(*this, neededInputColumns(scan->output.size(), readers));
  } else {
    input = cur->run(*this);
    checkMaterialised(*cur, input);
  }
  if (steps.empty()) return input;
  Partitions out(input.size());
  parallelFor(input.size(), [&](std::size_t i) {
    EvalContext ec = ctx_.eval;
    ec.partitionIndex = static_cast<int>(i);
    out[i] = applySteps(input[i], steps, ec);
    input[i] = Batch();  // release the input as soon as its partition is done
  });
  return out;
}

std::vector<Partitions> Runner::runAll(const std::vector<NodePtr>& nodes) {
  std::vector<Partitions> out(nodes.size());
  if (nodes.size() == 2) {
    tbb::parallel_invoke([&] { out[0] = run(*nodes[0]); }, [&] { out[1] = run(*nodes[1]); });
    return out;
  }
  parallelFor(nodes.size(), [&](std::size_t i) { out[i] = run(*nodes[i]); });
  return out;
}

int Runner::partitionCount(const Node& node) {
  if (auto k = node.knownPartitions(*this)) return *k;
  return static_cast<int>(run(node).size());
}

Partitions LocalRelationNode::run(Runner&) const {
  std::vector<VectorPtr> cols = table->columnVectors();
  Batch all(std::move(cols), table->numRows());
  return splitBatch(all, static_cast<std::size_t>(std::max(1, numPartitions)));
}

Partitions CsvScanNode::run(Runner& runner) const { return readCsv(files, options, fileSchema, runner.ctx()); }
Partitions CsvScanNode::runColumns(Runner& runner, const std::vector<bool>& columns) const {
  return readCsv(files, options, fileSchema, runner.ctx(), columns);
}

Partitions ParquetScanNode::run(Runner& runner) const { return readParquet(files, fileSchema, runner.ctx()); }
Partitions ParquetScanNode::runColumns(Runner& runner, const std::vector<bool>& columns) const {
  return readParquet(files, fileSchema, runner.ctx(), columns);
}

Partitions WindowProjectNode::run(Runner& runner) const {
  Partitions data = runner.run(*children[0]);
  std::vector<DataType> types = children[0]->types();
  for (const auto& g : groups) {
    data = windowOp(data, types, g.partitionKeys, g.orderKeys, g.frame, g.calls, runner.ctx());
    for (const auto& c : g.calls) types.push_back(c.resultType);
  }
  Step step{finalExprs, nullptr};
  std::vector<const Step*> steps{&step};
  Partitions out(data.size());
  parallelFor(data.size(), [&](std::size_t i) {
    EvalContext ec = runner.ctx().eval;
    ec.partitionIndex = static_cast<int>(i);
    out[i] = applySteps(data[i], steps, ec);
  });
  return out;
}

Partitions AggregateNode::run(Runner& runner) const {
  // A file read below converts only the columns the keys and the aggregates' arguments read.
  Step reads;
  reads.project = keys;
  for (const auto& c : calls) reads.project.insert(reads.project.end(), c.args.begin(), c.args.end());
  Partitions input = runner.run(*children[0], &reads);
  Partitions agg = hashAggregate(input, keys, calls, runner.ctx());
  input.clear();
  if (identityPost) return agg;
  Step step{post, nullptr};
  std::vector<const Step*> steps{&step};
  Partitions out(agg.size());
  parallelFor(agg.size(), [&](std::size_t i) { out[i] = applySteps(agg[i], steps, runner.ctx().eval); });
  return out;
}

Partitions JoinNode::run(Runner& runner) const { return runLimited(runner, static_cast<std::size_t>(-1)); }

Partitions JoinNode::runLimited(Runner& runner, std::size_t rowLimit) const {
  const bool limited = rowLimit != static_cast<std::size_t>(-1);
  std::vector<Partitions> in;
  if (limited && leftKeys.empty() && !residual && (joinType == JoinType::Inner || joinType == JoinType::Cross)) {
    // Every left row pairs with every right row: `rowLimit` rows need only the first rows of the left side,
    // which is itself run under that limit (a chain of cross joins under a LIMIT builds no product).
    Partitions right = runner.run(*children[1]);
    std::size_t rightRows = 0;
    for (const Batch& b : right) rightRows += b.rows;
    const std::size_t leftRows = rightRows == 0 ? 0 : (rowLimit + rightRows - 1) / rightRows;
    in.push_back(firstRows(runner, *children[0], leftRows));
    in.push_back(std::move(right));
  } else {
    in = runner.runAll(children);
  }
  Partitions joined = hashJoin(in[0], in[1], children[0]->types(), children[1]->types(), leftKeys, rightKeys, joinType,
                               residual, runner.ctx(), rowLimit);
  in.clear();
  if (!hasPost) return joined;
  Step step{post, nullptr};
  std::vector<const Step*> steps{&step};
  Partitions out(joined.size());
  parallelFor(joined.size(), [&](std::size_t i) { out[i] = applySteps(joined[i], steps, runner.ctx().eval); });
  return out;
}

Partitions SetOpNode::run(Runner& runner) const {
  std::vector<Partitions> in = runner.runAll(children);
  std::vector<DataType> t = types();
  switch (opType) {
    case SetOpType::Union: {
      Partitions all = std::move(in[0]);
      for (auto& b : in[1]) all.push_back(std::move(b));
      if (isAll) return all;
      std::vector<std::size_t> keys;
      for (std::size_t i = 0; i < t.size(); ++i) keys.push_back(i);
      return deduplicate(all, t, keys, runner.ctx());
    }
    case SetOpType::Except:
      return isAll ? exceptAll(in[0], in[1], t, runner.ctx()) : exceptDistinct(in[0], in[1], t, runner.ctx());
    case SetOpType::Intersect:
      return isAll ? intersectAll(in[0], in[1], t, runner.ctx()) : intersectDistinct(in[0], in[1], t, runner.ctx());
  }
  return {};
}

std::optional<int> SetOpNode::knownPartitions(Runner& runner) const {
  if (opType == SetOpType::Union && isAll) {
    return runner.partitionCount(*children[0]) + runner.partitionCount(*children[1]);
  }
  return std::nullopt;
}

Partitions DeduplicateNode::run(Runner& runner) const {
  return deduplicate(runner.run(*children[0]), children[0]->types(), keyColumns, runner.ctx());
}

Partitions OffsetNode::run(Runner& runner) const {
  // Like Spark's global offset: the rows after the first `offset` in partition order, as one partition.
  Partitions input = runner.run(*children[0]);
  Partitions pieces;
  std::size_t skip = static_cast<std::size_t>(std::max<std::int64_t>(0, offset));
  for (const Batch& b : input) {
    if (b.rows <= skip) {
      skip -= b.rows;
      continue;
    }
    pieces.push_back(skip == 0 ? b : sliceRows(b, skip, b.rows - skip));
    skip = 0;
  }
  if (pieces.size() == 1) return pieces;
  return Partitions{concatBatches(pieces, types())};
}

Partitions LimitNode::run(Runner& runner) const {
  return firstRows(runner, *children[0], static_cast<std::size_t>(std::max<std::int64_t>(0, limit)));
}

Partitions firstRows(Runner& runner, const Node& child, std::size_t wanted) {
  std::vector<DataType> t = child.types();
  const auto limit = static_cast<std::int64_t>(std::min<std::size_t>(wanted, std::numeric_limits<std::int64_t>::max()));
  // A join under the limit (directly, or through projections, which keep every row) stops once it produced
  // enough rows, instead of materialising its whole product.
  if (const auto* join = dynamic_cast<const JoinNode*>(&child)) return limitPartitions(join->runLimited(runner, wanted), limit, t);
  if (!child.steps()) return limitPartitions(runner.run(child), limit, t);
  // Over a project/filter chain, evaluate the chain a wave of partitions at a time and stop once enough rows
  // have come out, so first() and take(n) do not transform the whole input.
  std::vector<const std::vector<Step>*> chain;
  const Node* cur = &child;
  while (cur->steps()) {
    chain.push_back(cur->steps());
    cur = cur->children.at(0).get();
  }
  std::vector<const Step*> steps;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    for (const Step& s : **it) steps.push_back(&s);
  }
  bool filtered = false;
  for (const Step* s : steps) filtered = filtered || s->filter != nullptr;
  const auto* join = dynamic_cast<const JoinNode*>(cur);
  Partitions input = join && !filtered ? join->runLimited(runner, wanted) : runner.run(*cur);
  Partitions done;
  std::size_t have = 0;
  const std::size_t wave = static_cast<std::size_t>(std::max(1, runner.ctx().parallelism));
  for (std::size_t from = 0; from < input.size() && have < static_cast<std::size_t>(limit); from += wave) {
    std::size_t to = std::min(input.size(), from + wave);
    Partitions part(to - from);
    parallelFor(part.size(), [&](std::size_t i) {
      EvalContext ec = runner.ctx().eval;
      ec.partitionIndex = static_cast<int>(from + i);
      part[i] = applySteps(input[from + i], steps, ec);
    });
    for (auto& b : part) {
      have += b.rows;
      done.push_back(std::move(b));
    }
  }
  return limitPartitions(done, limit, t);
}

Partitions SortNode::run(Runner& runner) const {
  Partitions input = runner.run(*children[0]);
  std::vector<DataType> t = children[0]->types();
  if (global) return sortPartitions(input, t, keys, runner.ctx());
  Partitions out(input.size());
  ExecContext one = runner.ctx();
  one.parallelism = 1;
  parallelFor(input.size(), [&](std::size_t i) {
    Partitions sorted = sortPartitions(Partitions{input[i]}, t, keys, one);
    out[i] = sorted.size() == 1 ? sorted[0] : concatBatches(sorted, t);
  });
  return out;
}

Partitions RepartitionNode::run(Runner& runner) const {
  Partitions input = runner.run(*children[0]);
  if (shuffle) return repartitionEvenly(input, numPartitions, types());
  return coalescePartitions(input, numPartitions, types());
}

std::optional<int> RepartitionNode::knownPartitions(Runner& runner) const {
  if (shuffle) return numPartitions;
  return std::min(numPartitions, runner.partitionCount(*children[0]));
}

Partitions PersistNode::run(Runner& runner) const { return runColumns(runner, {}); }

Partitions PersistNode::runColumns(Runner& runner, const std::vector<bool>& columns) const {
  std::lock_guard<std::mutex> lock(slot->mutex);
  if (!slot->filled) {
    // Isolated so that a worker waiting inside this computation never picks up another task that needs the
    // same slot (it would block on the mutex this thread holds).
    Partitions data;
    tbb::this_task_arena::isolate([&] { data = runner.run(*children[0]); });
    std::size_t bytes = 0;
    for (const Batch& b : data)
      for (const auto& c : b.columns)
        if (c) bytes += c->memoryBytes();
    slot->data = std::move(data);
    slot->filled = true;
    touchPersisted(slot, bytes);
  } else {
    touchPersisted(slot);
  }
  if (columns.empty()) return slot->data;
  Partitions out(slot->data.size());
  for (std::size_t p = 0; p < out.size(); ++p) {
    const Batch& in = slot->data[p];
    out[p].rows = in.rows;
    out[p].columns.resize(in.columns.size());
    for (std::size_t c = 0; c < in.columns.size() && c < columns.size(); ++c)
      if (columns[c]) out[p].columns[c] = in.columns[c];
  }
  return out;
}

std::optional<int> PersistNode::knownPartitions(Runner& runner) const {
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (slot->filled) return static_cast<int>(slot->data.size());
  }
  return runner.partitionCount(*children[0]);
}

Partitions SampleNode::run(Runner& runner) const {
  return samplePartitions(runner.run(*children[0]), types(), lower, upper, seed, withReplacement, deterministicOrder,
                          runner.ctx());
}

Partitions NaDropNode::run(Runner& runner) const {
  return naDropPartitions(runner.run(*children[0]), columns, minNonNulls, runner.ctx());
}

}  // namespace engine::local
