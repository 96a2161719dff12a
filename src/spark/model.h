// A model whose predictions are already a column of the data: it predicts for any frame by looking the
// predictions up with a left join on the columns the two frames share.
#pragma once

#include <any>
#include <optional>
#include <string>

#include "engine/dataframe.h"
#include "host/model.h"

namespace spark {

class SparkPrecalculatedModel : public norq::BaseModel {
 public:
  static constexpr const char* NAME = "SparkPrecalculated";

  // `features` (the feature values with the prediction column `prediction_label`) is persisted. Without a
  // label the model is named NAME + "_" + a fresh time-based (version 1) UUID.
  SparkPrecalculatedModel(const engine::DataFrame& features, const std::string& prediction_label,
                          const std::optional<std::string>& model_label = std::nullopt);

  std::string name() const override { return model_label; }
  // Nothing to learn: the predictions are given.
  void fit(const std::any& x, const std::any& y = {}) override;
  // Every row of `x` with the stored frame's columns (one stored row per combination of shared values, so
  // no row multiplies) and the prediction column, null where nothing matches. ValueError for anything but an
  // engine frame.
  std::any predict(const std::any& x) const override;
  engine::DataFrame predict(const engine::DataFrame& x) const;

  engine::DataFrame features;
  std::string prediction_label;
  const SparkPrecalculatedModel* model_fitted = this;
  std::string model_label;
};

}  // namespace spark
