#include "engine/local/plan/planner_bind.h"

#include <set>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_udf.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

std::string lname(const Expr& e) { return toLower(e.name); }

bool isAggCall(const Expr& e) { return e.kind == ExprKind::Function && isAggregateFunction(lname(e)); }

std::string frameKey(const WindowSpecData& w) {
  if (!w.hasFrame) return "default";
  return fmt::format("{}:{}:{}", w.frameType == FrameType::Rows ? "rows" : "range", w.lower, w.upper);
}

std::string specKey(const WindowSpecData& w, const Scope& scope) {
  std::string k = "P(";
  for (const auto& p : w.partitionBy) k += canonicalKey(*p, scope) + ",";
  k += ")O(";
  for (const auto& o : w.orderBy) k += canonicalKey(*o, scope) + ",";
  return k + ")F(" + frameKey(w) + ")";
}

Value constantOf(const BoundExprPtr& b, const Expr& source, const std::string& fn) {
  if (!b->isConstant()) {
    throw AnalysisException(fmt::format(
        "[DATATYPE_MISMATCH.NON_FOLDABLE_INPUT] Cannot resolve \"{}\" due to data type mismatch: the input of {} "
        "should be a foldable expression, but got \"{}\".",
        source.toString(), fn, b->toString()));
  }
  return b->constantValue();
}

}  // namespace

std::string canonicalKey(const Expr& e, const Scope& scope) {
  switch (e.kind) {
    case ExprKind::Literal:
      return "L" + (e.literalType.isNull() ? e.literal.dataType() : e.literalType).simpleString() + ":" +
             e.literal.toString() + (e.literal.isNull() ? "#null" : "");
    case ExprKind::Attribute:
      return "#" + std::to_string(resolveAttribute(e, scope));
    case ExprKind::Star: {
      std::string k = "*";
      for (const auto& p : e.nameParts) k += toLower(p) + ".";
      return k;
    }
    case ExprKind::Alias:
      return canonicalKey(*e.children.at(0), scope);
    case ExprKind::Cast:
      return "cast(" + canonicalKey(*e.children.at(0), scope) + " as " + e.castType.simpleString() + ")";
    case ExprKind::SortOrder:
      return std::string(e.ascending ? "asc" : "desc") + (e.nullsFirst ? "NF(" : "NL(") +
             canonicalKey(*e.children.at(0), scope) + ")";
    case ExprKind::Window:
      return "over(" + canonicalKey(*e.children.at(0), scope) + "," + specKey(*e.window, scope) + ")";
    case ExprKind::Subquery:
      return fmt::format("subquery:{}@{}", e.name, static_cast<const void*>(e.subquery.get()));
    case ExprKind::Udf:
    case ExprKind::Function: {
      std::string k = (e.kind == ExprKind::Udf ? "udf:" + e.name : lname(e)) + (e.isDistinct ? "[d](" : "(");
      for (const auto& c : e.children) k += canonicalKey(*c, scope) + ",";
      if (e.kind == ExprKind::Udf) k += fmt::format("@{}", static_cast<const void*>(e.udf.get()));
      return k + ")";
    }
  }
  return "?";
}

bool containsAggregate(const Expr& e) {
  if (e.kind == ExprKind::Window) return false;
  if (isAggCall(e)) return true;
  for (const auto& c : e.children) {
    if (c && containsAggregate(*c)) return true;
  }
  return false;
}

void requireKnownFunctions(const Expr& e) {
  if (e.kind == ExprKind::Function) {
    const std::string fn = lname(e);
    if (!isScalarFunction(fn) && !isAggregateFunction(fn) && !isWindowFunction(fn)) {
      throw AnalysisException(fmt::format(
          "[UNRESOLVED_ROUTINE] Cannot resolve routine `{}` on search path [`system`.`builtin`, `system`.`session`, "
          "`spark_catalog`.`default`].",
          e.name));
    }
  }
  for (const auto& c : e.children) {
    if (c) requireKnownFunctions(*c);
  }
}

bool containsWindow(const Expr& e) {
  if (e.kind == ExprKind::Window) return true;
  for (const auto& c : e.children) {
    if (c && containsWindow(*c)) return true;
  }
  return false;
}

std::string outputName(const Expr& e) { return e.outputName(); }

BoundExprPtr castTo(BoundExprPtr e, const DataType& t) {
  if (e->type() == t) return e;
  return bindCast(std::move(e), t);
}

