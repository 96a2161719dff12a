#include "spark/datasets/builders/simple_dataset_builder.h"

#include <algorithm>
#include <set>
#include <typeinfo>

#include "engine/functions.h"
#include "engine/session.h"
#include "host/config.h"
#include "host/events.h"
#include "host/utils.h"
#include "spark/datasets/builders/kind_resolution.h"
#include "spark/histograms.h"

namespace spark {

namespace F = engine::functions;

namespace {

bool contains(const std::vector<std::string>& names, const std::string& n) {
  return std::find(names.begin(), names.end(), n) != names.end();
}

bool has_duplicates(const std::vector<std::string>& names) {
  return std::set<std::string>(names.begin(), names.end()).size() != names.size();
}

}  // namespace

// ---- configuration ----

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::reset() {
  feature_data.reset();
  name.clear();
  training_data.reset();
  validation_data.reset();
  test_data.reset();
  feature_names.clear();
  categorical_features.clear();
  continuous_features.clear();
  date_features.clear();
  id_features.clear();
  target_name.clear();
  prediction_name.reset();
  target_categorical = true;
  splits.clear();
  random_seed.reset();
  return *this;
}

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_name(const std::string& dataset_name) {
  name = dataset_name;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_target_name(const std::string& target) {
  target_name = target;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_prediction_name(const std::optional<std::string>& prediction) {
  prediction_name = prediction;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_feature_names(const std::vector<std::string>& names) {
  feature_names = names;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_feature_training_data(const DataFrame& frame) {
  training_data = frame;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_feature_validation_data(const DataFrame& frame) {
  validation_data = frame;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_feature_test_data(const DataFrame& frame) {
  test_data = frame;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_feature_data(const DataFrame& frame) {
  feature_data = frame;
  return *this;
}

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_train_test_valid_splits(const Splits& proportions,
                                                                                  std::int64_t seed) {
  double sum = 0;
  for (double p : proportions) sum += p;
  // A sum that is not positive cannot be normalised (zero would divide by zero; a negative sum would flip
  // every proportion's sign).
  if (!(sum > 0))
    throw DatasetError("The split proportions must sum to a positive number, but (" + std::to_string(proportions[0]) +
                       ", " + std::to_string(proportions[1]) + ", " + std::to_string(proportions[2]) + ") sum to " +
                       std::to_string(sum) + ".");
  splits.assign(proportions.begin(), proportions.end());
  if (sum != 1.0)
    for (double& p : splits) p /= sum;
  random_seed = seed;
  return *this;
}

void SimpleSparkDatasetBuilder::check_features(const std::vector<std::string>& names) const {
  const std::set<std::string> known(feature_names.begin(), feature_names.end());
  std::vector<std::string> missing;
  for (const std::string& n : names)
    if (!known.count(n)) missing.push_back(n);
  if (!missing.empty()) throw DatasetError("The features " + norq::format_set(missing) + " are not in the set");
}

namespace {
// Every feature name in none of the given kind lists, each once.
std::vector<std::string> remaining_features(const std::vector<std::string>& feature_names,
                                            std::initializer_list<const std::vector<std::string>*> kinds) {
  std::set<std::string> taken;
  for (const auto* k : kinds) taken.insert(k->begin(), k->end());
  std::vector<std::string> out;
  for (const std::string& n : feature_names)
    if (taken.insert(n).second) out.push_back(n);
  return out;
}
}  // namespace

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_id_features(const std::vector<std::string>& names) {
  check_features(names);
  id_features = names;
  norq::ensure_mutual_exclusion(id_features, {&continuous_features, &categorical_features, &date_features});
  return *this;
}

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_date_features(const std::vector<std::string>& names) {
  check_features(names);
  date_features = names;
  norq::ensure_mutual_exclusion(date_features, {&continuous_features, &categorical_features, &id_features});
  return *this;
}

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_categorical_features(const std::vector<std::string>& names) {
  check_features(names);
  categorical_features = names;
  norq::ensure_mutual_exclusion(categorical_features, {&continuous_features, &id_features, &date_features});
  continuous_features = remaining_features(feature_names, {&categorical_features, &id_features, &date_features});
  return *this;
}

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::add_continuous_features(const std::vector<std::string>& names) {
  check_features(names);
  continuous_features.clear();
  std::set<std::string> seen;
  for (const std::string& n : names)
    if (seen.insert(n).second) continuous_features.push_back(n);
  norq::ensure_mutual_exclusion(continuous_features, {&categorical_features, &id_features, &date_features});
  categorical_features = remaining_features(feature_names, {&continuous_features, &id_features, &date_features});
  return *this;
}

SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::set_categorical_target() {
  target_categorical = true;
  return *this;
}
SimpleSparkDatasetBuilder& SimpleSparkDatasetBuilder::set_continuous_target() {
  target_categorical = false;
  return *this;
}

// ---- build ----

void SimpleSparkDatasetBuilder::prepare_segments() {
  if (!splits.empty()) {
    if (!feature_data) throw DatasetError("Split ratios are set but no feature data was given to split.");
    // Each segment is drawn once and kept (within the persisted-frame budget): a random split sorts every
    // partition by all its columns before drawing, which every later query of a segment would repeat.
    std::vector<DataFrame> parts = feature_data->randomSplit(splits, random_seed);
    training_data = parts.at(0).persist();
    validation_data = parts.at(1).persist();
    test_data = parts.at(2).persist();
  }
  // A segment that was never given holds no rows.
  for (const std::optional<DataFrame>* f : {&training_data, &validation_data, &test_data})
    if (*f && (*f)->count() != 0) return;
  throw DatasetError("No training, test or validation data provided.");
}

SimpleSparkDatasetBuilder::DatasetLists SimpleSparkDatasetBuilder::dataset_lists() const {
  DatasetLists l{feature_names, categorical_features, continuous_features};
  if (prediction_name && !contains(feature_names, *prediction_name)) {
    const std::optional<DataFrame>& frame = training_data ? training_data : (validation_data ? validation_data : test_data);
    if (frame && contains(frame->columns(), *prediction_name)) {
      l.features.push_back(*prediction_name);
      (target_categorical ? l.categorical : l.continuous).push_back(*prediction_name);
    }
  }
  return l;
}

std::shared_ptr<SimpleSparkDataset> SimpleSparkDatasetBuilder::build() {
  if (typeid(*this) != typeid(SimpleSparkDatasetBuilder))
    throw DatasetError("This builder makes a dataset of another class: build it with build_dataset(), or call "
                       "build() on the builder's own type.");
  prepare_segments();
  return SimpleSparkDataset::create(dataset_options<SimpleSparkDataset::Options>());
}

std::shared_ptr<BaseSparkDatasetMixin> SimpleSparkDatasetBuilder::build_dataset() {
  prepare_segments();
  return SimpleSparkDataset::create(dataset_options<SimpleSparkDataset::Options>());
}

// ---- class-level constructors ----

DataFrame SimpleSparkDatasetBuilder::convert_date_columns(const DataFrame& df,
                                                          const std::optional<std::vector<std::string>>& dates,
                                                          bool convert_date_cols, const std::string& datetime_format) {
  if (!convert_date_cols || !dates || dates->empty()) return df;
  DataFrame out = df;
  for (const std::string& c : df.columns()) {
    if (!contains(*dates, c)) continue;
    out = out.withColumn(c, datetime_format.empty() ? F::to_timestamp(F::col(sql_identifier(c)))
                                                     : F::to_timestamp(F::col(sql_identifier(c)), datetime_format));
  }
  return out;
}

void SimpleSparkDatasetBuilder::configure_from_frame(SimpleSparkDatasetBuilder& builder, const FromFrameArgs& a) {
  if (!a.spark_df) throw DatasetError("No dataframe given: spark_df is required.");
  const DataFrame& df = *a.spark_df;
  const std::vector<std::string> columns = df.columns();
  std::string target;
  if (!a.target_feature || a.target_feature->empty()) {
    if (columns.empty()) throw DatasetError("The dataframe has no columns.");
    target = columns.back();
  } else {
    if (!contains(columns, *a.target_feature))
      throw DatasetError("Target feature " + *a.target_feature + " not present in dataframe.");
    target = *a.target_feature;
  }
  KindResolution kinds = resolve_kinds(df, target, a.cat_features, a.cont_features, a.id_features, a.date_features,
                                       std::nullopt);
  std::vector<std::string> names;
  for (const std::string& c : columns)
    if (c != target) names.push_back(c);
  DataFrame frame = a.date_features && a.convert_date_cols
                        ? convert_date_columns(df, a.date_features, a.convert_date_cols, a.datetime_format)
                        : df;
  builder.add_feature_names(names)
      .add_target_name(target)
      .add_feature_data(frame)
      .add_train_test_valid_splits(a.splits, a.random_seed)
      .add_id_features(a.id_features.value_or(std::vector<std::string>{}))
      .add_date_features(a.date_features.value_or(std::vector<std::string>{}))
      .add_categorical_features(kinds.categorical);
  if (a.prediction_feature) builder.add_prediction_name(a.prediction_feature);
  if (!kinds.target_guessed_categorical) builder.set_continuous_target();
  if (a.dataset_name) builder.add_name(*a.dataset_name);
}

void SimpleSparkDatasetBuilder::configure_from_split_frames(SimpleSparkDatasetBuilder& builder,
                                                            const FromSplitFramesArgs& a) {
  std::vector<std::string> training_cols;
  if (a.training) {
    training_cols = a.training->columns();
    if (has_duplicates(training_cols)) throw DatasetError("Duplicate columns in training dataframe.");
  }
  if (a.validation) {
    const std::vector<std::string> cols = a.validation->columns();
    if (has_duplicates(cols)) throw DatasetError("Duplicate columns in validation dataframe.");
    if (!training_cols.empty() && cols.size() != training_cols.size())
      throw DatasetError("Validation dataframe contains columns not in training dataframe");
  }
  if (a.testing) {
    const std::vector<std::string> cols = a.testing->columns();
    if (has_duplicates(cols)) throw DatasetError("Duplicate columns in testing dataframe.");
    if (!training_cols.empty() && cols.size() != training_cols.size())
      throw DatasetError("Testing dataframe contains columns not in training dataframe");
  }
  const std::optional<DataFrame>& first = a.training ? a.training : (a.validation ? a.validation : a.testing);
  if (!first) throw DatasetError("No training, validation or testing dataframe given.");
  const engine::StructType schema = first->schema();
  // The active session is needed only to make the frames not given (empty, of the first frame's schema).
  auto or_empty = [&](const std::optional<DataFrame>& f) {
    if (f) return *f;
    std::shared_ptr<engine::SparkSession> session = engine::SparkSession::getActiveSession();
    if (!session) throw DatasetError("No active engine session to create the missing dataframes in.");
    return session->createDataFrame(std::vector<engine::Row>{}, schema);
  };
  DataFrame training = or_empty(a.training);
  DataFrame validation = or_empty(a.validation);
  DataFrame testing = or_empty(a.testing);
  DataFrame all = training.union_(validation).union_(testing);

  const std::vector<std::string> train_cols = training.columns();
  std::string target;
  if (!a.target_feature) {
    if (train_cols.empty()) throw DatasetError("The training dataframe has no columns.");
    target = train_cols.back();
  } else {
    if (!contains(train_cols, *a.target_feature))
      throw DatasetError("Target feature " + *a.target_feature + " not present in dataframe.");
    target = *a.target_feature;
  }
  const std::vector<std::string> columns = all.columns();
  if (a.prediction_feature && !contains(columns, *a.prediction_feature))
    throw DatasetError("Prediction feature " + *a.prediction_feature + " not present in dataframe.");
  KindResolution kinds = resolve_kinds(all, target, a.cat_features, a.cont_features, a.id_features, a.date_features,
                                       a.prediction_feature);
  std::vector<std::string> names;
  for (const std::string& c : columns)
    if (c != target && (!a.prediction_feature || c != *a.prediction_feature)) names.push_back(c);
  if (a.date_features && a.convert_date_cols) {
    training = convert_date_columns(training, a.date_features, a.convert_date_cols, a.datetime_format);
    testing = convert_date_columns(testing, a.date_features, a.convert_date_cols, a.datetime_format);
    validation = convert_date_columns(validation, a.date_features, a.convert_date_cols, a.datetime_format);
  }
  builder.add_feature_names(names)
      .add_target_name(target)
      .add_prediction_name(a.prediction_feature)
      .add_feature_training_data(training)
      .add_feature_validation_data(validation)
      .add_feature_test_data(testing)
      .add_id_features(a.id_features.value_or(std::vector<std::string>{}))
      .add_date_features(a.date_features.value_or(std::vector<std::string>{}))
      .add_categorical_features(kinds.categorical);
  if (a.prediction_feature) builder.add_prediction_name(a.prediction_feature);
  if (!kinds.target_guessed_categorical) builder.set_continuous_target();
  if (a.dataset_name) builder.add_name(*a.dataset_name);
}

SimpleSparkDatasetBuilder SimpleSparkDatasetBuilder::from_spark_dataframe(const FromFrameArgs& args) {
  SimpleSparkDatasetBuilder builder;
  configure_from_frame(builder, args);
  return builder;
}

SimpleSparkDatasetBuilder SimpleSparkDatasetBuilder::from_split_spark_dataframes(const FromSplitFramesArgs& args) {
  SimpleSparkDatasetBuilder builder;
  configure_from_split_frames(builder, args);
  return builder;
}

// ---- one-call constructors ----

void SimpleSparkDatasetBuilder::DatasetArgs::fill_missing_from(const nlohmann::json& c) {
  fill_common_dataset_args(*this, c);
  norq::fill_missing(train_valid_test_splits, c, "train_valid_test_splits");
  norq::fill_missing(random_seed, c, "random_seed");
}

void SimpleSparkDatasetBuilder::DatasetsArgs::fill_missing_from(const nlohmann::json& c) { fill_common_dataset_args(*this, c); }

std::shared_ptr<SimpleSparkDataset> SimpleSparkDatasetBuilder::dataset(DatasetArgs args) {
  args = norq::use_config_for_missing_args(std::move(args));
  if (args.prediction && args.label && *args.prediction == *args.label)
    throw DatasetError("The prediction column cannot be the same as the target/label column");
  if (args.target) throw norq::ValueError("For a spark dataset the target should be in the same dataframe as the features");
  if (!args.features) throw DatasetError("No features dataframe given.");
  FromFrameArgs f;
  f.spark_df = args.features;
  f.splits = args.train_valid_test_splits.value_or(Splits{0.8, 0.2, 0.0});
  f.target_feature = args.label;
  f.prediction_feature = args.prediction;
  f.cat_features = args.cat_col;
  f.cont_features = args.cont_col;
  f.id_features = args.id_col;
  f.date_features = args.date_col;
  f.dataset_name = args.name;
  f.convert_date_cols = args.convert_date_cols.value_or(false);
  f.datetime_format = args.datetime_format.value_or("");
  f.random_seed = args.random_seed.value_or(2);
  std::shared_ptr<SimpleSparkDataset> ds = from_spark_dataframe(f).build();
  if (args.register_creation.value_or(true)) norq::handle_event(norq::Events::DATASET_CREATED, *ds);
  return ds;
}

std::shared_ptr<SimpleSparkDataset> SimpleSparkDatasetBuilder::datasets(DatasetsArgs args) {
  args = norq::use_config_section_for_missing_args(std::move(args), "dataset");
  if (args.training_target)
    throw norq::ValueError("For a spark dataset the training target should be in the same dataframe as the features");
  if (args.validation_target)
    throw norq::ValueError("For a spark dataset the validation target should be in the same dataframe as the features");
  if (args.testing_target)
    throw norq::ValueError("For a spark dataset the testing target should be in the same dataframe as the features");
  if (args.prediction && args.label && *args.prediction == *args.label)
    throw DatasetError("The prediction column cannot be the same as the target/label column");
  FromSplitFramesArgs f;
  f.training = args.training_features;
  f.validation = args.validation_features;
  f.testing = args.testing_features;
  f.target_feature = args.label;
  f.prediction_feature = args.prediction;
  f.cat_features = args.cat_col;
  f.cont_features = args.cont_col;
  f.id_features = args.id_col;
  f.date_features = args.date_col;
  f.convert_date_cols = args.convert_date_cols.value_or(false);
  f.datetime_format = args.datetime_format.value_or("");
  f.dataset_name = args.name;
  std::shared_ptr<SimpleSparkDataset> ds = from_split_spark_dataframes(f).build();
  if (args.register_creation.value_or(true)) norq::handle_event(norq::Events::DATASET_CREATED, *ds);
  return ds;
}

}  // namespace spark
