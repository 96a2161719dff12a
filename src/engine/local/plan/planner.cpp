// Analysis of each logical plan kind into resolved nodes (Spark's analyzer rules for names, types,
// aggregates, windows, joins and set operations).
#include "engine/local/plan/planner.h"

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/io/csv_reader.h"
#include "engine/local/expr/expressions.h"
#include "engine/local/plan/planner_bind.h"
#include "engine/local/plan/planner_nodes.h"

namespace engine::local {

namespace {

Attr freshAttr(std::string name, const DataType& type, bool nullable) {
  return Attr{std::move(name), type, nullable, newExprId(), {}};
}

struct Item {
  ExprPtr expr;      // null for a pass-through column
  std::string name;
  int passIndex = -1;
};

std::shared_ptr<PipelineNode> pipeline(const NodePtr& child) {
  auto n = std::make_shared<PipelineNode>();
  n->children = {child};
  return n;
}

// A projection over `child` (window expressions included); output attributes keep the exprId of plain
// column references.
std::shared_ptr<Node> buildProjection(const NodePtr& child, const std::vector<Item>& items) {
  Scope scope = Scope::of(child);
  std::vector<ExprPtr> exprs;
  for (const auto& it : items) {
    if (it.expr) exprs.push_back(it.expr);
  }
  bool hasWindow = false;
  for (const auto& e : exprs) hasWindow = hasWindow || containsWindow(*e);
  WindowContext wc;
  if (hasWindow) wc = collectWindows(exprs, scope);
  Binder binder(scope, hasWindow ? &wc : nullptr);
  std::vector<BoundExprPtr> bound;
  std::vector<Attr> output;
  for (const auto& it : items) {
    if (it.passIndex >= 0) {
      const Attr& a = child->output[static_cast<std::size_t>(it.passIndex)];
      bound.push_back(boundColumn(static_cast<std::size_t>(it.passIndex), a.type, a.nullable));
      Attr out = a;
      out.name = it.name;
      output.push_back(out);
      continue;
    }
    BoundExprPtr b = binder.bind(*it.expr);
    if (it.expr->kind == ExprKind::Attribute) {
      Attr out = child->output[resolveAttribute(*it.expr, scope)];
      out.name = it.name;
      output.push_back(out);
    } else {
      output.push_back(freshAttr(it.name, b->type(), b->nullable()));
    }
    bound.push_back(std::move(b));
  }
  if (hasWindow) {
    auto n = std::make_shared<WindowProjectNode>();
    n->children = {child};
    n->groups = std::move(wc.groups);
    n->finalExprs = std::move(bound);
    n->output = std::move(output);
    return n;
  }
  auto n = pipeline(child);
  n->stepList.push_back(Step{std::move(bound), nullptr});
  n->output = std::move(output);
  return n;
}

std::vector<ExprPtr> splitConjuncts(const ExprPtr& e) {
  if (e->kind == ExprKind::Function && toLower(e->name) == "and" && e->children.size() == 2) {
    auto l = splitConjuncts(e->children[0]);
    auto r = splitConjuncts(e->children[1]);
    l.insert(l.end(), r.begin(), r.end());
    return l;
  }
  return {e};
}

void collectRefs(const Expr& e, const Scope& scope, std::vector<std::size_t>& out) {
  if (e.kind == ExprKind::Attribute) {
    out.push_back(resolveAttribute(e, scope));
    return;
  }
  for (const auto& c : e.children) {
    if (c) collectRefs(*c, scope, out);
  }
}

// 0: only left columns, 1: only right columns, -1: both or none.
int sideOf(const std::vector<std::size_t>& refs, std::size_t nLeft) {
  if (refs.empty()) return -1;
  bool l = false, r = false;
  for (std::size_t i : refs) (i < nLeft ? l : r) = true;
  if (l && r) return -1;
  return l ? 0 : 1;
}

BoundExprPtr andAll(const std::vector<std::pair<BoundExprPtr, ExprPtr>>& parts) {
  if (parts.empty()) return nullptr;
  BoundExprPtr acc = parts[0].first;
  ExprPtr accExpr = parts[0].second;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    ExprPtr src = Expr::function("and", {accExpr, parts[i].second});
    acc = bindScalarFunction("and", {acc, parts[i].first}, *src);
    accExpr = src;
  }
  return acc;
}

std::string ordinalWord(std::size_t i) {
  static const char* const kWords[] = {"first", "second", "third",  "fourth", "fifth",
                                       "sixth", "seventh", "eighth", "ninth",  "tenth"};
  if (i < 10) return kWords[i];
  std::size_t n = i + 1;
  const char* suffix = (n % 100 >= 11 && n % 100 <= 13) ? "th" : n % 10 == 1 ? "st" : n % 10 == 2 ? "nd" : n % 10 == 3 ? "rd" : "th";
  return std::to_string(n) + suffix;
}

std::string setOpName(SetOpType t) {
  switch (t) {
    case SetOpType::Union:
      return "UNION";
    case SetOpType::Except:
      return "EXCEPT";
    case SetOpType::Intersect:
      return "INTERSECT";
  }
  return "UNION";
}

std::string columnList(const std::vector<Attr>& attrs) {
  std::string s;
  for (std::size_t i = 0; i < attrs.size(); ++i) s += (i ? ", " : "") + attrs[i].name;
  return s;
}

void checkBoolean(const BoundExprPtr& b, const Expr& cond, const std::string& what) {
  if (b->type().isBoolean()) return;  // Spark rejects an untyped NULL condition too
  std::string text = outputName(cond);
  throw AnalysisException(fmt::format(
      "[DATATYPE_MISMATCH.FILTER_NOT_BOOLEAN] Cannot resolve \"{}\" due to data type mismatch: {} expression \"{}\" of "
      "type \"{}\" is not a boolean.",
      text, what, text, b->type().sql()));
}

// A filter with subqueries, or a select list without aggregates holding scalar subqueries.
bool usesSubqueries(const Plan& plan) {
  if (plan.inputs.size() != 1) return false;
  if (plan.kind == PlanKind::Filter) {
    const auto& p = static_cast<const FilterPlan&>(plan);
    return p.condition && containsSubquery(*p.condition);
  }
  if (plan.kind != PlanKind::Project) return false;
  const auto& p = static_cast<const ProjectPlan&>(plan);
  bool any = false;
  for (const auto& e : p.exprs) {
    if (containsAggregate(*e)) return false;
    any = any || containsSubquery(*e);
  }
  return any;
}

}  // namespace

