// The user's road from engine frames to a validated dataset: a builder holding the frames, the column names
// sorted into kinds, the target, the prediction, split ratios and a name, set one at a time by chained
// configuration operations; class-level constructors that fill a builder from one frame (split at random)
// or from frames already split, guessing column kinds where none are given; and one-call constructors that
// build the dataset and report its creation to the framework.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/dataframe.h"
#include "host/config.h"
#include "host/errors.h"
#include "spark/datasets/simple_spark_dataset.h"

namespace spark {

// Base class for dataset errors.
class DatasetError : public norq::Exception {
 public:
  using norq::Exception::Exception;
};

using Splits = std::array<double, 3>;

// Fills the arguments every one-call constructor shares (label, prediction, kind lists, date conversion,
// name, creation event) from configuration, when the caller left them unset.
template <class Args>
void fill_common_dataset_args(Args& a, const nlohmann::json& c) {
  norq::fill_missing(a.label, c, "label");
  norq::fill_missing(a.prediction, c, "prediction");
  norq::fill_missing(a.cat_col, c, "cat_col");
  norq::fill_missing(a.cont_col, c, "cont_col");
  norq::fill_missing(a.id_col, c, "id_col");
  norq::fill_missing(a.date_col, c, "date_col");
  norq::fill_missing(a.convert_date_cols, c, "convert_date_cols");
  norq::fill_missing(a.datetime_format, c, "datetime_format");
  norq::fill_missing(a.name, c, "name");
  norq::fill_missing(a.register_creation, c, "register_creation");
}

// A builder for the SimpleDataset class.
class SimpleSparkDatasetBuilder {
 public:
  // Arguments of from_spark_dataframe.
  struct FromFrameArgs {
    std::optional<DataFrame> spark_df;  // required
    Splits splits = {0.6, 0.2, 0.2};
    std::optional<std::string> target_feature;  // none or empty: the frame's last column
    std::optional<std::string> prediction_feature;
    std::optional<std::vector<std::string>> cat_features;
    std::optional<std::vector<std::string>> cont_features;
    std::optional<std::vector<std::string>> id_features;
    std::optional<std::vector<std::string>> date_features;
    std::optional<std::string> dataset_name;
    bool convert_date_cols = false;
    std::string datetime_format;
    std::int64_t random_seed = 2;
  };
  // Arguments of from_split_spark_dataframes.
  struct FromSplitFramesArgs {
    std::optional<DataFrame> training;
    std::optional<DataFrame> validation;
    std::optional<DataFrame> testing;
    std::optional<std::string> target_feature;  // none: the training frame's last column
    std::optional<std::string> prediction_feature;
    std::optional<std::vector<std::string>> cat_features;
    std::optional<std::vector<std::string>> cont_features;
    std::optional<std::vector<std::string>> id_features;
    std::optional<std::vector<std::string>> date_features;
    bool convert_date_cols = false;
    std::string datetime_format;
    std::optional<std::string> dataset_name;
  };
  // Arguments of dataset; unset fields may come from the framework's configuration, then the defaults
  // (splits (0.8, 0.2, 0.0), seed 2, no date conversion, creation reported).
  struct DatasetArgs {
    std::optional<DataFrame> features;  // required
    std::optional<DataFrame> target;    // must be none: the target is a column of `features`
    std::optional<std::string> label;
    std::optional<std::string> prediction;
    std::optional<std::vector<std::string>> cat_col;
    std::optional<std::vector<std::string>> cont_col;
    std::optional<std::vector<std::string>> id_col;
    std::optional<std::vector<std::string>> date_col;
    std::optional<Splits> train_valid_test_splits;
    std::optional<std::int64_t> random_seed;
    std::optional<bool> convert_date_cols;
    std::optional<std::string> datetime_format;
    std::optional<std::string> name;
    std::optional<bool> register_creation;
    void fill_missing_from(const nlohmann::json& config);
  };
  // Arguments of datasets; unset fields may come from the configuration section "dataset".
  struct DatasetsArgs {
    std::optional<DataFrame> training_features;
    std::optional<DataFrame> training_target;  // the three target frames must be none
    std::optional<DataFrame> validation_features;
    std::optional<DataFrame> validation_target;
    std::optional<DataFrame> testing_features;
    std::optional<DataFrame> testing_target;
    std::optional<std::string> label;
    std::optional<std::string> prediction;
    std::optional<std::vector<std::string>> cat_col;
    std::optional<std::vector<std::string>> cont_col;
    std::optional<std::vector<std::string>> id_col;
    std::optional<std::vector<std::string>> date_col;
    std::optional<bool> convert_date_cols;
    std::optional<std::string> datetime_format;
    std::optional<std::string> name;
    std::optional<bool> register_creation;
    void fill_missing_from(const nlohmann::json& config);
  };

  SimpleSparkDatasetBuilder() { reset(); }
  virtual ~SimpleSparkDatasetBuilder() = default;

