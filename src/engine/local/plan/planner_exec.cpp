// Execution of resolved nodes: the runner fuses Project/Filter chains into one pass per partition and
// runs independent inputs side by side; each node hands its inputs to the physical operators.
#include <atomic>
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

namespace {

ColumnMask allColumns(std::size_t width) { return ColumnMask(width, true); }

// `need` as one flag per column of a `width`-column result (an empty mask stands for every column).
ColumnMask fullMask(const ColumnMask& need, std::size_t width) {
  return need.size() == width ? need : allColumns(width);
}

// The partitions with the columns not marked in `need` turned into empty slots (the vectors stay shared).
Partitions keepOnly(const Partitions& parts, const ColumnMask& need) {
  Partitions out(parts.size());
  for (std::size_t p = 0; p < parts.size(); ++p) {
    out[p].rows = parts[p].rows;
    out[p].columns.resize(parts[p].columns.size());
    for (std::size_t c = 0; c < parts[p].columns.size(); ++c)
      if (c >= need.size() || need[c]) out[p].columns[c] = parts[p].columns[c];
  }
  return out;
}

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

// The steps of a chain of pipeline nodes from `node` down, innermost first; returns the first node below
// that is not a pipeline.
const Node* collectSteps(const Node& node, std::vector<const Step*>& steps) {
  std::vector<const std::vector<Step>*> chain;
  const Node* cur = &node;
  while (cur->steps()) {
    chain.push_back(cur->steps());
    cur = cur->children.at(0).get();
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    for (const Step& s : **it) steps.push_back(&s);
  }
  return cur;
}

ColumnMask exprColumns(std::size_t width, const std::vector<BoundExprPtr>& exprs) {
  ColumnMask m(width, false);
  for (const auto& e : exprs)
    if (e) markColumns(*e, m);
  return m;
}

}  // namespace

std::optional<int> Node::knownPartitions(Runner&) const { return std::nullopt; }

std::vector<ColumnMask> Node::childNeeds(const ColumnMask&) const {
  std::vector<ColumnMask> out;
  for (const auto& c : children) out.push_back(allColumns(c->output.size()));
  return out;
}

std::vector<ColumnMask> PipelineNode::childNeeds(const ColumnMask& need) const {
  std::vector<const Step*> steps;
  for (const Step& s : stepList) steps.push_back(&s);
  return {neededInputColumns(children[0]->output.size(), steps, fullMask(need, output.size()))};
}

namespace {
std::atomic<std::uint64_t> slotsProduced{0};
}  // namespace

std::uint64_t columnSlotsProduced() { return slotsProduced.load(std::memory_order_relaxed); }

Partitions Runner::run(const Node& node, const ColumnMask& need) {
  Partitions out = runNode(node, need);
  std::uint64_t slots = 0;
  for (const Batch& b : out) slots += b.columns.size();
  slotsProduced.fetch_add(slots, std::memory_order_relaxed);
  return out;
}

