// Performance and fairness metrics, and the two-sample Kolmogorov-Smirnov test, on engine frames.
#include <cmath>

#include "host/calculations.h"
#include "host/errors.h"
#include "spark/ks_2samp.h"
#include "spark/metrics.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;

DataFrame scored(const std::vector<Row>& rows) {
  return session()->createDataFrame(
      rows, StructType({{"pred", IntegerType(), true}, {"label", IntegerType(), true}, {"g", StringType(), true}}));
}

norq::CalculationParams params(const DataFrame& df) {
  norq::CalculationParams p;
  p.data = df;
  p.pred = "pred";
  p.label = "label";
  p.positive_outcome_label = Value(1);
  p.negative_outcome_label = Value(0);
  return p;
}

TEST(MetricsTest, RatesOverIndicatorMeans) {
  auto p = params(scored({Row{1, 1, "a"}, Row{1, 0, "a"}, Row{0, 0, "b"}}));
  EXPECT_EQ(spark::spark_accuracy(p), 0.67);
  EXPECT_EQ(spark::spark_true_pos_rate(p), 1.0);
  EXPECT_EQ(spark::spark_true_neg_rate(p), 0.5);
  EXPECT_EQ(spark::spark_demographic_parity(p), 0.67);
  EXPECT_EQ(spark::spark_equal_opportunity(p), spark::spark_true_pos_rate(p));
  EXPECT_EQ(spark::spark_equal_odds_tnr(p), spark::spark_true_neg_rate(p));
  // A null prediction is a miss, never a skipped row.
  auto n = params(scored({Row{Value(), 1, "a"}, Row{1, 1, "a"}}));
  EXPECT_EQ(spark::spark_accuracy(n), 0.5);
  EXPECT_EQ(spark::spark_true_pos_rate(n), 0.5);
  EXPECT_EQ(spark::spark_demographic_parity(n), 0.5);
}

TEST(MetricsTest, RoundingOfExactEighthsGoesToEven) {
  std::vector<Row> one_of_eight(8, Row{0, 1, "a"});
  one_of_eight[0] = Row{1, 1, "a"};
  EXPECT_EQ(spark::spark_accuracy(params(scored(one_of_eight))), 0.12);
  std::vector<Row> three_of_eight = one_of_eight;
  three_of_eight[1] = Row{1, 1, "a"};
  three_of_eight[2] = Row{1, 1, "a"};
  EXPECT_EQ(spark::spark_accuracy(params(scored(three_of_eight))), 0.38);
}

TEST(MetricsTest, NoRowsGiveNaN) {
  auto empty = params(scored({}));
  EXPECT_TRUE(std::isnan(spark::spark_accuracy(empty)));
  EXPECT_TRUE(std::isnan(spark::spark_demographic_parity(empty)));
  auto negatives_only = params(scored({Row{0, 0, "a"}}));
  EXPECT_TRUE(std::isnan(spark::spark_true_pos_rate(negatives_only)));
  EXPECT_TRUE(std::isnan(spark::spark_equal_odds_tpr(negatives_only)));
  try {
    spark::spark_individual_fairness(empty);
    FAIL();
  } catch (const norq::NotImplementedError& e) {
    EXPECT_STREQ(e.what(), "Individual fairness not implemented for spark datasets.");
  }
}

TEST(MetricsTest, GroupDifferenceThroughTheFramework) {
  spark::metrics::load();
  // Privileged group a: accuracy 0.8; unprivileged b: 0.6.
  std::vector<Row> rows;
  for (int i = 0; i < 10; ++i) rows.push_back(Row{1, i < 8 ? 1 : 0, "a"});
  for (int i = 0; i < 10; ++i) rows.push_back(Row{1, i < 6 ? 1 : 0, "b"});
  auto p = params(scored(rows));
  p.protected_ = "g";
  p.privileged = {Value("a")};
  p.unprivileged = {Value("b")};
  p.metric = std::make_shared<norq::Calculation>("accuracy");
  EXPECT_NEAR(std::any_cast<double>(norq::calculate("metric_diff", p)), 0.2, 1e-12);
  EXPECT_EQ(std::any_cast<double>(norq::calculate("accuracy", p)), 0.7);
  // An unprivileged result of 0 gives NaN.
  p.unprivileged = {Value("nobody")};
  EXPECT_TRUE(std::isnan(spark::spark_metric_diff(p)));
  // Counterfactual individual fairness is answered without touching the data.
  p.metric = std::make_shared<norq::Calculation>("individual_fairness_cf");
  const auto before = jobs();
  EXPECT_TRUE(std::isnan(spark::spark_metric_diff(p)));
  EXPECT_EQ(jobs(), before);
}

