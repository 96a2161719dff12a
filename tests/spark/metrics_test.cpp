// Performance and fairness metrics on engine frames: the rates, their rounding, the group difference and the
// routing through the framework.
#include "spark/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "host/calculations.h"
#include "host/errors.h"
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

// `hits` rows predicted right out of `n`, all labelled 1.
DataFrame hits_of(int hits, int n) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) rows.push_back(Row{i < hits ? 1 : 0, 1, "a"});
  return scored(rows);
}

using Rate = double (*)(const norq::CalculationParams&);
const std::vector<std::pair<const char*, Rate>> kRates = {
    {"accuracy", spark::spark_accuracy},
    {"true_pos_rate", spark::spark_true_pos_rate},
    {"true_neg_rate", spark::spark_true_neg_rate},
    {"demographic_parity", spark::spark_demographic_parity},
    {"equal_odds_tpr", spark::spark_equal_odds_tpr},
    {"equal_odds_tnr", spark::spark_equal_odds_tnr},
    {"equal_opportunity", spark::spark_equal_opportunity}};

TEST(MetricsRates, SharesOfIndicatorRowsEachInOneJob) {
  // Predictions 1, 1, 0, 1 against labels 1, 0, 0, 1.
  auto p = params(scored({Row{1, 1, "a"}, Row{1, 0, "a"}, Row{0, 0, "b"}, Row{1, 1, "b"}, Row{0, 0, "b"},
                          Row{0, 1, "a"}}));
  const std::vector<double> expected = {0.67, 0.67, 0.67, 0.5, 0.67, 0.67, 0.67};
  for (std::size_t i = 0; i < kRates.size(); ++i) {
    const auto before = jobs();
    EXPECT_EQ(kRates[i].second(p), expected[i]) << kRates[i].first;
    EXPECT_EQ(jobs() - before, 1u) << kRates[i].first;
  }
  // The negative rate follows negative_outcome_label, the positive ones positive_outcome_label.
  p.negative_outcome_label = Value(1);
  EXPECT_EQ(spark::spark_true_neg_rate(p), 0.67);
  p.positive_outcome_label = Value(0);
  EXPECT_EQ(spark::spark_true_pos_rate(p), 0.67);
  EXPECT_EQ(spark::spark_demographic_parity(p), 0.5);
  // Two of three, rounded.
  EXPECT_EQ(spark::spark_accuracy(params(scored({Row{1, 1, "a"}, Row{1, 0, "a"}, Row{0, 0, "a"}}))), 0.67);
}

TEST(MetricsRates, NullsCountAsMisses) {
  // A null prediction is a miss in accuracy and in both conditional rates, and not a positive prediction.
  auto p = params(scored({Row{Value(), 1, "a"}, Row{1, 1, "a"}, Row{Value(), 0, "a"}, Row{0, 0, "a"}}));
  EXPECT_EQ(spark::spark_accuracy(p), 0.5);
  EXPECT_EQ(spark::spark_true_pos_rate(p), 0.5);
  EXPECT_EQ(spark::spark_true_neg_rate(p), 0.5);
  EXPECT_EQ(spark::spark_demographic_parity(p), 0.25);
  // A null label is a miss in accuracy, and drops out of the conditional rates at their filter.
  auto q = params(scored({Row{1, Value(), "a"}, Row{1, 1, "a"}, Row{0, 1, "a"}}));
  EXPECT_EQ(spark::spark_accuracy(q), 0.33);
  EXPECT_EQ(spark::spark_true_pos_rate(q), 0.5);
  // A null outcome label selects nothing.
  q.positive_outcome_label = Value();
  EXPECT_TRUE(std::isnan(spark::spark_true_pos_rate(q)));
}

TEST(MetricsRates, NoRowsGiveNaN) {
  auto empty = params(scored({}));
  for (const auto& [name, rate] : kRates) EXPECT_TRUE(std::isnan(rate(empty))) << name;
  // No row labelled with the outcome.
  auto negatives_only = params(scored({Row{0, 0, "a"}, Row{1, 0, "a"}}));
  EXPECT_TRUE(std::isnan(spark::spark_true_pos_rate(negatives_only)));
  EXPECT_TRUE(std::isnan(spark::spark_equal_odds_tpr(negatives_only)));
  EXPECT_TRUE(std::isnan(spark::spark_equal_opportunity(negatives_only)));
  EXPECT_EQ(spark::spark_true_neg_rate(negatives_only), 0.5);
}

TEST(MetricsRates, BadArguments) {
  norq::CalculationParams none;
  try {
    spark::spark_accuracy(none);
    FAIL() << "no data accepted";
  } catch (const norq::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("accuracy"), std::string::npos) << e.what();
  }
  auto wrong = params(scored({}));
  wrong.data = std::string("not a frame");
  try {
    spark::spark_equal_odds_tnr(wrong);
    FAIL() << "a string accepted as data";
  } catch (const norq::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("equal_odds_tnr"), std::string::npos) << e.what();
  }
  // A column the frame lacks is the engine's own error.
  auto missing = params(scored({Row{1, 1, "a"}}));
  missing.pred = "prediction";
  EXPECT_THROW(spark::spark_accuracy(missing), engine::AnalysisException);
  EXPECT_THROW(spark::spark_true_pos_rate(missing), engine::AnalysisException);
}

