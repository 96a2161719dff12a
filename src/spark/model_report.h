// Model figures a report shows beside the framework's metrics, computed by the library: the confusion
// matrix with precision, recall and F1 and (given a score column) the ROC AUC of a binary classifier, and
// the errors of a regression model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/engine.h"

namespace spark {

struct ConfusionMatrix {
  std::int64_t true_positive = 0, false_positive = 0, true_negative = 0, false_negative = 0;
  // Rows whose label or prediction is missing or neither the positive nor the negative value.
  std::int64_t other = 0;
};

struct ClassificationSummary {
  ConfusionMatrix matrix;
  double precision = 0, recall = 0, f1 = 0;  // NaN when undefined (no predicted or no actual positive)
  std::optional<double> roc_auc;             // with a score column, when both classes occur
};

// One pass over `frame` for the matrix; with `score`, one grouped pass over the distinct scores for the
// area under the ROC curve (ties count half, as in the Mann-Whitney statistic).
ClassificationSummary classification_summary(const engine::DataFrame& frame, const std::string& label,
                                             const std::string& prediction, const engine::Value& positive,
                                             const engine::Value& negative,
                                             const std::optional<std::string>& score = std::nullopt);

struct RegressionSummary {
  std::int64_t rows = 0;  // rows with both a label and a prediction
  double mae = 0, rmse = 0, r2 = 0;
};
RegressionSummary regression_summary(const engine::DataFrame& frame, const std::string& label,
                                     const std::string& prediction);

// A label column is a regression target when it is numeric and holds values other than 0 and 1.
bool is_regression_label(const engine::DataFrame& frame, const std::string& label);

}  // namespace spark
