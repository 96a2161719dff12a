// Profiles and single-column histograms of a dataset.
#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include <fmt/format.h>

#include "engine/functions.h"
#include "host/errors.h"
#include "spark/datasets/base_spark_dataset.h"
#include "spark/datasets/column_type.h"
#include "spark/histograms.h"
#include "spark/rounding.h"

namespace spark {

namespace F = engine::functions;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A date or timestamp as seconds since the epoch.
double epoch_seconds(const engine::Value& v) {
  if (v.is<engine::Timestamp>()) return static_cast<double>(v.get<engine::Timestamp>().micros) / 1e6;
  if (v.is<engine::Date>()) return static_cast<double>(v.get<engine::Date>().days) * 86400.0;
  return v.toDouble();
}

}  // namespace

norq::FeatureDataProfile BaseSparkDatasetMixin::get_feature_profile(const std::string& feature,
                                                                    const DataFrame& feature_vals,
                                                                    norq::FeatureType atype) const {
  const std::int64_t num_samples = number_of_samples();
  double minimum = kNaN, maximum = kNaN;
  std::int64_t distinct = num_samples;
  if (atype != norq::FeatureType::Continuous) distinct = feature_vals.dropna().dropDuplicates().count();
  if (atype == norq::FeatureType::Continuous || atype == norq::FeatureType::Date) {
    std::optional<engine::Row> row = feature_vals.select(F::min(F::col(sql_identifier(feature))), F::max(F::col(sql_identifier(feature)))).first();
    const engine::Value lo = row ? row->values().at(0) : engine::Value();
    const engine::Value hi = row ? row->values().at(1) : engine::Value();
    if (!lo.isNull() && !hi.isNull()) {
      if (atype == norq::FeatureType::Continuous) {
        minimum = lo.toDouble();
        maximum = hi.toDouble();
      } else {
        minimum = epoch_seconds(lo);
        maximum = epoch_seconds(hi);
      }
    }
  }
  const std::int64_t missing = feature_vals.count() - feature_vals.dropna().count();
  norq::FeatureDataProfile p;
  p.feature = feature;
  p.condition = std::nullopt;
  p.type = atype;
  p.minimum = minimum;
  p.maximum = maximum;
  p.distinct_values = distinct;
  p.missing_values = missing;
  // A dataset without rows has no fraction of missing rows.
  p.missing_values_percentage =
      num_samples == 0 ? kNaN : static_cast<double>(missing) / static_cast<double>(num_samples);
  return p;
}

norq::DataProfile BaseSparkDatasetMixin::generate_data_profile(const std::optional<std::vector<std::string>>& group_by) const {
  if (group_by) throw norq::NotImplementedError("Group By not implemented for Spark");
  norq::DataProfile profile(name(), overall_checksum());
  // The kinds as sets: a lookup in the lists for each feature would cost a pass over every feature.
  const std::unordered_set<std::string> categorical(_categorical_features.begin(), _categorical_features.end());
  const std::unordered_set<std::string> continuous(_continuous_features.begin(), _continuous_features.end());
  const std::unordered_set<std::string> ids(_id_features.begin(), _id_features.end());
  for (const std::string& f : all_feature_names()) {
    norq::FeatureType kind = norq::FeatureType::Date;
    if (categorical.count(f))
      kind = norq::FeatureType::Categorical;
    else if (continuous.count(f))
      kind = norq::FeatureType::Continuous;
    else if (ids.count(f))
      kind = norq::FeatureType::ID;
    profile.add_feature_profile(get_feature_profile(f, feature(f), kind));
  }
  profile.add_feature_profile(get_feature_profile(
      _target_name, target(), _target_categorical ? norq::FeatureType::Categorical : norq::FeatureType::Continuous));
  if (has_predictions())
    profile.add_feature_profile(get_feature_profile(
        *_prediction_name, prediction(),
        _prediction_categorical ? norq::FeatureType::Categorical : norq::FeatureType::Continuous));
  return profile;
}

std::pair<std::vector<std::string>, std::vector<std::int64_t>> BaseSparkDatasetMixin::histogram(
    const std::string& feature_name, std::int64_t bins) const {
  const std::optional<engine::DataType> type = column_type(_all_data, feature_name);
  if (!type) throw norq::ValueError("No feature, protected feature or target " + feature_name + " in dataset.");
  const std::string type_name = type->typeName();
  const DataFrame values = _all_data.select(F::col(sql_identifier(feature_name))).na().drop();

  std::vector<std::string> labels;
  std::vector<std::int64_t> counts;
  const auto& numeric = spark_numeric_types();
  if (std::find(numeric.begin(), numeric.end(), type_name) == numeric.end()) {
    for (const engine::Row& r : values.groupBy(F::col(sql_identifier(feature_name))).count().orderBy(F::col("count").desc()).collect()) {
      const engine::Value& v = r.values().at(0);
      labels.push_back(v.is<std::string>() ? v.str() : v.toString());
      counts.push_back(r.values().at(1).toInt64());
    }
    return {labels, counts};
  }

  const std::vector<engine::Row> distinct = values.distinct().limit(101).collect();
  // A numeric column without values has nothing to bin.
  if (distinct.empty()) return {labels, counts};
  bool whole = true;
  for (const engine::Row& r : distinct) {
    const double v = r.values().at(0).toDouble();
    if (v != std::trunc(v)) {
      whole = false;
      break;
    }
  }
  const bool encoded = distinct.size() <= 100 && whole;
  if (encoded) {
    // One bar per code, labelled with it: equal-width bins over the range would merge or mislabel codes
    // that are not evenly spaced (12/24/36/48/60 months read 12/26/36/46/55).
    const engine::Column code = F::col(sql_identifier(feature_name));
    for (const engine::Row& r : values.groupBy(code).count().orderBy(code).collect()) {
      // Whole numbers beyond the 64-bit range (1e20) are printed from the double itself: a cast would wrap.
      const double at = r.values().at(0).toDouble();
      labels.push_back(std::fabs(at) < 9.2e18 ? fmt::format("{}", static_cast<std::int64_t>(at)) : fmt::format("{:.0f}", at));
      counts.push_back(r.values().at(1).toInt64());
    }
    return {labels, counts};
  }
  NumericHistogram h = computeNumericHistogram(values, feature_name, bins);
  for (double e : h.first) labels.push_back(float_text(round_decimal(e, 2)));
  return {labels, h.second};
}

}  // namespace spark
