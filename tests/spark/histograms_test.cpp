// Numeric histograms and the drift histogram handler.
#include <cmath>

#include "host/errors.h"
#include "spark/calculation_handlers.h"
#include "spark/histograms.h"
#include "spark/rounding.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using Counts = std::vector<std::int64_t>;
using Doubles = std::vector<double>;

DataFrame doubles(const std::vector<Value>& values, const std::string& name = "v") {
  std::vector<Row> rows;
  for (const auto& v : values) rows.push_back(Row{v});
  return session()->createDataFrame(rows, StructType({{name, DoubleType(), true}}));
}

DataFrame texts(const std::vector<std::pair<std::string, int>>& counts) {
  std::vector<Row> rows;
  for (const auto& [v, n] : counts)
    for (int i = 0; i < n; ++i) rows.push_back(Row{Value(v)});
  return session()->createDataFrame(rows, StructType({{"g", StringType(), true}}));
}

void expect_near(const Doubles& actual, const Doubles& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-12) << i;
}

TEST(NumericHistogramTest, FixedRangeLeavesOutTheHighEndAndNulls) {
  auto [edges, counts] = spark::computeNumericHistogram2(doubles({0.0, 1.0, 2.0, 3.0, Value(), -1.0}), "v", 3, 0, 3);
  EXPECT_EQ(edges, (Doubles{0, 1, 2, 3}));
  EXPECT_EQ(counts, (Counts{1, 1, 1}));
  EXPECT_THROW(spark::computeNumericHistogram2(doubles({1.0}), "v", std::nan(""), 0, 3), norq::ValueError);
  EXPECT_THROW(spark::computeNumericHistogram2(doubles({1.0}), "v", 1, 0, 0), norq::ValueError);
}

TEST(NumericHistogramTest, DataRangeCountsTheMaximumInTheLastBin) {
  auto [edges, counts] = spark::computeNumericHistogram(doubles({1.0, 2.0, 3.0, 4.0}), "v", 3);
  EXPECT_EQ(edges, (Doubles{1, 2, 3, 4}));
  EXPECT_EQ(counts, (Counts{1, 1, 2}));
  // A single distinct value: every value equals the maximum, so all land in the last bin.
  auto [e1, c1] = spark::computeNumericHistogram(doubles({5.0, 5.0, Value()}), "v", 2);
  EXPECT_EQ(e1, (Doubles{5, 5, 5}));
  EXPECT_EQ(c1, (Counts{0, 2}));
  // No value at all: a clear error naming the column.
  try {
    spark::computeNumericHistogram(doubles({Value()}, "empty_col"), "empty_col", 3);
    FAIL();
  } catch (const norq::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("empty_col"), std::string::npos);
  }
}

TEST(NumericHistogramTest, ColumnNamesAndNumbersAreQuotedForTheQuery) {
  auto [edges, counts] = spark::computeNumericHistogram2(doubles({0.1, 0.25, -1e-300}, "odd `name`"), "odd `name`",
                                                         0.3, -1e-300, 2);
  EXPECT_EQ(counts, (Counts{2, 1}));
  EXPECT_EQ(spark::sql_number(1.0), "1");
  EXPECT_EQ(spark::sql_number(0.1), "0.1");
  EXPECT_EQ(spark::scale_range({0, 25, 50, 75, 100}, 2, 10), (Doubles{2, 4, 6, 8, 10}));
}

TEST(HistogramHandlerTest, NumericWithBreakpoints) {
  auto [expected, actual] = spark::spark_histogram_handler(doubles({0.0, 1.0, 2.0, 3.0}), doubles({0.0, 0.0, 3.0, 3.0}),
                                                           std::nullopt, "bins", false, Doubles{0, 1, 2, 3});
  expect_near(expected, {1.0 / 3, 1.0 / 3, 1.0 / 3});
  expect_near(actual, {1, 0, 0});
}

TEST(HistogramHandlerTest, EqualValuesGiveEmptyLists) {
  auto [expected, actual] = spark::spark_histogram_handler(doubles({2.0, 2.0}), doubles({2.0}), 4);
  EXPECT_TRUE(expected.empty());
  EXPECT_TRUE(actual.empty());
}

TEST(HistogramHandlerTest, DefaultBinCountFollowsTheCombinedRowCount) {
  EXPECT_EQ(spark::default_bin_count(723), 10);
  EXPECT_EQ(spark::default_bin_count(724), 11);
  EXPECT_EQ(spark::default_bin_count(1000), 11);
  EXPECT_EQ(spark::default_bin_count(1000000), 21);
  std::vector<Value> a, b;
  for (int i = 0; i < 400; ++i) a.push_back(Value(i * 1.0));
  for (int i = 0; i < 323; ++i) b.push_back(Value(i * 0.5));
  auto [e10, n10] = spark::spark_histogram_handler(doubles(a), doubles(b));
  EXPECT_EQ(e10.size(), 10u);
  b.push_back(Value(7.0));
  auto [e11, n11] = spark::spark_histogram_handler(doubles(a), doubles(b));
  EXPECT_EQ(e11.size(), 11u);
  double sum = 0;
  for (double p : n11) sum += p;
  EXPECT_NEAR(sum, 1.0, 1e-12);
}