DataFrame sample(const std::vector<Value>& values) {
  std::vector<Row> rows;
  for (const auto& v : values) rows.push_back(Row{v});
  return session()->createDataFrame(rows, StructType({{"v", DoubleType(), true}}));
}

TEST(KsTest, StatisticOfTheWorkedExamples) {
  auto r = spark::spark_ks_2samp(sample({1.0, 2.0, 3.0, 4.0}), sample({3.0, 4.0, 5.0, 6.0}));
  ASSERT_TRUE(r.statistic);
  EXPECT_DOUBLE_EQ(*r.statistic, 0.5);
  // Below a sample's first value its distribution is 0: samples that do not overlap are 1 apart.
  EXPECT_DOUBLE_EQ(*spark::spark_ks_2samp(sample({5.0, 6.0}), sample({1.0, 2.0})).statistic, 1.0);
  EXPECT_DOUBLE_EQ(*spark::spark_ks_2samp(sample({1.0, 2.0}), sample({5.0, 6.0})).statistic, 1.0);
  auto same = spark::spark_ks_2samp(sample({1.0, 2.0, 2.0}), sample({2.0, 1.0, 2.0}));
  EXPECT_EQ(*same.statistic, 0.0);
  EXPECT_EQ(same.pvalue, 1.0);
  // Nulls are ignored in the distributions and the sizes.
  auto nulls = spark::spark_ks_2samp(sample({1.0, Value(), 2.0}), sample({1.0, 2.0, Value()}));
  EXPECT_EQ(*nulls.statistic, 0.0);
  // Ties share their cumulative share.
  auto rows = spark::get_cdf(sample({1.0, 1.0, 2.0}), "cdf").orderBy("v").collect();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_DOUBLE_EQ(rows[0]["cdf"].toDouble(), 2.0 / 3);
  EXPECT_DOUBLE_EQ(rows[1]["cdf"].toDouble(), 1.0);
}

TEST(KsTest, EmptySamples) {
  auto one = spark::spark_ks_2samp(sample({1.0, 2.0}), sample({}));
  EXPECT_FALSE(one.statistic);
  EXPECT_EQ(one.pvalue, 1.0);
  EXPECT_THROW(spark::spark_ks_2samp(sample({Value()}), sample({})), norq::ValueError);
}

TEST(KsTest, PValueFollowsTheKolmogorovDistribution) {
  // Reference values of Q(x) (scipy.special.kolmogorov).
  EXPECT_EQ(spark::kolmogorov_survival(0), 1.0);
  EXPECT_EQ(spark::kolmogorov_survival(-1), 1.0);
  EXPECT_EQ(spark::kolmogorov_survival(INFINITY), 0.0);
  EXPECT_TRUE(std::isnan(spark::kolmogorov_survival(NAN)));
  EXPECT_NEAR(spark::kolmogorov_survival(0.2), 0.999999999999495, 1e-15);
  EXPECT_NEAR(spark::kolmogorov_survival(0.5), 0.9639452436648751, 1e-15);
  EXPECT_NEAR(spark::kolmogorov_survival(0.79), 0.560495104473081, 1e-15);
  EXPECT_NEAR(spark::kolmogorov_survival(0.81), 0.5279614323123148, 1e-15);
  EXPECT_NEAR(spark::kolmogorov_survival(1.0), 0.26999967167735456, 1e-15);
  EXPECT_NEAR(spark::kolmogorov_survival(2.0), 0.0006709252557796953, 1e-17);
  EXPECT_NEAR(spark::kolmogorov_survival(5.0) / 3.8574996959278356e-22, 1.0, 1e-12);
  // The test's p-value: en = sqrt(16 / 8), D = 0.5.
  const double en = std::sqrt(2.0);
  auto r = spark::spark_ks_2samp(sample({1.0, 2.0, 3.0, 4.0}), sample({3.0, 4.0, 5.0, 6.0}));
  EXPECT_DOUBLE_EQ(r.pvalue, spark::kolmogorov_survival((en + 0.12 + 0.11 / en) * 0.5));
  spark::register_ks_2samp();
  norq::CalculationParams p;
  p.data = sample({1.0, 2.0});
  p.data2 = sample({1.0, 2.0});
  EXPECT_EQ(*std::any_cast<spark::KsResult>(norq::calculate("ks_2samp", p)).statistic, 0.0);
}

}  // namespace