Partitions Runner::runNode(const Node& node, const ColumnMask& needIn) {
  const ColumnMask need = fullMask(needIn, node.output.size());
  if (!node.steps()) {
    if (const auto* scan = dynamic_cast<const ColumnSourceNode*>(&node)) return scan->runColumns(*this, need);
    Partitions out = node.run(*this, need);
    checkMaterialised(node, out);
    return out;
  }
  // The chain of per-partition steps down to the first node that is not a pipeline, run in one pass per
  // partition; the node below is asked only for the columns the steps read to make the needed outputs.
  std::vector<const Step*> steps;
  const Node* cur = collectSteps(node, steps);
  // Over a persisted frame the steps read the columns they need from the kept partitions in place: nothing as
  // wide as the frame is built or copied for them. Otherwise the partitions are the node's own, released as
  // soon as each is done.
  const auto* persisted = dynamic_cast<const PersistNode*>(cur);
  std::shared_ptr<const Partitions> kept;
  Partitions input;
  if (persisted && !steps.empty()) {
    kept = persisted->kept(*this);
  } else {
    input = run(*cur, neededInputColumns(cur->output.size(), steps, need));
    if (steps.empty()) return input;
  }
  const std::size_t parts = kept ? kept->size() : input.size();
  Partitions out(parts);
  parallelFor(parts, [&](std::size_t i) {
    EvalContext ec = ctx_.eval;
    ec.partitionIndex = static_cast<int>(i);
    out[i] = applySteps(kept ? (*kept)[i] : input[i], steps, ec, need);
    if (!kept) input[i] = Batch();
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
  return static_cast<int>(run(node, ColumnMask(node.output.size(), false)).size());
}

Partitions LocalRelationNode::run(Runner& runner, const ColumnMask& need) const {
  return runColumns(runner, fullMask(need, table->numColumns()));
}

Partitions LocalRelationNode::runColumns(Runner&, const std::vector<bool>& columns) const {
  // Partition p holds rows [rows * p / n, rows * (p + 1) / n), as splitBatch cuts them; a single partition shares
  // the table's vectors.
  const std::size_t n = static_cast<std::size_t>(std::max(1, numPartitions));
  const std::size_t rows = table->numRows();
  const std::vector<VectorPtr>& vectors = table->columnVectors();
  Partitions out(n);
  parallelFor(n, [&](std::size_t p) {
    const std::size_t lo = rows * p / n, hi = rows * (p + 1) / n;
    Batch& b = out[p];
    b.rows = hi - lo;
    b.columns.assign(vectors.size(), nullptr);
    for (std::size_t c = 0; c < vectors.size(); ++c) {
      if (c < columns.size() && columns[c]) b.columns[c] = n == 1 ? vectors[c] : slice(*vectors[c], lo, hi - lo);
    }
  });
  return out;
}

std::optional<Batch> inMemoryResult(const Node& node) {
  // Down a chain of projections that only pick columns (select, rename, drop) to a table in memory.
  std::vector<const Step*> steps;
  const Node* cur = &node;
  while (const std::vector<Step>* s = cur->steps()) {
    for (auto it = s->rbegin(); it != s->rend(); ++it) steps.push_back(&*it);
    cur = cur->children.at(0).get();
  }
  const auto* relation = dynamic_cast<const LocalRelationNode*>(cur);
  if (relation == nullptr) return std::nullopt;
  std::vector<VectorPtr> columns = relation->table->columnVectors();
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const Step& step = **it;
    if (step.filter) return std::nullopt;
    std::vector<VectorPtr> picked;
    picked.reserve(step.project.size());
    for (const auto& e : step.project) {
      const int index = e->columnIndex();
      if (index < 0 || static_cast<std::size_t>(index) >= columns.size()) return std::nullopt;
      picked.push_back(columns[static_cast<std::size_t>(index)]);
    }
    columns = std::move(picked);
  }
  return Batch(std::move(columns), relation->table->numRows());
}

Partitions CsvScanNode::run(Runner& runner, const ColumnMask& need) const { return runColumns(runner, need); }
Partitions CsvScanNode::runColumns(Runner& runner, const std::vector<bool>& columns) const {
  return readCsv(files, options, fileSchema, runner.ctx(), columns);
}

Partitions ParquetScanNode::run(Runner& runner, const ColumnMask& need) const { return runColumns(runner, need); }
Partitions ParquetScanNode::runColumns(Runner& runner, const std::vector<bool>& columns) const {
  return readParquet(files, fileSchema, runner.ctx(), columns);
}

namespace {

// Which window groups of a projection make a column its final expressions read (`live`), and which columns
// of [input..., window results...] the projection reads for them: the final expressions' columns and each
// live group's keys and arguments.
ColumnMask windowReads(const WindowProjectNode& n, const ColumnMask& need, std::vector<bool>& live) {
  std::size_t width = n.children[0]->output.size();
  std::vector<std::size_t> firstResult;
  for (const auto& g : n.groups) {
    firstResult.push_back(width);
    width += g.calls.size();
  }
  Step final{n.finalExprs, nullptr};
  ColumnMask reads = neededInputColumns(width, {&final}, fullMask(need, n.output.size()));
  live.assign(n.groups.size(), false);
  // Later groups may read the results of earlier ones: walk them from the last.
  for (std::size_t g = n.groups.size(); g-- > 0;) {
    const WindowGroup& grp = n.groups[g];
    for (std::size_t c = 0; c < grp.calls.size(); ++c) live[g] = live[g] || reads[firstResult[g] + c];
    if (!live[g]) continue;
    for (const auto& k : grp.partitionKeys) markColumns(*k, reads);
    for (const auto& k : grp.orderKeys) markColumns(*k.expr, reads);
    for (const auto& call : grp.calls)
      for (const auto& a : call.args) markColumns(*a, reads);
  }
  return reads;
}

}  // namespace

std::vector<ColumnMask> WindowProjectNode::childNeeds(const ColumnMask& need) const {
  std::vector<bool> live;
  ColumnMask reads = windowReads(*this, need, live);
  reads.resize(children[0]->output.size());
  return {reads};
}

Partitions WindowProjectNode::run(Runner& runner, const ColumnMask& need) const {
  std::vector<bool> live;
  ColumnMask reads = windowReads(*this, need, live);
  reads.resize(children[0]->output.size());
  Partitions data = runner.run(*children[0], reads);
  std::vector<DataType> types = children[0]->types();
  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    const WindowGroup& g = groups[gi];
    if (live[gi]) {
      data = windowOp(data, types, g.partitionKeys, g.orderKeys, g.frame, g.calls, runner.ctx());
    } else {
      // No output reads this window's values: it is not computed (its columns stay empty slots).
      for (auto& b : data) b.columns.resize(b.columns.size() + g.calls.size());
    }
    for (const auto& c : g.calls) types.push_back(c.resultType);
  }
  Step step{finalExprs, nullptr};
  std::vector<const Step*> steps{&step};
  Partitions out(data.size());
  parallelFor(data.size(), [&](std::size_t i) {
    EvalContext ec = runner.ctx().eval;
    ec.partitionIndex = static_cast<int>(i);
    out[i] = applySteps(data[i], steps, ec, need);
  });
  return out;
}

