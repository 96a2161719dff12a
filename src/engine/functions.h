// Column functions (PySpark's pyspark.sql.functions). Each builds an unresolved function call; the
// backend's function registry resolves and types it. New functions need only a factory here and a
// registry entry in the backend.
#pragma once

#include <string>
#include <vector>

#include "engine/column.h"

namespace engine::functions {

Column col(const std::string& name);
Column column(const std::string& name);
Column lit(const Value& v);
Column expr(const std::string& sqlText);  // parsed with the engine's SQL expression parser

// Aggregates.
Column avg(const ColumnOrName& c);
Column mean(const ColumnOrName& c);
Column min(const ColumnOrName& c);
Column max(const ColumnOrName& c);
Column sum(const ColumnOrName& c);
Column count(const ColumnOrName& c);  // count("*") counts rows
Column countDistinct(const std::vector<ColumnOrName>& cols);
Column stddev(const ColumnOrName& c);  // sample standard deviation
Column stddev_samp(const ColumnOrName& c);
Column first(const ColumnOrName& c, bool ignorenulls = false);
Column last(const ColumnOrName& c, bool ignorenulls = false);

// Scalar functions.
Column abs(const ColumnOrName& c);
Column when(const Column& condition, const Column& value);
Column when(const Column& condition, const Value& value);
Column coalesce(const std::vector<ColumnOrName>& cols);
Column isnull(const ColumnOrName& c);
Column isnan(const ColumnOrName& c);

// Calls a registered function by its SQL name (the extension point for functions without a factory).
Column call_function(const std::string& name, const std::vector<ColumnOrName>& args);

}  // namespace engine::functions
