// The two-sample Kolmogorov-Smirnov test over engine frames: the empirical distribution functions of both
// samples as running counts over one sort of their distinct values, the largest distance between them, and
// its asymptotic p-value from the limiting Kolmogorov distribution.
#pragma once

#include <optional>
#include <string>

#include "engine/dataframe.h"
#include "host/calculations.h"

namespace spark {

// One row per distinct non-null (and non-NaN) value of the first column of `df`: that column under its own
// name and, under `col_name`, the share of the column's non-null values less than or equal to the value (a
// double in (0, 1]; tied values share it). Lazy: computed with a window over the whole sample in value order
// when the result is queried. ValueError when `df` has no column.
engine::DataFrame get_cdf(const engine::DataFrame& df, const std::string& col_name);

struct KsResult {
  std::optional<double> statistic;  // absent when a sample has no value
  double pvalue = 1.0;
};

// The test of two samples: the column named by `df1`'s first field, taken from both frames (the engine's
// AnalysisException when `df2` lacks it); nulls and NaN ignored.
// - statistic D: the largest distance between the two empirical distribution functions (each 0 below its
//   sample's smallest value), the same on every run;
// - p-value: Q((en + 0.12 + 0.11 / en) * D) with en = sqrt(n1 n2 / (n1 + n2)) over the non-null counts n1,
//   n2 (Stephens' small-sample correction of the asymptotic distribution).
// One sample without a value: no statistic and p-value 1.0. Neither sample with a value: ValueError naming
// the column. Three engine jobs (two counts and one aggregation returning one row); two when a sample is
// empty.
KsResult spark_ks_2samp(const engine::DataFrame& df1, const engine::DataFrame& df2);
// The framework's form: the first sample in `data`, the second in `data2`, both engine frames (otherwise a
// ValueError naming the calculation).
KsResult spark_ks_2samp(const norq::CalculationParams& p);

// Survival function of the limiting Kolmogorov distribution (of sqrt(n) times the one-sample statistic):
// Q(x) = 2 sum_{k>=1} (-1)^(k-1) exp(-2 k^2 x^2) for x > 0; 1 for x <= 0, 0 at +infinity, NaN for NaN.
// Accurate to a few units in the last place over the whole range (relative; where Q is subnormal, to its
// spacing).
double kolmogorov_survival(double x);

// Registers "ks_2samp" for engine frames, once per process (thread-safe; later calls do nothing).
void register_ks_2samp();

}  // namespace spark
