#include "engine/sql/query_builder.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>

#include "engine/errors.h"

namespace engine::sql {

namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

ExprPtr stripAlias(const ExprPtr& e) { return e->kind == ExprKind::Alias ? e->children[0] : e; }

ExprPtr columnRef(const std::string& name) { return Expr::attributeParts({name}); }

ExprPtr withChildren(const ExprPtr& e, std::vector<ExprPtr> children) {
  auto copy = std::make_shared<Expr>(*e);
  copy->children = std::move(children);
  return copy;
}

// Applies f to every child (and window partition/order expressions), rebuilding only what changed.
template <class F>
ExprPtr mapChildren(const ExprPtr& e, F&& f) {
  bool changed = false;
  std::vector<ExprPtr> children;
  children.reserve(e->children.size());
  for (const auto& c : e->children) {
    children.push_back(f(c));
    changed |= children.back() != c;
  }
  std::shared_ptr<const WindowSpecData> window = e->window;
  if (e->kind == ExprKind::Window && e->window) {
    auto spec = std::make_shared<WindowSpecData>(*e->window);
    bool specChanged = false;
    for (auto& p : spec->partitionBy) {
      auto n = f(p);
      specChanged |= n != p;
      p = n;
    }
    for (auto& o : spec->orderBy) {
      auto n = f(o);
      specChanged |= n != o;
      o = n;
    }
    if (specChanged) {
      window = spec;
      changed = true;
    }
  }
  if (!changed) return e;
  auto copy = std::make_shared<Expr>(*e);
  copy->children = std::move(children);
  copy->window = window;
  return copy;
}

// An integer literal in ORDER BY / GROUP BY position: Spark reads it as a select-list position.
std::optional<std::int64_t> ordinalOf(const ExprPtr& e) {
  if (e->kind != ExprKind::Literal || e->literalType.id() != TypeId::Integer || e->literal.isNull())
    return std::nullopt;
  return e->literal.toInt64();
}

const ExprPtr& itemAtOrdinal(const std::vector<ExprPtr>& items, std::int64_t pos, const char* clause,
                             const char* errorClass) {
  if (pos < 1 || pos > static_cast<std::int64_t>(items.size())) {
    throw AnalysisException(std::string("[") + errorClass + "] " + clause + " position " + std::to_string(pos) +
                            " is not in select list (valid range is [1, " + std::to_string(items.size()) +
                            "]). SQLSTATE: 42805");
  }
  const ExprPtr& item = items[static_cast<std::size_t>(pos - 1)];
  if (item->kind == ExprKind::Star) {
    throw AnalysisException(std::string(clause) + " position " + std::to_string(pos) +
                            " refers to a * item; name the column instead.");
  }
  return item;
}

bool attributeReferences(const ExprPtr& e, const std::string& name) {
  if (e->kind == ExprKind::Attribute) return !e->nameParts.empty() && equalsIgnoreCase(e->nameParts.back(), name);
  for (const auto& c : e->children) {
    if (attributeReferences(c, name)) return true;
  }
  if (e->kind == ExprKind::Window && e->window) {
    for (const auto& p : e->window->partitionBy)
      if (attributeReferences(p, name)) return true;
    for (const auto& o : e->window->orderBy)
      if (attributeReferences(o, name)) return true;
  }
  return false;
}

// The select item an unqualified name refers to through its alias, or null.
const Expr* aliasedItem(const std::vector<ExprPtr>& items, const ExprPtr& e) {
  if (e->kind != ExprKind::Attribute || e->nameParts.size() != 1) return nullptr;
  for (const auto& item : items) {
    if (item->kind == ExprKind::Alias && equalsIgnoreCase(item->name, e->nameParts[0])) return item.get();
  }
  return nullptr;
}

// Rewrites an expression that sits above a projection or aggregate so that it refers to the select
// list's output columns. With `hidden` set, aggregates and grouping expressions missing from the select
// list are added there as extra aliased items (Spark's ResolveAggregateFunctions).
class OutputRewriter {
 public:
  OutputRewriter(const std::vector<ExprPtr>& items, const std::vector<ExprPtr>* groupings, std::vector<ExprPtr>* hidden)
      : items_(items), groupings_(groupings), hidden_(hidden) {}

