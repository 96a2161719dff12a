#include "spark/datasets/bias_spark_dataset.h"

#include <algorithm>

#include "engine/functions.h"
#include "host/errors.h"
#include "host/lru_memo.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark/histograms.h"

namespace spark {

namespace F = engine::functions;

namespace {

// Filtered views of prediction caches, shared by all caches. The key includes the stored frame's plan, so
// that a cache refilled through set_cache never answers with a view of the frame it held before.
auto& get_data_memo() {
  static norq::LruMemo<BiasSparkPredictionCache, DataFrame, const engine::Plan*, std::string> m;
  return m;
}

bool contains(const std::vector<std::string>& names, const std::string& n) {
  return std::find(names.begin(), names.end(), n) != names.end();
}

}  // namespace

BiasSparkPredictionCache::BiasSparkPredictionCache(const DataFrame& df, const std::string& target_label,
                                                   const std::string& protected_label,
                                                   const std::string& predicted_label)
    : _cache(df) {
  set_cache(df, target_label, protected_label, predicted_label);
}

void BiasSparkPredictionCache::set_cache(const DataFrame& df, const std::string& target_label,
                                         const std::string& protected_label, const std::string& predicted_label) {
  _cache = df.cache();
  _target_label = target_label;
  _protected_label = protected_label;
  _predicted_label = predicted_label;
}

DataFrame BiasSparkPredictionCache::get_data(const std::string& condition) const {
  auto compute = [&] { return condition.empty() ? _cache : _cache.filter(condition); };
  std::shared_ptr<const BiasSparkPredictionCache> self = weak_from_this().lock();
  if (!self) return compute();  // not owned by a shared_ptr: nothing to key a memo entry by
  return get_data_memo().get(self, _cache.plan().get(), condition, compute);
}

std::string BiasSparkPredictionCache::get_target(const std::string&) const { return _target_label; }
std::optional<std::string> BiasSparkPredictionCache::get_protected(const std::string&) const { return _protected_label; }
std::string BiasSparkPredictionCache::get_predicted(const std::string&) const { return _predicted_label; }


std::shared_ptr<BiasSparkDataset> BiasSparkDataset::create(const Options& options) {
  return std::make_shared<BiasSparkDataset>(Key{}, options);
}

BiasSparkDataset::BiasSparkDataset(Key, const Options& options) : BaseSparkDatasetMixin(core_options(options)) {
  if (!options.protected_name) throw norq::ValueError("Protected name not provided");
  const std::string& name = *options.protected_name;
  if (!contains(_training_data.columns(), name)) throw norq::ValueError("Protected name not present in training data.");
  if (!contains(_validation_data.columns(), name))
    throw norq::ValueError("Protected name not present in validation data.");
  if (!contains(_testing_data.columns(), name)) throw norq::ValueError("Protected name not present in testing data.");
  _protected_name = name;
  if (!options.retain_protected_feature) {
    auto it = std::find(_non_id_date_features.begin(), _non_id_date_features.end(), name);
    if (it == _non_id_date_features.end())
      throw norq::ValueError("Protected name " + name +
                             " is not one of the features (an identifier, date, target or prediction column cannot be "
                             "the protected attribute).");
    _non_id_date_features.erase(it);
  }
  fill_checksums(_training_data, _validation_data, _testing_data, options.is_algorithmic, _checksum, _overall_checksum);
  _retain_protected_feature = options.retain_protected_feature;
  _prediction_cache = nullptr;
}

DataFrame BiasSparkDataset::protected_() const { return _all_data.select(F::col(sql_identifier(_protected_name))); }
DataFrame BiasSparkDataset::protected_training() const {
  return _training_data.select(F::col(sql_identifier(_protected_name)));
}
DataFrame BiasSparkDataset::protected_validation() const {
  return _validation_data.select(F::col(sql_identifier(_protected_name)));
}
DataFrame BiasSparkDataset::protected_testing() const {
  return _testing_data.select(F::col(sql_identifier(_protected_name)));
}

std::vector<std::string> BiasSparkDataset::get_restricted_features() const {
  std::vector<std::string> names = BaseSparkDatasetMixin::get_restricted_features();
  if (!_retain_protected_feature) names.push_back(_protected_name);
  return names;
}

DataFrame BiasSparkDataset::get_segment_data(const std::string& name, DatasetSegment dataset_segment,
                                             const std::string& mask) const {
  if (name != _protected_name) return BaseSparkDatasetMixin::get_segment_data(name, dataset_segment, mask);
  const DataFrame& frame = segment_frame(dataset_segment);
  if (mask.empty()) return frame.select(F::col(sql_identifier(_protected_name)));
  return frame.filter(mask).select(F::col(sql_identifier(_protected_name)));
}

MetricCalculationParams BiasSparkDataset::get_metric_calculation_params(const std::string& condition) const {
  std::vector<std::string> columns = _non_id_date_features;
  columns.push_back(target_name());
  // A retained protected attribute is already among the features: select it once, so that the frame has
  // no two columns of the same name.
  if (!contains(columns, _protected_name)) columns.push_back(_protected_name);
  if (has_predictions()) columns.push_back(*prediction_name());
  DataFrame frame = condition.empty() ? _validation_data : _validation_data.filter(condition);
  std::vector<engine::Column> quoted;
  for (const std::string& c : columns) quoted.push_back(F::col(sql_identifier(c)));
  return MetricCalculationParams{frame.select(quoted), prediction_name(), target_name(),
                                 std::vector<std::string>{_protected_name}};
}

std::string BiasSparkDataset::get_protected_metric_calculation_params(const std::string&) const {
  return _protected_name;
}

bool BiasSparkDataset::compare_feature(const norq::AbstractDataset& other_dataset, const std::string& afeature) const {
  if (number_of_samples() != other_dataset.number_of_samples()) return false;
  if (afeature == _protected_name) {
    const auto* other = dynamic_cast<const norq::BiasDataset<DataFrame>*>(&other_dataset);
    if (!other) return false;
    return same_rows(protected_(), other->protected_());
  }
  const norq::SimpleDataset<DataFrame>& other = as_spark_dataset(other_dataset);
  if (afeature != target_name()) return same_rows(feature(afeature), other.feature(afeature));
  return same_rows(target(), other.target());
}

std::shared_ptr<BiasSparkDataset> BiasSparkDataset::filter(const std::string& condition,
                                                           DatasetSegment dataset_segment) const {
  FilteredParts parts = filtered_parts(condition, dataset_segment);
  std::vector<std::string> features = all_feature_names();
  // A retained protected attribute is already a feature; naming it twice would make the derived dataset
  // fail its own column count.
  if (!contains(features, _protected_name)) features.push_back(_protected_name);
  Options o;
  o.training_data = std::move(parts.training);
  o.validation_data = std::move(parts.validation);
  o.testing_data = std::move(parts.testing);
  o.feature_names = std::move(features);
  o.categorical_features = std::move(parts.categorical);
  o.continuous_features = std::move(parts.continuous);
  o.date_features = date_feature_names();
  o.id_features = id_feature_names();
  o.history = history();
  o.protected_name = _protected_name;
  o.target_name = target_name();
  o.name = name() + "|" + condition;
  o.target_categorical = target_categorical();
  o.retain_protected_feature = _retain_protected_feature;
  o.is_algorithmic = true;
  return create(o);
}

void BiasSparkDataset::cache_predictions(const DataFrame& predictions, const std::string& prediction_name,
                                         const std::string& condition) {
  DataFrame frame = condition.empty() ? predictions : predictions.filter(condition);
  if (!_prediction_cache)
    _prediction_cache = std::make_shared<BiasSparkPredictionCache>(frame, target_name(), _protected_name, prediction_name);
  else
    _prediction_cache->set_cache(frame, target_name(), _protected_name, prediction_name);
}

}  // namespace spark
