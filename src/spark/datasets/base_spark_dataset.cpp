#include "spark/datasets/base_spark_dataset.h"
#include "spark/datasets/column_type.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/functions.h"
#include "engine/session.h"
#include "host/errors.h"
#include "host/lru_memo.h"
#include "host/utils.h"
#include "spark/histograms.h"
#include "spark/utils.h"
#include "spark/uuid.h"

namespace spark {

namespace F = engine::functions;

namespace {

bool contains(const std::vector<std::string>& names, const std::string& n) {
  return std::find(names.begin(), names.end(), n) != names.end();
}

std::set<std::string> to_set(const std::vector<std::string>& names) { return {names.begin(), names.end()}; }

// Distinct names in first-seen order: the kind checks visit each name once.
std::vector<std::string> distinct_names(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& n : names)
    if (seen.insert(n).second) out.push_back(n);
  return out;
}

std::vector<std::string> set_minus(const std::vector<std::string>& names, const std::set<std::string>& drop) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& n : names)
    if (!drop.count(n) && seen.insert(n).second) out.push_back(n);
  return out;
}

double value_as_double(const engine::Value& v) {
  if (v.isNull()) return std::numeric_limits<double>::quiet_NaN();
  if (v.isNumeric()) return v.toDouble();
  return static_cast<double>(v.toInt64());  // dates and timestamps as their day / microsecond numbers
}

// The shared memos of the class (see the header): one per memoised operation, keyed by the dataset and the
// arguments, at most 128 entries each.
using CountMemo = norq::LruMemo<BaseSparkDatasetMixin, std::int64_t>;
CountMemo& samples_memo() {
  static CountMemo m;
  return m;
}
CountMemo& training_samples_memo() {
  static CountMemo m;
  return m;
}
CountMemo& validation_samples_memo() {
  static CountMemo m;
  return m;
}
CountMemo& testing_samples_memo() {
  static CountMemo m;
  return m;
}
auto& segment_data_memo() {
  static norq::LruMemo<BaseSparkDatasetMixin, DataFrame, std::string, DatasetSegment, std::string> m;
  return m;
}
auto& filter_count_memo() {
  static norq::LruMemo<BaseSparkDatasetMixin, std::int64_t, std::string, DatasetSegment> m;
  return m;
}

}  // namespace

std::optional<engine::DataType> column_type(const engine::DataFrame& frame, const std::string& name) {
  // A one-column query: the schema of a wide frame is not built for one of its columns. The name is matched
  // exactly (the engine resolves it ignoring case).
  try {
    const engine::StructType one = frame.select(F::col(sql_identifier(name))).schema();
    if (one.size() == 1 && one[0].name == name) return one[0].dataType;
  } catch (const engine::AnalysisException&) {
  }
  return std::nullopt;
}

const norq::SimpleDataset<DataFrame>& as_spark_dataset(const norq::AbstractDataset& other) {
  const auto* ds = dynamic_cast<const norq::SimpleDataset<DataFrame>*>(&other);
  if (!ds || other.data_backend() != norq::DataBackend::SPARK) throw norq::ValueError("Incompatible dataset backends");
  return *ds;
}

struct BaseSparkDatasetMixin::Frames {
  DataFrame empty_pred;
  DataFrame training;
  DataFrame validation;
  DataFrame testing;
};

const std::vector<std::string>& BaseSparkDatasetMixin::spark_numeric_types() { return numeric_type_names(); }

BaseSparkDatasetMixin::Frames BaseSparkDatasetMixin::prepare_frames(const Options& o) {
  if (!o.feature_names) throw norq::ValueError("No feature names specified.");
  const std::optional<DataFrame>& first =
      o.training_data ? o.training_data : (o.validation_data ? o.validation_data : o.testing_data);
  if (!first) throw norq::ValueError("Expected training, validation or test data.");
  engine::StructType schema = first->schema();
  std::shared_ptr<engine::SparkSession> session = engine::SparkSession::getActiveSession();
  if (!session) throw norq::ValueError("Unable to create spark session.");
  DataFrame empty_pred = session->createDataFrame(std::vector<engine::Row>{}, engine::StructType{});
  auto or_empty = [&](const std::optional<DataFrame>& f) {
    return f ? *f : session->createDataFrame(std::vector<engine::Row>{}, schema);
  };
  return Frames{empty_pred, or_empty(o.training_data), or_empty(o.validation_data), or_empty(o.testing_data)};
}

