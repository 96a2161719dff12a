#include "engine/local/expr/bound_expr.h"

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

class ColumnRef final : public BoundExpr {
 public:
  ColumnRef(std::size_t index, const DataType& type, bool nullable) : BoundExpr(type, nullable), index_(index) {}

  VectorPtr eval(const Batch& input, const EvalContext&) const override {
    if (index_ >= input.columns.size())
      throw ExecutionException(
          fmt::format("internal error: column {} referenced in a batch of {} columns", index_, input.columns.size()));
    return input.columns[index_];
  }
  std::string toString() const override { return fmt::format("input[{}, {}]", index_, type().simpleString()); }
  int columnIndex() const override { return static_cast<int>(index_); }
  bool collectColumns(std::vector<int>& out) const override {
    out.push_back(static_cast<int>(index_));
    return true;
  }

 private:
  std::size_t index_;
};

class Literal final : public BoundExpr {
 public:
  Literal(Value v, const DataType& type)
      : BoundExpr(type, v.isNull()), value_(std::move(v)), one_(Vector::constant(value_, type, 1)) {}

  VectorPtr eval(const Batch& input, const EvalContext&) const override {
    if (input.rows == 1) return one_;
    return Vector::constant(value_, type(), input.rows);
  }
  std::string toString() const override { return literalText(value_); }
  bool isConstant() const override { return true; }
  Value constantValue() const override { return value_; }
  bool collectColumns(std::vector<int>&) const override { return true; }
  const Value& value() const { return value_; }

 private:
  Value value_;
  VectorPtr one_;
};

// The value converted to `type` with the engine's own cast, so a literal means the same as CAST(literal AS type).
Value convertLiteral(const Value& v, const DataType& type) {
  if (v.isNull()) return v;
  DataType from = v.dataType();
  if (from == type) return v;
  if (!canCast(from, type))
    throw AnalysisException(fmt::format("[DATATYPE_MISMATCH.CAST_WITHOUT_SUGGESTION] cannot cast {} to {}.",
                                        quoteType(from), quoteType(type)));
  VectorPtr one = Vector::fromValues(from, {v});
  return castVector(one, type, EvalContext{})->get(0);
}

}  // namespace

std::string literalText(const Value& v) {
  if (v.isNull()) return "NULL";
  if (v.is<Date>()) return "DATE '" + v.toString() + "'";
  if (v.is<Timestamp>()) return "TIMESTAMP '" + v.toString() + "'";
  return v.toString();
}

const Value* literalValue(const BoundExpr& e) {
  auto* lit = dynamic_cast<const Literal*>(&e);
  return lit ? &lit->value() : nullptr;
}

BoundExprPtr boundColumn(std::size_t index, const DataType& type, bool nullable) {
  return std::make_shared<ColumnRef>(index, type, nullable);
}

BoundExprPtr boundLiteral(const Value& v, const DataType& type) {
  return std::make_shared<Literal>(convertLiteral(v, type), type);
}

BoundExprPtr boundLiteral(const Value& v) { return std::make_shared<Literal>(v, v.dataType()); }

}  // namespace engine::local
