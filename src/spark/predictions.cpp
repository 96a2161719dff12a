#include "spark/predictions.h"

#include <algorithm>
#include <mutex>
#include <typeindex>

#include "engine/functions.h"
#include "engine/session.h"
#include "engine/udf.h"
#include "host/errors.h"
#include "spark/model.h"
#include "spark/sklearn_model.h"

namespace spark {

namespace F = engine::functions;

std::pair<engine::DataFrame, std::string> predictions_from_sklearn(const PredictionsArgs& a) {
  if (!a.df) throw norq::ValueError("predictions_from_sklearn needs the frame to predict for");
  engine::DataFrame df = *a.df;
  // A precalculated model (exactly that type) answers by its own lookup.
  if (const auto* pre = std::any_cast<std::shared_ptr<SparkPrecalculatedModel>>(&a.model)) {
    if (!*pre) throw norq::ValueError("predictions_from_sklearn got no model");
    return {(*pre)->predict(df), (*pre)->prediction_label};
  }
  const auto* sk = std::any_cast<std::shared_ptr<SklearnModel>>(&a.model);
  if (!sk || !*sk) throw norq::ValueError("predictions_from_sklearn needs a loaded scikit-learn model (SklearnModel::load)");

  const std::string prediction_label = a.prediction_label.value_or("predictions");
  const std::vector<std::string> exclude = a.exclude_labels.value_or(std::vector<std::string>{});
  const engine::StructType schema = df.schema();
  std::vector<std::string> feature_cols;
  if (a.feature_cols) {
    feature_cols = *a.feature_cols;
  } else {
    for (const auto& f : schema.fields())
      if ((!a.target_label || f.name != *a.target_label) && std::find(exclude.begin(), exclude.end(), f.name) == exclude.end())
        feature_cols.push_back(f.name);
  }
  // The model is shared once with every worker; each batch becomes a pandas table of the feature columns.
  engine::Broadcast<std::shared_ptr<SklearnModel>> clf_model = df.sparkSession()->sparkContext().broadcast(*sk);
  auto predict_pandas_udf = F::pandas_udf(
      [clf_model, feature_cols](const std::vector<engine::VectorPtr>& columns, std::size_t rows) -> engine::VectorPtr {
        std::vector<double> predictions = clf_model.value()->predict(columns, feature_cols, rows);
        auto out = engine::Vector::make(engine::DoubleType(), rows);
        std::copy(predictions.begin(), predictions.end(), out->data<double>());
        return out;
      },
      engine::DoubleType(), "predict_pandas_udf");
  std::vector<engine::ColumnOrName> args(feature_cols.begin(), feature_cols.end());
  df = df.withColumn(prediction_label, predict_pandas_udf(args));
  if (a.target_label) {
    const engine::StructType with = df.schema();
    const engine::StructField* target = nullptr;
    for (const auto& f : with.fields())
      if (f.name == *a.target_label) target = &f;
    if (!target) throw norq::ValueError("the target column " + *a.target_label + " is not a column of the frame");
    df = df.withColumn(prediction_label, F::col(prediction_label).cast(target->dataType));
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