std::vector<ColumnMask> AggregateNode::childNeeds(const ColumnMask&) const {
  ColumnMask reads = exprColumns(children[0]->output.size(), keys);
  for (const auto& c : calls)
    for (const auto& a : c.args) markColumns(*a, reads);
  return {reads};
}

Partitions AggregateNode::run(Runner& runner, const ColumnMask& need) const {
  // The input brings only the columns the keys and the aggregates' arguments read.
  Partitions input = runner.run(*children[0], childNeeds(need)[0]);
  Partitions agg = hashAggregate(input, keys, calls, runner.ctx());
  input.clear();
  if (identityPost) return agg;
  Step step{post, nullptr};
  std::vector<const Step*> steps{&step};
  Partitions out(agg.size());
  parallelFor(agg.size(), [&](std::size_t i) { out[i] = applySteps(agg[i], steps, runner.ctx().eval, need); });
  return out;
}

std::vector<ColumnMask> JoinNode::childNeeds(const ColumnMask& needIn) const {
  const std::size_t nl = children[0]->output.size(), nr = children[1]->output.size();
  const bool semi = joinType == JoinType::LeftSemi || joinType == JoinType::LeftAnti;
  // Columns of the joined rows ([left..., right...], or left only for semi and anti joins) the output reads.
  const std::size_t joinedWidth = semi ? nl : nl + nr;
  const ColumnMask need = fullMask(needIn, output.size());
  ColumnMask joined;
  if (hasPost) {
    Step step{post, nullptr};
    joined = neededInputColumns(joinedWidth, {&step}, need);
  } else {
    joined = need;
  }
  joined.resize(nl + nr, false);
  if (residual) markColumns(*residual, joined);
  ColumnMask left(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(nl));
  ColumnMask right(joined.begin() + static_cast<std::ptrdiff_t>(nl), joined.end());
  for (const auto& k : leftKeys) markColumns(*k, left);
  for (const auto& k : rightKeys) markColumns(*k, right);
  return {left, right};
}

