// Column: a handle on an unresolved expression, with PySpark's operators and methods.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "engine/expression.h"
#include "engine/types.h"
#include "engine/value.h"

namespace engine {

class WindowSpec;

class Column {
 public:
  explicit Column(ExprPtr expr) : expr_(std::move(expr)) {}
  const ExprPtr& expr() const { return expr_; }

  Column alias(const std::string& name) const;
  Column name(const std::string& n) const { return alias(n); }
  Column cast(const DataType& type) const;
  Column cast(const std::string& typeName) const;  // "int", "double", "string", ... (AnalysisException if unknown)
  Column astype(const DataType& type) const { return cast(type); }
  Column isNull() const;
  Column isNotNull() const;
  Column isin(const std::vector<Value>& values) const;
  Column isin(const std::vector<Column>& values) const;
  Column eqNullSafe(const Column& other) const;
  Column between(const Column& lo, const Column& hi) const;
  Column like(const std::string& pattern) const;
  Column asc() const;
  Column desc() const;
  Column asc_nulls_first() const;
  Column asc_nulls_last() const;
  Column desc_nulls_first() const;
  Column desc_nulls_last() const;
  // Chained CASE WHEN on a column made by functions::when.
  Column when(const Column& condition, const Column& value) const;
  Column when(const Column& condition, const Value& value) const;
  Column otherwise(const Column& value) const;
  Column otherwise(const Value& value) const;
  Column over(const WindowSpec& window) const;

  std::string toString() const { return expr_->toString(); }

 private:
  ExprPtr expr_;
};

// Operators build Spark function calls; a plain value on either side becomes a literal.
Column operator+(const Column& a, const Column& b);
Column operator-(const Column& a, const Column& b);
Column operator*(const Column& a, const Column& b);
Column operator/(const Column& a, const Column& b);
Column operator%(const Column& a, const Column& b);
Column operator==(const Column& a, const Column& b);
Column operator!=(const Column& a, const Column& b);
Column operator<(const Column& a, const Column& b);
Column operator<=(const Column& a, const Column& b);
Column operator>(const Column& a, const Column& b);
Column operator>=(const Column& a, const Column& b);
Column operator&(const Column& a, const Column& b);  // logical AND
Column operator|(const Column& a, const Column& b);  // logical OR
Column operator!(const Column& a);                   // logical NOT
Column operator~(const Column& a);                   // logical NOT (PySpark's ~)
Column operator-(const Column& a);                   // negation

#define ENGINE_COLUMN_VALUE_OPS(OP)                  \
  Column operator OP(const Column& a, const Value& b); \
  Column operator OP(const Value& a, const Column& b);
ENGINE_COLUMN_VALUE_OPS(+)
ENGINE_COLUMN_VALUE_OPS(-)
ENGINE_COLUMN_VALUE_OPS(*)
ENGINE_COLUMN_VALUE_OPS(/)
ENGINE_COLUMN_VALUE_OPS(%)
ENGINE_COLUMN_VALUE_OPS(==)
ENGINE_COLUMN_VALUE_OPS(!=)
ENGINE_COLUMN_VALUE_OPS(<)
ENGINE_COLUMN_VALUE_OPS(<=)
ENGINE_COLUMN_VALUE_OPS(>)
ENGINE_COLUMN_VALUE_OPS(>=)
ENGINE_COLUMN_VALUE_OPS(&)
ENGINE_COLUMN_VALUE_OPS(|)
#undef ENGINE_COLUMN_VALUE_OPS

// A column given by name or as an expression (PySpark's "str or Column" arguments).
class ColumnOrName {
 public:
  ColumnOrName(const Column& c) : column_(c) {}                  // NOLINT
  ColumnOrName(const std::string& name);                         // NOLINT
  ColumnOrName(const char* name) : ColumnOrName(std::string(name)) {}  // NOLINT
  const Column& column() const { return column_; }

 private:
  Column column_;
};

}  // namespace engine
