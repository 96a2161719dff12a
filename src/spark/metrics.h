// Model performance and fairness metrics over engine frames. Each rate is the mean of a 1/0 indicator computed
// by one engine aggregation that returns one row, rounded to two decimals; the functions are registered with
// the framework under its calculation names for engine frames, so that the framework's calculations run here
// whenever their data is an engine frame.
#pragma once

#include "host/calculations.h"

namespace spark {

// Every function reads the fields it needs from the framework's one parameter set and ignores the others:
// `data` (an engine::DataFrame; anything else is a norq::ValueError naming the calculation), `pred` and `label`
// (column names), `positive_outcome_label` / `negative_outcome_label` (label values). A rate over no rows is
// NaN, never an error; a row whose compared value is null counts as a miss, not as a skipped row. Columns the
// frame lacks surface as the engine's AnalysisException.

// Share of rows whose prediction equals the label.
double spark_accuracy(const norq::CalculationParams& p);
// Share of correct predictions among the rows labelled positive_outcome_label.
double spark_true_pos_rate(const norq::CalculationParams& p);
// Share of correct predictions among the rows labelled negative_outcome_label.
double spark_true_neg_rate(const norq::CalculationParams& p);
// Share of all rows predicted as positive_outcome_label.
double spark_demographic_parity(const norq::CalculationParams& p);
// The true positive rate (equal odds and equal opportunity are defined by it) ...
double spark_equal_odds_tpr(const norq::CalculationParams& p);
double spark_equal_opportunity(const norq::CalculationParams& p);
// ... and the true negative rate.
double spark_equal_odds_tnr(const norq::CalculationParams& p);
// Not offered for engine frames: norq::NotImplementedError, without touching the data.
double spark_individual_fairness(const norq::CalculationParams& p);
// `p.metric` (any calculation registered for engine frames) over the rows whose `protected_` column is in
// `privileged`, minus the same over the rows in `unprivileged`; unscaled. The metric is called through the
// framework with the group frame as data and pred, label and the two outcome labels, and its value is read
// under its own name. NaN when the unprivileged value is exactly 0, and NaN without any query for the
// counterfactual "individual_fairness_cf". Two engine jobs (one per group) for the rates above.
double spark_metric_diff(const norq::CalculationParams& p);

// x rounded to two decimal places, to nearest with ties to even, judged on the exact binary value of x: 1/8
// gives 0.12 and 3/8 gives 0.38, while 0.145 (stored slightly below) gives 0.14. The result is the double
// nearest to that decimal. NaN and infinities unchanged.
double round_to_hundredths(double x);

namespace metrics {
// Registers the nine calculations for engine frames, once per process (thread-safe; later calls do nothing).
void load();
}  // namespace metrics

}  // namespace spark