BaseSparkDatasetMixin::BaseSparkDatasetMixin(const Options& options)
    : BaseSparkDatasetMixin(prepare_frames(options), options) {}

BaseSparkDatasetMixin::BaseSparkDatasetMixin(Frames frames, const Options& options)
    : empty_pred_(std::move(frames.empty_pred)),
      _training_data(std::move(frames.training)),
      _validation_data(std::move(frames.validation)),
      _testing_data(std::move(frames.testing)),
      _all_data(_training_data),
      _history(options.history ? options.history : std::make_shared<norq::History>()) {
  validate_and_store(options);
}

void BaseSparkDatasetMixin::validate_and_store(const Options& o) {
  static const std::vector<std::string> kNone;
  const auto& categorical = o.categorical_features ? *o.categorical_features : kNone;
  const auto& continuous = o.continuous_features ? *o.continuous_features : kNone;
  const auto& dates = o.date_features ? *o.date_features : kNone;
  const auto& ids = o.id_features ? *o.id_features : kNone;
  const std::vector<std::string>& feature_names = *o.feature_names;

  const std::vector<std::string> training_cols = _training_data.columns();
  const std::vector<std::string> validation_cols = _validation_data.columns();
  const std::vector<std::string> testing_cols = _testing_data.columns();

  std::string target;
  if (o.target_name) {
    target = *o.target_name;
  } else {
    if (training_cols.empty()) throw norq::ValueError("No target name given and the training data has no columns.");
    target = training_cols.back();
  }
  auto check_present = [&](const std::string& column) {
    if (!contains(training_cols, column)) throw norq::ValueError(column + " not in training data");
    if (!contains(validation_cols, column)) throw norq::ValueError(column + " not in validation data");
    if (!contains(testing_cols, column)) throw norq::ValueError(column + " not in test data");
  };
  check_present(target);
  if (o.prediction_name) check_present(*o.prediction_name);

  const std::set<std::string> features = to_set(feature_names);
  auto check_kind = [&](const std::vector<std::string>& kind, const char* prefix, const char* suffix) {
    for (const std::string& n : distinct_names(kind))
      if (!features.count(n)) throw norq::ValueError(std::string(prefix) + n + suffix);
  };
  check_kind(categorical, "Categorical feature \"", "\" not present in features.");
  check_kind(continuous, "Continuous feature\" ", "\" not present in features.");
  check_kind(dates, "Date feature\" ", "\" not present in features.");
  check_kind(ids, "ID feature\" ", "\" not present in features.");

  const std::set<std::string> continuous_set = to_set(continuous);
  std::vector<std::string> both;
  for (const std::string& n : distinct_names(categorical))
    if (continuous_set.count(n)) both.push_back(n);
  if (!both.empty())
    throw norq::ValueError("Features " + norq::format_list(both) + " are bothcategorical and continuous.");

  std::set<std::string> id_or_date = to_set(ids);
  id_or_date.insert(dates.begin(), dates.end());

  _feature_names = feature_names;
  _categorical_features = set_minus(categorical, id_or_date);
  _continuous_features = set_minus(continuous, id_or_date);
  _date_features = dates;
  _id_features = ids;
  _target_categorical = o.target_categorical;
  _target_name = target;
  _prediction_name = o.prediction_name;
  _prediction_categorical = o.predictions_categorical;

  _id = uuid4();
  _name = o.name ? *o.name : _id;
  _overall_checksum.clear();
  _checksum.clear();

  std::set<std::string> of_some_kind = to_set(_categorical_features);
  for (const auto* kind : {&_continuous_features, &_id_features, &_date_features})
    of_some_kind.insert(kind->begin(), kind->end());
  std::vector<std::string> unspecified;
  for (const std::string& n : features)
    if (!of_some_kind.count(n)) unspecified.push_back(n);
  if (!unspecified.empty())
    throw norq::ValueError("Category of features " + norq::format_set(unspecified) + " not specified.");

  const auto n_training = static_cast<std::int64_t>(training_cols.size());
  if (static_cast<std::int64_t>(_feature_names.size()) + 1 != n_training)
    throw norq::ValueError(fmt::format("Expecting {} feature names but you provided {}.", n_training,
                                       _feature_names.size()));
  if (training_cols != validation_cols)
    throw norq::ValueError(fmt::format("Expecting {} features in validationdata but you provided {}.", n_training,
                                       validation_cols.size()));
  if (training_cols != testing_cols)
    throw norq::ValueError(fmt::format("Expecting {} features in testdata but you provided {}.", n_training,
                                       testing_cols.size()));

  // The frame of all rows, declared once and persisted; its partition count is at most the validation
  // frame's, and at least one (an empty frame may report none, and a frame cannot have zero partitions).
  DataFrame all = _training_data.union_(_validation_data).union_(_testing_data);
  const int partitions = std::max(1, _validation_data.rdd().getNumPartitions());
  _all_data = all.coalesce(partitions).persist();

  _non_id_date_features.clear();
  const std::vector<std::string> date_names = date_feature_names();
  for (const std::string& n : _feature_names) {
    if (contains(_id_features, n) || contains(date_names, n) || n == _target_name) continue;
    if (_prediction_name && n == *_prediction_name) continue;
    _non_id_date_features.push_back(n);
  }
}