  ExprPtr rewrite(const ExprPtr& e) {
    for (const auto& item : items_) {
      if (item->kind == ExprKind::Star) continue;
      if (sameExpr(e, stripAlias(item))) return columnRef(*outputName(item));
    }
    if (const Expr* item = aliasedItem(items_, e)) return columnRef(item->name);
    if (hidden_) {
      if (e->kind == ExprKind::Function && isAggregateFunctionName(e->name)) return hide(e);
      if (groupings_) {
        for (const auto& g : *groupings_) {
          if (sameExpr(e, g)) return hide(e);
        }
      }
    }
    if (e->kind == ExprKind::Attribute || e->kind == ExprKind::Literal) return e;
    return mapChildren(e, [this](const ExprPtr& c) { return rewrite(c); });
  }

 private:
  ExprPtr hide(const ExprPtr& e) {
    for (const auto& h : *hidden_) {
      if (sameExpr(h->children[0], e)) return columnRef(h->name);
    }
    std::string name = "__hidden_" + std::to_string(hidden_->size());
    hidden_->push_back(Expr::alias(e, name));
    return columnRef(name);
  }

  const std::vector<ExprPtr>& items_;
  const std::vector<ExprPtr>* groupings_;
  std::vector<ExprPtr>* hidden_;
};

ExprPtr rewriteSortOrder(const ExprPtr& order, const std::function<ExprPtr(const ExprPtr&)>& f) {
  const ExprPtr& child = order->kind == ExprKind::SortOrder ? order->children[0] : order;
  ExprPtr n = f(child);
  if (order->kind != ExprKind::SortOrder) return Expr::sortOrder(n, true, true);
  return n == child ? order : withChildren(order, {n});
}

// Replaces select-list aliases by the expressions they name, so that a sort can run below the projection.
ExprPtr substituteAliases(const ExprPtr& e, const std::vector<ExprPtr>& items) {
  if (const Expr* item = aliasedItem(items, e)) return item->children[0];
  if (e->kind == ExprKind::Attribute || e->kind == ExprKind::Literal) return e;
  return mapChildren(e, [&](const ExprPtr& c) { return substituteAliases(c, items); });
}

template <class P>
std::shared_ptr<P> node(PlanPtr input) {
  auto p = std::make_shared<P>();
  p->inputs.push_back(std::move(input));
  return p;
}

PlanPtr project(PlanPtr input, std::vector<ExprPtr> exprs) {
  auto p = node<ProjectPlan>(std::move(input));
  p->exprs = std::move(exprs);
  return p;
}

PlanPtr sort(PlanPtr input, std::vector<ExprPtr> order) {
  auto p = node<SortPlan>(std::move(input));
  p->order = std::move(order);
  return p;
}

PlanPtr applyLimit(PlanPtr plan, std::optional<std::int64_t> limit) {
  if (!limit) return plan;
  auto p = node<LimitPlan>(std::move(plan));
  p->limit = *limit;
  return p;
}

std::vector<ExprPtr> visibleColumns(const std::vector<ExprPtr>& items) {
  std::vector<ExprPtr> out;
  for (const auto& item : items) {
    auto name = outputName(item);
    if (!name) {
      throw AnalysisException(
          "SELECT * cannot be combined with HAVING or ORDER BY expressions that are not in the select list of an "
          "aggregate query; list the columns instead.");
    }
    out.push_back(columnRef(*name));
  }
  return out;
}

PlanPtr buildAggregate(const SelectSpec& spec, PlanPtr input, const std::vector<ExprPtr>& orderBy,
                       std::optional<std::int64_t> limit) {
  const auto& items = spec.items;
  std::vector<ExprPtr> groupings;
  if (spec.groupByAll) {
    for (const auto& item : items) {
      if (item->kind == ExprKind::Star) throw AnalysisException("GROUP BY ALL cannot be combined with SELECT *.");
      if (!containsAggregate(item)) groupings.push_back(stripAlias(item));
    }
  }
  for (const auto& g : spec.groupBy) {
    if (auto pos = ordinalOf(g)) {
      const ExprPtr& item = itemAtOrdinal(items, *pos, "GROUP BY", "GROUP_BY_POS_OUT_OF_RANGE");
      if (containsAggregate(item)) {
        throw AnalysisException("[GROUP_BY_POS_AGGREGATE] GROUP BY " + std::to_string(*pos) +
                                " refers to an expression that contains an aggregate function. Aggregate functions "
                                "are not allowed in GROUP BY. SQLSTATE: 42903");
      }
      groupings.push_back(stripAlias(item));
      continue;
    }
    // GROUP BY alias (spark.sql.groupByAliases). An input column of the same name wins in Spark; the
    // select list referring to that name is the sign that such a column exists.
    const Expr* aliased = aliasedItem(items, g);
    if (aliased && !containsAggregate(aliased->children[0])) {
      bool referenced = std::any_of(items.begin(), items.end(), [&](const ExprPtr& item) {
        return attributeReferences(stripAlias(item), aliased->name);
      });
      if (!referenced) {
        groupings.push_back(aliased->children[0]);
        continue;
      }
    }
    groupings.push_back(g);
  }

  auto agg = node<AggregatePlan>(std::move(input));
  agg->groupings = groupings;
  std::vector<ExprPtr> hidden;
  PlanPtr plan = agg;
  if (spec.having) {
    auto filter = node<FilterPlan>(plan);
    filter->condition = OutputRewriter(items, &groupings, &hidden).rewrite(spec.having);
    plan = filter;
  }
  auto sortOrders = [&](std::vector<ExprPtr>* hiddenOut) {
    std::vector<ExprPtr> order;
    OutputRewriter rw(items, &groupings, hiddenOut);
    for (const auto& o : orderBy) {
      order.push_back(rewriteSortOrder(o, [&](const ExprPtr& c) -> ExprPtr {
        if (auto pos = ordinalOf(c)) {
          return columnRef(*outputName(itemAtOrdinal(items, *pos, "ORDER BY", "ORDER_BY_POS_OUT_OF_RANGE")));
        }
        return rw.rewrite(c);
      }));
    }
    return order;
  };
  if (spec.distinct) {
    if (!hidden.empty()) plan = project(plan, visibleColumns(items));
    auto dedup = node<DeduplicatePlan>(plan);
    plan = dedup;
    // Sort keys of a DISTINCT query must come from the select list (Spark rejects anything else).
    if (!orderBy.empty()) plan = sort(plan, sortOrders(nullptr));
    agg->aggregates = items;
    agg->aggregates.insert(agg->aggregates.end(), hidden.begin(), hidden.end());
    return applyLimit(plan, limit);
  }
  if (!orderBy.empty()) plan = sort(plan, sortOrders(&hidden));
  agg->aggregates = items;
  agg->aggregates.insert(agg->aggregates.end(), hidden.begin(), hidden.end());
  if (!hidden.empty()) plan = project(plan, visibleColumns(items));
  return applyLimit(plan, limit);
}

}  // namespace

