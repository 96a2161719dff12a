#include "spark/datasets/simple_spark_dataset.h"

#include <cstdint>

#include "host/errors.h"
#include "spark/utils.h"

namespace spark {

SimpleSparkPredictionCache::SimpleSparkPredictionCache(const DataFrame& df, const std::string& target_label,
                                                       const std::string& predicted_label)
    : _cache(df) {
  set_cache(df, target_label, predicted_label);
}

void SimpleSparkPredictionCache::set_cache(const DataFrame& df, const std::string& target_label,
                                           const std::string& predicted_label) {
  _cache = df.cache();
  _target_label = target_label;
  _predicted_label = predicted_label;
}

DataFrame SimpleSparkPredictionCache::get_data(const std::string& condition) const {
  return condition.empty() ? _cache : _cache.filter(condition);
}
std::string SimpleSparkPredictionCache::get_target(const std::string&) const { return _target_label; }
std::optional<std::string> SimpleSparkPredictionCache::get_protected(const std::string&) const { return std::nullopt; }
std::string SimpleSparkPredictionCache::get_predicted(const std::string&) const { return _predicted_label; }

void fill_checksums(const DataFrame& training, const DataFrame& validation, const DataFrame& testing,
                    bool is_algorithmic, norq::OrderedStringMap& checksum, std::string& overall_checksum) {
  checksum.clear();
  // Unsigned arithmetic: the total is only ever reported modulo 2^64.
  std::uint64_t total = 0;
  const std::pair<const char*, const DataFrame*> segments[] = {
      {"training_data", &training}, {"validation_data", &validation}, {"testing_data", &testing}};
  for (const auto& [key, frame] : segments) {
    const std::uint64_t value = is_algorithmic ? 0 : static_cast<std::uint64_t>(hash_df(*frame));
    total += value;
    checksum.set(key, checksum_text(value));
  }
  overall_checksum = checksum_text(total);
}

bool same_rows(const DataFrame& mine, const DataFrame& theirs) { return mine.exceptAll(theirs).collect().empty(); }


std::shared_ptr<SimpleSparkDataset> SimpleSparkDataset::create(const Options& options) {
  return std::make_shared<SimpleSparkDataset>(Key{}, options);
}

SimpleSparkDataset::SimpleSparkDataset(Key, const Options& options) : BaseSparkDatasetMixin(core_options(options)) {
  fill_checksums(_training_data, _validation_data, _testing_data, options.is_algorithmic, _checksum, _overall_checksum);
  _prediction_cache = nullptr;
}

bool SimpleSparkDataset::compare_feature(const norq::AbstractDataset& other_dataset, const std::string& afeature) const {
  if (number_of_samples() != other_dataset.number_of_samples()) return false;
  const norq::SimpleDataset<DataFrame>& other = as_spark_dataset(other_dataset);
  if (afeature != target_name()) return same_rows(feature(afeature), other.feature(afeature));
  return same_rows(target(), other.target());
}

std::shared_ptr<SimpleSparkDataset> SimpleSparkDataset::filter(const std::string& condition,
                                                               DatasetSegment dataset_segment) const {
  FilteredParts parts = filtered_parts(condition, dataset_segment);
  Options o;
  o.training_data = std::move(parts.training);
  o.validation_data = std::move(parts.validation);
  o.testing_data = std::move(parts.testing);
  o.feature_names = all_feature_names();
  o.categorical_features = std::move(parts.categorical);
  o.continuous_features = std::move(parts.continuous);
  o.date_features = date_feature_names();
  o.id_features = id_feature_names();
  o.history = history();
  o.target_name = target_name();
  o.name = name() + "|" + condition;
  o.target_categorical = target_categorical();
  o.is_algorithmic = true;
  return create(o);
}

void SimpleSparkDataset::cache_predictions(const DataFrame& predictions, const std::string& prediction_name,
                                           const std::string& condition) {
  DataFrame frame = condition.empty() ? predictions : predictions.filter(condition);
  if (!_prediction_cache)
    _prediction_cache = std::make_shared<SimpleSparkPredictionCache>(frame, target_name(), prediction_name);
  else
    _prediction_cache->set_cache(frame, target_name(), prediction_name);
}

}  // namespace spark
