// The verdicts of a report computed by the library: PSI, bands and user limits, the columns a dataset's drift
// covers (dates as time, target and protected as categories) and the overall status.
#include "spark/drift_report.h"

#include <cmath>

#include <gtest/gtest.h>

#include "spark/datasets/builders/bias_dataset_builder.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using spark::DriftKind;
using spark::DriftVerdict;

TEST(DriftReportTest, PopulationStabilityIndexCountsEmptyBinsAsASmallShare) {
  EXPECT_DOUBLE_EQ(spark::population_stability_index({0.5, 0.5}, {0.5, 0.5}), 0.0);
  const double psi = spark::population_stability_index({0.5, 0.5, 0.0}, {0.25, 0.25, 0.5});
  // 2 * (-0.25 ln 0.5) + (0.5 - 1e-4) ln(0.5 / 1e-4)
  EXPECT_NEAR(psi, 0.5 * std::log(2.0) + (0.5 - 1e-4) * std::log(5000.0), 1e-12);
  EXPECT_TRUE(std::isnan(spark::population_stability_index({}, {1.0})));
  EXPECT_TRUE(std::isnan(spark::population_stability_index({0.5, 0.5}, {1.0})));
}

TEST(DriftReportTest, VerdictsFollowTheBandsUnlessALimitIsSet) {
  EXPECT_EQ(spark::psi_band(0.0999), DriftVerdict::stable);
  EXPECT_EQ(spark::psi_band(0.1), DriftVerdict::moderate);
  EXPECT_EQ(spark::psi_band(0.25), DriftVerdict::drifted);
  EXPECT_EQ(spark::psi_band(std::nan("")), DriftVerdict::stable);

  // x moves from 0..99 to 50..149: half the values leave their bins.
  std::vector<Row> a, b;
  for (int i = 0; i < 100; ++i) {
    a.push_back(Row{static_cast<double>(i), i % 2 ? "u" : "v"});
    b.push_back(Row{static_cast<double>(i + 50), i % 2 ? "u" : "v"});
  }
  StructType schema({{"x", DoubleType(), true}, {"c", StringType(), true}});
  DataFrame ref = session()->createDataFrame(a, schema), cur = session()->createDataFrame(b, schema);

  spark::FeatureDrift x = spark::feature_drift(ref, cur, "x", DriftKind::continuous, 10, {});
  EXPECT_EQ(x.verdict, DriftVerdict::drifted);
  EXPECT_GT(x.psi, spark::kPsiDrifted);
  ASSERT_TRUE(x.ks && x.ks->statistic);
  EXPECT_DOUBLE_EQ(*x.ks->statistic, 0.5);
  EXPECT_TRUE(x.crossed.empty());  // no limit set: a drift is a warning, not a failure

  // A limit above the figure keeps the column under "drifted"; crossing one fails it with the figures.
  spark::FeatureDrift loose = spark::feature_drift(ref, cur, "x", DriftKind::continuous, 10, {100.0, std::nullopt});
  EXPECT_EQ(loose.verdict, DriftVerdict::moderate);
  EXPECT_TRUE(loose.crossed.empty());
  spark::FeatureDrift strict = spark::feature_drift(ref, cur, "x", DriftKind::continuous, 10, {0.2, 1e-3});
  EXPECT_EQ(strict.verdict, DriftVerdict::drifted);
  ASSERT_EQ(strict.crossed.size(), 2u);
  EXPECT_EQ(strict.crossed[0].check, "psi_above");
  EXPECT_EQ(strict.crossed[0].feature, "x");
  EXPECT_DOUBLE_EQ(strict.crossed[0].value, x.psi);
  EXPECT_DOUBLE_EQ(strict.crossed[0].limit, 0.2);
  EXPECT_EQ(strict.crossed[1].check, "pvalue_below");

  // Categories with the same shares are stable; a categorical column has no KS test.
  spark::FeatureDrift c = spark::feature_drift(ref, cur, "c", DriftKind::categorical, std::nullopt, {0.01, 1e-3});
  EXPECT_EQ(c.verdict, DriftVerdict::stable);
  EXPECT_DOUBLE_EQ(c.psi, 0.0);
  EXPECT_FALSE(c.ks);
  EXPECT_TRUE(c.crossed.empty());
}

