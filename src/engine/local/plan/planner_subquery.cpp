// Subqueries in WHERE/HAVING conditions and select lists, rewritten into joins the way Spark's optimizer
// rewrites them:
//   EXISTS / NOT EXISTS         -> left semi / left anti join on the correlated conditions
//   x IN (SELECT c ...)         -> left semi join on x = c (and the correlated conditions)
//   x NOT IN (SELECT c ...)     -> null-aware anti join: a row stays only when no subquery row is equal to x
//                                  or unknown (null); an empty subquery keeps every row
//   scalar subquery             -> cross join with its single row (an error when it returns more than one);
//                                  correlated: left join with the subquery aggregated by its correlated keys
// A correlated condition is a conjunct of the subquery's WHERE clause that names a column of the outer query.
#include <atomic>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/plan/planner.h"
#include "engine/local/plan/planner_bind.h"

namespace engine::local {

namespace {

std::atomic<std::int64_t> gSubqueryCounter{0};

bool isFn(const Expr& e, const char* name) {
  return e.kind == ExprKind::Function && toLower(e.name) == name;
}

std::vector<ExprPtr> conjuncts(const ExprPtr& e) {
  if (isFn(*e, "and") && e->children.size() == 2) {
    auto l = conjuncts(e->children[0]);
    auto r = conjuncts(e->children[1]);
    l.insert(l.end(), r.begin(), r.end());
    return l;
  }
  return {e};
}

ExprPtr andOf(const std::vector<ExprPtr>& parts) {
  if (parts.empty()) return nullptr;
  ExprPtr acc = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i) acc = Expr::function("and", {acc, parts[i]});
  return acc;
}

ExprPtr col(const std::string& name) { return Expr::attributeParts({name}); }
ExprPtr stripAlias(const ExprPtr& e) { return e->kind == ExprKind::Alias ? e->children.at(0) : e; }
ExprPtr lit(const Value& v, const DataType& t) { return Expr::literalOf(v, t); }

// True when every column `e` names resolves in `scope` (subqueries nested in `e` are not looked into).
bool resolvesIn(const Expr& e, const Scope& scope) {
  if (e.kind == ExprKind::Attribute) {
    try {
      resolveAttribute(e, scope);
      return true;
    } catch (const AnalysisException&) {
      return false;
    }
  }
  if (e.kind == ExprKind::Subquery) return true;
  for (const auto& c : e.children) {
    if (c && !resolvesIn(*c, scope)) return false;
  }
  return true;
}

PlanPtr project(std::vector<ExprPtr> exprs, PlanPtr input) {
  auto p = std::make_shared<ProjectPlan>();
  p->exprs = std::move(exprs);
  p->inputs = {std::move(input)};
  return p;
}

PlanPtr filter(ExprPtr cond, PlanPtr input) {
  auto p = std::make_shared<FilterPlan>();
  p->condition = std::move(cond);
  p->inputs = {std::move(input)};
  return p;
}

PlanPtr join(JoinType type, PlanPtr left, PlanPtr right, ExprPtr cond) {
  auto p = std::make_shared<JoinPlan>();
  p->joinType = type;
  p->condition = std::move(cond);
  p->inputs = {std::move(left), std::move(right)};
  return p;
}

PlanPtr aggregate(std::vector<ExprPtr> groupings, std::vector<ExprPtr> aggs, PlanPtr input) {
  auto p = std::make_shared<AggregatePlan>();
  p->groupings = std::move(groupings);
  p->aggregates = std::move(aggs);
  p->inputs = {std::move(input)};
  return p;
}

PlanPtr aliased(PlanPtr input, const std::string& alias) {
  auto p = std::make_shared<SubqueryAliasPlan>();
  p->alias = alias;
  p->inputs = {std::move(input)};
  return p;
}

ExprPtr countAll() { return Expr::function("count", {lit(Value(std::int32_t{1}), IntegerType())}); }

const char* kindText(const Expr& sq) {
  return sq.name == "scalar" ? "scalar subquery" : sq.name == "exists" ? "EXISTS subquery" : "IN subquery";
}

}  // namespace

bool containsSubquery(const Expr& e) {
  if (e.kind == ExprKind::Subquery) return true;
  for (const auto& c : e.children) {
    if (c && containsSubquery(*c)) return true;
  }
  return false;
}

