// The two-sample Kolmogorov-Smirnov test over engine frames: the empirical distribution of each sample by a
// window function, aligned on the observed values by a full outer join, the largest distance between them,
// and its asymptotic p-value.
#pragma once

#include <optional>
#include <string>

#include "engine/dataframe.h"
#include "host/calculations.h"

namespace spark {

// One row per distinct non-null value of the first column of `df`: the value and, under `col_name`, the
// share of the sample's non-null values less than or equal to it.
engine::DataFrame get_cdf(const engine::DataFrame& df, const std::string& col_name);

struct KsResult {
  std::optional<double> statistic;  // none when a sample has no value
  double pvalue = 1.0;
};

// The statistic (the largest distance between the two empirical distribution functions, the joined values
// filled in ascending order, each distribution 0 below its sample's smallest value) and the p-value Q((en + 0.12 + 0.11/en) D), en = sqrt(n1 n2 / (n1 + n2)).
// The first sample's first column names the column of both. ValueError naming the column when neither
// sample has a value.
KsResult spark_ks_2samp(const engine::DataFrame& df1, const engine::DataFrame& df2);
// The framework's form: the samples in `data` and `data2`.
KsResult spark_ks_2samp(const norq::CalculationParams& p);

// Survival function of the limiting Kolmogorov distribution:
// Q(x) = 2 sum_{k>=1} (-1)^(k-1) exp(-2 k^2 x^2); 1 for x <= 0, 0 at infinity, NaN for NaN.
double kolmogorov_survival(double x);

// Registers "ks_2samp" for engine frames, once per process.
void register_ks_2samp();

}  // namespace spark
