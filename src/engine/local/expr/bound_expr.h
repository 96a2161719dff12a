// Resolved, typed expressions evaluated a whole batch at a time (one virtual call per batch, typed
// loops inside). The planner builds them from unresolved Expr trees.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/types.h"
#include "engine/value.h"
#include "engine/vector.h"
#include "engine/local/plan/exec_context.h"

namespace engine::local {

class BoundExpr {
 public:
  BoundExpr(DataType type, bool nullable) : type_(std::move(type)), nullable_(nullable) {}
  virtual ~BoundExpr() = default;
  const DataType& type() const { return type_; }
  bool nullable() const { return nullable_; }
  // Result has input.rows rows.
  virtual VectorPtr eval(const Batch& input, const EvalContext& ctx) const = 0;
  virtual std::string toString() const = 0;
  // A literal or an expression over literals only.
  virtual bool isConstant() const { return false; }
  // The constant's value (only when isConstant()).
  virtual Value constantValue() const { return Value(); }
  // Index of the input column when this is a plain column reference, else -1.
  virtual int columnIndex() const { return -1; }
  // Adds the indexes of the input columns this expression reads to `out`; false when that is not known
  // (the caller must then assume it may read any column).
  virtual bool collectColumns(std::vector<int>& out) const {
    (void)out;
    return false;
  }

 private:
  DataType type_;
  bool nullable_;
};

using BoundExprPtr = std::shared_ptr<const BoundExpr>;

// Reference to input column `index`.
BoundExprPtr boundColumn(std::size_t index, const DataType& type, bool nullable = true);
// A literal of the given type (the value is converted to it; null allowed).
BoundExprPtr boundLiteral(const Value& v, const DataType& type);
BoundExprPtr boundLiteral(const Value& v);  // typed by the value itself

}  // namespace engine::local
