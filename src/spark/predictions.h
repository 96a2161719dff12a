// Predictions of a model added to an engine frame as a column, computed batch by batch by the engine.
#pragma once

#include <any>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/dataframe.h"
#include "host/calculations.h"

namespace spark {

struct PredictionsArgs {
  // A std::shared_ptr<SklearnModel> (SklearnModel::load), or a SparkPrecalculatedModel (also held as
  // std::shared_ptr<norq::BaseModel>), which answers by its own lookup when its type is exactly that class.
  std::any model;
  std::optional<engine::DataFrame> df;
  std::optional<std::vector<std::string>> feature_cols;  // default: every column but the target and exclusions
  std::optional<std::string> prediction_label;           // default "predictions"
  std::optional<std::string> target_label;               // when given, predictions take its type
  std::optional<std::vector<std::string>> exclude_labels;
};

// (frame with the prediction column, its name). Lazy: the model runs when the frame is evaluated, on the
// engine's worker threads, with the model shared once (broadcast); errors of the model surface then.
std::pair<engine::DataFrame, std::string> predictions_from_sklearn(const PredictionsArgs& args);
// The framework's form (model, data, feature_cols, prediction_label, target_label, exclude_labels).
std::pair<engine::DataFrame, std::string> predictions_from_sklearn(const norq::CalculationParams& p);

// Registers "predictions" for engine frames, once per process.
void register_predictions();

}  // namespace spark