// The pieces of a subquery with correlated conditions: `top` its Project/Aggregate, `below` what that reads
// once the correlated conjuncts are taken out of its WHERE clause.
struct Planner::Decorrelated {
  const Plan* top = nullptr;
  PlanPtr below;
  std::vector<ExprPtr> correlated;
};

Planner::Decorrelated Planner::decorrelate(const PlanPtr& sub) {
  Decorrelated d;
  const Plan& top = *sub;
  if ((top.kind != PlanKind::Project && top.kind != PlanKind::Aggregate) || top.inputs.size() != 1 ||
      top.inputs[0]->kind != PlanKind::Filter) {
    return d;
  }
  const auto& f = static_cast<const FilterPlan&>(*top.inputs[0]);
  const PlanPtr& from = f.inputs.at(0);
  Scope inner = Scope::of(resolveChild_(from));
  std::vector<ExprPtr> keep;
  for (const auto& c : conjuncts(f.condition)) {
    (resolvesIn(*c, inner) ? keep : d.correlated).push_back(c);
  }
  if (d.correlated.empty()) return d;
  d.top = &top;
  d.below = keep.empty() ? from : filter(andOf(keep), from);
  return d;
}

// The single column of an uncorrelated subquery, as `alias`.`name` over the subquery aliased as `alias`.
ExprPtr Planner::singleColumn(const PlanPtr& sub, const Expr& sq, const std::string& alias) {
  NodePtr node = resolveChild_(sub);
  if (node->output.size() != 1) {
    if (sq.name == "in") {
      throw AnalysisException(fmt::format(
          "[DATATYPE_MISMATCH.INVALID_IN_SUBQUERY_NUMBER_OF_COLUMNS] Cannot resolve \"{}\" due to data type mismatch: "
          "The number of columns in the left hand side of an IN subquery does not match the number of columns in the "
          "output of subquery. Left hand side columns(length: {}), right hand side columns(length: {}).",
          sq.toString(), sq.children.size(), node->output.size()));
    }
    throw AnalysisException(fmt::format(
        "[INVALID_SUBQUERY_EXPRESSION.SCALAR_SUBQUERY_RETURN_MORE_THAN_ONE_OUTPUT_COLUMN] Invalid subquery: Scalar "
        "subquery must return only one column, but got {}.",
        node->output.size()));
  }
  return Expr::attributeParts({alias, node->output[0].name});
}

// EXISTS / IN as one conjunct of a filter over `outer`, negated for NOT EXISTS / NOT IN. Adds the names of
// helper columns to drop afterwards to `hidden`.
PlanPtr Planner::semiOrAntiJoin(PlanPtr outer, const Expr& sq, bool negated, std::vector<std::string>& hidden) {
  const std::string base = fmt::format("__sq{}", gSubqueryCounter.fetch_add(1));
  Decorrelated d = decorrelate(sq.subquery);
  const JoinType type = negated ? JoinType::LeftAnti : JoinType::LeftSemi;
  if (sq.name == "exists") {
    if (d.correlated.empty()) return join(type, std::move(outer), sq.subquery, nullptr);
    if (d.top->kind == PlanKind::Aggregate) {
      throw AnalysisException(fmt::format(
          "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: a correlated EXISTS over an "
          "aggregate is not supported (\"{}\").",
          sq.toString()));
    }
    return join(type, std::move(outer), d.below, andOf(d.correlated));
  }
  // IN: the value on the left becomes a column of the outer side, the subquery's column one of the inner side.
  if (sq.children.size() != 1) {
    throw AnalysisException("[UNSUPPORTED_FEATURE] IN (subquery) with more than one value on its left side");
  }
  const std::string o = base + "_o", v = base + "_v";
  PlanPtr left = project({Expr::star(), Expr::alias(sq.children[0], o)}, std::move(outer));
  hidden.push_back(o);
  ExprPtr eq = Expr::function("==", {col(o), col(v)});
  if (!d.correlated.empty()) {
    const auto& top = *d.top;
    const auto* items = top.kind == PlanKind::Project ? &static_cast<const ProjectPlan&>(top).exprs : nullptr;
    if (!items || items->size() != 1 || (*items)[0]->kind == ExprKind::Star) {
      throw AnalysisException(fmt::format(
          "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: a correlated IN subquery must "
          "select one column without aggregating (\"{}\").",
          sq.toString()));
    }
    PlanPtr right = project({Expr::star(), Expr::alias(stripAlias((*items)[0]), v)}, d.below);
    ExprPtr match = negated ? Expr::function("or", {eq, Expr::function("isnull", {eq})}) : eq;
    std::vector<ExprPtr> cond{match};
    cond.insert(cond.end(), d.correlated.begin(), d.correlated.end());
    return join(type, std::move(left), std::move(right), andOf(cond));
  }
  PlanPtr right = project({Expr::alias(singleColumn(sq.subquery, sq, base), v)}, aliased(sq.subquery, base));
  if (!negated) return join(JoinType::LeftSemi, std::move(left), std::move(right), eq);
  // NOT IN: drop the rows equal to a subquery value (a hash anti join), then the rows whose comparison is
  // unknown: a null value, or any null in the subquery, unless the subquery is empty.
  const std::string n = base + "_n", nn = base + "_nn";
  PlanPtr counts = aggregate({}, {Expr::alias(countAll(), n), Expr::alias(Expr::function("count", {col(v)}), nn)}, right);
  PlanPtr anti = join(JoinType::LeftAnti, std::move(left), right, eq);
  PlanPtr withCounts = join(JoinType::Cross, std::move(anti), std::move(counts), nullptr);
  hidden.push_back(n);
  hidden.push_back(nn);
  ExprPtr zero = lit(Value(std::int64_t{0}), LongType());
  ExprPtr keep = Expr::function(
      "or", {Expr::function("==", {col(n), zero}),
             Expr::function("and", {Expr::function("isnotnull", {col(o)}), Expr::function("==", {col(nn), col(n)})})});
  return filter(keep, std::move(withCounts));
}

