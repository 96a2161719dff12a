#include "spark/predictions.h"

#include <algorithm>
#include <mutex>
#include <typeinfo>

#include "engine/functions.h"
#include "engine/session.h"
#include "engine/udf.h"
#include "host/errors.h"
#include "spark/histograms.h"
#include "spark/model.h"
#include "spark/sklearn_model.h"

namespace spark {

namespace F = engine::functions;

namespace {

// The model when it is exactly a SparkPrecalculatedModel (a subclass is not: it may predict differently).
std::shared_ptr<const SparkPrecalculatedModel> precalculated(const std::any& model) {
  std::shared_ptr<const norq::BaseModel> base;
  if (const auto* m = std::any_cast<std::shared_ptr<SparkPrecalculatedModel>>(&model)) base = *m;
  if (const auto* m = std::any_cast<std::shared_ptr<const SparkPrecalculatedModel>>(&model)) base = *m;
  if (const auto* m = std::any_cast<std::shared_ptr<norq::BaseModel>>(&model)) base = *m;
  if (const auto* m = std::any_cast<std::shared_ptr<const norq::BaseModel>>(&model)) base = *m;
  if (!base || typeid(*base) != typeid(SparkPrecalculatedModel)) return nullptr;
  return std::static_pointer_cast<const SparkPrecalculatedModel>(base);
}

std::shared_ptr<const SklearnModel> sklearn_model(const std::any& model) {
  std::shared_ptr<const SklearnModel> sk;
  if (const auto* m = std::any_cast<std::shared_ptr<SklearnModel>>(&model)) sk = *m;
  if (const auto* m = std::any_cast<std::shared_ptr<const SklearnModel>>(&model)) sk = *m;
  if (sk) return sk;
  // Not a model this path can run: name what was given (exact SparkPrecalculatedModels were served before).
  std::string got = "a value of type " + norq::type_name(model.type());
  std::shared_ptr<const norq::BaseModel> other;
  if (const auto* m = std::any_cast<std::shared_ptr<SparkPrecalculatedModel>>(&model)) other = *m;
  if (const auto* m = std::any_cast<std::shared_ptr<norq::BaseModel>>(&model)) other = *m;
  if (other && dynamic_cast<const SparkPrecalculatedModel*>(other.get()))
    got = "the model " + other->name() + " of a type derived from SparkPrecalculatedModel";
  else if (other)
    got = "the model " + other->name();
  else if (!model.has_value() || std::any_cast<std::shared_ptr<SklearnModel>>(&model) ||
           std::any_cast<std::shared_ptr<const SklearnModel>>(&model) ||
           std::any_cast<std::shared_ptr<SparkPrecalculatedModel>>(&model) ||
           std::any_cast<std::shared_ptr<norq::BaseModel>>(&model))
    got = "no model";
  throw norq::ValueError(
      "predictions_from_sklearn needs a scikit-learn model (SklearnModel::load) or a "
      "SparkPrecalculatedModel, not " +
      got);
}

}  // namespace

std::pair<engine::DataFrame, std::string> predictions_from_sklearn(const PredictionsArgs& a) {
  if (!a.df) throw norq::ValueError("predictions_from_sklearn needs the frame to predict for");
  engine::DataFrame df = *a.df;
  // A precalculated model answers by its own lookup.
  if (auto pre = precalculated(a.model)) return {pre->predict(df), pre->prediction_label};
  std::shared_ptr<const SklearnModel> model = sklearn_model(a.model);

  const std::string prediction_label = a.prediction_label.value_or("predictions");
  const std::vector<std::string> exclude = a.exclude_labels.value_or(std::vector<std::string>{});
  std::vector<std::string> feature_cols;
  if (a.feature_cols) {
    feature_cols = *a.feature_cols;
  } else {
    const engine::StructType schema = df.schema();
    for (const auto& f : schema.fields())
      if ((!a.target_label || f.name != *a.target_label) &&
          std::find(exclude.begin(), exclude.end(), f.name) == exclude.end())
        feature_cols.push_back(f.name);
  }
  if (feature_cols.empty()) throw norq::ValueError("predictions_from_sklearn has no feature columns to predict from");
  // A column the model cannot take is named now rather than when the frame is first evaluated (on Spark its
  // workers would hand the model arrays it cannot read).
  {
    const engine::StructType schema = df.schema();
    for (const auto& name : feature_cols)
      if (const auto i = schema.indexOf(name); i && !SklearnModel::accepts(schema[*i].dataType))
        throw norq::ValueError("the column " + name + " of type " + schema[*i].dataType.simpleString() +
                               " cannot be passed to a scikit-learn model");
  }

  // The model is shared once with every worker; each batch of the feature columns becomes one pandas table.
  engine::Broadcast<std::shared_ptr<const SklearnModel>> clf_model = df.sparkSession()->sparkContext().broadcast(model);
  auto predict_pandas_udf = F::pandas_udf(
      [clf_model, feature_cols](const std::vector<engine::VectorPtr>& columns, std::size_t rows) -> engine::VectorPtr {
        const std::vector<double> predictions = clf_model.value()->predict(columns, feature_cols, rows);
        auto out = engine::Vector::make(engine::DoubleType(), rows);
        std::copy(predictions.begin(), predictions.end(), out->data<double>());
        return out;
      },
      engine::DoubleType(), "predict_pandas_udf",
      // On a remote session the model runs on Spark's Python workers, shipped inside the pickled function.
      [model, feature_cols] {
        engine::PythonUdfPayload payload;
        payload.command = model->spark_udf_command(feature_cols);
        payload.evalType = 200;  // SQL_SCALAR_PANDAS_UDF
        payload.pythonVersion = SklearnModel::python_version();
        return payload;
      });
  df = df.withColumn(prediction_label,
                     predict_pandas_udf(std::vector<engine::ColumnOrName>(feature_cols.begin(), feature_cols.end())));
  // Predictions compare with labels of the target's type (class labels 1.0 and 0.0 become 1 and 0).
  if (a.target_label) {
    const engine::StructType schema_after = df.schema();
    const auto target = schema_after.indexOf(*a.target_label);
    if (!target) throw norq::ValueError("the target column " + *a.target_label + " is not a column of the frame");
    df = df.withColumn(prediction_label, F::col(sql_identifier(prediction_label)).cast(schema_after[*target].dataType));
  }
  return {df, prediction_label};
}

std::pair<engine::DataFrame, std::string> predictions_from_sklearn(const norq::CalculationParams& p) {
  PredictionsArgs a;
  a.model = p.model;
  if (const auto* df = std::any_cast<engine::DataFrame>(&p.data)) a.df = *df;
  a.feature_cols = p.feature_cols;
  a.prediction_label = p.prediction_label;
  a.target_label = p.target_label;
  a.exclude_labels = p.exclude_labels;
  return predictions_from_sklearn(a);
}

void register_predictions() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::pair<engine::DataFrame, std::string> (*fn)(const norq::CalculationParams&) = &predictions_from_sklearn;
    norq::proxy_calculation_for_type("predictions", typeid(engine::DataFrame))(fn);
  });
}

}  // namespace spark