DataType comparisonType(const DataType& a, const DataType& b, const std::string& what) {
  if (a == b) return a;
  if (a.isNull()) return b;
  if (b.isNull()) return a;
  // Non-ANSI comparison coercion: a string meets the other side's type (double against a decimal).
  auto stringVs = [](const DataType& other) -> std::optional<DataType> {
    if (other.isDecimal()) return DoubleType();
    if (other.isNumeric() || other.isDatetime() || other.isBoolean()) return other;
    return std::nullopt;
  };
  if (a.isString()) {
    if (auto t = stringVs(b)) return *t;
  }
  if (b.isString()) {
    if (auto t = stringVs(a)) return *t;
  }
  if (auto w = findWiderType(a, b)) return *w;
  throw AnalysisException(fmt::format(
      "[DATATYPE_MISMATCH.BINARY_OP_DIFF_TYPES] Cannot resolve \"{}\" due to data type mismatch: the left and right "
      "operands of the binary operator have incompatible types (\"{}\" and \"{}\").",
      what, a.sql(), b.sql()));
}

CallArgs bindCallArgs(const std::string& fn, const Expr& call, const Scope& scope) {
  CallArgs out;
  Binder plain(scope);
  const auto& ch = call.children;
  auto bindAt = [&](std::size_t i) {
    // count(*) and friends: a star argument counts rows.
    if (ch[i]->kind == ExprKind::Star) return boundLiteral(Value(1), IntegerType());
    return plain.bind(*ch[i]);
  };
  auto param = [&](std::size_t i) { return constantOf(plain.bind(*ch[i]), call, fn); };
  std::size_t columnArgs = ch.size();
  bool ignoreNullsAt2 = false;
  if (fn == "first" || fn == "last" || fn == "first_value" || fn == "last_value" || fn == "any_value") {
    columnArgs = std::min<std::size_t>(1, ch.size());
    if (ch.size() >= 2) {
      Value v = param(1);
      out.ignoreNulls = !v.isNull() && v.is<bool>() && v.get<bool>();
    }
  } else if (fn == "percentile_approx" || fn == "approx_percentile" || fn == "percentile" ||
             fn == "approx_count_distinct" || fn == "lag" || fn == "lead") {
    columnArgs = std::min<std::size_t>(1, ch.size());
    for (std::size_t i = 1; i < ch.size(); ++i) out.params.push_back(param(i));
  } else if (fn == "ntile") {
    columnArgs = 0;
    for (std::size_t i = 0; i < ch.size(); ++i) out.params.push_back(param(i));
  } else if (fn == "nth_value") {
    columnArgs = std::min<std::size_t>(1, ch.size());
    if (ch.size() >= 2) out.params.push_back(param(1));
    ignoreNullsAt2 = ch.size() >= 3;
  }
  for (std::size_t i = 0; i < columnArgs; ++i) {
    if (containsAggregate(*ch[i])) {
      throw AnalysisException(fmt::format(
          "[NESTED_AGGREGATE_FUNCTION] It is not allowed to use an aggregate function in the argument of another "
          "aggregate function. Please use the inner aggregate function in a sub-query."));
    }
    out.args.push_back(bindAt(i));
  }
  if (ignoreNullsAt2) {
    Value v = param(2);
    out.ignoreNulls = !v.isNull() && v.is<bool>() && v.get<bool>();
  }
  return out;
}