TEST(HistogramHandlerTest, QuantileAndPercentBreakpoints) {
  // Only the first and last breakpoint shape the bins: quantiles 0 and 1 are the minimum and maximum.
  auto q = spark::spark_histogram_handler(doubles({0.0, 1.0, 2.0, 10.0}), doubles({5.0}), 2, "quantiles");
  expect_near(q.first, {1, 0});  // 10 is the high end, not counted
  expect_near(q.second, {0, 1});
  // Any other bucket type bins over the percent grid 0..100.
  auto p = spark::spark_histogram_handler(doubles({10.0, 60.0, 99.0}), doubles({150.0}), 2, "other");
  expect_near(p.first, {1.0 / 3, 2.0 / 3});
  EXPECT_TRUE(p.second.empty());  // nothing of the new sample inside the range
}

TEST(HistogramHandlerTest, SamplesWithoutValues) {
  EXPECT_THROW(spark::spark_histogram_handler(doubles({}), doubles({})), norq::ValueError);
  EXPECT_THROW(spark::spark_histogram_handler(doubles({Value()}), doubles({Value()})), norq::ValueError);
  // Given breakpoints need no data range: an empty sample gives an empty list.
  auto r = spark::spark_histogram_handler(doubles({}), doubles({1.0}), std::nullopt, "bins", false, Doubles{0, 2});
  EXPECT_TRUE(r.first.empty());
  expect_near(r.second, {1});
}

TEST(HistogramHandlerTest, CategoricalCountersAlignOnCombinedKeys) {
  auto [expected, actual] =
      spark::spark_histogram_handler(texts({{"a", 3}, {"b", 1}}), texts({{"b", 2}, {"c", 2}}), std::nullopt, "bins", true);
  // Keys: the reference's first, then those only the new sample has; the order of the reference's own keys
  // is the engine's group order, so compare as a map.
  ASSERT_EQ(expected.size(), 3u);
  ASSERT_EQ(actual.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    if (expected[i] == 0.75) {
      EXPECT_EQ(actual[i], 0.0);  // a
    } else if (expected[i] == 0.25) {
      EXPECT_EQ(actual[i], 0.5);  // b
    } else {
      EXPECT_EQ(expected[i], 0.0);  // c, found only in the new sample, comes last
      EXPECT_EQ(actual[i], 0.5);
      EXPECT_EQ(i, 2u);
    }
  }
  // Nulls are counted in neither sample; a sample without values gives an empty list.
  DataFrame nulls = session()->createDataFrame({Row{Value()}}, StructType({{"g", StringType(), true}}));
  auto n = spark::spark_histogram_handler(nulls, texts({{"x", 1}}), std::nullopt, "bins", true);
  EXPECT_TRUE(n.first.empty());
  expect_near(n.second, {1});
}

TEST(HistogramHandlerTest, RoutedThroughTheFramework) {
  norq::register_histogram_handler(typeid(DataFrame), [](const norq::HistogramRequest& r) {
    return spark::spark_histogram_handler(r);
  });
  norq::HistogramRequest r;
  r.expected_dist = doubles({0.0, 1.0});
  r.new_dist = doubles({0.5});
  r.number_of_bins = 2;
  auto [e, a] = norq::histogram(r);
  expect_near(e, {1, 0});  // 1 is the high end
  expect_near(a, {0, 1});
}

TEST(RoundingTest, ExactBinaryValueTiesToEven) {
  EXPECT_EQ(spark::round_decimal(0.125, 2), 0.12);
  EXPECT_EQ(spark::round_decimal(0.375, 2), 0.38);
  EXPECT_EQ(spark::round_decimal(2.675, 2), 2.67);  // stored just below 2.675
  EXPECT_EQ(spark::round_decimal(1.005, 2), 1.0);   // stored just below 1.005
  EXPECT_EQ(spark::round_decimal(0.145, 2), 0.14);
  EXPECT_EQ(spark::round_decimal(-0.125, 2), -0.12);
  EXPECT_TRUE(std::isnan(spark::round_decimal(std::nan(""), 2)));
  EXPECT_EQ(spark::float_text(3.0), "3.0");
  EXPECT_EQ(spark::float_text(0.5), "0.5");
  EXPECT_EQ(spark::float_text(1e16), "1e+16");
  EXPECT_EQ(spark::float_text(-2.25), "-2.25");
}

// NaN is not a number on the line the bins span, and an infinity leaves no finite range: both samples are
// refused with the column named, while categorical samples and NaN-free numbers are binned.
TEST(DriftHistogramTest, NaNAndInfinitiesCannotBeBinned) {
  const double nan = std::nan(""), inf = INFINITY;
  for (const Value& bad : {Value(nan), Value(inf), Value(-inf)}) {
    try {
      spark::spark_histogram_handler(doubles({0.0, 1.0, bad}), doubles({0.5, 2.0}), 4);
      FAIL() << "binned a sample holding " << bad.toString();
    } catch (const norq::ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("\"v\""), std::string::npos) << e.what();
    }
  }
  auto [expected, actual] = spark::spark_histogram_handler(doubles({0.0, 1.0}), doubles({0.5, 2.0}), 4);
  EXPECT_EQ(expected.size(), 4u);
  EXPECT_EQ(actual.size(), 4u);
}

}  // namespace