std::shared_ptr<const BaseSparkDatasetMixin> BaseSparkDatasetMixin::self() const {
  return std::dynamic_pointer_cast<const BaseSparkDatasetMixin>(shared_from_this());
}

BaseSparkDatasetMixin::FilteredParts BaseSparkDatasetMixin::filtered_parts(const std::string& condition,
                                                                           DatasetSegment dataset_segment) const {
  const std::optional<std::string> prediction = prediction_name();
  auto pick = [&](DatasetSegment segment, const DataFrame& frame) -> std::optional<DataFrame> {
    if (dataset_segment != DatasetSegment::ALL && dataset_segment != segment) return std::nullopt;
    DataFrame filtered = frame.filter(condition);
    return prediction ? filtered.drop(*prediction) : filtered;
  };
  auto without_prediction = [&](std::vector<std::string> names) {
    if (prediction) names.erase(std::remove(names.begin(), names.end(), *prediction), names.end());
    return names;
  };
  return FilteredParts{pick(DatasetSegment::TRAINING, _training_data), pick(DatasetSegment::VALIDATION, _validation_data),
                       pick(DatasetSegment::TESTING, _testing_data), without_prediction(_categorical_features),
                       without_prediction(_continuous_features)};
}

const DataFrame& BaseSparkDatasetMixin::segment_frame(DatasetSegment segment) const {
  switch (segment) {
    case DatasetSegment::TRAINING:
      return _training_data;
    case DatasetSegment::VALIDATION:
      return _validation_data;
    case DatasetSegment::TESTING:
      return _testing_data;
    default:
      return _all_data;
  }
}

// ---- counts ----

std::int64_t BaseSparkDatasetMixin::number_of_samples() const {
  return samples_memo().get(self(), [&] { return _all_data.count(); });
}
std::int64_t BaseSparkDatasetMixin::number_of_training_samples() const {
  return training_samples_memo().get(self(), [&] { return _training_data.count(); });
}
std::int64_t BaseSparkDatasetMixin::number_of_validation_samples() const {
  return validation_samples_memo().get(self(), [&] { return _validation_data.count(); });
}
std::int64_t BaseSparkDatasetMixin::number_of_testing_samples() const {
  return testing_samples_memo().get(self(), [&] { return _testing_data.count(); });
}

// ---- names ----

std::vector<std::string> BaseSparkDatasetMixin::get_restricted_features() const {
  std::optional<std::string> prediction = prediction_name();
  if (!prediction) return {_target_name};
  return {_target_name, *prediction};
}

std::vector<std::string> BaseSparkDatasetMixin::all_feature_names() const {
  const std::vector<std::string> restricted = get_restricted_features();
  std::vector<std::string> out;
  for (const std::string& n : _feature_names)
    if (!contains(restricted, n)) out.push_back(n);
  return out;
}

std::vector<std::string> BaseSparkDatasetMixin::feature_names() const {
  const std::vector<std::string> restricted = get_restricted_features();
  std::vector<std::string> out;
  for (const std::string& n : _feature_names)
    if (!contains(_id_features, n) && !contains(_date_features, n) && !contains(restricted, n)) out.push_back(n);
  return out;
}