TEST(DriftReportTest, AColumnWithoutValuesIsReportedNotThrown) {
  StructType schema({{"x", DoubleType(), true}});
  DataFrame empty = session()->createDataFrame({Row{Value()}, Row{Value()}}, schema);
  spark::FeatureDrift f = spark::feature_drift(empty, empty, "x", DriftKind::continuous, std::nullopt, {0.1, 0.05});
  ASSERT_TRUE(f.error);
  EXPECT_EQ(f.verdict, DriftVerdict::stable);
  EXPECT_TRUE(f.crossed.empty());
}

TEST(DriftReportTest, DatasetDriftCoversDatesTargetAndProtectedColumn) {
  spark::BiasSparkDatasetBuilder::DatasetArgs a;
  a.features = frame(0, 40);
  a.label = "y";
  a.prediction = "p";
  a.id_col = std::vector<std::string>{"id"};
  a.date_col = std::vector<std::string>{"joined"};
  norq::BiasParams params;
  params.protected_ = "member";
  a.bias_params = params;
  a.name = "drift_columns";
  auto ds = spark::BiasSparkDatasetBuilder::dataset(a);

  std::map<std::string, spark::DriftKind> kinds;
  std::map<std::string, std::string> roles;
  for (const spark::DriftColumn& c : spark::drift_columns(*ds)) {
    kinds[c.name] = c.kind;
    roles[c.name] = c.role;
  }
  EXPECT_EQ(kinds.at("joined"), DriftKind::date);
  EXPECT_EQ(roles.at("y"), "target");
  EXPECT_EQ(kinds.at("y"), DriftKind::categorical);
  EXPECT_EQ(roles.at("member"), "protected");
  EXPECT_EQ(kinds.at("member"), DriftKind::categorical);
  EXPECT_EQ(kinds.count("id"), 0u);

  // Against later rows: the join dates move by 40 days, so every date bin changes; the per-column limit
  // replaces the general one for its column only.
  std::map<std::string, spark::DriftLimits> per;
  per["joined"].psi_above = 1000.0;
  std::vector<std::size_t> seen;
  const auto drift = spark::dataset_drift(*ds, frame(40, 40), 4, {0.5, std::nullopt}, per,
                                          [&](std::size_t i, std::size_t, const std::string&) { seen.push_back(i); });
  EXPECT_EQ(seen.size(), drift.size());
  for (const spark::FeatureDrift& f : drift) {
    if (f.feature != "joined") continue;
    ASSERT_FALSE(f.error) << *f.error;
    EXPECT_GT(f.psi, 0.5);
    EXPECT_TRUE(f.crossed.empty());
    EXPECT_FALSE(f.ks);
    EXPECT_EQ(f.histogram.labels.front().size(), 10u) << f.histogram.labels.front();  // a date, YYYY-MM-DD
    EXPECT_EQ(f.histogram.labels.front().substr(0, 4), "2022");
  }
}

TEST(DriftReportTest, StatusFailsOnLimitsAndWarnsOnDriftOrViolations) {
  EXPECT_EQ(spark::report_status(0, 0, 0), spark::ReportStatus::passed);
  EXPECT_EQ(spark::report_status(0, 2, 0), spark::ReportStatus::warnings);
  EXPECT_EQ(spark::report_status(0, 0, 3), spark::ReportStatus::warnings);
  EXPECT_EQ(spark::report_status(1, 0, 0), spark::ReportStatus::failed);
  EXPECT_EQ(spark::to_string(spark::ReportStatus::warnings), "warnings");
  EXPECT_EQ(spark::describe({"psi_above", "income", 0.31234, 0.1}),
            "drift of income: population stability index 0.3123 above 0.1");
}

}  // namespace
