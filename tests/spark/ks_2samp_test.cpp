// The two-sample Kolmogorov-Smirnov test on engine frames: the distribution frames, the statistic on worked
// examples and against scipy, the p-value and the Kolmogorov survival function, empty samples, registration.
#include "spark/ks_2samp.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>

#include <nlohmann/json.hpp>

#include "host/calculations.h"
#include "host/errors.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;

DataFrame sample(const std::vector<Value>& values, const std::string& name = "v") {
  std::vector<Row> rows;
  for (const auto& v : values) rows.push_back(Row{v});
  return session()->createDataFrame(rows, StructType({{name, DoubleType(), true}}));
}

DataFrame sample_of(const std::vector<double>& values) {
  std::vector<Value> vs(values.begin(), values.end());
  return sample(vs);
}

double formula_pvalue(double d, double n1, double n2) {
  const double en = std::sqrt(n1 * n2 / (n1 + n2));
  return spark::kolmogorov_survival((en + 0.12 + 0.11 / en) * d);
}

TEST(KsDistribution, OneRowPerDistinctValueWithTheShareAtOrBelowIt) {
  auto rows = spark::get_cdf(sample({2.0, 1.0, Value(), 1.0, NAN, 3.0, 3.0}), "cdf").orderBy("v").collect();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].names(), (std::vector<std::string>{"v", "cdf"}));
  EXPECT_EQ(rows[0]["v"].toDouble(), 1.0);
  EXPECT_DOUBLE_EQ(rows[0]["cdf"].toDouble(), 2.0 / 5);  // null and NaN are not values of the sample
  EXPECT_DOUBLE_EQ(rows[1]["cdf"].toDouble(), 3.0 / 5);
  EXPECT_EQ(rows[2]["cdf"].toDouble(), 1.0);
  // The first column is the sample, whatever else the frame holds.
  auto two = session()->createDataFrame({Row{1, "x"}, Row{1, "y"}, Row{2, "z"}},
                                        StructType({{"n", IntegerType(), true}, {"s", StringType(), true}}));
  rows = spark::get_cdf(two, "share").orderBy("n").collect();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].names(), (std::vector<std::string>{"n", "share"}));
  EXPECT_DOUBLE_EQ(rows[0]["share"].toDouble(), 2.0 / 3);
}

TEST(KsStatistic, WorkedExamples) {
  // F1 = .25 .5 .75 1 1 1 and F2 = 0 0 .25 .5 .75 1 on the values 1..6: largest distance 0.5 at 3 and 4.
  auto r = spark::spark_ks_2samp(sample({1.0, 2.0, 3.0, 4.0}), sample({3.0, 4.0, 5.0, 6.0}));
  ASSERT_TRUE(r.statistic);
  EXPECT_EQ(*r.statistic, 0.5);
  EXPECT_DOUBLE_EQ(r.pvalue, formula_pvalue(0.5, 4, 4));
  // Samples that do not overlap are 1 apart in either order: below a sample's smallest value its
  // distribution function is 0, so the rows before it count.
  EXPECT_EQ(*spark::spark_ks_2samp(sample({5.0, 6.0}), sample({1.0, 2.0})).statistic, 1.0);
  EXPECT_EQ(*spark::spark_ks_2samp(sample({1.0, 2.0}), sample({5.0, 6.0})).statistic, 1.0);
  // The largest distance lies below the second sample's smallest value: 3/5 at 3 (F1 = 3/5, F2 = 0).
  EXPECT_DOUBLE_EQ(*spark::spark_ks_2samp(sample({1.0, 2.0, 3.0, 8.0, 9.0}), sample({4.0, 5.0, 6.0, 7.0, 10.0})).statistic,
                   0.6);
  // Identical samples: statistic 0 and p-value Q(0) = 1.
  auto same = spark::spark_ks_2samp(sample({1.0, 2.0, 2.0}), sample({2.0, 1.0, 2.0}));
  EXPECT_EQ(*same.statistic, 0.0);
  EXPECT_EQ(same.pvalue, 1.0);
  // Duplicates: {1, 1, 2} has 2/3 at 1, against {1, 2, 2} with 1/3.
  EXPECT_DOUBLE_EQ(*spark::spark_ks_2samp(sample({1.0, 1.0, 2.0}), sample({1.0, 2.0, 2.0})).statistic, 1.0 / 3);
  // An integer sample against a double one: compared on the number line.
  auto ints = session()->createDataFrame({Row{1}, Row{2}, Row{3}, Row{4}}, StructType({{"v", IntegerType(), true}}));
  EXPECT_EQ(*spark::spark_ks_2samp(ints, sample({3.0, 4.0, 5.0, 6.0})).statistic, 0.5);
}

