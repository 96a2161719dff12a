// The verdicts of a data report, computed by the library so that the command, a C++ caller and Python get
// the same figures: the population stability index of a drift histogram, the drift of one column between a
// reference and a current frame (histogram, PSI, KS test, verdict), the thresholds a figure crosses and the
// overall status of a report.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "spark/calculation_handlers.h"
#include "spark/ks_2samp.h"

namespace spark {

class BaseSparkDatasetMixin;

// Population stability index of two proportion lists over the same bins: sum of (a - e) ln(a / e), with
// empty bins counted as 0.0001 so that a bin present on one side only adds a finite amount. NaN when the
// lists are empty or of different lengths.
double population_stability_index(const std::vector<double>& expected, const std::vector<double>& actual);

// How far a column moved: by the usual PSI bands (below 0.1 stable, 0.1 to 0.25 moderate, 0.25 and above
// drifted), or "drifted" as soon as a limit the user set is crossed.
enum class DriftVerdict { stable, moderate, drifted };
std::string to_string(DriftVerdict v);  // "stable", "moderate", "drifted"
DriftVerdict psi_band(double psi);      // NaN counts as stable (nothing to compare)

constexpr double kPsiModerate = 0.1;
constexpr double kPsiDrifted = 0.25;

// A limit crossed by a figure: `check` names the limit as the option does ("psi_above", "pvalue_below",
// "violations_above", "metric_below"), `feature` the column, check or metric it concerns.
struct ThresholdCrossed {
  std::string check;
  std::string feature;
  double value = 0;
  double limit = 0;
};
std::string describe(const ThresholdCrossed& t);  // one readable line

struct DriftLimits {
  std::optional<double> psi_above;     // drifted when the PSI is above
  std::optional<double> pvalue_below;  // drifted when the KS p-value is below (continuous columns)
};

// The kind of comparison a column gets: categories by their values, continuous columns in bins (with the
// KS test), dates in bins of time (their day or second counts; no KS test).
enum class DriftKind { categorical, continuous, date };
std::string to_string(DriftKind k);

struct FeatureDrift {
  std::string feature;
  DriftKind kind = DriftKind::continuous;
  std::string role = "feature";  // "feature", "target", "protected", "date"
  DriftHistogram histogram;
  double psi = 0;
  std::optional<KsResult> ks;
  DriftVerdict verdict = DriftVerdict::stable;
  std::vector<ThresholdCrossed> crossed;
  std::optional<std::string> error;  // set when the column cannot be compared (no values on one side)
};

// Compares `column` of `reference` and `current` on their non-missing values. A column without values on
// either side gets `error` and a stable verdict; other failures (a missing column) propagate.
FeatureDrift feature_drift(const engine::DataFrame& reference, const engine::DataFrame& current,
                           const std::string& column, DriftKind kind, std::optional<std::int64_t> bins,
                           const DriftLimits& limits);

// The columns of a dataset a drift comparison covers, with their kinds: the features, the dates (as time),
// the target and the protected column (as categories).
struct DriftColumn {
  std::string name;
  DriftKind kind;
  std::string role;
};
std::vector<DriftColumn> drift_columns(const BaseSparkDatasetMixin& ds);

// Drift of every column of `drift_columns(ds)` against `reference`; `per_column` limits replace the general
// ones for the columns they name. `progress` (when set) is called before each column with its index.
std::vector<FeatureDrift> dataset_drift(const BaseSparkDatasetMixin& ds, const engine::DataFrame& reference,
                                        std::optional<std::int64_t> bins, const DriftLimits& limits,
                                        const std::map<std::string, DriftLimits>& per_column = {},
                                        const std::function<void(std::size_t, std::size_t, const std::string&)>&
                                            progress = {});

// A report's status: "failed" when a limit is crossed, "warnings" when nothing is crossed but columns
// drifted (by the PSI bands) or rows violate a quality check, "passed" otherwise.
enum class ReportStatus { passed, warnings, failed };
std::string to_string(ReportStatus s);
ReportStatus report_status(std::size_t thresholds_crossed, std::size_t columns_drifted, std::int64_t violations);

}  // namespace spark