TEST(MetricsRounding, ExactBinaryValueDecidesTiesGoToEven) {
  // Averages of exact eighths are exact ties: to the even hundredth.
  EXPECT_EQ(spark::spark_accuracy(params(hits_of(1, 8))), 0.12);
  EXPECT_EQ(spark::spark_accuracy(params(hits_of(3, 8))), 0.38);
  EXPECT_EQ(spark::spark_accuracy(params(hits_of(5, 8))), 0.62);
  EXPECT_EQ(spark::spark_accuracy(params(hits_of(7, 8))), 0.88);
  // 29/200 is stored just below 0.145, 23/200 just above 0.115: no tie, the stored value decides.
  EXPECT_EQ(spark::spark_accuracy(params(hits_of(29, 200))), 0.14);
  EXPECT_EQ(spark::spark_accuracy(params(hits_of(23, 200))), 0.12);

  using spark::round_to_hundredths;
  EXPECT_EQ(round_to_hundredths(0.125), 0.12);
  EXPECT_EQ(round_to_hundredths(std::nextafter(0.125, 1.0)), 0.13);
  EXPECT_EQ(round_to_hundredths(std::nextafter(0.375, 0.0)), 0.37);
  EXPECT_EQ(round_to_hundredths(0.375), 0.38);
  EXPECT_EQ(round_to_hundredths(2.675), 2.67);  // stored below the tie
  EXPECT_EQ(round_to_hundredths(0.005), 0.01);  // stored above the tie
  EXPECT_EQ(round_to_hundredths(-0.125), -0.12);
  EXPECT_EQ(round_to_hundredths(1e-300), 0.0);
  EXPECT_EQ(round_to_hundredths(1e15 + 0.25), 1e15 + 0.25);
  EXPECT_TRUE(std::signbit(round_to_hundredths(-0.001)));
  EXPECT_TRUE(std::isnan(round_to_hundredths(NAN)));
  EXPECT_EQ(round_to_hundredths(-INFINITY), -INFINITY);
}

TEST(MetricsRounding, AgreesWithExactDecimalFormatting) {
  // glibc's printf renders the exact binary value and rounds it to nearest, ties to even: an independent
  // oracle. Every share k/n of up to 400 rows, and random doubles over many magnitudes.
  auto oracle = [](double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", x);
    return std::strtod(buf, nullptr);
  };
  for (int n = 1; n <= 400; ++n)
    for (int k = 0; k <= n; ++k) {
      const double share = static_cast<double>(k) / n;
      ASSERT_EQ(spark::round_to_hundredths(share), oracle(share)) << k << "/" << n;
    }
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  std::uniform_int_distribution<int> exponent(-8, 13);
  for (int i = 0; i < 200000; ++i) {
    const double x = mantissa(gen) * std::pow(10.0, exponent(gen)) * (i % 2 ? -1 : 1);
    ASSERT_EQ(spark::round_to_hundredths(x), oracle(x)) << x;
  }
}

// Group "a": accuracy 0.8, true positive rate 1, 10 of 10 predicted positive; group "b": 0.6, 0.75 and 8 of
// 10; group "c": accuracy 0.
norq::CalculationParams grouped() {
  std::vector<Row> rows;
  for (int i = 0; i < 10; ++i) rows.push_back(Row{1, i < 8 ? 1 : 0, "a"});
  for (int i = 0; i < 10; ++i) rows.push_back(i < 6 ? Row{1, 1, "b"} : i < 8 ? Row{0, 1, "b"} : Row{1, 0, "b"});
  for (int i = 0; i < 4; ++i) rows.push_back(Row{1, 0, "c"});
  auto p = params(scored(rows));
  p.protected_ = "g";
  p.privileged = {Value("a")};
  p.unprivileged = {Value("b")};
  p.metric = std::make_shared<norq::Calculation>("accuracy");
  return p;
}

TEST(MetricsGroupDifference, PrivilegedMinusUnprivilegedThroughTheFramework) {
  spark::metrics::load();
  auto p = grouped();
  const auto before = jobs();
  EXPECT_NEAR(std::any_cast<double>(norq::calculate("metric_diff", p)), 0.2, 1e-12);
  EXPECT_EQ(jobs() - before, 2u);
  // Other registered metrics, and groups of several values.
  p.metric = std::make_shared<norq::Calculation>("true_pos_rate");
  EXPECT_NEAR(spark::spark_metric_diff(p), 0.25, 1e-12);
  p.metric = std::make_shared<norq::Calculation>("demographic_parity");
  EXPECT_NEAR(spark::spark_metric_diff(p), 0.2, 1e-12);
  p.metric = std::make_shared<norq::Calculation>("accuracy");
  p.privileged = {Value("a"), Value("b")};  // 14 of 20
  EXPECT_NEAR(spark::spark_metric_diff(p), 0.7 - 0.6, 1e-12);
  p.unprivileged = {Value("b"), Value("c")};  // 6 of 14
  EXPECT_NEAR(spark::spark_metric_diff(p), 0.7 - 0.43, 1e-12);
}