void BaseSparkDatasetMixin::resort_kinds(const std::vector<std::string>& value, bool categorical_first) {
  std::set<std::string> requested = to_set(value);
  std::set<std::string> allowed = to_set(_feature_names);
  const std::vector<std::string> restricted = get_restricted_features();
  allowed.insert(restricted.begin(), restricted.end());
  bool anyUnknown = false;
  for (const std::string& n : requested) anyUnknown = anyUnknown || !allowed.count(n);
  if (anyUnknown) {
    // The message lists every requested name that is not a feature name: a target or prediction named next
    // to an unknown name is listed too.
    const std::set<std::string> features = to_set(_feature_names);
    std::vector<std::string> not_features;
    for (const std::string& n : requested)
      if (!features.count(n)) not_features.push_back(n);
    throw norq::ValueError("Feature(s) " + norq::format_set(not_features) + " not in dataset features.");
  }
  for (const std::string& n : restricted) requested.erase(n);

  std::set<std::string> others = to_set(_id_features);
  others.insert(_date_features.begin(), _date_features.end());
  others.insert(requested.begin(), requested.end());
  std::vector<std::string> chosen(requested.begin(), requested.end());
  std::vector<std::string> rest = set_minus(_feature_names, others);
  std::sort(rest.begin(), rest.end());
  if (categorical_first) {
    _categorical_features = std::move(chosen);
    _continuous_features = std::move(rest);
    norq::ensure_mutual_exclusion(_categorical_features, {&_id_features, &_date_features});
  } else {
    _continuous_features = std::move(chosen);
    _categorical_features = std::move(rest);
    norq::ensure_mutual_exclusion(_continuous_features, {&_id_features, &_date_features});
  }
}

void BaseSparkDatasetMixin::categorical_features(const std::vector<std::string>& value) { resort_kinds(value, true); }
void BaseSparkDatasetMixin::continuous_features(const std::vector<std::string>& value) { resort_kinds(value, false); }

// ---- column frames ----

// Names are column names, never paths: each is quoted (a column may be called "amount.usd").
static std::vector<engine::Column> quoted_columns(const std::vector<std::string>& names) {
  std::vector<engine::Column> cols;
  cols.reserve(names.size());
  for (const std::string& n : names) cols.push_back(F::col(sql_identifier(n)));
  return cols;
}

DataFrame BaseSparkDatasetMixin::select_names(const DataFrame& frame, const std::vector<std::string>& names) const {
  return frame.select(quoted_columns(names));
}

DataFrame BaseSparkDatasetMixin::all_features() const { return select_names(_all_data, all_feature_names()); }
DataFrame BaseSparkDatasetMixin::features() const { return select_names(_all_data, _non_id_date_features); }
DataFrame BaseSparkDatasetMixin::id_features() const { return select_names(_all_data, _id_features); }
DataFrame BaseSparkDatasetMixin::date_features() const { return select_names(_all_data, _date_features); }
DataFrame BaseSparkDatasetMixin::target() const { return select_names(_all_data, {_target_name}); }
DataFrame BaseSparkDatasetMixin::features_training() const { return select_names(_training_data, _non_id_date_features); }
DataFrame BaseSparkDatasetMixin::id_features_training() const { return select_names(_training_data, _id_features); }
DataFrame BaseSparkDatasetMixin::date_features_training() const { return select_names(_training_data, _date_features); }
DataFrame BaseSparkDatasetMixin::target_training() const { return select_names(_training_data, {_target_name}); }
DataFrame BaseSparkDatasetMixin::features_validation() const {
  return select_names(_validation_data, _non_id_date_features);
}
DataFrame BaseSparkDatasetMixin::id_features_validation() const { return select_names(_validation_data, _id_features); }
DataFrame BaseSparkDatasetMixin::date_features_validation() const {
  return select_names(_validation_data, _date_features);
}
DataFrame BaseSparkDatasetMixin::target_validation() const { return select_names(_validation_data, {_target_name}); }
DataFrame BaseSparkDatasetMixin::features_testing() const { return select_names(_testing_data, _non_id_date_features); }
DataFrame BaseSparkDatasetMixin::id_features_testing() const { return select_names(_testing_data, _id_features); }
DataFrame BaseSparkDatasetMixin::date_features_testing() const { return select_names(_testing_data, _date_features); }
DataFrame BaseSparkDatasetMixin::target_testing() const { return select_names(_testing_data, {_target_name}); }