BoundExprPtr Binder::bind(const Expr& e) {
  if (agg_ && !agg_->keyKeys.empty() && e.kind != ExprKind::Literal) {
    const auto at = agg_->keyIndex.find(canonicalKey(e, scope_));
    if (at != agg_->keyIndex.end()) {
      const std::size_t i = at->second;
      return boundColumn(i, agg_->keyTypes[i], agg_->keyNullable[i]);
    }
  }
  switch (e.kind) {
    case ExprKind::Literal: {
      DataType t = e.literalType;
      if (t.isNull() && !e.literal.isNull()) t = e.literal.dataType();
      return boundLiteral(e.literal, t);
    }
    case ExprKind::Attribute: {
      std::size_t idx = resolveAttribute(e, scope_);
      if (agg_) {
        std::string text = outputName(e);
        if (!agg_->hasGroupBy) {
          throw AnalysisException(
              "[MISSING_GROUP_BY] The query does not include a GROUP BY clause. Add GROUP BY or turn it into the "
              "window functions using OVER clauses.");
        }
        throw AnalysisException(fmt::format(
            "[MISSING_AGGREGATION] The non-aggregating expression \"{}\" is based on columns which are not "
            "participating in the GROUP BY clause. Add the columns or the expression to the GROUP BY, aggregate the "
            "expression, or use \"any_value({})\" if you do not care which of the values within a group is "
            "returned.",
            text, text));
      }
      const Attr& a = scope_.attrs()[idx];
      return boundColumn(idx, a.type, a.nullable);
    }
    case ExprKind::Star: {
      std::string cols;
      for (std::size_t i = 0; i < scope_.attrs().size(); ++i) cols += (i ? ", " : "") + quoteId(scope_.attrs()[i].name);
      throw AnalysisException(fmt::format(
          "[INVALID_USAGE_OF_STAR_OR_REGEX] Invalid usage of '*' in expression (input columns: [{}]).", cols));
    }
    case ExprKind::Alias:
    case ExprKind::SortOrder:
      return bind(*e.children.at(0));
    case ExprKind::Cast:
      return bindCast(bind(*e.children.at(0)), e.castType, e);
    case ExprKind::Window: {
      if (win_) {
        auto it = win_->columnOf.find(canonicalKey(e, scope_));
        if (it != win_->columnOf.end()) {
          return boundColumn(it->second, win_->columnTypes[it->second - scope_.attrs().size()], true);
        }
      }
      throw AnalysisException(fmt::format(
          "[UNSUPPORTED_EXPR_FOR_OPERATOR] A query operator contains one or more unsupported expressions: \"{}\". "
          "Window expressions are only allowed in select lists and withColumn.",
          e.toString()));
    }
    case ExprKind::Udf: {
      std::vector<BoundExprPtr> args;
      args.reserve(e.children.size());
      for (const auto& c : e.children) args.push_back(bind(*c));
      return bindUdf(e.udf, std::move(args));
    }
    case ExprKind::Function:
      return bindFunction(e);
    case ExprKind::Subquery:
      // Filters and select lists rewrite their subqueries into joins before binding; anywhere else one is
      // left over.
      throw AnalysisException(fmt::format(
          "[UNSUPPORTED_SUBQUERY_EXPRESSION_CATEGORY] Unsupported subquery expression: "
          "{} is only supported in a WHERE/HAVING condition or a select list without aggregates (\"{}\").",
          e.name == "scalar" ? "a scalar subquery" : e.name == "exists" ? "EXISTS" : "IN (subquery)", e.toString()));
  }
  throw AnalysisException("unsupported expression: " + e.toString());
}

BoundExprPtr Binder::bindFunction(const Expr& e) {
  std::string fn = lname(e);
  if (isAggregateFunction(fn)) {
    if (agg_) return bindAggregateRef(e, canonicalKey(e, scope_));
    throw AnalysisException(fmt::format(
        "[MISSING_GROUP_BY] The query does not include a GROUP BY clause. Add GROUP BY or turn it into the window "
        "functions using OVER clauses. (aggregate \"{}\" is not allowed here)",
        outputName(e)));
  }
  if (isWindowFunction(fn) && !isScalarFunction(fn)) {
    throw AnalysisException(fmt::format(
        "[WINDOW_FUNCTION_WITHOUT_OVER_CLAUSE] Window function \"{}\" requires an OVER clause.", e.toString()));
  }
  std::vector<BoundExprPtr> args;
  args.reserve(e.children.size());
  for (const auto& c : e.children) args.push_back(bind(*c));
  return bindScalarFunction(e.name, std::move(args), e);
}

BoundExprPtr Binder::bindAggregateRef(const Expr& e, const std::string& key) {
  std::size_t nKeys = agg_->keyKeys.size();
  if (const auto at = agg_->callIndex.find(key); at != agg_->callIndex.end()) {
    const auto& c = agg_->calls[at->second];
    return boundColumn(nKeys + at->second, c.resultType, c.name != "count");
  }
  std::string fn = lname(e);
  CallArgs ca = bindCallArgs(fn, e, scope_);
  AggregateCall call;
  call.name = fn;
  call.distinct = e.isDistinct;
  call.ignoreNulls = ca.ignoreNulls;
  call.params = ca.params;
  // With ANSI off Spark casts text arguments of the numeric aggregates to double.
  static const std::set<std::string> kNumericAggs = {"sum", "avg", "mean", "stddev", "stddev_samp", "stddev_pop",
                                                     "variance", "var_samp", "var_pop"};
  if (kNumericAggs.count(fn))
    for (auto& a : ca.args)
      if (a->type().isString()) a = bindCast(a, DoubleType());
  std::vector<DataType> argTypes;
  for (const auto& a : ca.args) argTypes.push_back(a->type());
  call.args = std::move(ca.args);
  call.resultType = aggregateResultType(fn, argTypes, call.params);
  agg_->calls.push_back(call);
  agg_->callIndex.emplace(key, agg_->callKeys.size());
  agg_->callKeys.push_back(key);
  return boundColumn(nKeys + agg_->calls.size() - 1, call.resultType, fn != "count");
}