TEST(MetricsGroupDifference, NaNCases) {
  spark::metrics::load();
  auto p = grouped();
  // An unprivileged result of exactly 0 gives NaN, whatever the privileged result.
  p.unprivileged = {Value("c")};
  EXPECT_TRUE(std::isnan(spark::spark_metric_diff(p)));
  // An empty group is NaN on its side, and NaN propagates.
  p.unprivileged = {Value("nobody")};
  EXPECT_TRUE(std::isnan(spark::spark_metric_diff(p)));
  p.unprivileged = {Value("b")};
  p.privileged = {};
  EXPECT_TRUE(std::isnan(spark::spark_metric_diff(p)));
  // Counterfactual individual fairness is answered without touching the data, even without a frame.
  p.metric = std::make_shared<norq::Calculation>("individual_fairness_cf");
  p.data = std::any();
  const auto before = jobs();
  EXPECT_TRUE(std::isnan(spark::spark_metric_diff(p)));
  EXPECT_EQ(jobs(), before);
}

TEST(MetricsGroupDifference, AnyRegisteredMetricGetsTheGroupFrameAndTheMetricArguments) {
  spark::metrics::load();
  // A metric of another module: the size of the group, as an integer, and what it was called with.
  static norq::CalculationParams seen;
  norq::proxy_calculation_for_type("test_group_rows", typeid(DataFrame))([](const norq::CalculationParams& q) {
    seen = q;
    return std::any_cast<DataFrame>(q.data).count();
  });
  auto p = grouped();
  p.metric = std::make_shared<norq::Calculation>("test_group_rows");
  p.privileged = {Value("a"), Value("b")};
  p.unprivileged = {Value("c")};
  EXPECT_EQ(spark::spark_metric_diff(p), 20.0 - 4.0);
  EXPECT_EQ(seen.pred, "pred");
  EXPECT_EQ(seen.label, "label");
  EXPECT_EQ(seen.positive_outcome_label, Value(1));
  EXPECT_EQ(seen.negative_outcome_label, Value(0));
  // Only the metric's own arguments travel: a difference asked of a difference fails instead of recursing.
  EXPECT_FALSE(seen.metric);
  EXPECT_TRUE(seen.protected_.empty());
  p.metric = std::make_shared<norq::Calculation>("metric_diff");
  EXPECT_THROW(spark::spark_metric_diff(p), norq::ValueError);
  // Errors of the metric reach the caller.
  p.metric = std::make_shared<norq::Calculation>("individual_fairness");
  EXPECT_THROW(spark::spark_metric_diff(p), norq::NotImplementedError);
  p.metric = std::make_shared<norq::Calculation>("no_such_metric");
  EXPECT_THROW(spark::spark_metric_diff(p), norq::CalculationNotFound);
  p.metric.reset();
  EXPECT_THROW(spark::spark_metric_diff(p), norq::ValueError);
}

TEST(MetricsIndividualFairness, NotImplementedWithoutAQuery) {
  const auto before = jobs();
  try {
    spark::spark_individual_fairness(params(scored({Row{1, 1, "a"}})));
    FAIL() << "individual fairness answered";
  } catch (const norq::NotImplementedError& e) {
    EXPECT_STREQ(e.what(), "Individual fairness not implemented for spark datasets.");
  }
  EXPECT_EQ(jobs(), before);
}

TEST(MetricsRegistration, LoadRegistersTheNineCalculationsOnce) {
  spark::metrics::load();
  spark::metrics::load();
  for (const char* name : {"accuracy", "true_pos_rate", "true_neg_rate", "demographic_parity", "equal_odds_tpr",
                           "equal_odds_tnr", "equal_opportunity", "individual_fairness", "metric_diff"})
    EXPECT_TRUE(norq::has_calculation(name, typeid(DataFrame))) << name;
  auto p = params(scored({Row{1, 1, "a"}, Row{0, 1, "a"}, Row{0, 0, "a"}, Row{0, 0, "a"}}));
  EXPECT_EQ(norq::calculate_as<double>("accuracy", p), 0.75);
  EXPECT_EQ(norq::calculate_as<double>("equal_opportunity", p), 0.5);
  EXPECT_EQ(norq::calculate_as<double>("equal_odds_tnr", p), 1.0);
  EXPECT_EQ(norq::calculate_as<double>("demographic_parity", p), 0.25);
  EXPECT_THROW(norq::calculate("individual_fairness", p), norq::NotImplementedError);
}

}  // namespace