TEST(KsStatistic, NullsAndNaNAreIgnoredInTheDistributionsAndTheSizes) {
  auto r = spark::spark_ks_2samp(sample({1.0, Value(), 2.0, 3.0, 4.0, NAN}), sample({Value(), 3.0, 4.0, 5.0, 6.0}));
  EXPECT_EQ(*r.statistic, 0.5);
  EXPECT_DOUBLE_EQ(r.pvalue, formula_pvalue(0.5, 4, 4));
  auto same = spark::spark_ks_2samp(sample({1.0, Value(), 2.0}), sample({1.0, 2.0, Value()}));
  EXPECT_EQ(*same.statistic, 0.0);
}

TEST(KsStatistic, ColumnOfTheFirstSampleTakenFromBoth) {
  // The second sample carries the column elsewhere, beside others; working column names in the data do not
  // disturb the test.
  auto df1 = sample({1.0, 2.0, 3.0, 4.0}, "cdf_1");
  auto df2 = session()->createDataFrame(
      {Row{"a", 3.0}, Row{"b", 4.0}, Row{"c", 5.0}, Row{"d", 6.0}},
      StructType({{"filled_cdf_2", StringType(), true}, {"cdf_1", DoubleType(), true}}));
  EXPECT_EQ(*spark::spark_ks_2samp(df1, df2).statistic, 0.5);
  EXPECT_THROW(spark::spark_ks_2samp(df1, sample({1.0})), engine::AnalysisException);
}

TEST(KsStatistic, ThreeJobsAndTheSameAnswerEveryRun) {
  std::vector<double> a, b;
  for (int i = 0; i < 3000; ++i) {
    a.push_back(std::fmod(i * 0.618033988749895, 1.0) * 10);
    b.push_back(std::fmod(i * 0.414213562373095, 1.0) * 10.5 - 0.2);
  }
  auto df1 = sample_of(a).repartition(4), df2 = sample_of(b).repartition(3);
  const auto before = jobs();
  const auto first = spark::spark_ks_2samp(df1, df2);
  EXPECT_EQ(jobs() - before, 3u);
  for (int run = 0; run < 3; ++run) {
    const auto again = spark::spark_ks_2samp(df1, df2);
    EXPECT_EQ(again.statistic, first.statistic);
    EXPECT_EQ(again.pvalue, first.pvalue);
  }
}

TEST(KsEmptySamples, OneEmptyGivesNoStatisticNeitherGivesAnError) {
  for (const auto& [x, y] : std::vector<std::pair<DataFrame, DataFrame>>{{sample({1.0, 2.0}), sample({})},
                                                                         {sample({}), sample({1.0, 2.0})},
                                                                         {sample({Value(), NAN}), sample({1.0})}}) {
    const auto before = jobs();
    auto r = spark::spark_ks_2samp(x, y);
    EXPECT_FALSE(r.statistic);
    EXPECT_EQ(r.pvalue, 1.0);
    EXPECT_EQ(jobs() - before, 2u);  // the two counts only
  }
  try {
    spark::spark_ks_2samp(sample({Value()}, "height"), sample({}, "height"));
    FAIL() << "two empty samples compared";
  } catch (const norq::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("height"), std::string::npos) << e.what();
  }
  EXPECT_THROW(spark::get_cdf(session()->createDataFrame(std::vector<Row>{}, StructType()), "cdf"), norq::ValueError);
}

