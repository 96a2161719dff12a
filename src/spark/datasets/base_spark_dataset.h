// The core of every dataset whose rows live in engine frames: the three segment frames (training,
// validation, testing) and the persisted frame of all rows, the column names sorted into kinds, and every
// accessor, predicate and column statistic that does not depend on whether the dataset is plain or carries a
// protected attribute. The concrete classes (SimpleSparkDataset, BiasSparkDataset) combine it with the
// framework's dataset interfaces and add checksums, comparison, filtering and prediction caches.
//
// Datasets are always owned by a shared_ptr (the concrete classes only hand out shared_ptrs): the memoised
// operations key their shared memos by the dataset object and keep it alive while an entry exists.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/dataframe.h"
#include "engine/local_table.h"
#include "engine/value.h"
#include "host/datasets.h"
#include "host/dataprofile.h"
#include "host/enums.h"

namespace spark {

using engine::DataFrame;
using norq::DatasetSegment;

// What the framework's metric calculations receive: the rows to compute over (narrowed to the calculation
// columns), the prediction and target names, and the protected slot (the protected column's name in a
// one-element list for a bias dataset; none otherwise).
struct MetricCalculationParams {
  DataFrame frame;
  std::optional<std::string> prediction_name;
  std::string target_name;
  std::optional<std::vector<std::string>> protected_;
};

// `other` as a dataset over engine frames; ValueError "Incompatible dataset backends" when it is not one.
const norq::SimpleDataset<DataFrame>& as_spark_dataset(const norq::AbstractDataset& other);

class BaseSparkDatasetMixin : public virtual norq::AbstractDataset {
 public:
  // Constructor arguments; every one is optional (none when absent).
  struct Options {
    std::optional<DataFrame> training_data;
    std::optional<DataFrame> validation_data;
    std::optional<DataFrame> testing_data;
    std::optional<std::vector<std::string>> feature_names;
    std::optional<std::vector<std::string>> categorical_features;
    std::optional<std::vector<std::string>> continuous_features;
    std::optional<std::vector<std::string>> date_features;
    std::optional<std::vector<std::string>> id_features;
    // Kept by reference: the dataset shares the caller's history list; a new empty list when null.
    std::shared_ptr<norq::History> history;
    std::optional<std::string> target_name;  // default: the training frame's last column
    std::optional<std::string> prediction_name;
    std::optional<std::string> name;  // default: the dataset's identifier
    bool target_categorical = true;
    bool predictions_categorical = true;
  };

  // The core's arguments out of a concrete dataset's options (which add fields of their own).
  template <class ConcreteOptions>
  static Options core_options(const ConcreteOptions& o) {
    Options b;
    b.training_data = o.training_data;
    b.validation_data = o.validation_data;
    b.testing_data = o.testing_data;
    b.feature_names = o.feature_names;
    b.categorical_features = o.categorical_features;
    b.continuous_features = o.continuous_features;
    b.id_features = o.id_features;
    b.date_features = o.date_features;
    b.history = o.history;
    b.target_name = o.target_name;
    b.prediction_name = o.prediction_name;
    b.target_categorical = o.target_categorical;
    b.name = o.name;
    return b;
  }

  ~BaseSparkDatasetMixin() override = default;
  BaseSparkDatasetMixin(const BaseSparkDatasetMixin&) = delete;
  BaseSparkDatasetMixin& operator=(const BaseSparkDatasetMixin&) = delete;

  // Type names of the numeric column types: byte, short, integer, long, float, double, decimal.
  static const std::vector<std::string>& spark_numeric_types();

  // A frame without columns and rows, handed out by the prediction accessors when there is no prediction.
  const DataFrame& empty_pred() const { return empty_pred_; }

  // Identity and bookkeeping.
  norq::DataBackend data_backend() const override { return norq::DataBackend::SPARK; }
  std::string overall_checksum() const override { return _overall_checksum; }
  const norq::OrderedStringMap& checksum() const override { return _checksum; }
  const std::shared_ptr<norq::History>& history() const { return _history; }
  std::string id() const override { return _id; }
  std::string name() const override { return _name; }

  // Counts. The sample counts run one engine count each on first use and are memoised (shared memos of 128
  // entries keyed by the dataset).
  std::int64_t number_of_features() const { return static_cast<std::int64_t>(feature_names().size()); }
  std::int64_t number_of_id_features() const { return static_cast<std::int64_t>(_id_features.size()); }
  std::int64_t number_of_date_features() const { return static_cast<std::int64_t>(_date_features.size()); }
  std::int64_t number_of_samples() const override;
  std::int64_t number_of_training_samples() const;
  std::int64_t number_of_validation_samples() const;
  std::int64_t number_of_testing_samples() const;