DataFrame BaseSparkDatasetMixin::prediction_of(const DataFrame& frame) const {
  std::optional<std::string> prediction = prediction_name();
  if (has_predictions() && prediction) return select_names(frame, {*prediction});
  return empty_pred_;
}
DataFrame BaseSparkDatasetMixin::prediction() const { return prediction_of(_all_data); }
DataFrame BaseSparkDatasetMixin::prediction_training() const { return prediction_of(_training_data); }
DataFrame BaseSparkDatasetMixin::prediction_validation() const { return prediction_of(_validation_data); }
DataFrame BaseSparkDatasetMixin::prediction_testing() const { return prediction_of(_testing_data); }

DataFrame BaseSparkDatasetMixin::masked_feature(const DataFrame& frame, const std::string& name,
                                                const std::string& mask) const {
  if (mask.empty()) return frame.select(F::col(sql_identifier(name)));
  return frame.filter(mask).select(F::col(sql_identifier(name)));
}

DataFrame BaseSparkDatasetMixin::feature(const std::string& name, const std::string& mask) const {
  if (mask.empty()) return masked_feature(_all_data, name, mask);
  try {
    DataFrame out = masked_feature(_all_data, name, mask);
    out.schema();  // resolve now, so that a bad mask or column fails here rather than at the first query
    return out;
  } catch (const std::exception&) {
    throw norq::ValueError("Problem with mask \"" + mask + "\" for feature \"" + name + "\"");
  }
}
DataFrame BaseSparkDatasetMixin::feature_training(const std::string& name, const std::string& mask) const {
  return masked_feature(_training_data, name, mask);
}
DataFrame BaseSparkDatasetMixin::feature_validation(const std::string& name, const std::string& mask) const {
  return masked_feature(_validation_data, name, mask);
}
DataFrame BaseSparkDatasetMixin::feature_testing(const std::string& name, const std::string& mask) const {
  return masked_feature(_testing_data, name, mask);
}

// ---- predicates ----

bool BaseSparkDatasetMixin::is_categorical_feature(const std::string& a) const {
  return contains(_categorical_features, a);
}
bool BaseSparkDatasetMixin::is_continuous_feature(const std::string& a) const {
  return contains(_continuous_features, a);
}
bool BaseSparkDatasetMixin::is_id_feature(const std::string& a) const { return contains(_id_features, a); }
bool BaseSparkDatasetMixin::is_date_feature(const std::string& a) const { return contains(_date_features, a); }

bool BaseSparkDatasetMixin::is_numerical(const std::string& afeature) const {
  const std::optional<engine::DataType> type = column_type(_all_data, afeature);
  if (!type) throw norq::ValueError("Feature \"" + afeature + "\" is not a column of the dataset");
  return contains(spark_numeric_types(), type->typeName());
}

engine::LocalTable BaseSparkDatasetMixin::to_dataframe() const { return _all_data.toPandas(); }

// ---- segment data and statistics ----

DataFrame BaseSparkDatasetMixin::get_segment_data(const std::string& name, DatasetSegment dataset_segment,
                                                  const std::string& mask) const {
  return segment_data_memo().get(self(), name, dataset_segment, mask, [&]() -> DataFrame {
    if (name != target_name()) {
      switch (dataset_segment) {
        case DatasetSegment::TRAINING:
          return feature_training(name, mask);
        case DatasetSegment::VALIDATION:
          return feature_validation(name, mask);
        case DatasetSegment::TESTING:
          return feature_testing(name, mask);
        default:
          return feature(name, mask);
      }
    }
    if (mask.empty()) {
      switch (dataset_segment) {
        case DatasetSegment::TRAINING:
          return target_training();
        case DatasetSegment::VALIDATION:
          return target_validation();
        case DatasetSegment::TESTING:
          return target_testing();
        default:
          return target();
      }
    }
    return segment_frame(dataset_segment).filter(mask).select(F::col(sql_identifier(target_name())));
  });
}

std::int64_t BaseSparkDatasetMixin::filter_count(const std::string& condition, DatasetSegment dataset_segment) const {
  return filter_count_memo().get(self(), condition, dataset_segment, [&] {
    DataFrame frame = segment_frame(dataset_segment);
    if (!condition.empty()) frame = frame.filter(condition);
    return frame.count();
  });
}

namespace {
engine::Value single_value(const DataFrame& frame) {
  std::optional<engine::Row> row = frame.first();
  return row && row->size() > 0 ? row->values()[0] : engine::Value();
}
}  // namespace