  // Reset the builder (every field of the object's real class).
  virtual SimpleSparkDatasetBuilder& reset();
  SimpleSparkDatasetBuilder& add_name(const std::string& dataset_name);
  SimpleSparkDatasetBuilder& add_target_name(const std::string& target_name);
  SimpleSparkDatasetBuilder& add_prediction_name(const std::optional<std::string>& prediction_name);
  SimpleSparkDatasetBuilder& add_feature_names(const std::vector<std::string>& feature_names);
  SimpleSparkDatasetBuilder& add_feature_training_data(const DataFrame& training_data);
  SimpleSparkDatasetBuilder& add_feature_validation_data(const DataFrame& validation_data);
  SimpleSparkDatasetBuilder& add_feature_test_data(const DataFrame& test_data);
  SimpleSparkDatasetBuilder& add_feature_data(const DataFrame& feature_data);
  // Proportions of training, validation and testing rows, normalised to sum 1 unless they already do.
  // DatasetError when they do not sum to a positive number.
  SimpleSparkDatasetBuilder& add_train_test_valid_splits(const Splits& train_valid_test_splits = {0.6, 0.2, 0.2},
                                                         std::int64_t random_seed = 2);
  // The four kind operations require names among feature_names (DatasetError otherwise, nothing changed)
  // and keep the kinds disjoint; setting the categorical (continuous) list makes every other feature that
  // is neither an identifier nor a date continuous (categorical).
  SimpleSparkDatasetBuilder& add_continuous_features(const std::vector<std::string>& continuous_features);
  SimpleSparkDatasetBuilder& add_categorical_features(const std::vector<std::string>& categorical_features);
  SimpleSparkDatasetBuilder& add_id_features(const std::vector<std::string>& id_features);
  SimpleSparkDatasetBuilder& add_date_features(const std::vector<std::string>& date_features);
  SimpleSparkDatasetBuilder& set_categorical_target();
  SimpleSparkDatasetBuilder& set_continuous_target();

  // Builds and returns a SimpleDataset object: splits feature_data when split ratios are set, rejects a
  // builder whose frames hold no rows at all, and constructs the dataset (which validates its columns).
  // Through a reference to this class, a derived builder (BiasSparkDatasetBuilder) is refused with a
  // DatasetError rather than building a dataset of the wrong class: use build_dataset() there.
  std::shared_ptr<SimpleSparkDataset> build();
  // The dataset of the builder's real class (a BiasSparkDataset for a BiasSparkDatasetBuilder).
  virtual std::shared_ptr<BaseSparkDatasetMixin> build_dataset();

  static SimpleSparkDatasetBuilder from_spark_dataframe(const FromFrameArgs& args);
  static SimpleSparkDatasetBuilder from_split_spark_dataframes(const FromSplitFramesArgs& args);
  // The frame with each date feature replaced by its to_timestamp (with `datetime_format` when not empty),
  // under the same name and position, when `convert_date_cols` is true; `df` itself otherwise.
  static DataFrame convert_date_columns(const DataFrame& df, const std::optional<std::vector<std::string>>& date_features,
                                        bool convert_date_cols = false, const std::string& datetime_format = "");
  // One call from a frame (or split frames) to a dataset, with configuration filling the omitted arguments
  // and the creation reported to the framework's event history.
  static std::shared_ptr<SimpleSparkDataset> dataset(DatasetArgs args);
  static std::shared_ptr<SimpleSparkDataset> datasets(DatasetsArgs args);

  // State (read freely; set through the operations above).
  std::optional<DataFrame> feature_data;
  std::string name;
  std::optional<DataFrame> training_data;
  std::optional<DataFrame> validation_data;
  std::optional<DataFrame> test_data;
  std::vector<std::string> feature_names;
  std::vector<std::string> categorical_features;
  std::vector<std::string> continuous_features;
  std::vector<std::string> date_features;
  std::vector<std::string> id_features;
  std::string target_name;
  std::optional<std::string> prediction_name;
  bool target_categorical = true;
  std::vector<double> splits;  // empty, or the three proportions
  std::optional<std::int64_t> random_seed;

 protected:
  // The three segment frames after the split, checked to hold at least one row between them.
  void prepare_segments();
  // The feature and kind lists a built dataset gets. A prediction column that the frames carry but the
  // feature names leave out (the split constructor removes it) is added back, of the target's kind: a
  // dataset's frames hold exactly its feature columns and its target, so without it every dataset built
  // from split frames with predictions would fail its own column count.
  struct DatasetLists {
    std::vector<std::string> features, categorical, continuous;
  };
  DatasetLists dataset_lists() const;
  // The constructor arguments of the dataset `build` makes (options of SimpleSparkDataset or BiasSparkDataset).
  template <class DatasetOptions>
  DatasetOptions dataset_options() const {
    DatasetLists lists = dataset_lists();
    DatasetOptions o;
    o.training_data = training_data;
    o.validation_data = validation_data;
    o.testing_data = test_data;
    o.feature_names = std::move(lists.features);
    o.categorical_features = std::move(lists.categorical);
    o.continuous_features = std::move(lists.continuous);
    o.id_features = id_features;
    o.date_features = date_features;
    o.target_name = target_name;
    o.prediction_name = prediction_name;
    o.target_categorical = target_categorical;
    o.name = name;
    return o;
  }
  // The kind-list validation shared by the four kind operations.
  void check_features(const std::vector<std::string>& names) const;

  // Fills `builder` (a fresh builder of the calling class) from one frame / from split frames.
  static void configure_from_frame(SimpleSparkDatasetBuilder& builder, const FromFrameArgs& args);
  static void configure_from_split_frames(SimpleSparkDatasetBuilder& builder, const FromSplitFramesArgs& args);
};

}  // namespace spark