  // Names by kind (fresh copies).
  std::vector<std::string> all_feature_names() const override;  // features minus restricted names
  std::vector<std::string> feature_names() const override;      // ... and minus identifiers and dates
  std::vector<std::string> id_feature_names() const { return _id_features; }
  std::vector<std::string> date_feature_names() const { return _date_features; }
  std::vector<std::string> categorical_features() const { return _categorical_features; }
  std::vector<std::string> continuous_features() const { return _continuous_features; }
  // Re-sort the kinds: the named features become categorical (continuous) and every other feature that is
  // neither an identifier nor a date becomes continuous (categorical). Naming the target or the prediction
  // is allowed and has no effect; any other unknown name fails with ValueError and changes nothing.
  void categorical_features(const std::vector<std::string>& value);
  void continuous_features(const std::vector<std::string>& value);
  std::string target_name() const override { return _target_name; }
  bool target_categorical() const { return is_target_categorical(); }
  std::optional<std::string> prediction_name() const { return _prediction_name; }
  bool has_predictions() const { return _prediction_name.has_value(); }
  bool prediction_categorical() const { return has_predictions() ? _prediction_categorical : target_categorical(); }

  // Column frames: lazy selections of the stored frames.
  DataFrame all_features() const;
  DataFrame features() const;
  DataFrame id_features() const;
  DataFrame date_features() const;
  DataFrame target() const;
  DataFrame features_training() const;
  DataFrame id_features_training() const;
  DataFrame date_features_training() const;
  DataFrame target_training() const;
  DataFrame features_validation() const;
  DataFrame id_features_validation() const;
  DataFrame date_features_validation() const;
  DataFrame target_validation() const;
  DataFrame features_testing() const;
  DataFrame id_features_testing() const;
  DataFrame date_features_testing() const;
  DataFrame target_testing() const;
  DataFrame prediction() const;
  DataFrame prediction_training() const;
  DataFrame prediction_validation() const;
  DataFrame prediction_testing() const;

  // One column of all rows (or of one segment), filtered by `mask` when it is not empty. A mask that
  // cannot be applied to all rows fails with ValueError naming the mask and the feature; the segment
  // variants let the engine's error through.
  DataFrame feature(const std::string& name, const std::string& mask = "") const;
  DataFrame feature_training(const std::string& name, const std::string& mask = "") const;
  DataFrame feature_validation(const std::string& name, const std::string& mask = "") const;
  DataFrame feature_testing(const std::string& name, const std::string& mask = "") const;

  // Predicates.
  bool is_target_categorical() const { return _target_categorical; }
  bool is_target_continuous() const { return !_target_categorical; }
  bool is_categorical_feature(const std::string& afeature) const;
  bool is_continuous_feature(const std::string& afeature) const;
  bool is_id_feature(const std::string& afeature) const;
  bool is_date_feature(const std::string& afeature) const;
  // Whether the column's type is numeric; ValueError naming `afeature` when it is not a column.
  bool is_numerical(const std::string& afeature) const;
  // Names that are never features: the target, then the prediction when there is one.
  virtual std::vector<std::string> get_restricted_features() const;
  // All rows as a local in-memory table (meant for small datasets).
  engine::LocalTable to_dataframe() const;

  // Segment data and column statistics. Each statistic reads the selection of get_segment_data (which a
  // subclass may override) and issues one engine query.
  virtual DataFrame get_segment_data(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                                     const std::string& mask = "") const;
  std::int64_t filter_count(const std::string& condition, DatasetSegment dataset_segment = DatasetSegment::ALL) const;
  // Smallest / largest value; null when the selection holds no value.
  engine::Value feature_min(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                            const std::string& mask = "") const;
  engine::Value feature_max(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                            const std::string& mask = "") const;
  // Sample standard deviation of this dataset's selection pooled with the other's; none with fewer than two
  // values. ValueError "Incompatible dataset backends" when the other dataset is not over engine frames.
  std::optional<double> feature_combined_std(const norq::AbstractDataset& other_dataset, const std::string& name,
                                             DatasetSegment dataset_segment = DatasetSegment::ALL,
                                             const std::string& mask = "") const;
  // Distinct values, ascending (a missing value first).
  std::vector<engine::Value> get_feature_categories(const std::string& name,
                                                    DatasetSegment dataset_segment = DatasetSegment::ALL,
                                                    const std::string& mask = "") const;
  // Whether the selection holds exactly one distinct value (missing counts as a value); false when empty.
  bool all_identical(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                     const std::string& mask = "") const;
  // Approximate median (accuracy 10000), one of the column's values; NaN without values.
  double median(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                const std::string& mask = "") const;
  // Mean; NaN without values.
  double mean(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
              const std::string& mask = "") const;
  // Approximate quantiles (accuracy 1000000), one per fraction in the order given; NaN for each without values.
  std::vector<double> quantiles(const std::string& name, const std::vector<double>& quantile_vals,
                                DatasetSegment dataset_segment = DatasetSegment::ALL, const std::string& mask = "") const;
  // The validation rows (filtered by `condition` when not empty) narrowed to the non-id, non-date features,
  // the target and the prediction.
  virtual MetricCalculationParams get_metric_calculation_params(const std::string& condition = "") const;

