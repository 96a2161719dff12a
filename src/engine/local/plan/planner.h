// The local backend's planner: resolves a logical plan (names, types, Spark's analyzer rules) into a
// tree of resolved nodes that carry their output attributes and know how to run themselves over
// partitions with the physical operators.
//
// Every output column gets an expression id (exprId). Columns passed through unchanged keep theirs, so a
// column bound to a frame (df["c"], which carries the frame's plan id) can be found again above joins and
// projections: the planner locates the node with that plan id in the input subtree, resolves the name in
// that node's output and follows the exprId up to the current input. Joins give the right side fresh ids
// where they collide with the left side's (self-joins, joins with a frame derived from the other side), and
// record the renaming so bound columns from the right side still resolve.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/expression.h"
#include "engine/local/expr/bound_expr.h"
#include "engine/local/plan/exec_context.h"
#include "engine/plan.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine::local {

struct Attr {
  std::string name;
  DataType type;
  bool nullable = true;
  std::int64_t exprId = 0;
  std::string qualifier;  // relation alias (SubqueryAlias / view name), empty when none
};

std::int64_t newExprId();

class Runner;
struct Node;
using NodePtr = std::shared_ptr<const Node>;

// One per-partition transformation of a fused Project/Filter chain.
struct Step {
  std::vector<BoundExprPtr> project;  // when non-empty (or filter is null): the new columns
  BoundExprPtr filter;                // when set: keep rows where it is true
};

// Which output columns of a node its consumer reads (one flag per column). A column not marked may come
// back as an empty slot (a null vector): operators then neither read, convert, sort, gather nor copy it.
using ColumnMask = std::vector<bool>;

// Positions of a node's output attributes by lower-cased name, built once per node on the first lookup: a
// frame of thousands of columns queried column by column resolves each name without scanning the others.
class NameIndex {
 public:
  NameIndex() = default;
  // A copied node builds its own index from its own output.
  NameIndex(const NameIndex&) {}
  NameIndex& operator=(const NameIndex&) { return *this; }
  // Positions in `attrs` of the attributes named `lowerName` (lower case), in order; null when none.
  const std::vector<std::size_t>* find(const std::vector<Attr>& attrs, const std::string& lowerName) const;

 private:
  mutable std::once_flag built_;
  mutable std::unordered_map<std::string, std::vector<std::size_t>> positions_;
};

struct Node {
  virtual ~Node() = default;
  PlanKind kind = PlanKind::Project;
  std::int64_t planId = -1;
  std::vector<Attr> output;
  std::vector<NodePtr> children;
  // Join only: exprIds of the right child's output renamed in this node's output.
  std::unordered_map<std::int64_t, std::int64_t> rightRemap;
  // Lookups by name in `output`, which must not change after the node is shared.
  NameIndex names;

  std::vector<DataType> types() const;
  StructType schema() const;
  // Per-partition steps on top of children[0] (Project/Filter without windows); empty for other nodes.
  virtual const std::vector<Step>* steps() const { return nullptr; }
  // The result with at least the `need`ed columns filled (need has one flag per output column).
  virtual Partitions run(Runner& runner, const ColumnMask& need) const = 0;
  // The columns of each child the node reads to produce the `need`ed columns of its output.
  virtual std::vector<ColumnMask> childNeeds(const ColumnMask& need) const;
  // Partition count of the result, computed without running when the operator makes it known.
  virtual std::optional<int> knownPartitions(Runner& runner) const;
};

// Runs resolved nodes: fuses Project/Filter chains, runs independent children in parallel.
class Runner {
 public:
  explicit Runner(ExecContext ctx) : ctx_(std::move(ctx)) {}
  const ExecContext& ctx() const { return ctx_; }
  // Runs `node` for a consumer that reads the `need`ed columns of its output (every column when empty):
  // each operator below asks its inputs only for the columns it reads, down to the file scans (which then
  // convert only those) and the persisted frames (which hand out only those).
  Partitions run(const Node& node, const ColumnMask& need = {});
  // Runs several nodes concurrently.
  std::vector<Partitions> runAll(const std::vector<NodePtr>& nodes);
  int partitionCount(const Node& node);

 private:
  Partitions runNode(const Node& node, const ColumnMask& need);
  ExecContext ctx_;
};

// Column slots (filled or empty) of the partitions that nodes have handed to their consumers so far in this
// process: a query that reads one column of a wide frame must not cost a slot for every column of it.
std::uint64_t columnSlotsProduced();

// Name resolution scope: the attributes visible to an expression and the resolved subtrees they come from
// (for plan-id bound attributes).
struct ScopeRoot {
  const Node* node = nullptr;
  std::size_t offset = 0;
  std::size_t count = 0;
  const std::unordered_map<std::int64_t, std::int64_t>* remap = nullptr;
};

// The attributes are either a child's output, seen in place with its name index (Scope::of: no copy, so
// resolving a name costs the same whatever the child's width), or a list the scope owns (joins).
class Scope {
 public:
  Scope() = default;
  explicit Scope(std::vector<Attr> attrs) : own_(std::move(attrs)) {}
  static Scope of(const NodePtr& child);
  const std::vector<Attr>& attrs() const { return node_ ? node_->output : own_; }
  // Positions of the attributes named `name` ignoring case, in order.
  std::vector<std::size_t> named(const std::string& name) const;

  std::vector<ScopeRoot> roots;

 private:
  std::vector<Attr> own_;
  const Node* node_ = nullptr;
};