NodePtr Planner::analyze(const PlanPtr& plan) {
  if (usesSubqueries(*plan)) {
    NodePtr rewritten = analyzeWithSubqueries(plan);
    auto n = pipeline(rewritten);
    n->output = rewritten->output;
    n->kind = plan->kind;
    n->planId = plan->id;
    return n;
  }
  std::vector<NodePtr> kids;
  kids.reserve(plan->inputs.size());
  for (const auto& in : plan->inputs) {
    if (!in) throw AnalysisException("plan node " + std::to_string(plan->id) + " has a missing input");
    kids.push_back(resolveChild_(in));
  }
  auto need = [&](std::size_t n) {
    if (kids.size() != n) {
      throw AnalysisException(fmt::format("malformed plan: {} expects {} input(s), got {}", planToString(*plan), n,
                                          kids.size()));
    }
  };
  std::shared_ptr<Node> node;
  switch (plan->kind) {
    case PlanKind::LocalRelation: {
      const auto& p = static_cast<const LocalRelationPlan&>(*plan);
      auto n = std::make_shared<LocalRelationNode>();
      n->table = p.table ? p.table : std::make_shared<const LocalTable>();
      n->numPartitions = p.numPartitions > 0 ? p.numPartitions : parallelism_;
      for (const auto& f : n->table->schema().fields()) n->output.push_back(freshAttr(f.name, f.dataType, f.nullable));
      node = n;
      break;
    }
    case PlanKind::Range: {
      const auto& p = static_cast<const RangePlan&>(*plan);
      if (p.step == 0) throw IllegalArgumentException("requirement failed: step (0) cannot be 0");
      auto n = std::make_shared<RangeNode>();
      n->start = p.start;
      n->end = p.end;
      n->step = p.step;
      n->numPartitions = p.numPartitions > 0 ? p.numPartitions : parallelism_;
      n->output.push_back(freshAttr("id", LongType(), false));
      node = n;
      break;
    }
    case PlanKind::CsvScan: {
      const auto& p = static_cast<const CsvScanPlan&>(*plan);
      auto n = std::make_shared<CsvScanNode>();
      n->files = p.files;
      n->options = p.options;
      n->fileSchema = p.schema;
      for (const auto& f : p.schema.fields()) n->output.push_back(freshAttr(f.name, f.dataType, true));
      node = n;
      break;
    }
    case PlanKind::ParquetScan: {
      const auto& p = static_cast<const ParquetScanPlan&>(*plan);
      auto n = std::make_shared<ParquetScanNode>();
      n->files = p.files;
      n->fileSchema = p.schema;
      for (const auto& f : p.schema.fields()) n->output.push_back(freshAttr(f.name, f.dataType, true));
      node = n;
      break;
    }
    case PlanKind::Project: {
      need(1);
      node = std::const_pointer_cast<Node>(analyzeProject(static_cast<const ProjectPlan&>(*plan), kids[0]));
      break;
    }
    case PlanKind::Filter: {
      need(1);
      node = std::const_pointer_cast<Node>(analyzeFilter(static_cast<const FilterPlan&>(*plan), kids[0]));
      break;
    }
    case PlanKind::Aggregate: {
      need(1);
      const auto& p = static_cast<const AggregatePlan&>(*plan);
      node = std::const_pointer_cast<Node>(analyzeAggregate(p, p.groupings, p.aggregates, kids[0]));
      break;
    }
    case PlanKind::Join: {
      need(2);
      const auto& jp = static_cast<const JoinPlan&>(*plan);
      if (jp.natural) {
        // USING every column name the two sides share, in the left side's order.
        JoinPlan using_ = jp;
        std::unordered_set<std::string> seen;
        for (const auto& u : using_.usingColumns) seen.insert(toLower(u));
        for (const auto& a : kids[0]->output) {
          std::string lower = toLower(a.name);
          if (kids[1]->names.find(kids[1]->output, lower) && seen.insert(std::move(lower)).second)
            using_.usingColumns.push_back(a.name);
        }
        node = std::const_pointer_cast<Node>(analyzeJoin(using_, kids[0], kids[1]));
      } else {
        node = std::const_pointer_cast<Node>(analyzeJoin(jp, kids[0], kids[1]));
      }
      break;
    }
    case PlanKind::SetOperation: {
      need(2);
      node = std::const_pointer_cast<Node>(
          analyzeSetOp(static_cast<const SetOperationPlan&>(*plan), kids[0], kids[1]));
      break;
    }
    case PlanKind::Deduplicate: {
      need(1);
      const auto& p = static_cast<const DeduplicatePlan&>(*plan);
      auto n = std::make_shared<DeduplicateNode>();
      n->children = {kids[0]};
      n->output = kids[0]->output;
      if (p.allColumns) {
        for (std::size_t i = 0; i < n->output.size(); ++i) n->keyColumns.push_back(i);
      } else {
        for (const auto& name : p.columns) {
          auto m = matchingNames(n->output, name);
          if (m.empty()) {
            throw AnalysisException(
                fmt::format("Cannot resolve column name \"{}\" among ({}).", name, columnList(n->output)));
          }
          for (std::size_t i : m) {
            if (std::find(n->keyColumns.begin(), n->keyColumns.end(), i) == n->keyColumns.end())
              n->keyColumns.push_back(i);
          }
        }
      }
      node = n;
      break;
    }
    case PlanKind::Limit: {
      need(1);
      const auto& p = static_cast<const LimitPlan&>(*plan);
      if (p.limit < 0) {
        throw AnalysisException(fmt::format(
            "[INVALID_LIMIT_LIKE_EXPRESSION.IS_NEGATIVE] The limit like expression \"{}\" is invalid. The limit "
            "expression must be equal to or greater than 0, but got {}.",
            p.limit, p.limit));
      }
      auto n = std::make_shared<LimitNode>();
      n->children = {kids[0]};
      n->output = kids[0]->output;
      n->limit = p.limit;
      node = n;
      break;
    }
    case PlanKind::Offset: {
      need(1);
      const auto& p = static_cast<const OffsetPlan&>(*plan);
      if (p.offset < 0) {
        throw AnalysisException(fmt::format(
            "[INVALID_LIMIT_LIKE_EXPRESSION.IS_NEGATIVE] The offset expression \"{}\" is invalid. The offset "
            "expression must be equal to or greater than 0, but got {}.",
            p.offset, p.offset));
      }
      auto n = std::make_shared<OffsetNode>();
      n->children = {kids[0]};
      n->output = kids[0]->output;
      n->offset = p.offset;
      node = n;
      break;
    }
    case PlanKind::Sort: {
      need(1);
      node = std::const_pointer_cast<Node>(analyzeSort(static_cast<const SortPlan&>(*plan), kids[0]));
      break;
    }
    case PlanKind::WithColumns: {
      need(1);
      node = std::const_pointer_cast<Node>(analyzeWithColumns(static_cast<const WithColumnsPlan&>(*plan), kids[0]));
      break;
    }
    case PlanKind::Drop: {
      need(1);
      node = std::const_pointer_cast<Node>(analyzeDrop(static_cast<const DropPlan&>(*plan), kids[0]));
      break;
    }
    case PlanKind::Repartition: {
      need(1);
      const auto& p = static_cast<const RepartitionPlan&>(*plan);
      if (p.numPartitions <= 0) {
        throw IllegalArgumentException(
            fmt::format("requirement failed: Number of partitions ({}) must be positive.", p.numPartitions));
      }
      auto n = std::make_shared<RepartitionNode>();
      n->children = {kids[0]};
      n->output = kids[0]->output;
      n->numPartitions = p.numPartitions;
      n->shuffle = p.shuffle;
      node = n;
      break;
    }
    case PlanKind::Persist: {
      need(1);
      const auto& p = static_cast<const PersistPlan&>(*plan);
      auto n = std::make_shared<PersistNode>();
      n->children = {kids[0]};
      n->output = kids[0]->output;
      n->slot = p.slot ? p.slot : std::make_shared<PersistSlot>();
      node = n;
      break;
    }
    case PlanKind::SubqueryAlias: {
      need(1);
      const auto& p = static_cast<const SubqueryAliasPlan&>(*plan);
      auto n = pipeline(kids[0]);
      n->output = kids[0]->output;
      for (auto& a : n->output) a.qualifier = p.alias;
      node = n;
      break;
    }
    case PlanKind::Sample: {
      need(1);
      const auto& p = static_cast<const SamplePlan&>(*plan);
      if (!(p.lowerBound >= 0.0) || !(p.upperBound >= p.lowerBound)) {
        throw IllegalArgumentException(fmt::format(
            "requirement failed: Lower bound ({}) must be <= upper bound ({})", p.lowerBound, p.upperBound));
      }
      auto n = std::make_shared<SampleNode>();
      n->children = {kids[0]};
      n->output = kids[0]->output;
      n->lower = p.lowerBound;
      n->upper = p.upperBound;
      n->seed = p.seed;
      n->withReplacement = p.withReplacement;
      n->deterministicOrder = p.deterministicOrder;
      node = n;
      break;
    }
    case PlanKind::NaDrop: {
      need(1);
      const auto& p = static_cast<const NaDropPlan&>(*plan);
      auto n = std::make_shared<NaDropNode>();
      n->children = {kids[0]};
      n->output = kids[0]->output;
      n->minNonNulls = p.minNonNulls;
      if (p.subset.empty()) {
        for (std::size_t i = 0; i < n->output.size(); ++i) n->columns.push_back(i);
      } else {
        Scope scope = Scope::of(kids[0]);
        for (const auto& name : p.subset) {
          auto idx = tryResolveName(name, scope);
          if (!idx) throwUnresolved({name}, n->output);
          n->columns.push_back(*idx);
        }
      }
      node = n;
      break;
    }
  }
  if (!node) throw AnalysisException("unsupported plan: " + planToString(*plan));
  node->kind = plan->kind;
  node->planId = plan->id;
  return node;
}

