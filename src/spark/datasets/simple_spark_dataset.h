// The plain dataset over engine frames (features, a target, optionally a prediction column; no protected
// attribute) with its checksums, feature comparison, filtering and prediction cache.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/datasets.h"
#include "spark/datasets/base_spark_dataset.h"

namespace spark {

// A model's predictions over one engine frame, with the names of its target and prediction columns.
class SimpleSparkPredictionCache : public norq::PredictionCache<DataFrame> {
 public:
  SimpleSparkPredictionCache(const DataFrame& df, const std::string& target_label, const std::string& predicted_label);

  // Stores `df` marked for engine caching, and the two labels.
  void set_cache(const DataFrame& df, const std::string& target_label, const std::string& predicted_label);
  // The stored frame itself for an empty condition; otherwise the frame filtered by it.
  DataFrame get_data(const std::string& condition = "") const override;
  std::string get_target(const std::string& condition = "") const override;
  std::optional<std::string> get_protected(const std::string& condition = "") const override;  // always none
  std::string get_predicted(const std::string& condition = "") const override;

 private:
  DataFrame _cache;
  std::string _target_label;
  std::string _predicted_label;
};

// Implementation of the Simple dataset class using spark dataframes.
class SimpleSparkDataset : public BaseSparkDatasetMixin, public norq::SimpleDataset<DataFrame> {
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
    std::optional<std::string> prediction_name;
    std::optional<std::string> name;
    bool target_categorical = true;
    // A dataset the system derived from another (by filtering): its checksums are all zero and no
    // hashing query runs.
    bool is_algorithmic = false;
  };

  // Validates the frames and names (ValueError on the first failing check), then checksums each segment.
  static std::shared_ptr<SimpleSparkDataset> create(const Options& options);
  SimpleSparkDataset(Key, const Options& options);

  // The framework's dataset interface, answered by the shared dataset core.
  DataFrame feature(const std::string& name, const std::string& mask = "") const override {
    return BaseSparkDatasetMixin::feature(name, mask);
  }
  DataFrame target() const override { return BaseSparkDatasetMixin::target(); }
  DataFrame get_segment_data(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                             const std::string& mask = "") const override {
    return BaseSparkDatasetMixin::get_segment_data(name, dataset_segment, mask);
  }

  // Whether `afeature` (or the target, when it names the target) holds the same multiset of values in both
  // datasets. Different row counts answer false without scanning anything else.
  bool compare_feature(const norq::AbstractDataset& other_dataset, const std::string& afeature) const;
  // A new, derived dataset over the rows matching `condition`: of every segment for ALL, of the named
  // segment only otherwise (the other segments empty). No prediction column; zero checksums.
  std::shared_ptr<SimpleSparkDataset> filter(const std::string& condition,
                                             DatasetSegment dataset_segment = DatasetSegment::ALL) const;
  // Caches `predictions` (filtered by `condition` when not empty); later calls refill the same cache object.
  void cache_predictions(const DataFrame& predictions, const std::string& prediction_name, const std::string& condition);
  std::shared_ptr<SimpleSparkPredictionCache> get_predictions_cache() const { return _prediction_cache; }

 private:
  std::shared_ptr<SimpleSparkPredictionCache> _prediction_cache;
};

// The per-segment checksums (keys "training_data", "validation_data", "testing_data") and the overall one,
// as checksum text; all zero for a derived dataset.
void fill_checksums(const DataFrame& training, const DataFrame& validation, const DataFrame& testing,
                    bool is_algorithmic, norq::OrderedStringMap& checksum, std::string& overall_checksum);

// Whether `mine` and `theirs` hold the same multiset of rows, given equal row counts: the one-way multiset
// difference is empty.
bool same_rows(const DataFrame& mine, const DataFrame& theirs);

}  // namespace spark