// Index of the attribute `e` (an Attribute expression) in the scope; throws AnalysisException (unresolved,
// ambiguous, or a frame-bound column that is not part of the input).
std::size_t resolveAttribute(const Expr& e, const Scope& scope);
// Like resolveAttribute but nullopt when the name matches nothing.
std::optional<std::size_t> tryResolveName(const std::string& name, const Scope& scope);
// Attributes visited by name lookups so far in this process (index builds and linear scans): resolving one
// name must not cost a visit of every column of a wide input.
std::uint64_t nameLookupVisits();
// Indices of every attribute in `attrs` whose name equals `name` ignoring case.
std::vector<std::size_t> matchingNames(const std::vector<Attr>& attrs, const std::string& name);
[[noreturn]] void throwUnresolved(const std::vector<std::string>& nameParts, const std::vector<Attr>& attrs);
std::string quoteId(const std::string& s);
bool equalsIgnoreCase(const std::string& a, const std::string& b);
std::string toLower(std::string s);

// True when the expression holds a subquery.
bool containsSubquery(const Expr& e);

// Resolves a logical plan into nodes. `lookup` returns an already resolved node for a plan (the backend's
// cache) or analyzes it.
class Planner {
 public:
  using Resolve = std::function<NodePtr(const PlanPtr&)>;
  Planner(Resolve resolveChild, int parallelism) : resolveChild_(std::move(resolveChild)), parallelism_(parallelism) {}
  NodePtr analyze(const PlanPtr& plan);

 private:
  NodePtr analyzeProject(const ProjectPlan& p, const NodePtr& child);
  NodePtr analyzeFilter(const FilterPlan& p, const NodePtr& child);
  NodePtr analyzeAggregate(const Plan& p, const std::vector<ExprPtr>& groupings, const std::vector<ExprPtr>& aggregates,
                           const NodePtr& child);
  NodePtr analyzeJoin(const JoinPlan& p, const NodePtr& left, const NodePtr& right);
  NodePtr analyzeSetOp(const SetOperationPlan& p, const NodePtr& left, const NodePtr& right);
  NodePtr analyzeSort(const SortPlan& p, const NodePtr& child);
  NodePtr analyzeWithColumns(const WithColumnsPlan& p, const NodePtr& child);
  NodePtr analyzeDrop(const DropPlan& p, const NodePtr& child);
  // Subqueries (planner_subquery.cpp): a Filter or Project holding them is rewritten into joins.
  struct Decorrelated;
  NodePtr analyzeWithSubqueries(const PlanPtr& plan);
  Decorrelated decorrelate(const PlanPtr& sub);
  ExprPtr singleColumn(const PlanPtr& sub, const Expr& sq, const std::string& alias);
  PlanPtr semiOrAntiJoin(PlanPtr outer, const Expr& sq, bool negated, std::vector<std::string>& hidden);
  ExprPtr attachScalar(PlanPtr& outer, const Expr& sq, std::vector<std::string>& hidden);
  ExprPtr attachPredicate(PlanPtr& outer, const Expr& sq, bool nullAware, std::vector<std::string>& hidden);
  ExprPtr replaceScalars(const ExprPtr& e, PlanPtr& outer, std::vector<std::string>& hidden);

  Resolve resolveChild_;
  int parallelism_;
};

// The result of `node` without running it when it is a table in memory, possibly under projections that only
// pick columns: the table's own vectors, shared (nullopt for anything else).
std::optional<Batch> inMemoryResult(const Node& node);

// ---- basic per-partition operators (op_basic.cpp) ------------------------------------------------

// Applies fused steps to one partition; outputs not marked in `need` (when given) are left empty.
Batch applySteps(const Batch& input, const std::vector<const Step*>& steps, const EvalContext& ctx,
                 const ColumnMask& need = {});
// Which of the `width` input columns of a chain of steps the chain reads to produce the `need`ed outputs
// (every output when `need` is empty).
std::vector<bool> neededInputColumns(std::size_t width, const std::vector<const Step*>& steps,
                                     const ColumnMask& need = {});
// Marks in `mask` the input columns `e` reads (every column when that is not known).
void markColumns(const BoundExpr& e, ColumnMask& mask);
// The tree under `root` as run for a consumer of all its columns: one line per node, indented by depth,
// naming the node and the output columns it fills ("Sort [a, b]"); file scans list the columns they
// convert. For tests and debugging of the column pruning.
std::string describeColumnFlow(const Node& root);
// Rows of boolean column `v` that are true (null and false dropped) as a selection; returns the count.
std::size_t selectTrue(const Vector& v, std::size_t rows, std::vector<std::uint8_t>& sel);
// The first `limit` rows over the partitions in order, as one partition.
Partitions limitPartitions(const Partitions& input, std::int64_t limit, const std::vector<DataType>& types);
// range(start, end, step) split into `numPartitions` slices as Spark splits it.
Partitions rangePartitions(std::int64_t start, std::int64_t end, std::int64_t step, int numPartitions);
// Adjacent partitions merged into at most n.
Partitions coalescePartitions(const Partitions& input, int n, const std::vector<DataType>& types);
// Rows spread evenly over exactly n partitions (repartition with a shuffle).
Partitions repartitionEvenly(const Partitions& input, int n, const std::vector<DataType>& types);
// Bernoulli (or Poisson with replacement) sample by bounds, per partition seeded by seed + index.
Partitions samplePartitions(const Partitions& input, const std::vector<DataType>& types, double lower, double upper,
                            std::int64_t seed, bool withReplacement, bool sortFirst, const ExecContext& ctx);
// Rows with at least minNonNulls non-null (and non-NaN) values among `columns`.
Partitions naDropPartitions(const Partitions& input, const std::vector<std::size_t>& columns, int minNonNulls,
                            const ExecContext& ctx);

}  // namespace engine::local