namespace {

void findWindows(const ExprPtr& e, std::vector<ExprPtr>& out) {
  if (!e) return;
  if (e->kind == ExprKind::Window) {
    out.push_back(e);
    return;
  }
  for (const auto& c : e->children) findWindows(c, out);
}

}  // namespace

WindowContext collectWindows(const std::vector<ExprPtr>& exprs, const Scope& scope) {
  WindowContext ctx;
  std::vector<ExprPtr> wins;
  for (const auto& e : exprs) findWindows(e, wins);
  Binder plain(scope);
  std::vector<std::string> slotKeys;
  for (const auto& w : wins) {
    std::string key = canonicalKey(*w, scope);
    bool seen = false;
    for (const auto& k : slotKeys) seen = seen || k == key;
    if (seen) continue;
    if (!w->window) throw AnalysisException("window expression without a window definition: " + w->toString());
    const Expr& fnExpr = *w->children.at(0);
    if (fnExpr.kind != ExprKind::Function) {
      throw AnalysisException(fmt::format("[UNSUPPORTED_EXPR_FOR_WINDOW] Expression \"{}\" not supported within a "
                                          "window function.",
                                          fnExpr.toString()));
    }
    std::string fn = lname(fnExpr);
    bool isWin = isWindowFunction(fn);
    if (!isWin && !isAggregateFunction(fn)) {
      throw AnalysisException(fmt::format(
          "[UNSUPPORTED_EXPR_FOR_WINDOW] Expression \"{}\" not supported within a window function.",
          fnExpr.toString()));
    }
    std::string sk = specKey(*w->window, scope);
    std::size_t g = ctx.groups.size();
    for (std::size_t i = 0; i < ctx.groups.size(); ++i) {
      if (ctx.groups[i].specKey == sk) g = i;
    }
    if (g == ctx.groups.size()) {
      WindowGroup grp;
      grp.specKey = sk;
      grp.spec = w->window.get();
      for (const auto& p : w->window->partitionBy) grp.partitionKeys.push_back(plain.bind(*p));
      for (const auto& o : w->window->orderBy) {
        SortKey k;
        k.expr = plain.bind(*o);
        if (o->kind == ExprKind::SortOrder) {
          k.ascending = o->ascending;
          k.nullsFirst = o->nullsFirst;
        }
        grp.orderKeys.push_back(k);
      }
      grp.frame.specified = w->window->hasFrame;
      grp.frame.type = w->window->frameType;
      grp.frame.lower = w->window->lower;
      grp.frame.upper = w->window->upper;
      ctx.groups.push_back(std::move(grp));
    }
    CallArgs ca = bindCallArgs(fn, fnExpr, scope);
    WindowCall call;
    call.name = fn;
    call.ignoreNulls = ca.ignoreNulls;
    call.params = ca.params;
    std::vector<DataType> argTypes;
    for (const auto& a : ca.args) argTypes.push_back(a->type());
    call.args = std::move(ca.args);
    call.resultType = isWin ? windowResultType(fn, argTypes) : aggregateResultType(fn, argTypes, call.params);
    if (fnExpr.isDistinct) {
      throw AnalysisException(fmt::format(
          "[DISTINCT_WINDOW_FUNCTION_UNSUPPORTED] Distinct window functions are not supported: {}.", w->toString()));
    }
    ctx.groups[g].calls.push_back(std::move(call));
    ctx.groups[g].callKeys.push_back(key);
    slotKeys.push_back(key);
  }
  // Window operators run group after group, each appending its calls' columns.
  std::size_t col = scope.attrs().size();
  for (const auto& g : ctx.groups) {
    for (std::size_t i = 0; i < g.calls.size(); ++i) {
      ctx.columnOf[g.callKeys[i]] = col++;
      ctx.columnTypes.push_back(g.calls[i].resultType);
    }
  }
  return ctx;
}

}  // namespace engine::local