Partitions JoinNode::run(Runner& runner, const ColumnMask& need) const {
  return runLimited(runner, static_cast<std::size_t>(-1), need);
}

Partitions JoinNode::runLimited(Runner& runner, std::size_t rowLimit, const ColumnMask& need) const {
  const std::vector<ColumnMask> needs = childNeeds(need);
  const bool limited = rowLimit != static_cast<std::size_t>(-1);
  std::vector<Partitions> in(2);
  if (limited && leftKeys.empty() && !residual && (joinType == JoinType::Inner || joinType == JoinType::Cross)) {
    // Every left row pairs with every right row: `rowLimit` rows need only the first rows of the left side,
    // which is itself run under that limit (a chain of cross joins under a LIMIT builds no product).
    in[1] = runner.run(*children[1], needs[1]);
    std::size_t rightRows = 0;
    for (const Batch& b : in[1]) rightRows += b.rows;
    const std::size_t leftRows = rightRows == 0 ? 0 : (rowLimit + rightRows - 1) / rightRows;
    in[0] = firstRows(runner, *children[0], leftRows, needs[0]);
  } else {
    tbb::parallel_invoke([&] { in[0] = runner.run(*children[0], needs[0]); },
                         [&] { in[1] = runner.run(*children[1], needs[1]); });
  }
  Partitions joined = hashJoin(in[0], in[1], children[0]->types(), children[1]->types(), leftKeys, rightKeys, joinType,
                               residual, runner.ctx(), rowLimit);
  in.clear();
  if (!hasPost) return joined;
  Step step{post, nullptr};
  std::vector<const Step*> steps{&step};
  Partitions out(joined.size());
  parallelFor(joined.size(), [&](std::size_t i) {
    out[i] = applySteps(joined[i], steps, runner.ctx().eval, fullMask(need, output.size()));
  });
  return out;
}

std::vector<ColumnMask> SetOpNode::childNeeds(const ColumnMask& need) const {
  // A union of all rows reads what its consumer reads; the other set operations compare whole rows.
  if (opType == SetOpType::Union && isAll) {
    ColumnMask m = fullMask(need, output.size());
    return {m, m};
  }
  return Node::childNeeds(need);
}

