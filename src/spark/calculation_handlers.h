// The engine's drift calculations for the framework: the histogram handler that turns two samples into
// aligned proportions per bin or per category, and (in ks_2samp.h) the two-sample Kolmogorov-Smirnov test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/dataframe.h"
#include "host/calculations.h"
#include "spark/histograms.h"

namespace spark {

// (expected proportions, actual proportions) of two one-column samples (the column named by the reference
// sample's first field), over shared bins or categories; a list is empty when its sample has nothing to count.
// Numeric samples: equal-width bins between the first and last breakpoint (given, or from the combined
// samples' range, quantiles or percent grid by `bucket_type`). Without a bin count or breakpoints the count
// is max(10, round(1 + 3.322 log10(n))) for n combined rows. ValueError naming the column when the samples
// hold no value to bin, or when an empty pair of samples leaves the bin count undefined. NaN is not a number
// on the line the bins span: a numeric sample holding NaN (or an infinity, which leaves no finite range)
// cannot be binned and gives a ValueError naming the column; drop such values first (na().drop()) to
// compare the rest.
norq::HistogramResult spark_histogram_handler(const engine::DataFrame& expected_dist, const engine::DataFrame& new_dist,
                                              std::optional<std::int64_t> number_of_bins = std::nullopt,
                                              const std::string& bucket_type = "bins", bool is_categorical = false,
                                              const std::optional<std::vector<double>>& breakpoints = std::nullopt);
// The framework's form: both samples as engine frames inside the request.
norq::HistogramResult spark_histogram_handler(const norq::HistogramRequest& request);

// The same comparison with what it was computed over, for reports: one label per bin or category (the
// category's text, or the bin's range "[lo, hi)"), the counts behind the proportions, and the bin edges of
// the numeric case.
struct DriftHistogram {
  std::vector<std::string> labels;
  std::vector<double> edges;  // numeric case only: labels.size() + 1 edges
  std::vector<std::int64_t> expected_counts, actual_counts;
  std::vector<double> expected, actual;  // the handler's proportions (empty when a sample has nothing to count)
};
DriftHistogram drift_histogram(const engine::DataFrame& expected_dist, const engine::DataFrame& new_dist,
                               std::optional<std::int64_t> number_of_bins = std::nullopt,
                               const std::string& bucket_type = "bins", bool is_categorical = false,
                               const std::optional<std::vector<double>>& breakpoints = std::nullopt);

// The default bin count for n combined rows.
std::int64_t default_bin_count(std::int64_t n);

namespace calculation_handlers {
// Registers "ks_2samp" for engine frames (once per process; later calls do nothing).
void load();
}  // namespace calculation_handlers

}  // namespace spark
