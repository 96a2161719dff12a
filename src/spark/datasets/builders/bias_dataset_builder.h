// The builder of datasets with a protected attribute: the plain builder's configuration, plus the protected
// column and whether it stays an ordinary feature, with constructors that check the protected column and
// one-call constructors that take it from the framework's bias parameters.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/biasparams.h"
#include "spark/datasets/bias_spark_dataset.h"
#include "spark/datasets/builders/simple_dataset_builder.h"

namespace spark {

class BiasSparkDatasetBuilder : public SimpleSparkDatasetBuilder {
 public:
  struct FromFrameArgs {
    std::optional<DataFrame> spark_df;  // required
    Splits splits = {0.6, 0.2, 0.2};
    std::optional<std::string> target_feature;
    std::optional<std::string> predicted_feature;
    std::optional<std::vector<std::string>> cat_features;
    std::optional<std::vector<std::string>> cont_features;
    std::optional<std::vector<std::string>> id_features;
    std::optional<std::vector<std::string>> date_features;
    std::optional<std::string> dataset_name;
    bool convert_date_cols = false;
    std::string datetime_format;
    std::int64_t random_seed = 2;
    std::optional<std::string> protected_feature;
    bool retain_protected_feature = false;
  };
  struct FromSplitFramesArgs {
    std::optional<DataFrame> training;
    std::optional<DataFrame> validation;
    std::optional<DataFrame> testing;
    std::optional<std::string> target_feature;
    std::optional<std::string> predicted_feature;
    std::optional<std::vector<std::string>> cat_features;
    std::optional<std::vector<std::string>> cont_features;
    std::optional<std::vector<std::string>> id_features;
    std::optional<std::vector<std::string>> date_features;
    bool convert_date_cols = false;
    std::string datetime_format;
    std::optional<std::string> dataset_name;
    std::optional<std::string> protected_feature;
    bool retain_protected_feature = false;
  };
  // Unset fields may come from the framework's configuration; then the defaults (splits (0.8, 0.2, 0.0),
  // seed 2, the protected column removed from the features, creation reported).
  struct DatasetArgs {
    std::optional<DataFrame> features;  // required
    std::optional<std::string> label;
    std::optional<std::string> prediction;
    std::optional<std::vector<std::string>> cat_col;
    std::optional<std::vector<std::string>> cont_col;
    std::optional<Splits> train_valid_test_splits;
    std::optional<std::vector<std::string>> id_col;
    std::optional<std::vector<std::string>> date_col;
    std::optional<norq::BiasParams> bias_params;
    std::optional<bool> convert_date_cols;
    std::optional<std::string> datetime_format;
    std::optional<bool> remove_protected_from_features;
    std::optional<std::int64_t> random_seed;
    std::optional<std::string> name;
    std::optional<bool> register_creation;
    void fill_missing_from(const nlohmann::json& config);
  };
  struct DatasetsArgs {
    std::optional<DataFrame> training_features;
    std::optional<DataFrame> validation_features;
    std::optional<DataFrame> testing_features;
    std::optional<std::string> label;
    std::optional<std::string> prediction;
    std::optional<std::vector<std::string>> cat_col;
    std::optional<std::vector<std::string>> cont_col;
    std::optional<norq::BiasParams> bias_params;
    std::optional<bool> remove_protected_from_features;
    std::optional<std::vector<std::string>> id_col;
    std::optional<std::vector<std::string>> date_col;
    std::optional<bool> convert_date_cols;
    std::optional<std::string> datetime_format;
    std::optional<std::string> name;
    std::optional<bool> register_creation;
    void fill_missing_from(const nlohmann::json& config);
  };
  struct BiasParamsArgs {
    std::optional<norq::BiasParams> bias_params;
    std::optional<std::string> protected_;
    std::optional<std::vector<engine::Value>> privileged;
    std::optional<std::vector<engine::Value>> unprivileged;
    std::optional<engine::Value> positive_outcome_label;
    std::optional<engine::Value> negative_outcome_label;
    void fill_missing_from(const nlohmann::json& config);
  };