  // Profiles. Generate a feature profile for a single feature: its kind, range (continuous: the column's
  // extremes; dates: epoch seconds; others NaN), distinct values (a continuous column reports the row count),
  // missing values and their fraction of all rows (NaN for a dataset without rows).
  norq::FeatureDataProfile get_feature_profile(const std::string& feature, const DataFrame& feature_vals,
                                               norq::FeatureType atype) const;
  // Create a data profile record: every feature, then the target, then the prediction. Grouping is not
  // offered on engine frames (NotImplementedError).
  norq::DataProfile generate_data_profile(const std::optional<std::vector<std::string>>& group_by = std::nullopt) const;
  // (labels, counts) of one column over all rows, missing values left out: categories by descending count;
  // integer-coded numeric columns (at most 100 whole values) one count per value in ascending order, labelled
  // with the value; other numeric columns in `bins` equal-width bins labelled by their bins + 1 edges. An
  // empty histogram for a numeric column without values.
  std::pair<std::vector<std::string>, std::vector<std::int64_t>> histogram(const std::string& feature_name,
                                                                           std::int64_t bins = 15) const;

  // Data-quality checks: the offending rows of all rows, each tagged with a record identifier built from
  // identifier columns ("c1=%s|c2=%s"), collected into a local table.
  // Rows where `lt_feature` is strictly greater than `gt_feature`.
  engine::LocalTable::RowRange check_column_ordering_violations(
      const std::string& gt_feature, const std::string& lt_feature,
      const std::optional<std::vector<std::string>>& ids = std::nullopt) const;
  // Every copy of rows whose compared columns (default: the non-identifier features) occur more than once.
  engine::LocalTable::RowRange check_duplicate_row_violations(
      const std::optional<std::vector<std::string>>& duplicate_features_subset = std::nullopt,
      const std::optional<std::vector<std::string>>& ids = std::nullopt) const;
  // Rows whose `id_feature` is missing.
  engine::LocalTable::RowRange check_missing_ids(const std::string& id_feature,
                                                 const std::optional<std::vector<std::string>>& primary_ids = std::nullopt) const;

 protected:
  explicit BaseSparkDatasetMixin(const Options& options);

  // This dataset as a shared_ptr (the memos' keys); the dataset must be owned by a shared_ptr.
  std::shared_ptr<const BaseSparkDatasetMixin> self() const;

  // The frames and kind lists of a dataset derived by filtering this one: each segment filtered by
  // `condition` when `dataset_segment` is ALL or names it, absent otherwise. The derived dataset has no
  // prediction column, so the prediction column is dropped from the frames and from the kind lists (with
  // it the frames would hold a column more than the feature names and the target, and a kind would name a
  // column that is not a feature: the derived dataset would fail its own checks).
  struct FilteredParts {
    std::optional<DataFrame> training;
    std::optional<DataFrame> validation;
    std::optional<DataFrame> testing;
    std::vector<std::string> categorical;
    std::vector<std::string> continuous;
  };
  FilteredParts filtered_parts(const std::string& condition, DatasetSegment dataset_segment) const;
  const DataFrame& segment_frame(DatasetSegment segment) const;

  DataFrame empty_pred_;
  DataFrame _training_data;
  DataFrame _validation_data;
  DataFrame _testing_data;
  DataFrame _all_data;
  std::vector<std::string> _feature_names;
  std::vector<std::string> _categorical_features;
  std::vector<std::string> _continuous_features;
  std::vector<std::string> _date_features;
  std::vector<std::string> _id_features;
  std::vector<std::string> _non_id_date_features;
  std::string _target_name;
  bool _target_categorical = true;
  std::optional<std::string> _prediction_name;
  bool _prediction_categorical = true;
  std::string _name;
  std::string _id;
  std::string _overall_checksum;
  norq::OrderedStringMap _checksum;
  std::shared_ptr<norq::History> _history;

 private:
  struct Frames;
  explicit BaseSparkDatasetMixin(Frames frames, const Options& options);
  static Frames prepare_frames(const Options& options);
  void validate_and_store(const Options& options);
  DataFrame select_names(const DataFrame& frame, const std::vector<std::string>& names) const;
  DataFrame prediction_of(const DataFrame& frame) const;
  DataFrame masked_feature(const DataFrame& frame, const std::string& name, const std::string& mask) const;
  void resort_kinds(const std::vector<std::string>& value, bool categorical_first);
};

}  // namespace spark