bool isAggregateFunctionName(std::string_view n) {
  static const char* const kNames[] = {"avg",
                                       "mean",
                                       "min",
                                       "max",
                                       "sum",
                                       "count",
                                       "stddev",
                                       "stddev_samp",
                                       "stddev_pop",
                                       "std",
                                       "variance",
                                       "var_samp",
                                       "var_pop",
                                       "first",
                                       "last",
                                       "first_value",
                                       "last_value",
                                       "collect_list",
                                       "collect_set",
                                       "percentile_approx",
                                       "approx_percentile",
                                       "count_if",
                                       "bool_and",
                                       "bool_or",
                                       "every",
                                       "some",
                                       "any",
                                       "any_value",
                                       "approx_count_distinct",
                                       "median",
                                       "percentile",
                                       "skewness",
                                       "kurtosis",
                                       "corr",
                                       "covar_pop",
                                       "covar_samp",
                                       "max_by",
                                       "min_by",
                                       "sum_distinct",
                                       "product",
                                       "mode",
                                       "array_agg"};
  return std::any_of(std::begin(kNames), std::end(kNames), [&](const char* k) { return n == k; });
}

bool containsAggregate(const ExprPtr& e) {
  if (e->kind == ExprKind::Window) {
    const ExprPtr& fn = e->children[0];
    for (const auto& c : fn->children)
      if (containsAggregate(c)) return true;
    if (e->window) {
      for (const auto& p : e->window->partitionBy)
        if (containsAggregate(p)) return true;
      for (const auto& o : e->window->orderBy)
        if (containsAggregate(o)) return true;
    }
    return false;
  }
  if (e->kind == ExprKind::Function && isAggregateFunctionName(e->name)) return true;
  return std::any_of(e->children.begin(), e->children.end(), [](const ExprPtr& c) { return containsAggregate(c); });
}

