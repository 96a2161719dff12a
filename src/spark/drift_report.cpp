#include "spark/drift_report.h"

#include <cmath>
#include <ctime>

#include <fmt/format.h>

#include "engine/functions.h"
#include "host/errors.h"
#include "spark/datasets/base_spark_dataset.h"
#include "spark/datasets/bias_spark_dataset.h"
#include "spark/model_report.h"

namespace spark {

namespace F = engine::functions;

double population_stability_index(const std::vector<double>& expected, const std::vector<double>& actual) {
  if (expected.empty() || actual.empty() || expected.size() != actual.size()) return std::nan("");
  constexpr double kEmpty = 1e-4;
  double psi = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const double e = expected[i] > 0 ? expected[i] : kEmpty;
    const double a = actual[i] > 0 ? actual[i] : kEmpty;
    psi += (a - e) * std::log(a / e);
  }
  return psi;
}

std::string to_string(DriftVerdict v) {
  switch (v) {
    case DriftVerdict::stable: return "stable";
    case DriftVerdict::moderate: return "moderate";
    case DriftVerdict::drifted: return "drifted";
  }
  return "stable";
}

DriftVerdict psi_band(double psi) {
  if (!(psi >= kPsiModerate)) return DriftVerdict::stable;  // also NaN
  return psi >= kPsiDrifted ? DriftVerdict::drifted : DriftVerdict::moderate;
}

std::string to_string(DriftKind k) {
  switch (k) {
    case DriftKind::categorical: return "categorical";
    case DriftKind::continuous: return "continuous";
    case DriftKind::date: return "date";
  }
  return "continuous";
}

std::string describe(const ThresholdCrossed& t) {
  if (t.check == "psi_above")
    return fmt::format("drift of {}: population stability index {:.4g} above {:g}", t.feature, t.value, t.limit);
  if (t.check == "pvalue_below")
    return fmt::format("drift of {}: KS p-value {:.3g} below {:g}", t.feature, t.value, t.limit);
  if (t.check == "violations_above")
    return fmt::format("{}: {:.0f} violating rows (limit {:g})", t.feature, t.value, t.limit);
  if (t.check == "metric_below") {
    // A gate on a figure that could not be computed counts as crossed: say so rather than print "nan".
    if (std::isnan(t.value)) return fmt::format("{} cannot be computed (limit {:g})", t.feature, t.limit);
    return fmt::format("{} {:.4g} is below {:g}", t.feature, t.value, t.limit);
  }
  return fmt::format("{} {}: {:.4g} (limit {:g})", t.check, t.feature, t.value, t.limit);
}

namespace {

// Dates and timestamps are compared as seconds since the epoch; their bins are labelled with dates. Date
// columns kept as text ("2022-04-03") are read as timestamps first; text that is no date is left out.
engine::DataFrame as_seconds(const engine::DataFrame& df, const std::string& column) {
  const engine::StructType schema = df.schema();
  const engine::DataType type = schema.fields()[0].dataType;
  if (type.isNumeric()) return df;
  engine::Column c = F::col(column);
  if (type.id() != engine::TypeId::Timestamp) c = c.cast(engine::TimestampType());
  return df.select(std::vector<engine::Column>{c.cast(engine::DoubleType()).alias(column)}).na().drop();
}

std::string date_text(double seconds, bool with_time) {
  const auto t = static_cast<std::time_t>(std::floor(seconds));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, with_time ? "%Y-%m-%d %H:%M" : "%Y-%m-%d", &tm);
  return buf;
}

}  // namespace

