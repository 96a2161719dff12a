// Unresolved expression trees, close to Spark's own (and Spark Connect's) expressions so that any
// backend can take them: literals, attribute references by name (optionally bound to the frame that
// produced them), function calls by name (operators included), aliases, casts, sort orders and window
// expressions. Resolution and typing happen in the backend.
//
// Function names are Spark SQL's: "+", "-", "*", "/", "%", "negative", "==", "!=" (not equal), "<=>",
// "<", "<=", ">", ">=", "and", "or", "not", "isnull", "isnotnull", "in", "when" (arguments: condition,
// value, condition, value, ..., optional else value; odd count means an else value is present), "like",
// "abs", "avg", "count", ... ; aggregates and window functions are function calls too.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/types.h"
#include "engine/value.h"

namespace engine {

struct Expr;
using ExprPtr = std::shared_ptr<const Expr>;
struct WindowSpecData;
struct UdfInfo;
struct Plan;

enum class ExprKind : std::uint8_t {
  Literal,    // literal (value; literalType is its type, e.g. a typed null)
  Attribute,  // column reference: nameParts (["t", "c"] for t.c), planId (>= 0 when bound to a frame)
  Star,       // * or t.* : nameParts holds the qualifier, if any
  Function,   // name(children...), isDistinct for count(DISTINCT x)
  Alias,      // children[0] AS name
  Cast,       // CAST(children[0] AS castType)
  SortOrder,  // children[0] ASC|DESC NULLS FIRST|LAST
  Window,     // children[0] OVER window
  Udf,        // vectorised user function over children (udf holds the function)
  Subquery,   // a query used as an expression: name is "scalar", "exists" or "in" (children: the values
              // compared with the query's column); subquery holds the query's plan
};

struct Expr {
  ExprKind kind = ExprKind::Literal;
  Value literal;
  DataType literalType;
  std::string name;                     // function name or alias name
  std::vector<std::string> nameParts;   // attribute / star qualifier parts
  std::int64_t planId = -1;             // frame that bound this attribute (df["c"]), or -1
  std::vector<ExprPtr> children;
  DataType castType;
  bool ascending = true;
  bool nullsFirst = true;
  bool isDistinct = false;
  std::shared_ptr<const WindowSpecData> window;
  std::shared_ptr<const UdfInfo> udf;
  std::shared_ptr<const Plan> subquery;

  // Spark-style text of the expression, as used for generated column names: "(a + 1)", "avg(x)",
  // "count(1)", "CAST(x AS INT)", "CASE WHEN (a > 1) THEN 1 ELSE 0 END".
  std::string toString() const;
  // The name of the column this expression gives when selected: the alias, the attribute's own name, or the
  // generated text with qualifiers dropped ("(a + 1)" for t.a + 1).
  std::string outputName() const;

  static ExprPtr literalOf(const Value& v);
  static ExprPtr literalOf(const Value& v, const DataType& type);
  static ExprPtr attribute(const std::string& name, std::int64_t planId = -1);  // splits a.b on dots, honours `backquotes`
  static ExprPtr attributeParts(std::vector<std::string> parts, std::int64_t planId = -1);
  static ExprPtr star(std::vector<std::string> qualifier = {});
  static ExprPtr function(const std::string& name, std::vector<ExprPtr> args, bool distinct = false);
  static ExprPtr alias(ExprPtr child, const std::string& name);
  static ExprPtr cast(ExprPtr child, const DataType& type);
  static ExprPtr sortOrder(ExprPtr child, bool ascending, bool nullsFirst);
  static ExprPtr windowed(ExprPtr fn, std::shared_ptr<const WindowSpecData> spec);
  // kind: "scalar", "exists" or "in" (values: the left side of IN).
  static ExprPtr subqueryOf(const std::string& kind, std::shared_ptr<const Plan> plan, std::vector<ExprPtr> values = {});
};

enum class FrameType : std::uint8_t { Rows, Range };

struct WindowSpecData {
  std::vector<ExprPtr> partitionBy;
  std::vector<ExprPtr> orderBy;  // SortOrder expressions
  bool hasFrame = false;         // false: Spark's default frame
  FrameType frameType = FrameType::Rows;
  std::int64_t lower = 0;  // Window::unboundedPreceding / currentRow (0) / offsets
  std::int64_t upper = 0;
};

}  // namespace engine