TEST(KsSurvival, SpecialValuesAndShape) {
  EXPECT_EQ(spark::kolmogorov_survival(0), 1.0);
  EXPECT_EQ(spark::kolmogorov_survival(-0.0), 1.0);
  EXPECT_EQ(spark::kolmogorov_survival(-3), 1.0);
  EXPECT_EQ(spark::kolmogorov_survival(-INFINITY), 1.0);
  EXPECT_EQ(spark::kolmogorov_survival(INFINITY), 0.0);
  EXPECT_EQ(spark::kolmogorov_survival(std::numeric_limits<double>::denorm_min()), 1.0);
  EXPECT_EQ(spark::kolmogorov_survival(std::numeric_limits<double>::max()), 0.0);
  EXPECT_TRUE(std::isnan(spark::kolmogorov_survival(NAN)));
  // Decreasing, within [0, 1], and continuous where the two series meet.
  double prev = 1.0;
  for (double x = 0.01; x < 30; x *= 1.01) {
    const double q = spark::kolmogorov_survival(x);
    ASSERT_LE(q, prev) << x;
    ASSERT_GE(q, 0.0) << x;
    prev = q;
  }
  const double below = spark::kolmogorov_survival(std::nextafter(0.82, 0.0));
  const double at = spark::kolmogorov_survival(0.82);
  EXPECT_NEAR(below, at, 4e-16);
}

nlohmann::json scipy_reference() {
  std::ifstream in(std::string(NORQ_SOURCE_DIR) + "/tests/data/ks_scipy.json");
  if (!in) throw std::runtime_error("tests/data/ks_scipy.json missing: run scripts/ks_scipy_check.py");
  return nlohmann::json::parse(in);
}

// Recorded by scripts/ks_scipy_check.py: scipy.special.kolmogorov and the value at 50 digits (mpmath).
TEST(KsSurvival, AgreesWithScipyAndWithA50DigitEvaluation) {
  const auto ref = scipy_reference();
  ASSERT_GE(ref["kolmogorov"].size(), 50u);
  for (const auto& point : ref["kolmogorov"]) {
    const double x = point["x"], exact = point["exact"], scipy = point["scipy"];
    const double q = spark::kolmogorov_survival(x);
    constexpr double kTiny = 1e-290;  // below, the doubles themselves lose relative precision
    if (exact > kTiny) {
      const double ulp = std::nextafter(exact, 2.0) - exact;
      EXPECT_LE(std::abs(q - exact), 3 * ulp) << "x = " << x;
      EXPECT_LE(std::abs(q - scipy), 5e-15 * scipy) << "x = " << x;  // scipy drifts up to ~4.5e-15 for large x
    } else {
      EXPECT_LE(std::abs(q - exact), 1e-300) << "x = " << x;
      EXPECT_LE(std::abs(q - scipy), 1e-300) << "x = " << x;
    }
  }
}

TEST(KsScipy, StatisticAndPValueMatchScipyOnRandomSamples) {
  const auto ref = scipy_reference();
  ASSERT_GE(ref["pairs"].size(), 8u);
  for (const auto& pair : ref["pairs"]) {
    const std::string name = pair["name"];
    const std::vector<double> a = pair["a"], b = pair["b"];
    const auto r = spark::spark_ks_2samp(sample_of(a), sample_of(b));
    ASSERT_TRUE(r.statistic) << name;
    EXPECT_NEAR(*r.statistic, pair["statistic"].get<double>(), 1e-12) << name;
    // scipy.special.kolmogorov at (en + 0.12 + 0.11/en) D.
    const double p = pair["pvalue"];
    EXPECT_LE(std::abs(r.pvalue - p), 1e-13 * p) << name << ": " << r.pvalue << " vs " << p;
    // Swapping the samples changes neither.
    const auto s = spark::spark_ks_2samp(sample_of(b), sample_of(a));
    EXPECT_EQ(s.statistic, r.statistic) << name;
  }
}

