// The package entry: what loading registers with the framework, and what loading one module alone does.
#include <typeindex>

#include "host/calculations.h"
#include "spark/spark.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;

const std::type_index kFrame = typeid(engine::DataFrame);

TEST(PackageTest, LoadingOneModuleRegistersOnlyItsCalculations) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing registered yet
  EXPECT_EXIT(
      {
        spark::metrics::load();
        const bool metrics = norq::has_calculation("accuracy", kFrame) && norq::has_calculation("metric_diff", kFrame);
        const bool others = norq::has_calculation("ks_2samp", kFrame) || norq::has_histogram_handler(kFrame);
        std::exit(metrics && !others ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PackageTest, LoadingThePackageRegistersEverything) {
  spark::load();
  spark::load();  // once per process: a second load changes nothing
  for (const char* name : {"ks_2samp", "accuracy", "true_pos_rate", "true_neg_rate", "demographic_parity",
                           "equal_odds_tpr", "equal_odds_tnr", "equal_opportunity", "individual_fairness",
                           "metric_diff", "predictions"})
    EXPECT_TRUE(norq::has_calculation(name, kFrame)) << name;
  EXPECT_TRUE(norq::has_histogram_handler(kFrame));
  EXPECT_EQ(spark::exported_names(),
            (std::vector<std::string>{"SimpleSparkDataset", "BiasSparkDataset", "SimpleSparkDatasetBuilder",
                                      "BiasSparkDatasetBuilder", "SparkPrecalculatedModel"}));
  // The framework reaches the engine variants by its own names.
  norq::CalculationParams p;
  p.data = session()->createDataFrame({Row{1, 1}, Row{0, 1}}, StructType({{"p", IntegerType(), true}, {"y", IntegerType(), true}}));
  p.pred = "p";
  p.label = "y";
  EXPECT_EQ(std::any_cast<double>(norq::calculate("accuracy", p)), 0.5);
  norq::HistogramRequest h;
  h.expected_dist = std::any_cast<engine::DataFrame>(p.data).select(std::vector<std::string>{"y"});
  h.new_dist = h.expected_dist;
  h.is_categorical = true;
  EXPECT_EQ(norq::histogram(h).first, std::vector<double>{1.0});
}

}  // namespace