bool containsWindow(const ExprPtr& e) {
  if (e->kind == ExprKind::Window) return true;
  return std::any_of(e->children.begin(), e->children.end(), [](const ExprPtr& c) { return containsWindow(c); });
}

std::optional<std::string> outputName(const ExprPtr& item) {
  switch (item->kind) {
    case ExprKind::Alias:
      return item->name;
    case ExprKind::Attribute:
      return item->nameParts.empty() ? std::string() : item->nameParts.back();
    case ExprKind::Star:
      return std::nullopt;
    default:
      return item->toString();
  }
}

bool sameExpr(const ExprPtr& a, const ExprPtr& b) {
  if (a == b) return true;
  if (!a || !b || a->kind != b->kind) return false;
  switch (a->kind) {
    case ExprKind::Literal:
      return a->literal == b->literal && a->literalType == b->literalType;
    case ExprKind::Attribute: {
      if (a->planId != b->planId) return false;
      const auto& x = a->nameParts.size() <= b->nameParts.size() ? a->nameParts : b->nameParts;
      const auto& y = a->nameParts.size() <= b->nameParts.size() ? b->nameParts : a->nameParts;
      if (x.empty()) return y.empty();
      // t.a and a name the same column when a is unambiguous: compare the common suffix.
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!equalsIgnoreCase(x[x.size() - 1 - i], y[y.size() - 1 - i])) return false;
      }
      return true;
    }
    case ExprKind::Star:
      return a->nameParts == b->nameParts;
    case ExprKind::Udf:
      return false;
    case ExprKind::Subquery:
      if (a->subquery != b->subquery) return false;
      break;
    default:
      break;
  }
  if (a->name != b->name || a->children.size() != b->children.size() || a->isDistinct != b->isDistinct) return false;
  if (a->kind == ExprKind::Cast && a->castType != b->castType) return false;
  if (a->kind == ExprKind::SortOrder && (a->ascending != b->ascending || a->nullsFirst != b->nullsFirst)) return false;
  for (std::size_t i = 0; i < a->children.size(); ++i) {
    if (!sameExpr(a->children[i], b->children[i])) return false;
  }
  if (a->kind == ExprKind::Window) {
    const auto& x = *a->window;
    const auto& y = *b->window;
    if (x.hasFrame != y.hasFrame || x.frameType != y.frameType || x.lower != y.lower || x.upper != y.upper ||
        x.partitionBy.size() != y.partitionBy.size() || x.orderBy.size() != y.orderBy.size())
      return false;
    for (std::size_t i = 0; i < x.partitionBy.size(); ++i)
      if (!sameExpr(x.partitionBy[i], y.partitionBy[i])) return false;
    for (std::size_t i = 0; i < x.orderBy.size(); ++i)
      if (!sameExpr(x.orderBy[i], y.orderBy[i])) return false;
  }
  return true;
}