Partitions SetOpNode::run(Runner& runner, const ColumnMask& need) const {
  const std::vector<ColumnMask> needs = childNeeds(need);
  std::vector<Partitions> in(2);
  tbb::parallel_invoke([&] { in[0] = runner.run(*children[0], needs[0]); },
                       [&] { in[1] = runner.run(*children[1], needs[1]); });
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

std::vector<ColumnMask> DeduplicateNode::childNeeds(const ColumnMask& need) const {
  ColumnMask m = fullMask(need, output.size());
  for (std::size_t k : keyColumns) m[k] = true;
  return {m};
}

Partitions DeduplicateNode::run(Runner& runner, const ColumnMask& need) const {
  return deduplicate(runner.run(*children[0], childNeeds(need)[0]), children[0]->types(), keyColumns, runner.ctx());
}

std::vector<ColumnMask> OffsetNode::childNeeds(const ColumnMask& need) const { return {fullMask(need, output.size())}; }

Partitions OffsetNode::run(Runner& runner, const ColumnMask& need) const {
  // Like Spark's global offset: the rows after the first `offset` in partition order, as one partition.
  Partitions input = runner.run(*children[0], need);
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

std::vector<ColumnMask> LimitNode::childNeeds(const ColumnMask& need) const { return {fullMask(need, output.size())}; }

Partitions LimitNode::run(Runner& runner, const ColumnMask& need) const {
  return firstRows(runner, *children[0], static_cast<std::size_t>(std::max<std::int64_t>(0, limit)),
                   fullMask(need, output.size()));
}

Partitions firstRows(Runner& runner, const Node& child, std::size_t wanted, const ColumnMask& needIn) {
  std::vector<DataType> t = child.types();
  const ColumnMask need = fullMask(needIn, child.output.size());
  const auto limit = static_cast<std::int64_t>(std::min<std::size_t>(wanted, std::numeric_limits<std::int64_t>::max()));
  // A join under the limit (directly, or through projections, which keep every row) stops once it produced
  // enough rows, instead of materialising its whole product.
  if (const auto* join = dynamic_cast<const JoinNode*>(&child))
    return limitPartitions(join->runLimited(runner, wanted, need), limit, t);
  if (!child.steps()) return limitPartitions(runner.run(child, need), limit, t);
  // Over a project/filter chain, evaluate the chain a wave of partitions at a time and stop once enough rows
  // have come out, so first() and take(n) do not transform the whole input.
  std::vector<const Step*> steps;
  const Node* cur = collectSteps(child, steps);
  bool filtered = false;
  for (const Step* s : steps) filtered = filtered || s->filter != nullptr;
  const ColumnMask inputNeed = neededInputColumns(cur->output.size(), steps, need);
  const auto* join = dynamic_cast<const JoinNode*>(cur);
  const auto* persisted = dynamic_cast<const PersistNode*>(cur);
  // A persisted frame's kept partitions are read in place (see Runner::run).
  std::shared_ptr<const Partitions> kept;
  if (persisted)
    kept = persisted->kept(runner);
  else
    kept = std::make_shared<const Partitions>(join && !filtered ? join->runLimited(runner, wanted, inputNeed)
                                                                : runner.run(*cur, inputNeed));
  const Partitions& input = *kept;
  Partitions done;
  std::size_t have = 0;
  const std::size_t wave = static_cast<std::size_t>(std::max(1, runner.ctx().parallelism));
  for (std::size_t from = 0; from < input.size() && have < static_cast<std::size_t>(limit); from += wave) {
    std::size_t to = std::min(input.size(), from + wave);
    Partitions part(to - from);
    parallelFor(part.size(), [&](std::size_t i) {
      EvalContext ec = runner.ctx().eval;
      ec.partitionIndex = static_cast<int>(from + i);
      part[i] = applySteps(input[from + i], steps, ec, need);
    });
    for (auto& b : part) {
      have += b.rows;
      done.push_back(std::move(b));
    }
  }
  return limitPartitions(done, limit, t);
}

std::vector<ColumnMask> SortNode::childNeeds(const ColumnMask& need) const {
  ColumnMask m = fullMask(need, output.size());
  for (const auto& k : keys) markColumns(*k.expr, m);
  return {m};
}

Partitions SortNode::run(Runner& runner, const ColumnMask& need) const {
  Partitions input = runner.run(*children[0], childNeeds(need)[0]);
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

std::vector<ColumnMask> RepartitionNode::childNeeds(const ColumnMask& need) const {
  return {fullMask(need, output.size())};
}

Partitions RepartitionNode::run(Runner& runner, const ColumnMask& need) const {
  Partitions input = runner.run(*children[0], need);
  if (shuffle) return repartitionEvenly(input, numPartitions, types());
  return coalescePartitions(input, numPartitions, types());
}

std::optional<int> RepartitionNode::knownPartitions(Runner& runner) const {
  if (shuffle) return numPartitions;
  return std::min(numPartitions, runner.partitionCount(*children[0]));
}

Partitions PersistNode::run(Runner& runner, const ColumnMask& needIn) const {
  // The frame is kept whole (any later query may read any column); a consumer gets only what it reads,
  // taken from the kept partitions in place: a query of one column of a wide frame copies one column.
  return keepOnly(*kept(runner), fullMask(needIn, output.size()));
}

std::shared_ptr<const Partitions> PersistNode::kept(Runner& runner) const {
  std::lock_guard<std::mutex> lock(slot->mutex);
  fill(runner);
  return slot->data;
}

void PersistNode::fill(Runner& runner) const {
  if (!slot->filled) {
    // Isolated so that a worker waiting inside this computation never picks up another task that needs the
    // same slot (it would block on the mutex this thread holds).
    Partitions data;
    tbb::this_task_arena::isolate([&] { data = runner.run(*children[0]); });
    std::size_t bytes = 0;
    for (const Batch& b : data)
      for (const auto& c : b.columns)
        if (c) bytes += c->memoryBytes();
    slot->data = std::make_shared<const Partitions>(std::move(data));
    slot->filled = true;
    touchPersisted(slot, bytes);
  } else {
    touchPersisted(slot);
  }
}

std::optional<int> PersistNode::knownPartitions(Runner& runner) const {
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (slot->filled) return static_cast<int>(slot->data->size());
  }
  return runner.partitionCount(*children[0]);
}

std::vector<ColumnMask> SampleNode::childNeeds(const ColumnMask& need) const {
  // A sample in a deterministic order sorts each partition by every column first: all of them decide
  // which rows it draws.
  if (deterministicOrder) return Node::childNeeds(need);
  return {fullMask(need, output.size())};
}

Partitions SampleNode::run(Runner& runner, const ColumnMask& need) const {
  return samplePartitions(runner.run(*children[0], childNeeds(need)[0]), types(), lower, upper, seed, withReplacement,
                          deterministicOrder, runner.ctx());
}

std::vector<ColumnMask> NaDropNode::childNeeds(const ColumnMask& need) const {
  ColumnMask m = fullMask(need, output.size());
  for (std::size_t c : columns) m[c] = true;
  return {m};
}

Partitions NaDropNode::run(Runner& runner, const ColumnMask& need) const {
  return naDropPartitions(runner.run(*children[0], childNeeds(need)[0]), columns, minNonNulls, runner.ctx());
}

namespace {

std::string nodeName(const Node& n) {
  if (dynamic_cast<const WindowProjectNode*>(&n)) return "Window";
  switch (n.kind) {
    case PlanKind::LocalRelation: return "LocalRelation";
    case PlanKind::Range: return "Range";
    case PlanKind::CsvScan: return "CsvScan";
    case PlanKind::ParquetScan: return "ParquetScan";
    case PlanKind::Project: return "Project";
    case PlanKind::Filter: return "Filter";
    case PlanKind::Aggregate: return "Aggregate";
    case PlanKind::Join: return "Join";
    case PlanKind::SetOperation: return "SetOperation";
    case PlanKind::Deduplicate: return "Deduplicate";
    case PlanKind::Limit: return "Limit";
    case PlanKind::Sort: return "Sort";
    case PlanKind::WithColumns: return "WithColumns";
    case PlanKind::Drop: return "Drop";
    case PlanKind::Repartition: return "Repartition";
    case PlanKind::Persist: return "Persist";
    case PlanKind::SubqueryAlias: return "SubqueryAlias";
    case PlanKind::Sample: return "Sample";
    case PlanKind::NaDrop: return "NaDrop";
    case PlanKind::Offset: return "Offset";
  }
  return "Node";
}

void describeFlow(const Node& n, const ColumnMask& needIn, int depth, std::string& out) {
  const ColumnMask need = fullMask(needIn, n.output.size());
  out.append(static_cast<std::size_t>(2 * depth), ' ');
  out += nodeName(n) + " [";
  bool first = true;
  for (std::size_t c = 0; c < n.output.size(); ++c) {
    if (!need[c]) continue;
    out += (first ? "" : ", ") + n.output[c].name;
    first = false;
  }
  out += "]\n";
  const std::vector<ColumnMask> needs = n.childNeeds(need);
  for (std::size_t i = 0; i < n.children.size(); ++i) describeFlow(*n.children[i], needs.at(i), depth + 1, out);
}

}  // namespace

std::string describeColumnFlow(const Node& root) {
  std::string out;
  describeFlow(root, {}, 0, out);
  return out;
}

}  // namespace engine::local
