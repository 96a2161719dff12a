// The dataset with a protected attribute: its checks, the feature lists with and without the protected
// column, its selections and metric parameters, filtering and the memoised prediction cache.
#include <set>

#include "host/errors.h"
#include "spark/datasets/bias_spark_dataset.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using norq::DatasetSegment;
using spark::BiasSparkDataset;
using Strings = std::vector<std::string>;

// x (double), g (string, protected), p (int prediction), y (int target).
DataFrame people(int first, int n) {
  std::vector<Row> rows;
  for (int i = first; i < first + n; ++i) rows.push_back(Row{1.5 * i, i % 3 ? "f" : "m", i % 2, (i + 1) % 2});
  return session()->createDataFrame(
      rows, StructType({{"x", DoubleType(), true}, {"g", StringType(), true}, {"p", IntegerType(), true}, {"y", IntegerType(), true}}));
}

BiasSparkDataset::Options options(bool retain = false) {
  BiasSparkDataset::Options o;
  o.training_data = people(0, 9);
  o.validation_data = people(100, 6);
  o.testing_data = people(200, 3);
  o.feature_names = Strings{"x", "g", "p"};
  o.continuous_features = Strings{"x"};
  o.categorical_features = Strings{"g", "p"};
  o.target_name = "y";
  o.prediction_name = "p";
  o.protected_name = "g";
  o.retain_protected_feature = retain;
  o.name = "people";
  return o;
}

std::string error_of(const BiasSparkDataset::Options& o) {
  try {
    BiasSparkDataset::create(o);
  } catch (const norq::ValueError& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(BiasSparkDatasetTest, ProtectedColumnChecksInOrder) {
  auto o = options();
  o.protected_name.reset();
  EXPECT_EQ(error_of(o), "Protected name not provided");
  o = options();
  o.protected_name = "zip";
  EXPECT_EQ(error_of(o), "Protected name not present in training data.");
  // Segments that were not given take the training frame's columns, so they pass their checks.
  o = options();
  o.testing_data.reset();
  o.validation_data.reset();
  EXPECT_EQ(error_of(o), "<no error>");
  // The plain dataset's checks run before the protected ones.
  o = options();
  o.protected_name.reset();
  o.feature_names = Strings{"x"};
  EXPECT_EQ(error_of(o), "Categorical feature \"g\" not present in features.");
}

TEST(BiasSparkDatasetTest, FeatureListsWithAndWithoutTheProtectedColumn) {
  auto removed = BiasSparkDataset::create(options(false));
  EXPECT_EQ(removed->get_restricted_features(), (Strings{"y", "p", "g"}));
  EXPECT_EQ(removed->feature_names(), Strings{"x"});
  EXPECT_EQ(removed->all_feature_names(), Strings{"x"});
  EXPECT_EQ(removed->features().columns(), Strings{"x"});
  auto retained = BiasSparkDataset::create(options(true));
  EXPECT_EQ(retained->get_restricted_features(), (Strings{"y", "p"}));
  EXPECT_EQ(retained->feature_names(), (Strings{"x", "g"}));
  EXPECT_EQ(retained->protected_name(), "g");
  EXPECT_EQ(retained->protected_().columns(), Strings{"g"});
  EXPECT_EQ(retained->protected_testing().count(), 3);
}

TEST(BiasSparkDatasetTest, SelectionsAndMetricParameters) {
  auto ds = BiasSparkDataset::create(options());
  DataFrame g = ds->get_segment_data("g", DatasetSegment::VALIDATION, "x > 151");
  EXPECT_EQ(g.columns(), Strings{"g"});
  EXPECT_EQ(g.count(), 5);  // x = 150 is out
  EXPECT_EQ(ds->get_segment_data("x", DatasetSegment::TRAINING).count(), 9);
  EXPECT_EQ(ds->get_feature_categories("g"), (std::vector<Value>{Value("f"), Value("m")}));

  spark::MetricCalculationParams p = ds->get_metric_calculation_params();
  EXPECT_EQ(p.frame.columns(), (Strings{"x", "y", "g", "p"}));
  EXPECT_EQ(p.frame.count(), 6);
  EXPECT_EQ(p.protected_, std::optional<Strings>(Strings{"g"}));
  EXPECT_EQ(ds->get_protected_metric_calculation_params("anything"), "g");
  // A retained protected attribute is selected once.
  auto retained = BiasSparkDataset::create(options(true));
  EXPECT_EQ(retained->get_metric_calculation_params("y = 1").frame.columns(), (Strings{"x", "g", "y", "p"}));
}

TEST(BiasSparkDatasetTest, CompareTheProtectedColumnOnlyWithBiasDatasets) {
  auto a = BiasSparkDataset::create(options());
  auto b = BiasSparkDataset::create(options());
  EXPECT_TRUE(a->compare_feature(*b, "g"));
  EXPECT_TRUE(a->compare_feature(*b, "x"));
  spark::SimpleSparkDataset::Options s;
  s.training_data = people(0, 9);
  s.validation_data = people(100, 6);
  s.testing_data = people(200, 3);
  s.feature_names = Strings{"x", "g", "p"};
  s.continuous_features = Strings{"x"};
  s.categorical_features = Strings{"g", "p"};
  auto simple = spark::SimpleSparkDataset::create(s);
  EXPECT_FALSE(a->compare_feature(*simple, "g"));
  EXPECT_TRUE(a->compare_feature(*simple, "x"));
}

TEST(BiasSparkDatasetTest, FilteringKeepsTheProtectedColumn) {
  for (bool retain : {false, true}) {
    auto ds = BiasSparkDataset::create(options(retain));
    auto sub = ds->filter("g = 'f'", DatasetSegment::VALIDATION);
    EXPECT_EQ(sub->name(), "people|g = 'f'");
    EXPECT_EQ(sub->number_of_validation_samples(), 4) << retain;
    EXPECT_EQ(sub->number_of_training_samples(), 0);
    EXPECT_EQ(sub->protected_name(), "g");
    EXPECT_EQ(sub->retain_protected_feature(), retain);
    EXPECT_FALSE(sub->has_predictions());
    EXPECT_EQ(sub->overall_checksum(), "0000000000000000");
    EXPECT_EQ(sub->feature_names(), retain ? (Strings{"x", "g"}) : Strings{"x"});
  }
}

TEST(BiasSparkDatasetTest, PredictionCacheMemoisesViewsOfItsCurrentFrame) {
  auto ds = BiasSparkDataset::create(options());
  DataFrame preds = people(0, 10);
  ds->cache_predictions(preds, "p", "");
  auto cache = ds->get_predictions_cache();
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->get_protected(), std::optional<std::string>("g"));
  EXPECT_EQ(cache->get_target(), "y");
  DataFrame v1 = cache->get_data("y = 1");
  EXPECT_EQ(cache->get_data("y = 1").plan(), v1.plan());  // the same view, no new plan
  EXPECT_EQ(v1.count(), 5);
  // Refilled: the same cache object, and views of the new frame rather than of the old one.
  ds->cache_predictions(people(0, 4), "p", "x > 0");
  EXPECT_EQ(ds->get_predictions_cache(), cache);
  EXPECT_EQ(cache->get_data().count(), 3);
  EXPECT_EQ(cache->get_data("y = 1").count(), 1);
}

}  // namespace
