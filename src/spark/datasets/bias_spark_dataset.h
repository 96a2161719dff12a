// The dataset with a protected attribute over engine frames: the plain dataset's behaviour plus the
// protected column (kept out of the feature lists unless retained), its accessors, and metric parameters
// that carry it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/datasets.h"
#include "spark/datasets/base_spark_dataset.h"

namespace spark {

// A model's predictions over one engine frame, with the names of its target, protected and prediction
// columns. Filtered views (get_data with a condition) are memoised per cache, condition and stored frame.
class BiasSparkPredictionCache : public norq::PredictionCache<DataFrame>,
                                 public std::enable_shared_from_this<BiasSparkPredictionCache> {
 public:
  BiasSparkPredictionCache(const DataFrame& df, const std::string& target_label, const std::string& protected_label,
                           const std::string& predicted_label);

  void set_cache(const DataFrame& df, const std::string& target_label, const std::string& protected_label,
                 const std::string& predicted_label);
  DataFrame get_data(const std::string& condition = "") const override;
  std::string get_target(const std::string& condition = "") const override;
  std::optional<std::string> get_protected(const std::string& condition = "") const override;
  std::string get_predicted(const std::string& condition = "") const override;

 private:
  DataFrame _cache;
  std::string _target_label;
  std::string _protected_label;
  std::string _predicted_label;
};

// Implementation of the BiasDataset class using spark dataframes.
class BiasSparkDataset : public BaseSparkDatasetMixin, public norq::BiasDataset<DataFrame> {
  struct Key {
    explicit Key() = default;
  };

 public:
  struct Options {
    std::optional<DataFrame> training_data;
    std::optional<DataFrame> validation_data;
    std::optional<DataFrame> testing_data;
    std::optional<std::vector<std::string>> feature_names;
    std::optional<std::vector<std::string>> categorical_features;
    std::optional<std::vector<std::string>> continuous_features;
    std::optional<std::vector<std::string>> date_features;
    std::optional<std::vector<std::string>> id_features;
    std::shared_ptr<norq::History> history;
    std::optional<std::string> target_name;
    std::optional<std::string> protected_name;
    std::optional<std::string> prediction_name;
    std::optional<std::string> name;
    bool target_categorical = true;
    // Whether the protected column also stays an ordinary feature.
    bool retain_protected_feature = false;
    bool is_algorithmic = false;
  };

  // Every check of the plain dataset, then the protected column's: given, and a column of every segment.
  static std::shared_ptr<BiasSparkDataset> create(const Options& options);
  BiasSparkDataset(Key, const Options& options);

  // The framework's dataset interface.
  DataFrame feature(const std::string& name, const std::string& mask = "") const override {
    return BaseSparkDatasetMixin::feature(name, mask);
  }
  DataFrame target() const override { return BaseSparkDatasetMixin::target(); }
  std::string protected_name() const override { return _protected_name; }
  // All rows of the protected column.
  DataFrame protected_() const override;
  DataFrame protected_training() const;
  DataFrame protected_validation() const;
  DataFrame protected_testing() const;

  // The target and prediction, then the protected name unless it is retained as a feature.
  std::vector<std::string> get_restricted_features() const override;
  // The protected column of a segment (filtered by `mask`), or the core's selection for any other name.
  DataFrame get_segment_data(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                             const std::string& mask = "") const override;
  // The validation rows narrowed to the non-id, non-date features, the target, the protected column (once)
  // and the prediction; the protected slot holds the protected name.
  MetricCalculationParams get_metric_calculation_params(const std::string& condition = "") const override;
  std::string get_protected_metric_calculation_params(const std::string& condition = "") const;

  // As the plain dataset's; the protected column compares only with another bias dataset's.
  bool compare_feature(const norq::AbstractDataset& other_dataset, const std::string& afeature) const;
  std::shared_ptr<BiasSparkDataset> filter(const std::string& condition,
                                           DatasetSegment dataset_segment = DatasetSegment::ALL) const;
  void cache_predictions(const DataFrame& predictions, const std::string& prediction_name, const std::string& condition);
  std::shared_ptr<BiasSparkPredictionCache> get_predictions_cache() const { return _prediction_cache; }
  bool retain_protected_feature() const { return _retain_protected_feature; }

 private:
  std::string _protected_name;
  bool _retain_protected_feature = false;
  std::shared_ptr<BiasSparkPredictionCache> _prediction_cache;
};

}  // namespace spark
