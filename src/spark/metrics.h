// Model performance and fairness metrics over engine frames: each a single aggregation returning one number,
// registered with the framework under its calculation name for engine frames.
#pragma once

#include "host/calculations.h"

namespace spark {

// Each reads the fields it needs from the framework's parameters (data: an engine frame; pred, label, the
// outcome labels, protected_, privileged, unprivileged, metric) and returns the share rounded to two
// decimals (ties to even on the exact binary value), or NaN when there is no row to judge.
double spark_accuracy(const norq::CalculationParams& p);
double spark_true_pos_rate(const norq::CalculationParams& p);
double spark_true_neg_rate(const norq::CalculationParams& p);
double spark_demographic_parity(const norq::CalculationParams& p);
double spark_equal_odds_tpr(const norq::CalculationParams& p);
double spark_equal_odds_tnr(const norq::CalculationParams& p);
double spark_equal_opportunity(const norq::CalculationParams& p);
// NotImplementedError: not offered for engine frames.
double spark_individual_fairness(const norq::CalculationParams& p);
// The metric `p.metric` (any registered calculation) on the privileged group minus the same on the
// unprivileged group; NaN when the unprivileged value is 0, and without a query for "individual_fairness_cf".
double spark_metric_diff(const norq::CalculationParams& p);

namespace metrics {
// Registers the nine calculations for engine frames, once per process.
void load();
}  // namespace metrics

}  // namespace spark