PlanPtr buildSelect(const SelectSpec& spec, const std::vector<ExprPtr>& orderBy, std::optional<std::int64_t> limit) {
  PlanPtr input = spec.from;
  if (!input) {
    // Spark's OneRowRelation.
    auto one = std::make_shared<RangePlan>();
    one->start = 0;
    one->end = 1;
    one->step = 1;
    one->numPartitions = 1;
    input = one;
  }
  if (spec.where) {
    auto filter = node<FilterPlan>(input);
    filter->condition = spec.where;
    input = filter;
  }
  const auto& items = spec.items;
  const bool aggregate = spec.hasGroupBy || spec.having ||
                         std::any_of(items.begin(), items.end(), [](const ExprPtr& e) { return containsAggregate(e); });
  if (aggregate) return buildAggregate(spec, input, orderBy, limit);

  auto toOutputs = [&](const ExprPtr& c) -> ExprPtr {
    if (auto pos = ordinalOf(c)) {
      return columnRef(*outputName(itemAtOrdinal(items, *pos, "ORDER BY", "ORDER_BY_POS_OUT_OF_RANGE")));
    }
    return OutputRewriter(items, nullptr, nullptr).rewrite(c);
  };
  const bool windowed = std::any_of(items.begin(), items.end(), [](const ExprPtr& e) { return containsWindow(e); });
  PlanPtr plan;
  if (spec.distinct || windowed || orderBy.empty()) {
    plan = project(input, items);
    if (spec.distinct) plan = node<DeduplicatePlan>(plan);
    if (!orderBy.empty()) {
      std::vector<ExprPtr> order;
      for (const auto& o : orderBy) order.push_back(rewriteSortOrder(o, toOutputs));
      plan = sort(plan, std::move(order));
    }
  } else {
    // Sorting below the projection lets ORDER BY use input columns that are not selected (as Spark
    // does by adding them to the projection and dropping them after the sort).
    std::vector<ExprPtr> order;
    for (const auto& o : orderBy) {
      order.push_back(rewriteSortOrder(o, [&](const ExprPtr& c) -> ExprPtr {
        if (auto pos = ordinalOf(c))
          return stripAlias(itemAtOrdinal(items, *pos, "ORDER BY", "ORDER_BY_POS_OUT_OF_RANGE"));
        return substituteAliases(c, items);
      }));
    }
    plan = project(sort(input, std::move(order)), items);
  }
  return applyLimit(plan, limit);
}

PlanPtr applyOrderAndLimit(PlanPtr plan, const std::vector<ExprPtr>& outputs, const std::vector<ExprPtr>& orderBy,
                           std::optional<std::int64_t> limit) {
  if (!orderBy.empty()) {
    std::vector<ExprPtr> order;
    for (const auto& o : orderBy) {
      order.push_back(rewriteSortOrder(o, [&](const ExprPtr& c) -> ExprPtr {
        if (auto pos = ordinalOf(c)) {
          if (outputs.empty()) {
            throw AnalysisException("ORDER BY position " + std::to_string(*pos) +
                                    " cannot be resolved here; name the column instead.");
          }
          return columnRef(*outputName(itemAtOrdinal(outputs, *pos, "ORDER BY", "ORDER_BY_POS_OUT_OF_RANGE")));
        }
        return c;
      }));
    }
    plan = sort(std::move(plan), std::move(order));
  }
  return applyLimit(std::move(plan), limit);
}

}  // namespace engine::sql