NodePtr Planner::analyzeProject(const ProjectPlan& p, const NodePtr& child) {
  bool hasAgg = false;
  for (const auto& e : p.exprs) hasAgg = hasAgg || containsAggregate(*e);
  if (hasAgg) return analyzeAggregate(p, {}, p.exprs, child);
  std::vector<Item> items;
  for (const auto& e : p.exprs) {
    if (e->kind == ExprKind::Star) {
      std::size_t before = items.size();
      for (std::size_t i = 0; i < child->output.size(); ++i) {
        const Attr& a = child->output[i];
        bool match = e->nameParts.empty() ||
                     (e->nameParts.size() == 1 && !a.qualifier.empty() && equalsIgnoreCase(a.qualifier, e->nameParts[0]));
        if (match) items.push_back(Item{nullptr, a.name, static_cast<int>(i)});
      }
      if (!e->nameParts.empty() && items.size() == before) {
        std::string cols;
        for (std::size_t i = 0; i < child->output.size(); ++i) cols += (i ? ", " : "") + quoteId(child->output[i].name);
        throw AnalysisException(fmt::format(
            "[CANNOT_RESOLVE_STAR_EXPAND] Cannot resolve {}.* given input columns {}. Please check that the specified "
            "table or struct exists and is accessible in the input columns.",
            quoteId(e->nameParts[0]), cols));
      }
      continue;
    }
    items.push_back(Item{e, outputName(*e), -1});
  }
  return buildProjection(child, items);
}

