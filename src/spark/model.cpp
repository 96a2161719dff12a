#include "spark/model.h"

#include <algorithm>

#include "host/errors.h"
#include "spark/uuid.h"

namespace spark {

SparkPrecalculatedModel::SparkPrecalculatedModel(const engine::DataFrame& frame, const std::string& label,
                                                 const std::optional<std::string>& given_label)
    : features(frame.persist()),
      prediction_label(label),
      model_label(given_label ? *given_label : std::string(NAME) + "_" + uuid1()) {}

void SparkPrecalculatedModel::fit(const std::any&, const std::any&) {}

std::any SparkPrecalculatedModel::predict(const std::any& x) const {
  const auto* frame = std::any_cast<engine::DataFrame>(&x);
  if (!frame) throw norq::ValueError(std::string(NAME) + " can only predict on a spark dataframe");
  return predict(*frame);
}

engine::DataFrame SparkPrecalculatedModel::predict(const engine::DataFrame& x) const {
  const std::vector<std::string> feature_cols = features.columns();
  const std::vector<std::string> x_cols = x.columns();
  std::vector<std::string> join_cols;
  for (const std::string& c : feature_cols)
    if (std::find(x_cols.begin(), x_cols.end(), c) != x_cols.end() &&
        std::find(join_cols.begin(), join_cols.end(), c) == join_cols.end())
      join_cols.push_back(c);
  // Without a shared column the lookup would pair every row of `x` with every stored row.
  if (join_cols.empty())
    throw norq::ValueError(std::string(NAME) + " can only predict on a frame that shares columns with its stored frame");
  engine::DataFrame joined = x.join(features.dropDuplicates(join_cols), engine::JoinOn(join_cols), "left");
  // The stored columns, then the prediction column once (it is usually among the stored columns already;
  // naming it twice would make the result's prediction column ambiguous).
  std::vector<std::string> selected = feature_cols;
  if (std::find(selected.begin(), selected.end(), prediction_label) == selected.end())
    selected.push_back(prediction_label);
  return joined.select(selected);
}

}  // namespace spark
