#include "spark/datasets/builders/bias_dataset_builder.h"

#include <algorithm>

#include "host/config.h"
#include "host/events.h"

namespace spark {

namespace {

bool contains(const std::vector<std::string>& names, const std::string& n) {
  return std::find(names.begin(), names.end(), n) != names.end();
}

const char* kNoProtected = "No protected feature specified. You might want to use a SimpleDataset.";

// The caller's categorical list (copied), without the protected column unless it is retained.
std::optional<std::vector<std::string>> categorical_without_protected(
    const std::optional<std::vector<std::string>>& cat_features, const std::string& protected_feature, bool retain) {
  if (!cat_features) return std::nullopt;
  std::vector<std::string> out = *cat_features;
  if (!retain) {
    auto it = std::find(out.begin(), out.end(), protected_feature);
    if (it != out.end()) out.erase(it);
  }
  return out;
}

void finish(BiasSparkDatasetBuilder& b, const std::optional<std::string>& predicted, const std::string& protected_feature,
            bool retain) {
  if (predicted) b.add_prediction_name(predicted);
  b.add_protected_name(protected_feature).set_retain_protected_feature(retain);
}

}  // namespace

BiasSparkDatasetBuilder& BiasSparkDatasetBuilder::reset() {
  SimpleSparkDatasetBuilder::reset();
  protected_name.reset();
  retain_protected_feature = false;
  return *this;
}

BiasSparkDatasetBuilder& BiasSparkDatasetBuilder::add_protected_name(const std::string& name) {
  protected_name = name;
  return *this;
}

BiasSparkDatasetBuilder& BiasSparkDatasetBuilder::set_retain_protected_feature(bool retain) {
  retain_protected_feature = retain;
  return *this;
}

std::shared_ptr<BiasSparkDataset> BiasSparkDatasetBuilder::build() {
  prepare_segments();
  auto o = dataset_options<BiasSparkDataset::Options>();
  o.protected_name = protected_name;
  o.retain_protected_feature = retain_protected_feature;
  return BiasSparkDataset::create(o);
}

BiasSparkDatasetBuilder BiasSparkDatasetBuilder::from_spark_dataframe(const FromFrameArgs& a) {
  if (!a.spark_df) throw DatasetError("No dataframe given: spark_df is required.");
  const std::vector<std::string> columns = a.spark_df->columns();
  std::optional<std::string> target = a.target_feature;
  if (!target || target->empty()) {
    if (columns.empty()) throw DatasetError("The dataframe has no columns.");
    target = columns.back();
  } else if (!contains(columns, *target)) {
    throw DatasetError("Target feature " + *target + " not present in dataframe.");
  }
  if (!a.protected_feature) throw DatasetError(kNoProtected);
  const std::string& prot = *a.protected_feature;
  if (!contains(columns, prot)) throw DatasetError("Protected feature " + prot + " not present in dataframe.");

  SimpleSparkDatasetBuilder::FromFrameArgs plain;
  plain.spark_df = a.spark_df;
  plain.splits = a.splits;
  plain.target_feature = target;
  plain.cat_features = categorical_without_protected(a.cat_features, prot, a.retain_protected_feature);
  plain.cont_features = a.cont_features;
  plain.id_features = a.id_features;
  plain.date_features = a.date_features;
  plain.dataset_name = a.dataset_name;
  plain.convert_date_cols = a.convert_date_cols;
  plain.datetime_format = a.datetime_format;
  plain.random_seed = a.random_seed;
  BiasSparkDatasetBuilder b;
  configure_from_frame(b, plain);
  finish(b, a.predicted_feature, prot, a.retain_protected_feature);
  return b;
}

BiasSparkDatasetBuilder BiasSparkDatasetBuilder::from_split_spark_dataframes(const FromSplitFramesArgs& a) {
  if (!a.protected_feature) throw DatasetError(kNoProtected);
  const std::string& prot = *a.protected_feature;
  const std::pair<const std::optional<DataFrame>*, const char*> segments[] = {
      {&a.training, "training"}, {&a.validation, "validation"}, {&a.testing, "testing"}};
  for (const auto& [frame, label] : segments)
    if (*frame && !contains((*frame)->columns(), prot))
      throw DatasetError("Protected feature " + prot + " not present in " + label + " dataframe.");

  SimpleSparkDatasetBuilder::FromSplitFramesArgs plain;
  plain.training = a.training;
  plain.validation = a.validation;
  plain.testing = a.testing;
  plain.target_feature = a.target_feature;
  plain.cat_features = categorical_without_protected(a.cat_features, prot, a.retain_protected_feature);
  plain.cont_features = a.cont_features;
  plain.id_features = a.id_features;
  plain.date_features = a.date_features;
  plain.dataset_name = a.dataset_name;
  plain.convert_date_cols = a.convert_date_cols;
  plain.datetime_format = a.datetime_format;
  BiasSparkDatasetBuilder b;
  configure_from_split_frames(b, plain);
  finish(b, a.predicted_feature, prot, a.retain_protected_feature);
  return b;
}

void BiasSparkDatasetBuilder::DatasetArgs::fill_missing_from(const nlohmann::json& c) {
  fill_common_dataset_args(*this, c);
  norq::fill_missing(train_valid_test_splits, c, "train_valid_test_splits");
  norq::fill_missing(remove_protected_from_features, c, "remove_protected_from_features");
  norq::fill_missing(random_seed, c, "random_seed");
}

void BiasSparkDatasetBuilder::DatasetsArgs::fill_missing_from(const nlohmann::json& c) {
  fill_common_dataset_args(*this, c);
  norq::fill_missing(remove_protected_from_features, c, "remove_protected_from_features");
}

void BiasSparkDatasetBuilder::BiasParamsArgs::fill_missing_from(const nlohmann::json& c) {
  norq::fill_missing(protected_, c, "protected");
  norq::fill_missing(privileged, c, "privileged");
  norq::fill_missing(unprivileged, c, "unprivileged");
  norq::fill_missing(positive_outcome_label, c, "positive_outcome_label");
  norq::fill_missing(negative_outcome_label, c, "negative_outcome_label");
}

std::shared_ptr<BiasSparkDataset> BiasSparkDatasetBuilder::dataset(DatasetArgs args) {
  args = norq::use_config_for_missing_args(std::move(args));
  if (args.prediction && args.label && *args.prediction == *args.label)
    throw DatasetError("The prediction column cannot be the same as the target/label column");
  FromFrameArgs f;
  f.spark_df = args.features;
  f.target_feature = args.label;
  f.predicted_feature = args.prediction;
  f.cat_features = args.cat_col;
  f.cont_features = args.cont_col;
  f.splits = args.train_valid_test_splits.value_or(Splits{0.8, 0.2, 0.0});
  f.id_features = args.id_col;
  f.date_features = args.date_col;
  f.protected_feature = args.bias_params ? args.bias_params->protected_ : std::nullopt;
  f.convert_date_cols = args.convert_date_cols.value_or(false);
  f.datetime_format = args.datetime_format.value_or("");
  f.retain_protected_feature = !args.remove_protected_from_features.value_or(true);
  f.random_seed = args.random_seed.value_or(2);
  f.dataset_name = args.name;
  std::shared_ptr<BiasSparkDataset> ds = from_spark_dataframe(f).build();
  if (args.register_creation.value_or(true)) norq::handle_event(norq::Events::DATASET_CREATED, *ds);
  return ds;
}

std::shared_ptr<BiasSparkDataset> BiasSparkDatasetBuilder::datasets(DatasetsArgs args) {
  args = norq::use_config_section_for_missing_args(std::move(args), "dataset");
  if (args.prediction && args.label && *args.prediction == *args.label)
    throw DatasetError("The prediction column cannot be the same as the target/label column");
  FromSplitFramesArgs f;
  f.training = args.training_features;
  f.validation = args.validation_features;
  f.testing = args.testing_features;
  f.target_feature = args.label;
  f.predicted_feature = args.prediction;
  f.cat_features = args.cat_col;
  f.cont_features = args.cont_col;
  f.id_features = args.id_col;
  f.date_features = args.date_col;
  f.protected_feature = args.bias_params ? args.bias_params->protected_ : std::nullopt;
  f.retain_protected_feature = !args.remove_protected_from_features.value_or(true);
  f.convert_date_cols = args.convert_date_cols.value_or(false);
  f.datetime_format = args.datetime_format.value_or("");
  f.dataset_name = args.name;
  std::shared_ptr<BiasSparkDataset> ds = from_split_spark_dataframes(f).build();
  if (args.register_creation.value_or(true)) norq::handle_event(norq::Events::DATASET_CREATED, *ds);
  return ds;
}

norq::BiasParams BiasSparkDatasetBuilder::bias_params(BiasParamsArgs args) {
  if (args.bias_params) return *args.bias_params;
  args = norq::use_config_section_for_missing_args(std::move(args), "dataset");
  norq::BiasParams p;
  p.protected_ = args.protected_;
  p.privileged = args.privileged;
  p.unprivileged = args.unprivileged;
  p.positive_outcome_label = args.positive_outcome_label.value_or(engine::Value());
  p.negative_outcome_label = args.negative_outcome_label.value_or(engine::Value());
  return p;
}

}  // namespace spark