NodePtr Planner::analyzeFilter(const FilterPlan& p, const NodePtr& child) {
  if (!p.condition) throw AnalysisException("filter without a condition");
  if (child->kind == PlanKind::Aggregate && containsAggregate(*p.condition) && !child->children.empty()) {
    // HAVING with aggregates that the select list does not compute: aggregate them alongside, filter on the
    // extra column and drop it again (Spark's ResolveAggregateFunctions).
    const auto* agg = dynamic_cast<const AggregateNode*>(child.get());
    if (agg && p.inputs.size() == 1 && p.inputs[0]->kind == PlanKind::Aggregate) {
      const auto& ap = static_cast<const AggregatePlan&>(*p.inputs[0]);
      std::vector<ExprPtr> outs = ap.aggregates;
      outs.push_back(Expr::alias(p.condition, "__having"));
      NodePtr extended = analyzeAggregate(ap, ap.groupings, outs, child->children[0]);
      auto ext = std::const_pointer_cast<Node>(extended);
      std::size_t n = child->output.size();
      for (std::size_t i = 0; i < n; ++i) ext->output[i] = child->output[i];
      ext->kind = PlanKind::Aggregate;
      ext->planId = child->planId;
      const Attr& cond = ext->output[n];
      if (!cond.type.isBoolean() && !cond.type.isNull()) {
        checkBoolean(boundColumn(n, cond.type), *p.condition, "Filter");
      }
      auto out = pipeline(ext);
      out->stepList.push_back(Step{{}, boundColumn(n, cond.type, cond.nullable)});
      std::vector<BoundExprPtr> keep;
      for (std::size_t i = 0; i < n; ++i) keep.push_back(boundColumn(i, ext->output[i].type, ext->output[i].nullable));
      out->stepList.push_back(Step{std::move(keep), nullptr});
      out->output = child->output;
      return out;
    }
  }
  Scope scope = Scope::of(child);
  Binder binder(scope);
  BoundExprPtr cond = binder.bind(*p.condition);
  checkBoolean(cond, *p.condition, "Filter");
  auto n = pipeline(child);
  n->stepList.push_back(Step{{}, cond});
  n->output = child->output;
  return n;
}

