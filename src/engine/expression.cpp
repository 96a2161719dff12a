#include "engine/expression.h"

#include "engine/sql/identifier.h"

namespace engine {

namespace {

std::shared_ptr<Expr> make(ExprKind k) {
  auto e = std::make_shared<Expr>();
  e->kind = k;
  return e;
}

}  // namespace

ExprPtr Expr::literalOf(const Value& v) { return literalOf(v, v.dataType()); }

ExprPtr Expr::literalOf(const Value& v, const DataType& type) {
  auto e = make(ExprKind::Literal);
  e->literal = v;
  e->literalType = type;
  return e;
}

ExprPtr Expr::attribute(const std::string& name, std::int64_t planId) {
  if (name == "*") return star();
  auto parts = sql::parseMultipartIdentifier(name);
  if (parts.size() > 1 && parts.back() == "*") {
    parts.pop_back();
    return star(parts);
  }
  return attributeParts(std::move(parts), planId);
}

ExprPtr Expr::attributeParts(std::vector<std::string> parts, std::int64_t planId) {
  auto e = make(ExprKind::Attribute);
  e->name = parts.empty() ? std::string() : parts.back();
  e->nameParts = std::move(parts);
  e->planId = planId;
  return e;
}

ExprPtr Expr::star(std::vector<std::string> qualifier) {
  auto e = make(ExprKind::Star);
  e->nameParts = std::move(qualifier);
  return e;
}

ExprPtr Expr::function(const std::string& name, std::vector<ExprPtr> args, bool distinct) {
  auto e = make(ExprKind::Function);
  e->name = name;
  e->children = std::move(args);
  e->isDistinct = distinct;
  return e;
}

ExprPtr Expr::alias(ExprPtr child, const std::string& name) {
  auto e = make(ExprKind::Alias);
  e->name = name;
  e->children = {std::move(child)};
  return e;
}

ExprPtr Expr::cast(ExprPtr child, const DataType& type) {
  auto e = make(ExprKind::Cast);
  e->castType = type;
  e->children = {std::move(child)};
  return e;
}

ExprPtr Expr::sortOrder(ExprPtr child, bool ascending, bool nullsFirst) {
  auto e = make(ExprKind::SortOrder);
  e->ascending = ascending;
  e->nullsFirst = nullsFirst;
  e->children = {std::move(child)};
  return e;
}

ExprPtr Expr::subqueryOf(const std::string& kind, std::shared_ptr<const Plan> plan, std::vector<ExprPtr> values) {
  auto e = std::make_shared<Expr>();
  e->kind = ExprKind::Subquery;
  e->name = kind;
  e->subquery = std::move(plan);
  e->children = std::move(values);
  return e;
}

ExprPtr Expr::windowed(ExprPtr fn, std::shared_ptr<const WindowSpecData> spec) {
  auto e = make(ExprKind::Window);
  e->children = {std::move(fn)};
  e->window = std::move(spec);
  return e;
}

}  // namespace engine