// Joins the value of scalar subquery `sq` to `outer` as a new column; returns the expression that replaces
// the subquery (that column, or a count's 0 for outer rows no subquery row matches).
ExprPtr Planner::attachScalar(PlanPtr& outer, const Expr& sq, std::vector<std::string>& hidden) {
  const std::string base = fmt::format("__sq{}", gSubqueryCounter.fetch_add(1));
  const std::string n = base + "_n", v = base + "_v";
  auto checked = [&](ExprPtr count, ExprPtr value) {
    return Expr::alias(Expr::function("__scalar_subquery_value", {std::move(count), std::move(value)}), base);
  };
  Decorrelated d = decorrelate(sq.subquery);
  hidden.push_back(base);
  if (d.correlated.empty()) {
    ExprPtr c = singleColumn(sq.subquery, sq, base);
    const Plan& top = *sq.subquery;
    PlanPtr value;
    bool oneRow = top.kind == PlanKind::Aggregate && static_cast<const AggregatePlan&>(top).groupings.empty();
    if (top.kind == PlanKind::Project && top.inputs.size() == 1 && top.inputs[0]->kind == PlanKind::Aggregate) {
      oneRow = static_cast<const AggregatePlan&>(*top.inputs[0]).groupings.empty();
    }
    if (oneRow) {  // an aggregate without GROUP BY: always one row
      value = project({Expr::alias(c, base)}, aliased(sq.subquery, base));
    } else {
      PlanPtr counted = aggregate({}, {Expr::alias(countAll(), n), Expr::alias(Expr::function("first", {c}), v)},
                                  aliased(sq.subquery, base));
      value = project({checked(col(n), col(v))}, std::move(counted));
    }
    outer = join(JoinType::Cross, std::move(outer), std::move(value), nullptr);
    return col(base);
  }
  // Correlated: every correlated conjunct must equate an inner expression with an outer one; the inner sides
  // become the grouping keys of the subquery, joined to the outer sides.
  const Plan& top = *d.top;
  NodePtr belowNode = resolveChild_(d.below);
  Scope inner = Scope::of(belowNode);
  std::vector<ExprPtr> innerKeys, outerKeys;
  for (const auto& c : d.correlated) {
    if (isFn(*c, "==") && c->children.size() == 2) {
      bool r0 = resolvesIn(*c->children[0], inner), r1 = resolvesIn(*c->children[1], inner);
      if (r0 != r1) {
        innerKeys.push_back(r0 ? c->children[0] : c->children[1]);
        outerKeys.push_back(r0 ? c->children[1] : c->children[0]);
        continue;
      }
    }
    throw AnalysisException(fmt::format(
        "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY.CORRELATED_COLUMN_IS_NOT_ALLOWED_IN_PREDICATE] Unsupported "
        "subquery expression: a correlated scalar subquery may only equate its columns with outer columns, but has "
        "\"{}\".",
        c->toString()));
  }
  std::vector<ExprPtr> keyOut, cond;
  for (std::size_t i = 0; i < innerKeys.size(); ++i) {
    std::string k = fmt::format("{}_k{}", base, i);
    keyOut.push_back(Expr::alias(innerKeys[i], k));
    cond.push_back(Expr::function("==", {outerKeys[i], col(k)}));
    hidden.push_back(k);
  }
  ExprPtr item;
  bool aggregated = false;
  if (top.kind == PlanKind::Aggregate) {
    const auto& a = static_cast<const AggregatePlan&>(top);
    if (a.groupings.empty() && a.aggregates.size() == 1) item = stripAlias(a.aggregates[0]);
    aggregated = true;
  } else {
    const auto& p = static_cast<const ProjectPlan&>(top);
    if (p.exprs.size() == 1 && p.exprs[0]->kind != ExprKind::Star) item = stripAlias(p.exprs[0]);
    aggregated = item && containsAggregate(*item);
  }
  if (!item) {
    throw AnalysisException(fmt::format(
        "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: a correlated scalar subquery "
        "must select one value without GROUP BY (\"{}\").",
        sq.toString()));
  }
  PlanPtr value;
  if (aggregated) {
    std::vector<ExprPtr> outs = keyOut;
    outs.push_back(Expr::alias(item, base));
    value = aggregate(innerKeys, std::move(outs), d.below);
  } else {
    std::vector<ExprPtr> outs = keyOut;
    outs.push_back(Expr::alias(countAll(), n));
    outs.push_back(Expr::alias(Expr::function("first", {item}), v));
    std::vector<ExprPtr> finals;
    for (std::size_t i = 0; i < innerKeys.size(); ++i) finals.push_back(col(fmt::format("{}_k{}", base, i)));
    finals.push_back(checked(col(n), col(v)));
    value = project(std::move(finals), aggregate(innerKeys, std::move(outs), d.below));
  }
  outer = join(JoinType::LeftOuter, std::move(outer), std::move(value), andOf(cond));
  // An outer row no group matches sees the subquery over no rows: count gives 0 there, not null.
  if (aggregated && item->kind == ExprKind::Function && toLower(item->name) == "count") {
    return Expr::function("coalesce", {col(base), lit(Value(std::int64_t{0}), LongType())});
  }
  return col(base);
}