NodePtr Planner::analyzeAggregate(const Plan& p, const std::vector<ExprPtr>& groupings,
                                  const std::vector<ExprPtr>& aggregates, const NodePtr& child) {
  (void)p;
  // An unknown function is reported by name before any grouping rule is checked, as Spark does.
  for (const auto& g : groupings) requireKnownFunctions(*g);
  for (const auto& a : aggregates) requireKnownFunctions(*a);
  Scope scope = Scope::of(child);
  AggregateContext ctx;
  ctx.hasGroupBy = !groupings.empty();
  Binder plain(scope);
  std::vector<BoundExprPtr> keys;
  std::vector<int> keyInputColumn;  // input column of a plain-column grouping, else -1
  for (const auto& g : groupings) {
    const Expr& ge = g->kind == ExprKind::Alias ? *g->children.at(0) : *g;
    if (containsAggregate(ge)) {
      throw AnalysisException(fmt::format(
          "[GROUP_BY_AGGREGATE] Aggregate functions are not allowed in GROUP BY, but found {}.", ge.toString()));
    }
    BoundExprPtr b = plain.bind(ge);
    keyInputColumn.push_back(ge.kind == ExprKind::Attribute ? static_cast<int>(resolveAttribute(ge, scope)) : -1);
    ctx.keyKeys.push_back(canonicalKey(ge, scope));
    ctx.keyIndex.emplace(ctx.keyKeys.back(), ctx.keyKeys.size() - 1);
    ctx.keyTypes.push_back(b->type());
    ctx.keyNullable.push_back(b->nullable());
    keys.push_back(std::move(b));
  }
  Binder aggBinder(scope, &ctx);
  std::vector<BoundExprPtr> post;
  std::vector<Attr> output;
  for (const auto& e : aggregates) {
    if (e->kind == ExprKind::Star) {
      throw AnalysisException("[INVALID_USAGE_OF_STAR_OR_REGEX] Invalid usage of '*' in an aggregation.");
    }
    BoundExprPtr b = aggBinder.bind(*e);
    std::string name = outputName(*e);
    int col = b->columnIndex();
    if (e->kind == ExprKind::Attribute && col >= 0 && static_cast<std::size_t>(col) < keys.size() &&
        keyInputColumn[static_cast<std::size_t>(col)] >= 0) {
      Attr a = child->output[static_cast<std::size_t>(keyInputColumn[static_cast<std::size_t>(col)])];
      a.name = name;
      a.nullable = b->nullable();
      output.push_back(a);
    } else {
      output.push_back(freshAttr(name, b->type(), b->nullable()));
    }
    post.push_back(std::move(b));
  }
  auto n = std::make_shared<AggregateNode>();
  n->children = {child};
  n->keys = std::move(keys);
  n->calls = std::move(ctx.calls);
  n->identityPost = post.size() == n->keys.size() + n->calls.size();
  for (std::size_t i = 0; i < post.size() && n->identityPost; ++i) {
    n->identityPost = post[i]->columnIndex() == static_cast<int>(i);
  }
  n->post = std::move(post);
  n->output = std::move(output);
  return n;
}

