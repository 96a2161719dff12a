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
// Distinct count estimated by HyperLogLog++ as Spark estimates it; rsd is the maximum relative standard
// deviation (0.05 by default). Nulls are not counted; an empty input gives 0.
Column approx_count_distinct(const ColumnOrName& c);
Column approx_count_distinct(const ColumnOrName& c, double rsd);
Column stddev(const ColumnOrName& c);  // sample standard deviation
Column stddev_samp(const ColumnOrName& c);
Column first(const ColumnOrName& c, bool ignorenulls = false);
Column last(const ColumnOrName& c, bool ignorenulls = false);

// Approximate percentile (Spark's Greenwald-Khanna summaries; accuracy 10000 by default): the element type of
// the column, or an array of it for a list of percentages.
Column percentile_approx(const ColumnOrName& c, double percentage, int accuracy = 10000);
Column percentile_approx(const ColumnOrName& c, const std::vector<double>& percentages, int accuracy = 10000);

// Window functions (use with Column::over).
Column cume_dist();
Column row_number();
Column rank();
Column dense_rank();
Column percent_rank();

// Scalar functions.
Column xxhash64(const std::vector<ColumnOrName>& cols);
Column format_string(const std::string& format, const std::vector<ColumnOrName>& cols);
Column to_timestamp(const ColumnOrName& c);
Column to_timestamp(const ColumnOrName& c, const std::string& format);
Column width_bucket(const ColumnOrName& v, const ColumnOrName& min, const ColumnOrName& max, const ColumnOrName& numBuckets);
Column array(const std::vector<ColumnOrName>& cols);
Column nvl(const ColumnOrName& a, const ColumnOrName& b);
Column abs(const ColumnOrName& c);
Column when(const Column& condition, const Column& value);
Column when(const Column& condition, const Value& value);
Column coalesce(const std::vector<ColumnOrName>& cols);
Column isnull(const ColumnOrName& c);
Column isnan(const ColumnOrName& c);

// Calls a registered function by its SQL name (the extension point for functions without a factory).
Column call_function(const std::string& name, const std::vector<ColumnOrName>& args);

}  // namespace engine::functions