FeatureDrift feature_drift(const engine::DataFrame& reference, const engine::DataFrame& current,
                           const std::string& column, DriftKind kind, std::optional<std::int64_t> bins,
                           const DriftLimits& limits) {
  FeatureDrift f;
  f.feature = column;
  f.kind = kind;
  // Missing values (null, NaN) are no part of a distribution: both samples are compared on their values.
  engine::DataFrame ref = reference.select(std::vector<std::string>{column}).na().drop();
  engine::DataFrame cur = current.select(std::vector<std::string>{column}).na().drop();
  if (kind == DriftKind::date) {
    ref = as_seconds(ref, column);
    cur = as_seconds(cur, column);
  }
  try {
    f.histogram = drift_histogram(ref, cur, bins, "bins", kind == DriftKind::categorical);
    if (kind == DriftKind::date && f.histogram.edges.size() == f.histogram.labels.size() + 1) {
      const bool with_time = !f.histogram.edges.empty() && f.histogram.edges.back() - f.histogram.edges.front() < 3 * 86400.0;
      for (std::size_t i = 0; i < f.histogram.labels.size(); ++i)
        f.histogram.labels[i] = date_text(f.histogram.edges[i], with_time);
    }
    f.psi = population_stability_index(f.histogram.expected, f.histogram.actual);
    if (kind == DriftKind::continuous) f.ks = spark_ks_2samp(ref, cur);
  } catch (const norq::ValueError& e) {
    // A column without values in either sample cannot be compared; the others still are.
    f.error = e.what();
    f.psi = std::nan("");
    return f;
  }
  f.verdict = psi_band(f.psi);
  if (limits.psi_above) {
    if (std::isfinite(f.psi) && f.psi > *limits.psi_above) {
      f.crossed.push_back({"psi_above", column, f.psi, *limits.psi_above});
    } else if (f.verdict == DriftVerdict::drifted) {
      // A limit the user set above the band replaces it: under the limit is at most a moderate shift.
      f.verdict = DriftVerdict::moderate;
    }
  }
  if (limits.pvalue_below && f.ks && f.ks->statistic && f.ks->pvalue < *limits.pvalue_below)
    f.crossed.push_back({"pvalue_below", column, f.ks->pvalue, *limits.pvalue_below});
  if (!f.crossed.empty()) f.verdict = DriftVerdict::drifted;
  return f;
}

std::vector<DriftColumn> drift_columns(const BaseSparkDatasetMixin& ds) {
  std::vector<DriftColumn> out;
  for (const std::string& name : ds.feature_names())
    out.push_back({name, ds.is_categorical_feature(name) ? DriftKind::categorical : DriftKind::continuous, "feature"});
  for (const std::string& name : ds.date_feature_names()) out.push_back({name, DriftKind::date, "date"});
  if (const auto* bias = dynamic_cast<const BiasSparkDataset*>(&ds)) {
    const std::string prot = bias->protected_name();
    bool listed = false;
    for (const DriftColumn& c : out) listed = listed || c.name == prot;
    if (!listed) out.push_back({prot, DriftKind::categorical, "protected"});
  }
  // A label of classes (text, booleans, 0/1) is compared by its classes even when the row-count rule guessed
  // the column continuous; only a numeric label with other values (a regression target) gets bins.
  const bool classes = ds.target_categorical() || !is_regression_label(ds.target(), ds.target_name());
  out.push_back({ds.target_name(), classes ? DriftKind::categorical : DriftKind::continuous, "target"});
  return out;
}

std::vector<FeatureDrift> dataset_drift(const BaseSparkDatasetMixin& ds, const engine::DataFrame& reference,
                                        std::optional<std::int64_t> bins, const DriftLimits& limits,
                                        const std::map<std::string, DriftLimits>& per_column,
                                        const std::function<void(std::size_t, std::size_t, const std::string&)>& progress) {
  const std::vector<DriftColumn> columns = drift_columns(ds);
  std::vector<FeatureDrift> out;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const DriftColumn& c = columns[i];
    if (progress) progress(i, columns.size(), c.name);
    const auto it = per_column.find(c.name);
    DriftLimits l = limits;
    if (it != per_column.end()) {
      if (it->second.psi_above) l.psi_above = it->second.psi_above;
      if (it->second.pvalue_below) l.pvalue_below = it->second.pvalue_below;
    }
    FeatureDrift f = feature_drift(reference, ds.feature(c.name), c.name, c.kind, bins, l);
    f.role = c.role;
    out.push_back(std::move(f));
  }
  return out;
}

std::string to_string(ReportStatus s) {
  switch (s) {
    case ReportStatus::passed: return "passed";
    case ReportStatus::warnings: return "warnings";
    case ReportStatus::failed: return "failed";
  }
  return "passed";
}

ReportStatus report_status(std::size_t thresholds_crossed, std::size_t columns_drifted, std::int64_t violations) {
  if (thresholds_crossed > 0) return ReportStatus::failed;
  if (columns_drifted > 0 || violations > 0) return ReportStatus::warnings;
  return ReportStatus::passed;
}

}  // namespace spark