// The statistic as the distribution frames give it: both samples' cume_dist aligned on the observed values
// by a full outer join, each carried forward over the ascending values.
double statistic_from_distribution_frames(const DataFrame& df1, const DataFrame& df2) {
  namespace F = engine::functions;
  const DataFrame cdf1 = spark::get_cdf(df1.select(F::col("v").alias("value_1")), "cdf_1");
  const DataFrame cdf2 = spark::get_cdf(df2.select(F::col("v").alias("value_2")), "cdf_2");
  const auto running = engine::Window::orderBy({F::coalesce({F::col("value_1"), F::col("value_2")})})
                           .rowsBetween(engine::Window::unboundedPreceding, engine::Window::currentRow);
  const DataFrame filled =
      cdf1.join(cdf2, cdf1["value_1"] == cdf2["value_2"], "outer")
          .withColumn("f1", F::coalesce({F::last(F::col("cdf_1"), true).over(running), F::lit(0.0)}))
          .withColumn("f2", F::coalesce({F::last(F::col("cdf_2"), true).over(running), F::lit(0.0)}));
  return filled.select(F::max(F::abs(F::col("f1") - F::col("f2")))).first()->values().front().toDouble();
}

// The statistic comes from running counts over one sort of both samples; it is the same double, to the
// bit, as the largest distance between the samples' cume_dist frames, on scipy's pairs and on samples with
// heavy ties, nulls, NaN, negative zero and integer values.
TEST(KsScipy, RunningCountsGiveTheDistributionFramesStatisticBitForBit) {
  std::vector<std::pair<DataFrame, DataFrame>> cases;
  const auto ref = scipy_reference();  // kept: a range-for over a member of a temporary reads freed memory
  for (const auto& pair : ref["pairs"]) {
    const std::vector<double> a = pair["a"], b = pair["b"];
    cases.emplace_back(sample_of(a).repartition(3), sample_of(b).repartition(2));
  }
  std::vector<Value> ties, other;
  for (int i = 0; i < 2000; ++i) {
    ties.push_back(i % 7 == 0 ? Value() : Value(std::floor(std::fmod(i * 0.618033988749895, 1.0) * 13) / 3));
    other.push_back(i % 11 == 0 ? Value(NAN) : Value(std::floor(std::fmod(i * 0.414213562373095, 1.0) * 17) / 3 - 0.5));
  }
  ties.push_back(-0.0);
  other.push_back(0.0);
  cases.emplace_back(sample(ties).repartition(4), sample(other).repartition(3));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto r = spark::spark_ks_2samp(cases[i].first, cases[i].second);
    ASSERT_TRUE(r.statistic) << i;
    const double expected = statistic_from_distribution_frames(cases[i].first, cases[i].second);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*r.statistic), std::bit_cast<std::uint64_t>(expected))
        << i << ": " << *r.statistic << " vs " << expected;
  }
}

TEST(KsRegistration, ThroughTheFramework) {
  spark::register_ks_2samp();
  spark::register_ks_2samp();
  ASSERT_TRUE(norq::has_calculation("ks_2samp", typeid(DataFrame)));
  norq::CalculationParams p;
  p.data = sample({1.0, 2.0, 3.0, 4.0});
  p.data2 = sample({3.0, 4.0, 5.0, 6.0});
  const auto r = norq::calculate_as<spark::KsResult>("ks_2samp", p);
  EXPECT_EQ(*r.statistic, 0.5);
  p.data2 = std::any();
  try {
    norq::calculate("ks_2samp", p);
    FAIL() << "a missing second sample accepted";
  } catch (const norq::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("ks_2samp"), std::string::npos) << e.what();
  }
}

}  // namespace
