// Expr::toString: the names Spark generates for unaliased columns, e.g. "(a + 1)", "avg(x)",
// "CAST(x AS INT)", "(NOT (a = 1))", "CASE WHEN (a > 1) THEN 1 ELSE 0 END".
#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/window.h"

namespace engine {

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string literalString(const Value& v) {
  if (v.isNull()) return "NULL";
  if (v.is<Date>()) return "DATE '" + v.toString() + "'";
  if (v.is<Timestamp>()) return "TIMESTAMP '" + v.toString() + "'";
  return v.toString();
}

std::string nestedText(const Expr& e);
std::string nested(const ExprPtr& e) { return nestedText(*e); }

std::string joinArgs(const std::vector<ExprPtr>& args, std::size_t from = 0) {
  std::string s;
  for (std::size_t i = from; i < args.size(); ++i) {
    if (i > from) s += ", ";
    s += nested(args[i]);
  }
  return s;
}

const char* infixSymbol(const std::string& name) {
  static const std::pair<const char*, const char*> kOps[] = {
      {"+", "+"},   {"-", "-"},     {"*", "*"},   {"/", "/"}, {"%", "%"}, {"mod", "%"}, {"div", "div"},
      {"==", "="},  {"=", "="},     {"<=>", "<=>"}, {"<", "<"}, {"<=", "<="}, {">", ">"}, {">=", ">="},
      {"and", "AND"}, {"or", "OR"}, {"&&", "AND"}, {"||", "OR"}};
  for (const auto& [n, sym] : kOps)
    if (name == n) return sym;
  return nullptr;
}

bool isRankingFunction(const std::string& n) {
  return n == "row_number" || n == "rank" || n == "dense_rank" || n == "percent_rank" || n == "ntile";
}

// Spark prints the RankLike functions in upper case and without arguments.
bool isRankLike(const std::string& n) { return n == "rank" || n == "dense_rank" || n == "percent_rank"; }

std::string nested(const ExprPtr& e);

std::string frameBound(std::int64_t v, bool lowerBound) {
  if (v == Window::unboundedPreceding) return "UNBOUNDED PRECEDING";
  if (v == Window::unboundedFollowing) return "UNBOUNDED FOLLOWING";
  if (v == 0) return "CURRENT ROW";
  (void)lowerBound;
  // Spark prints an offset given as a number literal as "<n> FOLLOWING", negative values included.
  return fmt::format("{} FOLLOWING", v);
}

std::string functionText(const Expr& e) {
  const std::string name = lower(e.name);
  const auto& c = e.children;
  if (c.size() == 2) {
    if (name == "!=" || name == "<>") return fmt::format("(NOT ({} = {}))", nested(c[0]), nested(c[1]));
    // A datetime moved by an interval literal prints without parentheses (Spark's TimeAdd and friends).
    auto intervalLiteral = [](const ExprPtr& x) {
      return x->kind == ExprKind::Literal &&
             (x->literal.is<YearMonthIntervalValue>() || x->literal.is<DayTimeIntervalValue>());
    };
    if ((name == "+" || name == "-") && intervalLiteral(c[1]) && !intervalLiteral(c[0]))
      return fmt::format("{} {} {}", nested(c[0]), name, nested(c[1]));
    if (const char* sym = infixSymbol(name)) return fmt::format("({} {} {})", nested(c[0]), sym, nested(c[1]));
  }
  if (c.size() == 1) {
    if (name == "not" || name == "!") return fmt::format("(NOT {})", nested(c[0]));
    if (name == "-") return fmt::format("(- {})", nested(c[0]));
    if (name == "isnull") return fmt::format("({} IS NULL)", nested(c[0]));
    if (name == "isnotnull") return fmt::format("({} IS NOT NULL)", nested(c[0]));
  }
  if (name == "in" && !c.empty()) return fmt::format("({} IN ({}))", nested(c[0]), joinArgs(c, 1));
  if (name == "when") {
    std::string s = "CASE";
    for (std::size_t k = 0; k + 1 < c.size(); k += 2)
      s += fmt::format(" WHEN {} THEN {}", nested(c[k]), nested(c[k + 1]));
    if (c.size() % 2 == 1) s += " ELSE " + nested(c.back());
    return s + " END";
  }
  if (name == "like" && c.size() >= 2) {
    std::string s = fmt::format("{} LIKE {}", nested(c[0]), nested(c[1]));
    if (c.size() == 3) s += fmt::format(" ESCAPE '{}'", nested(c[2]));
    return s;
  }
  if (isRankLike(name)) return fmt::format("{}()", [&] {
      std::string u = name;
      std::transform(u.begin(), u.end(), u.begin(), [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
      return u;
    }());
  if ((name == "lag" || name == "lead") && !c.empty()) {
    std::string args = joinArgs(c);
    if (c.size() == 1) args += ", 1";
    if (c.size() <= 2) args += ", NULL";
    return fmt::format("{}({})", name, args);
  }
  if (name == "if" && c.size() == 3)
    return fmt::format("(IF({}, {}, {}))", nested(c[0]), nested(c[1]), nested(c[2]));
  std::string shown = name == "mean" ? "avg" : name;
  std::string args;
  if ((name == "first" || name == "last" || name == "approx_count_distinct") && !c.empty()) {
    args = nested(c[0]);  // the ignore-nulls flag and the relative deviation are not part of the name
  } else {
    args = joinArgs(c);
    if ((name == "percentile_approx" || name == "approx_percentile") && c.size() == 2) args += ", 10000";
    if ((name == "substring" || name == "substr") && c.size() == 2) args += ", 2147483647";
  }
  if (e.isDistinct) args = "DISTINCT " + args;
  return fmt::format("{}({})", shown, args);
}

std::string windowText(const Expr& e);

std::string windowText(const Expr& e) {
  const Expr& fn = *e.children.at(0);
  const WindowSpecData& w = *e.window;
  std::string spec;
  if (!w.partitionBy.empty()) spec += "PARTITION BY " + joinArgs(w.partitionBy) + " ";
  if (!w.orderBy.empty()) spec += "ORDER BY " + joinArgs(w.orderBy) + " ";
  std::string fname = fn.kind == ExprKind::Function ? lower(fn.name) : std::string();
  if (w.hasFrame) {
    spec += fmt::format("{} BETWEEN {} AND {}", w.frameType == FrameType::Rows ? "ROWS" : "RANGE",
                        frameBound(w.lower, true), frameBound(w.upper, false));
  } else if ((fname == "lag" || fname == "lead") && fn.children.size() >= 1) {
    std::int64_t offset = 1;
    if (fn.children.size() >= 2 && fn.children[1]->kind == ExprKind::Literal && !fn.children[1]->literal.isNull() &&
        fn.children[1]->literal.isNumeric())
      offset = fn.children[1]->literal.toInt64();
    if (fname == "lag") offset = -offset;
    spec += fmt::format("ROWS BETWEEN {} FOLLOWING AND {} FOLLOWING", offset, offset);
  } else if (isRankingFunction(fname)) {
    spec += "ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW";
  } else if (!w.orderBy.empty()) {
    spec += "RANGE BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW";
  } else {
    spec += "ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING";
  }
  return fmt::format("{} OVER ({})", nestedText(fn), spec);
}

}  // namespace
namespace {
std::string nestedText(const Expr& e) {
  switch (e.kind) {
    case ExprKind::Literal:
      return literalString(e.literal);
    case ExprKind::Attribute:
      return e.nameParts.empty() ? e.name : e.nameParts.back();
    case ExprKind::Star: {
      std::string s;
      for (const auto& p : e.nameParts) s += p + ".";
      return s + "*";
    }
    case ExprKind::Function:
      return functionText(e);
    case ExprKind::Alias:
      return e.name;
    case ExprKind::Cast:
      return fmt::format("CAST({} AS {})", nested(e.children.at(0)), e.castType.sql());
    case ExprKind::SortOrder:
      return fmt::format("{} {} NULLS {}", nested(e.children.at(0)), e.ascending ? "ASC" : "DESC",
                         e.nullsFirst ? "FIRST" : "LAST");
    case ExprKind::Window:
      return windowText(e);
    case ExprKind::Udf:
      return fmt::format("{}({})", e.name, joinArgs(e.children));
    case ExprKind::Subquery:
      if (e.name == "in") return fmt::format("({} IN (listquery()))", joinArgs(e.children));
      return e.name == "exists" ? "exists()" : "scalarsubquery()";
  }
  return e.name;
}
}  // namespace

std::string exprText(const Expr& e) { return nestedText(e); }

std::string Expr::toString() const {
  // A top-level CAST of a named column keeps the column's name (Spark's alias rule for casts).
  if (kind == ExprKind::Cast && !children.empty() &&
      (children[0]->kind == ExprKind::Attribute || children[0]->kind == ExprKind::Alias))
    return nestedText(*children[0]);
  return nestedText(*this);
}

namespace {

bool anyMultiPartAttribute(const Expr& e) {
  if (e.kind == ExprKind::Attribute && e.nameParts.size() > 1) return true;
  for (const auto& c : e.children) {
    if (c && anyMultiPartAttribute(*c)) return true;
  }
  return false;
}

// Copy of the tree with attribute qualifiers dropped (Spark's generated names show bare column names).
ExprPtr stripQualifiers(const ExprPtr& e) {
  if (!anyMultiPartAttribute(*e)) return e;
  auto copy = std::make_shared<Expr>(*e);
  if (copy->kind == ExprKind::Attribute && copy->nameParts.size() > 1) {
    copy->nameParts = {copy->nameParts.back()};
  }
  for (auto& c : copy->children) {
    if (c) c = stripQualifiers(c);
  }
  return copy;
}

}  // namespace

std::string Expr::outputName() const {
  if (kind == ExprKind::Alias) return name;
  if (kind == ExprKind::Attribute && !nameParts.empty()) return nameParts.back();
  if (!anyMultiPartAttribute(*this)) return toString();
  return stripQualifiers(std::make_shared<Expr>(*this))->toString();
}

}  // namespace engine