engine::Value BaseSparkDatasetMixin::feature_min(const std::string& name, DatasetSegment dataset_segment,
                                                 const std::string& mask) const {
  return single_value(get_segment_data(name, dataset_segment, mask).select(F::min(F::col(sql_identifier(name)))));
}

engine::Value BaseSparkDatasetMixin::feature_max(const std::string& name, DatasetSegment dataset_segment,
                                                 const std::string& mask) const {
  return single_value(get_segment_data(name, dataset_segment, mask).select(F::max(F::col(sql_identifier(name)))));
}

std::optional<double> BaseSparkDatasetMixin::feature_combined_std(const norq::AbstractDataset& other_dataset,
                                                                  const std::string& name,
                                                                  DatasetSegment dataset_segment,
                                                                  const std::string& mask) const {
  if (data_backend() != other_dataset.data_backend()) throw norq::ValueError("Incompatible dataset backends");
  const norq::SimpleDataset<DataFrame>& other = as_spark_dataset(other_dataset);
  DataFrame mine = get_segment_data(name, dataset_segment, mask);
  DataFrame theirs = other.get_segment_data(name, dataset_segment, mask);
  engine::Value v = single_value(mine.union_(theirs).select(F::stddev(F::col(sql_identifier(name)))));
  if (v.isNull()) return std::nullopt;
  return v.toDouble();
}

std::vector<engine::Value> BaseSparkDatasetMixin::get_feature_categories(const std::string& name,
                                                                         DatasetSegment dataset_segment,
                                                                         const std::string& mask) const {
  // Distinct values sorted by the engine's ordering (ascending, a missing value first): the same order the
  // values themselves give, with one defined place for null.
  std::vector<engine::Row> rows =
      get_segment_data(name, dataset_segment, mask).dropDuplicates().orderBy(F::col(sql_identifier(name)).asc()).collect();
  std::vector<engine::Value> out;
  out.reserve(rows.size());
  for (const engine::Row& r : rows) out.push_back(r[name]);
  return out;
}

bool BaseSparkDatasetMixin::all_identical(const std::string& name, DatasetSegment dataset_segment,
                                          const std::string& mask) const {
  return get_segment_data(name, dataset_segment, mask).dropDuplicates().limit(2).collect().size() == 1;
}

double BaseSparkDatasetMixin::median(const std::string& name, DatasetSegment dataset_segment,
                                     const std::string& mask) const {
  engine::Value v = single_value(get_segment_data(name, dataset_segment, mask)
                                     .select(F::percentile_approx(F::col(sql_identifier(name)), std::vector<double>{0.5}, 10000).alias("median")));
  if (v.isNull()) return std::numeric_limits<double>::quiet_NaN();
  const auto& elements = v.arr().elements;
  return elements.empty() ? std::numeric_limits<double>::quiet_NaN() : value_as_double(elements[0]);
}

double BaseSparkDatasetMixin::mean(const std::string& name, DatasetSegment dataset_segment,
                                   const std::string& mask) const {
  engine::Value v = single_value(get_segment_data(name, dataset_segment, mask).select(F::mean(F::col(sql_identifier(name))).alias("mean")));
  return value_as_double(v);
}

std::vector<double> BaseSparkDatasetMixin::quantiles(const std::string& name, const std::vector<double>& quantile_vals,
                                                     DatasetSegment dataset_segment, const std::string& mask) const {
  std::vector<engine::Row> rows = get_segment_data(name, dataset_segment, mask)
                                      .select(F::percentile_approx(F::col(sql_identifier(name)), quantile_vals, 1000000).alias("quantiles"))
                                      .collect();
  const engine::Value v = rows.empty() ? engine::Value() : rows[0]["quantiles"];
  if (v.isNull()) return std::vector<double>(quantile_vals.size(), std::numeric_limits<double>::quiet_NaN());
  std::vector<double> out;
  for (const engine::Value& e : v.arr().elements) out.push_back(value_as_double(e));
  return out;
}

MetricCalculationParams BaseSparkDatasetMixin::get_metric_calculation_params(const std::string& condition) const {
  std::vector<std::string> columns = _non_id_date_features;
  columns.push_back(target_name());
  if (has_predictions()) columns.push_back(*prediction_name());
  DataFrame frame = condition.empty() ? _validation_data : _validation_data.filter(condition);
  return MetricCalculationParams{frame.select(quoted_columns(columns)), prediction_name(), target_name(), std::nullopt};
}

}  // namespace spark