NodePtr Planner::analyzeJoin(const JoinPlan& p, const NodePtr& left, const NodePtr& right) {
  auto n = std::make_shared<JoinNode>();
  n->children = {left, right};
  n->joinType = p.joinType == JoinType::Cross ? JoinType::Inner : p.joinType;
  // Fresh ids for right-side columns that share an id with the left side (self-joins and joins with a frame
  // derived from the other side), so frame-bound columns resolve to the right side.
  std::unordered_map<std::int64_t, std::int64_t> remap;
  std::vector<Attr> rightOut = right->output;
  std::unordered_set<std::int64_t> leftIds;
  leftIds.reserve(left->output.size());
  for (const auto& l : left->output) leftIds.insert(l.exprId);
  for (auto& a : rightOut) {
    if (leftIds.count(a.exprId)) {
      auto it = remap.find(a.exprId);
      std::int64_t id = it != remap.end() ? it->second : newExprId();
      remap[a.exprId] = id;
      a.exprId = id;
    }
  }
  const std::size_t nl = left->output.size(), nr = rightOut.size();
  Scope leftScope = Scope::of(left);
  // The right side's names and positions are those of its own output (only exprIds were renamed above), so
  // its scope is that output with its name index: a USING list of every column resolves in linear time.
  Scope rightScope = Scope::of(right);
  std::vector<Attr> bothAttrs = left->output;
  bothAttrs.insert(bothAttrs.end(), rightOut.begin(), rightOut.end());
  Scope both(std::move(bothAttrs));
  both.roots.push_back(ScopeRoot{left.get(), 0, nl, nullptr});
  both.roots.push_back(ScopeRoot{right.get(), nl, nr, &remap});

  const bool semi = n->joinType == JoinType::LeftSemi || n->joinType == JoinType::LeftAnti;
  const bool leftNullable = n->joinType == JoinType::RightOuter || n->joinType == JoinType::FullOuter;
  const bool rightNullable = n->joinType == JoinType::LeftOuter || n->joinType == JoinType::FullOuter;

  if (!p.usingColumns.empty()) {
    std::vector<std::size_t> lk, rk;
    for (const auto& name : p.usingColumns) {
      auto li = tryResolveName(name, leftScope);
      if (!li) {
        std::string cols;
        for (std::size_t i = 0; i < nl; ++i) cols += (i ? ", " : "") + quoteId(left->output[i].name);
        throw AnalysisException(fmt::format(
            "[UNRESOLVED_USING_COLUMN_FOR_JOIN] USING column {} cannot be resolved on the left side of the join. The "
            "left-side columns: [{}].",
            quoteId(name), cols));
      }
      auto ri = tryResolveName(name, rightScope);
      if (!ri) {
        std::string cols;
        for (std::size_t i = 0; i < nr; ++i) cols += (i ? ", " : "") + quoteId(rightOut[i].name);
        throw AnalysisException(fmt::format(
            "[UNRESOLVED_USING_COLUMN_FOR_JOIN] USING column {} cannot be resolved on the right side of the join. "
            "The right-side columns: [{}].",
            quoteId(name), cols));
      }
      lk.push_back(*li);
      rk.push_back(*ri);
    }
    std::vector<DataType> keyTypes;
    for (std::size_t k = 0; k < lk.size(); ++k) {
      const Attr& la = left->output[lk[k]];
      const Attr& ra = rightOut[rk[k]];
      DataType t = comparisonType(la.type, ra.type, "(" + la.name + " = " + ra.name + ")");
      keyTypes.push_back(t);
      n->leftKeys.push_back(castTo(boundColumn(lk[k], la.type, la.nullable), t));
      n->rightKeys.push_back(castTo(boundColumn(rk[k], ra.type, ra.nullable), t));
    }
    // Output: the keys once, then the other left columns, then the other right columns.
    n->hasPost = true;
    for (std::size_t k = 0; k < lk.size(); ++k) {
      const Attr& la = left->output[lk[k]];
      const Attr& ra = rightOut[rk[k]];
      if (n->joinType == JoinType::FullOuter) {
        auto l = castTo(boundColumn(lk[k], la.type, true), keyTypes[k]);
        auto r = castTo(boundColumn(nl + rk[k], ra.type, true), keyTypes[k]);
        ExprPtr src = Expr::function("coalesce", {Expr::attribute(la.name), Expr::attribute(ra.name)});
        BoundExprPtr c = bindScalarFunction("coalesce", {l, r}, *src);
        n->post.push_back(c);
        n->output.push_back(freshAttr(la.name, c->type(), la.nullable && ra.nullable));
      } else if (n->joinType == JoinType::RightOuter) {
        n->post.push_back(boundColumn(nl + rk[k], ra.type, ra.nullable));
        n->output.push_back(ra);
      } else {
        n->post.push_back(boundColumn(lk[k], la.type, la.nullable));
        n->output.push_back(la);
      }
    }
    std::vector<bool> leftKey(nl, false), rightKey(nr, false);
    for (std::size_t k : lk) leftKey[k] = true;
    for (std::size_t k : rk) rightKey[k] = true;
    for (std::size_t i = 0; i < nl; ++i) {
      if (leftKey[i]) continue;
      Attr a = left->output[i];
      a.nullable = a.nullable || leftNullable;
      n->post.push_back(boundColumn(i, a.type, a.nullable));
      n->output.push_back(a);
    }
    if (!semi) {
      for (std::size_t i = 0; i < nr; ++i) {
        if (rightKey[i]) continue;
        Attr a = rightOut[i];
        a.nullable = a.nullable || rightNullable;
        n->post.push_back(boundColumn(nl + i, a.type, a.nullable));
        n->output.push_back(a);
      }
    }
  }

  if (p.condition) {
    std::vector<std::pair<BoundExprPtr, ExprPtr>> residual;
    for (const auto& c : splitConjuncts(p.condition)) {
      if (containsAggregate(*c) || containsWindow(*c)) {
        throw AnalysisException(fmt::format(
            "[UNSUPPORTED_EXPR_FOR_OPERATOR] A query operator contains one or more unsupported expressions: \"{}\" "
            "in a join condition.",
            c->toString()));
      }
      std::string fn = c->kind == ExprKind::Function ? toLower(c->name) : "";
      if ((fn == "==" || fn == "=") && c->children.size() == 2) {
        std::vector<std::size_t> r0, r1;
        collectRefs(*c->children[0], both, r0);
        collectRefs(*c->children[1], both, r1);
        int s0 = sideOf(r0, nl), s1 = sideOf(r1, nl);
        if (s0 >= 0 && s1 >= 0 && s0 != s1) {
          const Expr& le = s0 == 0 ? *c->children[0] : *c->children[1];
          const Expr& re = s0 == 0 ? *c->children[1] : *c->children[0];
          BoundExprPtr lb = Binder(leftScope).bind(le);
          BoundExprPtr rb = Binder(rightScope).bind(re);
          DataType t = comparisonType(lb->type(), rb->type(), outputName(*c));
          n->leftKeys.push_back(castTo(lb, t));
          n->rightKeys.push_back(castTo(rb, t));
          continue;
        }
      }
      BoundExprPtr b = Binder(both).bind(*c);
      checkBoolean(b, *c, "Join condition");
      residual.emplace_back(b, c);
    }
    n->residual = andAll(residual);
  }

  if (p.usingColumns.empty()) {
    n->output = left->output;
    if (leftNullable) {
      for (auto& a : n->output) a.nullable = true;
    }
    if (!semi) {
      for (auto a : rightOut) {
        a.nullable = a.nullable || rightNullable;
        n->output.push_back(a);
      }
    }
  }
  n->rightRemap = std::move(remap);
  return n;
}

