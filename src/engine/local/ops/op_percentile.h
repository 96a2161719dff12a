// percentile_approx / approx_percentile: Spark's approximate percentile aggregate over Greenwald-Khanna
// summaries (quantile_summaries.h), one summary per group, partials merged in partition order.
#pragma once

#include "engine/local/ops/op_aggregate.h"

namespace engine::local {

AggregateDef percentileApproxDef();

// Spark's default accuracy (ApproximatePercentile.DEFAULT_PERCENTILE_ACCURACY).
constexpr int kDefaultPercentileAccuracy = 10000;

}  // namespace engine::local