// EXISTS / IN as a value (under OR, in a select list): joins what decides it to `outer` and returns whether a
// subquery row matches, never null, as Spark's existence join does. A plain IN matches on equality (a null
// value matches nothing); under NOT (`nullAware`) a row whose comparison is unknown counts as a match too, so
// NOT IN keeps a row only when every comparison is false. Only uncorrelated subqueries take this form.
ExprPtr Planner::attachPredicate(PlanPtr& outer, const Expr& sq, bool nullAware, std::vector<std::string>& hidden) {
  if (!decorrelate(sq.subquery).correlated.empty()) {
    throw AnalysisException(fmt::format(
        "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: a correlated {} is only "
        "supported as a condition of WHERE or HAVING, alone or joined with AND (\"{}\").",
        kindText(sq), sq.toString()));
  }
  const std::string base = fmt::format("__sq{}", gSubqueryCounter.fetch_add(1));
  const std::string n = base + "_n";
  ExprPtr zero = lit(Value(std::int64_t{0}), LongType());
  if (sq.name == "exists") {
    PlanPtr count = aggregate({}, {Expr::alias(countAll(), n)}, sq.subquery);
    outer = join(JoinType::Cross, std::move(outer), std::move(count), nullptr);
    hidden.push_back(n);
    return Expr::function(">", {col(n), zero});
  }
  if (sq.children.size() != 1 || containsSubquery(*sq.children[0])) {
    throw AnalysisException(fmt::format(
        "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: IN (subquery) takes one plain "
        "value on its left side (\"{}\").",
        sq.toString()));
  }
  const std::string o = base + "_o", v = base + "_v", nn = base + "_nn", m = base + "_m";
  PlanPtr values = project({Expr::alias(singleColumn(sq.subquery, sq, base), v)}, aliased(sq.subquery, base));
  PlanPtr counts = aggregate({}, {Expr::alias(countAll(), n), Expr::alias(Expr::function("count", {col(v)}), nn)}, values);
  // The distinct non-null values with a marker column: a left join adds at most one match per outer row.
  auto distinct = std::make_shared<DeduplicatePlan>();
  distinct->inputs = {filter(Expr::function("isnotnull", {col(v)}), values)};
  PlanPtr marked = project({col(v), Expr::alias(lit(Value(true), BooleanType()), m)}, distinct);
  PlanPtr left = project({Expr::star(), Expr::alias(sq.children[0], o)}, std::move(outer));
  PlanPtr joined = join(JoinType::LeftOuter, std::move(left), std::move(marked), Expr::function("==", {col(o), col(v)}));
  outer = join(JoinType::Cross, std::move(joined), std::move(counts), nullptr);
  for (const auto& h : {o, v, m, n, nn}) hidden.push_back(h);
  ExprPtr matched = Expr::function("isnotnull", {col(m)});
  if (!nullAware) return matched;
  ExprPtr unknown = Expr::function("or", {Expr::function("isnull", {col(o)}), Expr::function("<", {col(nn), col(n)})});
  return Expr::function("or", {matched, Expr::function("and", {Expr::function(">", {col(n), zero}), unknown})});
}