NodePtr Planner::analyzeSetOp(const SetOperationPlan& p, const NodePtr& left, const NodePtr& right) {
  const std::string opName = setOpName(p.opType);
  NodePtr r = right;
  if (p.byName) {
    std::vector<Item> items;
    for (const auto& la : left->output) {
      const std::vector<std::size_t>* m = right->names.find(right->output, toLower(la.name));
      if (!m) {
        throw AnalysisException(
            fmt::format("Cannot resolve column name \"{}\" among ({}).", la.name, columnList(right->output)));
      }
      items.push_back(Item{nullptr, right->output[m->front()].name, static_cast<int>(m->front())});
    }
    if (right->output.size() != left->output.size()) {
      for (const auto& ra : right->output) {
        if (!left->names.find(left->output, toLower(ra.name))) {
          throw AnalysisException(
              fmt::format("Cannot resolve column name \"{}\" among ({}).", ra.name, columnList(left->output)));
        }
      }
    }
    r = buildProjection(right, items);
  }
  if (left->output.size() != r->output.size()) {
    throw AnalysisException(fmt::format(
        "[NUM_COLUMNS_MISMATCH] {} can only be performed on inputs with the same number of columns, but the first "
        "input has {} columns and the second input has {} columns.",
        opName, left->output.size(), r->output.size()));
  }
  std::vector<DataType> types;
  bool castLeft = false, castRight = false;
  for (std::size_t i = 0; i < left->output.size(); ++i) {
    const DataType& lt = left->output[i].type;
    const DataType& rt = r->output[i].type;
    auto w = lt == rt ? std::optional<DataType>(lt) : findWiderType(lt, rt);
    if (!w) {
      throw AnalysisException(fmt::format(
          "[INCOMPATIBLE_COLUMN_TYPE] {} can only be performed on inputs with compatible column types. The {} column "
          "of the second table is \"{}\" type which is not compatible with \"{}\" at the same column of the first "
          "table.",
          opName, ordinalWord(i), rt.sql(), lt.sql()));
    }
    types.push_back(*w);
    castLeft = castLeft || lt != *w;
    castRight = castRight || rt != *w;
  }
  auto castSide = [&](const NodePtr& side) -> NodePtr {
    auto c = pipeline(side);
    std::vector<BoundExprPtr> exprs;
    for (std::size_t i = 0; i < side->output.size(); ++i) {
      const Attr& a = side->output[i];
      exprs.push_back(castTo(boundColumn(i, a.type, a.nullable), types[i]));
      Attr o = a;
      if (o.type != types[i]) {
        o.type = types[i];
        o.exprId = newExprId();
      }
      c->output.push_back(o);
    }
    c->stepList.push_back(Step{std::move(exprs), nullptr});
    return c;
  };
  NodePtr l = castLeft ? castSide(left) : left;
  if (castRight) r = castSide(r);
  auto n = std::make_shared<SetOpNode>();
  n->children = {l, r};
  n->opType = p.opType;
  n->isAll = p.isAll;
  n->output = l->output;
  for (std::size_t i = 0; i < n->output.size(); ++i) {
    if (p.opType == SetOpType::Union) n->output[i].nullable = n->output[i].nullable || r->output[i].nullable;
    n->output[i].qualifier.clear();
  }
  return n;
}

