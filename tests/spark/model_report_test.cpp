// Confusion matrix, precision/recall/F1, ROC AUC (ties half) and regression errors, against hand-computed
// values (the same as scikit-learn's on these rows).
#include "spark/model_report.h"

#include <cmath>

#include <gtest/gtest.h>

#include "spark_test_support.h"

namespace {

using namespace spark_test;

TEST(ModelReportTest, ClassificationFiguresAndAuc) {
  // label, prediction, score; one tie of a negative with a positive (0.4), one row without a label.
  const int labels[] = {1, 1, 1, 0, 0, 0, 1, 0, 0};
  const int preds[] = {1, 0, 1, 0, 1, 0, 1, 0, 0};
  const double scores[] = {.9, .4, .8, .3, .6, .2, .7, .5, .4};
  std::vector<Row> rows;
  for (int i = 0; i < 9; ++i) rows.push_back(Row{labels[i], preds[i], scores[i]});
  rows.push_back(Row{Value(), 1, 0.95});
  DataFrame df = session()->createDataFrame(
      rows, StructType({{"y", IntegerType(), true}, {"p", IntegerType(), true}, {"s", DoubleType(), true}}));
  const spark::ClassificationSummary s =
      spark::classification_summary(df, "y", "p", Value(std::int64_t{1}), Value(std::int64_t{0}), "s");
  EXPECT_EQ(s.matrix.true_positive, 3);
  EXPECT_EQ(s.matrix.false_negative, 1);
  EXPECT_EQ(s.matrix.false_positive, 1);
  EXPECT_EQ(s.matrix.true_negative, 4);
  EXPECT_EQ(s.matrix.other, 1);
  EXPECT_DOUBLE_EQ(s.precision, 0.75);
  EXPECT_DOUBLE_EQ(s.recall, 0.75);
  EXPECT_DOUBLE_EQ(s.f1, 0.75);
  ASSERT_TRUE(s.roc_auc);
  EXPECT_DOUBLE_EQ(*s.roc_auc, 17.5 / 20);  // sklearn.metrics.roc_auc_score

  // No predicted positive: precision undefined; without a score, no AUC; one class only, no AUC either.
  DataFrame none = session()->createDataFrame({Row{1, 0, 0.5}, Row{0, 0, 0.5}}, df.schema());
  const spark::ClassificationSummary n =
      spark::classification_summary(none, "y", "p", Value(std::int64_t{1}), Value(std::int64_t{0}));
  EXPECT_TRUE(std::isnan(n.precision));
  EXPECT_DOUBLE_EQ(n.recall, 0.0);
  EXPECT_FALSE(n.roc_auc);
  DataFrame one = session()->createDataFrame({Row{1, 1, 0.5}}, df.schema());
  EXPECT_FALSE(spark::classification_summary(one, "y", "p", Value(std::int64_t{1}), Value(std::int64_t{0}), "s").roc_auc);
}

TEST(ModelReportTest, RegressionErrorsAndLabelKind) {
  DataFrame df = session()->createDataFrame(
      {Row{1.0, 1.0}, Row{2.0, 2.0}, Row{3.0, 3.0}, Row{4.0, 5.0}, Row{Value(), 7.0}},
      StructType({{"y", DoubleType(), true}, {"p", DoubleType(), true}}));
  const spark::RegressionSummary r = spark::regression_summary(df, "y", "p");
  EXPECT_EQ(r.rows, 4);
  EXPECT_DOUBLE_EQ(r.mae, 0.25);
  EXPECT_DOUBLE_EQ(r.rmse, 0.5);
  EXPECT_NEAR(r.r2, 0.8, 1e-12);  // sklearn.metrics.r2_score
  EXPECT_TRUE(spark::is_regression_label(df, "y"));

  DataFrame binary = session()->createDataFrame({Row{0, "a"}, Row{1, "b"}, Row{Value(), "c"}},
                                                StructType({{"y", IntegerType(), true}, {"t", StringType(), true}}));
  EXPECT_FALSE(spark::is_regression_label(binary, "y"));
  EXPECT_FALSE(spark::is_regression_label(binary, "t"));
}

}  // namespace