ExprPtr Planner::replaceScalars(const ExprPtr& e, PlanPtr& outer, std::vector<std::string>& hidden) {
  if (e->kind == ExprKind::Subquery) {
    if (e->name != "scalar") return attachPredicate(outer, *e, false, hidden);
    return attachScalar(outer, *e, hidden);
  }
  if (isFn(*e, "not") && e->children.size() == 1 && e->children[0]->kind == ExprKind::Subquery &&
      e->children[0]->name == "in") {
    return Expr::function("not", {attachPredicate(outer, *e->children[0], true, hidden)});
  }
  if (e->kind == ExprKind::Window || !containsSubquery(*e)) return e;
  auto copy = std::make_shared<Expr>(*e);
  for (auto& c : copy->children) {
    if (c) c = replaceScalars(c, outer, hidden);
  }
  return copy;
}

NodePtr Planner::analyzeWithSubqueries(const PlanPtr& plan) {
  std::vector<std::string> hidden;
  PlanPtr cur = plan->inputs.at(0);
  PlanPtr rewritten;
  if (plan->kind == PlanKind::Filter) {
    const auto& p = static_cast<const FilterPlan&>(*plan);
    std::vector<ExprPtr> plain, later;
    std::vector<std::pair<const Expr*, bool>> predicates;  // EXISTS / IN conjuncts, negated or not
    for (const auto& c : conjuncts(p.condition)) {
      const Expr* e = c.get();
      bool negated = false;
      if (isFn(*e, "not") && e->children.size() == 1 && e->children[0]->kind == ExprKind::Subquery) {
        e = e->children[0].get();
        negated = true;
      }
      if (e->kind == ExprKind::Subquery && e->name != "scalar") {
        predicates.emplace_back(e, negated);
      } else {
        (containsSubquery(*c) ? later : plain).push_back(c);
      }
    }
    if (!plain.empty()) cur = filter(andOf(plain), cur);
    for (const auto& [e, negated] : predicates) {
      for (const auto& v : e->children) {
        if (containsSubquery(*v)) {
          throw AnalysisException("[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: a "
                                  "subquery on the left side of IN (subquery)");
        }
      }
      cur = semiOrAntiJoin(cur, *e, negated, hidden);
    }
    if (!later.empty()) {
      std::vector<ExprPtr> conds;
      for (const auto& c : later) conds.push_back(replaceScalars(c, cur, hidden));
      cur = filter(andOf(conds), cur);
    }
    if (hidden.empty()) {
      rewritten = cur;
    } else {
      auto drop = std::make_shared<DropPlan>();
      drop->names = hidden;
      drop->inputs = {cur};
      rewritten = drop;
    }
  } else {  // a select list without aggregates
    const auto& p = static_cast<const ProjectPlan&>(*plan);
    std::vector<ExprPtr> items;
    for (const auto& e : p.exprs) {
      if (e->kind == ExprKind::Star && e->nameParts.empty()) {
        throw AnalysisException(
            "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: a scalar subquery in a "
            "select list that also selects * (name the columns, or qualify the star as t.*)");
      }
      if (!containsSubquery(*e)) {
        items.push_back(e);
        continue;
      }
      ExprPtr r = replaceScalars(e, cur, hidden);
      items.push_back(e->kind == ExprKind::Alias ? r : Expr::alias(r, outputName(*e)));
    }
    rewritten = project(std::move(items), cur);
  }
  return resolveChild_(rewritten);
}

}  // namespace engine::local
