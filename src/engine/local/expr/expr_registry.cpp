#include "engine/local/expr/expr_registry.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_spark_functions.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

void registerPartitionFunctions(ScalarFunctionRegistry& r);  // expr_partition_functions.cpp

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string expectedCount(const ScalarFunctionDef& d) {
  if (d.maxArgs == d.minArgs) return std::to_string(d.minArgs);
  if (d.maxArgs < 0) return fmt::format("> {}", d.minArgs - 1);
  return fmt::format("[{}, {}]", d.minArgs, d.maxArgs);
}

}  // namespace

void ScalarFunctionRegistry::add(const std::string& name, int minArgs, int maxArgs, ScalarBinder bind) {
  defs_[lower(name)] = ScalarFunctionDef{lower(name), minArgs, maxArgs, std::move(bind)};
}

const ScalarFunctionDef* ScalarFunctionRegistry::find(const std::string& lowerName) const {
  auto it = defs_.find(lowerName);
  return it == defs_.end() ? nullptr : &it->second;
}

const ScalarFunctionRegistry& ScalarFunctionRegistry::instance() {
  static const ScalarFunctionRegistry registry = [] {
    ScalarFunctionRegistry r;
    registerArithmeticFunctions(r);
    registerComparisonFunctions(r);
    registerLogicFunctions(r);
    registerConditionalFunctions(r);
    registerStringFunctions(r);
    registerSparkFunctions(r);
    registerPartitionFunctions(r);
    registerMathFunctions(r);
    registerTextFunctions(r);
    registerDateFunctions(r);
    registerMiscFunctions(r);
    return r;
  }();
  return registry;
}

std::string callText(const Expr& source) { return exprText(source); }

bool isScalarFunction(const std::string& name) {
  return ScalarFunctionRegistry::instance().find(lower(name)) != nullptr;
}

BoundExprPtr bindScalarFunction(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) {
  std::string key = lower(name);
  const ScalarFunctionDef* def = ScalarFunctionRegistry::instance().find(key);
  if (!def) {
    throw AnalysisException(fmt::format(
        "[UNRESOLVED_ROUTINE] Cannot resolve routine `{}` on search path [`system`.`builtin`, `system`.`session`, "
        "`spark_catalog`.`default`].",
        name));
  }
  int n = static_cast<int>(args.size());
  if (n < def->minArgs || (def->maxArgs >= 0 && n > def->maxArgs)) {
    throw AnalysisException(fmt::format(
        "[WRONG_NUM_ARGS.WITHOUT_SUGGESTION] The `{}` requires {} parameters but the actual number is {}. Please, "
        "refer to 'https://spark.apache.org/docs/latest/sql-ref-functions.html' for a fix.",
        name, expectedCount(*def), n));
  }
  return def->bind(key, std::move(args), source);
}

}  // namespace engine::local