  BiasSparkDatasetBuilder() { reset(); }

  // Reset the builder, the plain builder's fields included.
  BiasSparkDatasetBuilder& reset() override;
  BiasSparkDatasetBuilder& add_protected_name(const std::string& protected_name);
  BiasSparkDatasetBuilder& set_retain_protected_feature(bool retain_protected_feature);

  // The plain builder's configuration operations, returning this builder as its own type.
  BiasSparkDatasetBuilder& add_name(const std::string& v) { return self(SimpleSparkDatasetBuilder::add_name(v)); }
  BiasSparkDatasetBuilder& add_target_name(const std::string& v) {
    return self(SimpleSparkDatasetBuilder::add_target_name(v));
  }
  BiasSparkDatasetBuilder& add_prediction_name(const std::optional<std::string>& v) {
    return self(SimpleSparkDatasetBuilder::add_prediction_name(v));
  }
  BiasSparkDatasetBuilder& add_feature_names(const std::vector<std::string>& v) {
    return self(SimpleSparkDatasetBuilder::add_feature_names(v));
  }
  BiasSparkDatasetBuilder& add_feature_training_data(const DataFrame& v) {
    return self(SimpleSparkDatasetBuilder::add_feature_training_data(v));
  }
  BiasSparkDatasetBuilder& add_feature_validation_data(const DataFrame& v) {
    return self(SimpleSparkDatasetBuilder::add_feature_validation_data(v));
  }
  BiasSparkDatasetBuilder& add_feature_test_data(const DataFrame& v) {
    return self(SimpleSparkDatasetBuilder::add_feature_test_data(v));
  }
  BiasSparkDatasetBuilder& add_feature_data(const DataFrame& v) { return self(SimpleSparkDatasetBuilder::add_feature_data(v)); }
  BiasSparkDatasetBuilder& add_train_test_valid_splits(const Splits& s = {0.6, 0.2, 0.2}, std::int64_t seed = 2) {
    return self(SimpleSparkDatasetBuilder::add_train_test_valid_splits(s, seed));
  }
  BiasSparkDatasetBuilder& add_continuous_features(const std::vector<std::string>& v) {
    return self(SimpleSparkDatasetBuilder::add_continuous_features(v));
  }
  BiasSparkDatasetBuilder& add_categorical_features(const std::vector<std::string>& v) {
    return self(SimpleSparkDatasetBuilder::add_categorical_features(v));
  }
  BiasSparkDatasetBuilder& add_id_features(const std::vector<std::string>& v) {
    return self(SimpleSparkDatasetBuilder::add_id_features(v));
  }
  BiasSparkDatasetBuilder& add_date_features(const std::vector<std::string>& v) {
    return self(SimpleSparkDatasetBuilder::add_date_features(v));
  }
  BiasSparkDatasetBuilder& set_categorical_target() { return self(SimpleSparkDatasetBuilder::set_categorical_target()); }
  BiasSparkDatasetBuilder& set_continuous_target() { return self(SimpleSparkDatasetBuilder::set_continuous_target()); }

  // As the plain build, constructing a BiasSparkDataset with the protected column and retain flag.
  std::shared_ptr<BiasSparkDataset> build();
  std::shared_ptr<BaseSparkDatasetMixin> build_dataset() override { return build(); }

  static BiasSparkDatasetBuilder from_spark_dataframe(const FromFrameArgs& args);
  static BiasSparkDatasetBuilder from_split_spark_dataframes(const FromSplitFramesArgs& args);
  static std::shared_ptr<BiasSparkDataset> dataset(DatasetArgs args);
  static std::shared_ptr<BiasSparkDataset> datasets(DatasetsArgs args);
  // The given record unchanged, or a new one from the loose arguments (configuration section "dataset"
  // filling those not given).
  static norq::BiasParams bias_params(BiasParamsArgs args);

  std::optional<std::string> protected_name;
  bool retain_protected_feature = false;

 private:
  BiasSparkDatasetBuilder& self(SimpleSparkDatasetBuilder&) { return *this; }
};

}  // namespace spark