NodePtr Planner::analyzeSort(const SortPlan& p, const NodePtr& child) {
  Scope scope = Scope::of(child);
  std::vector<SortKey> keys;
  auto bindKeys = [&](const Scope& s) {
    keys.clear();
    Binder binder(s);
    for (const auto& o : p.order) {
      SortKey k;
      const Expr& inner = o->kind == ExprKind::SortOrder ? *o->children.at(0) : *o;
      if (containsAggregate(inner) || containsWindow(inner)) {
        throw AnalysisException(fmt::format(
            "[UNSUPPORTED_EXPR_FOR_OPERATOR] Sort order \"{}\" must not contain aggregate or window functions.",
            inner.toString()));
      }
      k.expr = binder.bind(inner);
      if (o->kind == ExprKind::SortOrder) {
        k.ascending = o->ascending;
        k.nullsFirst = o->nullsFirst;
      }
      keys.push_back(k);
    }
  };
  const auto* proj = dynamic_cast<const PipelineNode*>(child.get());
  try {
    bindKeys(scope);
  } catch (const AnalysisException& e) {
    // Spark sorts by columns that a projection just dropped: resolve them below a plain projection and carry
    // them through it for the sort only.
    bool retry = std::string(e.what()).rfind("[UNRESOLVED_COLUMN", 0) == 0 && proj && child->kind == PlanKind::Project &&
                 proj->stepList.size() == 1 && !proj->stepList[0].filter;
    if (!retry) throw;
    const NodePtr& below = child->children[0];
    auto extended = pipeline(below);
    extended->output = child->output;
    std::vector<BoundExprPtr> exprs = proj->stepList[0].project;
    std::unordered_set<std::int64_t> present;
    for (const auto& o : child->output) present.insert(o.exprId);
    for (std::size_t i = 0; i < below->output.size(); ++i) {
      const Attr& a = below->output[i];
      if (present.count(a.exprId)) continue;
      exprs.push_back(boundColumn(i, a.type, a.nullable));
      extended->output.push_back(a);
    }
    extended->stepList.push_back(Step{std::move(exprs), nullptr});
    extended->kind = PlanKind::Project;
    extended->planId = child->planId;
    Scope wide(extended->output);
    wide.roots.push_back(ScopeRoot{below.get(), 0, extended->output.size(), nullptr});
    bindKeys(wide);
    auto sorted = std::make_shared<SortNode>();
    sorted->children = {extended};
    sorted->output = extended->output;
    sorted->keys = keys;
    sorted->global = p.global;
    sorted->kind = PlanKind::Sort;
    auto back = pipeline(sorted);
    std::vector<BoundExprPtr> keep;
    for (std::size_t i = 0; i < child->output.size(); ++i) {
      keep.push_back(boundColumn(i, child->output[i].type, child->output[i].nullable));
    }
    back->stepList.push_back(Step{std::move(keep), nullptr});
    back->output = child->output;
    return back;
  }
  auto n = std::make_shared<SortNode>();
  n->children = {child};
  n->output = child->output;
  n->keys = std::move(keys);
  n->global = p.global;
  return n;
}

NodePtr Planner::analyzeWithColumns(const WithColumnsPlan& p, const NodePtr& child) {
  if (p.names.size() != p.exprs.size()) throw AnalysisException("withColumns: names and columns differ in number");
  std::vector<Item> items;
  for (std::size_t i = 0; i < child->output.size(); ++i) {
    items.push_back(Item{nullptr, child->output[i].name, static_cast<int>(i)});
  }
  for (std::size_t k = 0; k < p.names.size(); ++k) {
    for (std::size_t j = 0; j < k; ++j) {
      if (equalsIgnoreCase(p.names[j], p.names[k])) {
        throw AnalysisException(fmt::format(
            "[COLUMN_ALREADY_EXISTS] The column {} already exists. Choose another name or rename the existing column.",
            quoteId(toLower(p.names[k]))));
      }
    }
    ExprPtr e = p.exprs[k]->kind == ExprKind::Alias ? p.exprs[k]->children.at(0) : p.exprs[k];
    bool replaced = false;
    for (auto& it : items) {
      if (it.passIndex >= 0 && equalsIgnoreCase(it.name, p.names[k])) {
        it = Item{Expr::alias(e, p.names[k]), p.names[k], -1};
        replaced = true;
      }
    }
    if (!replaced) items.push_back(Item{Expr::alias(e, p.names[k]), p.names[k], -1});
  }
  return buildProjection(child, items);
}

NodePtr Planner::analyzeDrop(const DropPlan& p, const NodePtr& child) {
  std::vector<bool> dropped(child->output.size(), false);
  for (const auto& name : p.names) {
    for (std::size_t i : matchingNames(child->output, name)) dropped[i] = true;
  }
  if (!p.columns.empty()) {
    Scope scope = Scope::of(child);
    for (const auto& c : p.columns) {
      if (c->kind != ExprKind::Attribute) continue;  // dropping an expression that is not a column changes nothing
      try {
        dropped[resolveAttribute(*c, scope)] = true;
      } catch (const AnalysisException& e) {
        if (std::string(e.what()).rfind("[UNRESOLVED_COLUMN", 0) != 0) throw;
      }
    }
  }
  auto n = pipeline(child);
  std::vector<BoundExprPtr> keep;
  for (std::size_t i = 0; i < child->output.size(); ++i) {
    if (dropped[i]) continue;
    const Attr& a = child->output[i];
    keep.push_back(boundColumn(i, a.type, a.nullable));
    n->output.push_back(a);
  }
  n->stepList.push_back(Step{std::move(keep), nullptr});
  return n;
}

}  // namespace engine::local
