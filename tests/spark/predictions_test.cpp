// Batch predictions of scikit-learn models run by the engine, compared with scikit-learn's own predictions
// (the models and their predictions come from scripts/train_sample_model.py, run as a test fixture).
#include <cstdlib>
#include <filesystem>
#include <map>

#include "host/calculations.h"
#include "host/errors.h"
#include "spark/model.h"
#include "spark/predictions.h"
#include "spark/sklearn_model.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using Strings = std::vector<std::string>;

class PredictionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("NORQ_TEST_MODELS");
    if (!dir || !std::filesystem::exists(std::string(dir) + "/classifier.pkl"))
      GTEST_SKIP() << "NORQ_TEST_MODELS does not name the trained models (ctest runs the training fixture)";
    models_ = dir;
  }
  DataFrame loans(int partitions = 4) const {
    return session()->read().csv(std::string(NORQ_SOURCE_DIR) + "/data/sample/loans.csv", true, true).repartition(partitions);
  }
  // scikit-learn's own predictions by loan id.
  std::map<std::int64_t, double> expected(const std::string& column) const {
    std::map<std::int64_t, double> out;
    for (const Row& r : session()->read().csv(models_ + "/predictions.csv", true, true).collect())
      out[r["loan_id"].toInt64()] = r[column].toDouble();
    return out;
  }
  std::string models_;
};

TEST_F(PredictionsTest, EngineBatchesGiveScikitLearnsPredictions) {
  auto clf = spark::SklearnModel::load(models_ + "/classifier.pkl");
  const Strings features = {"amount", "term_months", "interest_rate", "age"};
  auto [df, label] = spark::predictions_from_sklearn({.model = clf, .df = loans(8), .feature_cols = features});
  EXPECT_EQ(label, "predictions");
  const auto want = expected("classifier");
  for (int run = 0; run < 2; ++run) {
    auto rows = df.select(std::vector<std::string>{"loan_id", "predictions"}).collect();
    ASSERT_EQ(rows.size(), want.size());
    for (const Row& r : rows) ASSERT_EQ(r["predictions"].toDouble(), want.at(r["loan_id"].toInt64())) << r.toString();
  }
  // The joblib file holds the same model; a regressor's predictions come back as they are.
  auto same = spark::predictions_from_sklearn(
      {.model = spark::SklearnModel::load(models_ + "/classifier.joblib"), .df = loans(), .feature_cols = features});
  EXPECT_EQ(same.first.select(std::vector<std::string>{"predictions"}).agg({engine::functions::sum("predictions")}).collect(),
            df.select(std::vector<std::string>{"predictions"}).agg({engine::functions::sum("predictions")}).collect());
  auto reg = spark::predictions_from_sklearn({.model = spark::SklearnModel::load(models_ + "/regressor.pkl"),
                                              .df = loans(),
                                              .feature_cols = Strings{"amount", "term_months", "age"},
                                              .prediction_label = "rate_hat"});
  const auto want_rate = expected("regressor");
  for (const Row& r : reg.first.select(std::vector<std::string>{"loan_id", "rate_hat"}).collect())
    ASSERT_DOUBLE_EQ(r["rate_hat"].toDouble(), want_rate.at(r["loan_id"].toInt64()));
}

TEST_F(PredictionsTest, FeatureSelectionAndTheTargetsType) {
  auto clf = spark::SklearnModel::load(models_ + "/classifier.pkl");
  DataFrame df = loans().select(std::vector<std::string>{"amount", "term_months", "interest_rate", "age", "defaulted"});
  // Without feature columns: every column but the target.
  auto [with_target, label] = spark::predictions_from_sklearn({.model = clf, .df = df, .target_label = "defaulted"});
  EXPECT_EQ(with_target.schema().fields().back().dataType, df.schema().fields().back().dataType);  // the integer cast
  const auto want = expected("classifier");
  auto ids = loans().select(std::vector<std::string>{"loan_id", "amount", "term_months", "interest_rate", "age", "defaulted"});
  auto [by_id, l2] = spark::predictions_from_sklearn(
      {.model = clf, .df = ids, .target_label = "defaulted", .exclude_labels = Strings{"loan_id"}});
  for (const Row& r : by_id.collect()) ASSERT_EQ(r["predictions"].toDouble(), want.at(r["loan_id"].toInt64()));
  // Through the framework.
  spark::register_predictions();
  norq::CalculationParams p;
  p.model = clf;
  p.data = df;
  p.target_label = "defaulted";
  auto routed = std::any_cast<std::pair<DataFrame, std::string>>(norq::calculate("predictions", p));
  EXPECT_EQ(routed.second, "predictions");
  EXPECT_EQ(routed.first.count(), 2000);
}

TEST_F(PredictionsTest, PrecalculatedModelsAnswerByLookup) {
  DataFrame stored = loans().select(std::vector<std::string>{"loan_id", "predicted"});
  auto model = std::make_shared<spark::SparkPrecalculatedModel>(stored, "predicted");
  auto [df, label] = spark::predictions_from_sklearn({.model = model, .df = loans().drop("predicted"), .prediction_label = "x"});
  EXPECT_EQ(label, "predicted");
  EXPECT_EQ(df.columns(), (Strings{"loan_id", "predicted"}));
  EXPECT_EQ(df.select(std::vector<std::string>{"predicted"}).count(), 2000);
}

TEST_F(PredictionsTest, ErrorsNameTheirCause) {
  auto message = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "<no error>";
  };
  EXPECT_NE(message([&] { spark::SklearnModel::load(models_ + "/missing.pkl"); }).find("cannot read"), std::string::npos);
  EXPECT_NE(message([&] { spark::SklearnModel::load(models_ + "/garbage.pkl"); }).find("cannot load the model"),
            std::string::npos);
  EXPECT_NE(message([&] { spark::SklearnModel::load(models_ + "/not_a_model.pkl"); }).find("no predict method"),
            std::string::npos);
  // A predict that raises (the columns do not match the model's features) fails when the frame is evaluated.
  auto clf = spark::SklearnModel::load(models_ + "/classifier.pkl");
  auto [df, label] = spark::predictions_from_sklearn(
      {.model = clf, .df = loans(), .feature_cols = Strings{"amount", "age"}});
  EXPECT_NE(message([&] { df.collect(); }).find("predict failed"), std::string::npos);
  EXPECT_NE(message([&] { spark::predictions_from_sklearn({.model = 42, .df = loans()}); }).find("scikit-learn model"),
            std::string::npos);
}

}  // namespace
