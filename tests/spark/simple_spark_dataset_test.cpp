// The plain dataset: checksums, feature comparison, filtering into derived datasets, the prediction cache.
#include "host/errors.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark/utils.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using norq::DatasetSegment;
using spark::SimpleSparkDataset;
using Strings = std::vector<std::string>;

// x (string feature) and y (int target) in three segments.
std::shared_ptr<SimpleSparkDataset> letters(const Strings& training, const Strings& validation = {},
                                            std::optional<DataFrame> testing = std::nullopt,
                                            bool is_algorithmic = false) {
  auto schema = StructType({{"x", StringType(), true}, {"y", IntegerType(), true}});
  auto rows = [](const Strings& xs) {
    std::vector<Row> r;
    for (const auto& x : xs) r.push_back(Row{Value(x), x[0] % 2});
    return r;
  };
  SimpleSparkDataset::Options o;
  o.training_data = session()->createDataFrame(rows(training), schema);
  o.validation_data = session()->createDataFrame(rows(validation), schema);
  o.testing_data = testing;
  o.feature_names = Strings{"x"};
  o.categorical_features = Strings{"x"};
  o.is_algorithmic = is_algorithmic;
  o.name = "letters";
  return SimpleSparkDataset::create(o);
}

TEST(SimpleSparkDatasetTest, ChecksumsOfEachSegmentAndTheirSum) {
  auto ds = letters({"a", "b", "c"}, {"d"});
  const auto& items = ds->checksum().items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].first, "training_data");
  EXPECT_EQ(items[1].first, "validation_data");
  EXPECT_EQ(items[2].first, "testing_data");
  // The training checksum is the frame hash of its rows (x, y), as 16 lower-case hex digits.
  DataFrame t = session()->createDataFrame({Row{"a", 1}, Row{"b", 0}, Row{"c", 1}},
                                           StructType({{"x", StringType(), true}, {"y", IntegerType(), true}}));
  const auto h_training = static_cast<std::uint64_t>(spark::hash_df(t));
  EXPECT_EQ(items[0].second, spark::checksum_text(h_training));
  EXPECT_EQ(items[2].second, "0000000000000000");  // a segment not given is empty
  const auto h_validation = static_cast<std::uint64_t>(
      spark::hash_df(session()->createDataFrame({Row{"d", 0}}, StructType({{"x", StringType(), true}, {"y", IntegerType(), true}}))));
  EXPECT_EQ(ds->overall_checksum(), spark::checksum_text(h_training + h_validation));
  for (const auto& [key, text] : items) {
    EXPECT_EQ(text.size(), 16u) << key;
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
  }
  // Row order does not matter.
  EXPECT_EQ(letters({"c", "a", "b"}, {"d"})->overall_checksum(), ds->overall_checksum());
}

TEST(SimpleSparkDatasetTest, DerivedDatasetsRunNoHashingAndCarryZeroChecksums) {
  std::uint64_t before = jobs();
  auto ds = letters({"a", "b"}, {"c"}, std::nullopt, /*is_algorithmic=*/true);
  EXPECT_EQ(jobs(), before);  // not even a count
  for (const auto& [key, text] : ds->checksum().items()) EXPECT_EQ(text, "0000000000000000") << key;
  EXPECT_EQ(ds->overall_checksum(), "0000000000000000");
}

TEST(SimpleSparkDatasetTest, ChecksumTextOfNegativeAndZeroHashes) {
  EXPECT_EQ(spark::checksum_text(static_cast<std::uint64_t>(std::int64_t{-1})), "ffffffffffffffff");
  EXPECT_EQ(spark::checksum_text(0), "0000000000000000");
  EXPECT_EQ(spark::checksum_text(static_cast<std::uint64_t>(std::int64_t{-1}) + 1u), "0000000000000000");
  EXPECT_EQ(spark::checksum_text(0xabc), "0000000000000abc");
  EXPECT_EQ(spark::checksum_text(static_cast<std::uint64_t>(INT64_MIN)), "8000000000000000");
}

TEST(SimpleSparkDatasetTest, CompareFeatureByMultiset) {
  auto aab = letters({"a", "a", "b"});
  auto abb = letters({"a", "b", "b"});
  auto baa = letters({"b", "a", "a"});
  EXPECT_FALSE(aab->compare_feature(*abb, "x"));
  EXPECT_TRUE(aab->compare_feature(*baa, "x"));
  EXPECT_TRUE(aab->compare_feature(*baa, "y"));  // the target
  // Different row counts: false without looking at the column, even one that does not exist.
  auto ab = letters({"a", "b"});
  std::uint64_t before = jobs();
  EXPECT_FALSE(aab->compare_feature(*ab, "nope"));
  EXPECT_LE(jobs(), before + 2);  // at most the two memoised counts
}

TEST(SimpleSparkDatasetTest, FilterDerivesADatasetOverTheMatchingRows) {
  auto ds = letters({"a", "b", "c", "a"}, {"a", "b"}, std::nullopt);
  auto only_training = ds->filter("x = 'a'", DatasetSegment::TRAINING);
  EXPECT_EQ(only_training->name(), "letters|x = 'a'");
  EXPECT_EQ(only_training->number_of_training_samples(), 2);
  EXPECT_EQ(only_training->number_of_validation_samples(), 0);
  EXPECT_EQ(only_training->number_of_testing_samples(), 0);
  EXPECT_EQ(only_training->overall_checksum(), "0000000000000000");
  EXPECT_EQ(only_training->history(), ds->history());
  auto all = ds->filter("x = 'a'");
  EXPECT_EQ(all->number_of_training_samples(), 2);
  EXPECT_EQ(all->number_of_validation_samples(), 1);
  EXPECT_EQ(all->number_of_samples(), 3);
  EXPECT_FALSE(all->has_predictions());
}

TEST(SimpleSparkDatasetTest, FilteringADatasetWithPredictionsGivesAValidDatasetWithoutThem) {
  auto schema = StructType({{"x", DoubleType(), true}, {"p", IntegerType(), true}, {"y", IntegerType(), true}});
  SimpleSparkDataset::Options o;
  o.training_data = session()->createDataFrame({Row{1.0, 1, 1}, Row{2.0, 0, 1}, Row{3.0, 1, 0}}, schema);
  o.feature_names = Strings{"x", "p"};
  o.continuous_features = Strings{"x"};
  o.categorical_features = Strings{"p"};
  o.prediction_name = "p";
  auto ds = SimpleSparkDataset::create(o);
  auto sub = ds->filter("x > 1");
  EXPECT_EQ(sub->number_of_samples(), 2);
  EXPECT_EQ(sub->target_name(), "y");
  EXPECT_FALSE(sub->has_predictions());
  EXPECT_EQ(sub->feature_names(), Strings{"x"});
}

TEST(SimpleSparkDatasetTest, PredictionCacheIsCreatedOnceAndRefilled) {
  auto ds = letters({"a", "b", "c"});
  EXPECT_EQ(ds->get_predictions_cache(), nullptr);
  DataFrame preds = session()->createDataFrame({Row{1, 0}, Row{0, 0}, Row{1, 1}},
                                               StructType({{"y", IntegerType(), true}, {"pred", IntegerType(), true}}));
  ds->cache_predictions(preds, "pred", "");
  auto cache = ds->get_predictions_cache();
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->get_target(), "y");
  EXPECT_EQ(cache->get_predicted("ignored"), "pred");
  EXPECT_FALSE(cache->get_protected("y = 1").has_value());
  EXPECT_EQ(cache->get_data().count(), 3);
  EXPECT_EQ(cache->get_data("y = 1").count(), 2);
  ds->cache_predictions(preds.withColumnRenamed("pred", "score"), "score", "y = 0");
  EXPECT_EQ(ds->get_predictions_cache(), cache);  // the same object, new contents
  EXPECT_EQ(cache->get_predicted(), "score");
  EXPECT_EQ(cache->get_data().count(), 1);
  EXPECT_TRUE(cache->get_data().isPersisted());
}

// A dataset of another backend, as the framework's own datasets are.
class LocalDataset : public norq::AbstractDataset {
 public:
  norq::DataBackend data_backend() const override { return norq::DataBackend::PANDAS; }
  std::string name() const override { return "local"; }
  std::string id() const override { return "local"; }
  std::string overall_checksum() const override { return ""; }
  const norq::OrderedStringMap& checksum() const override { return checksum_; }
  std::int64_t number_of_samples() const override { return 1; }
  std::string target_name() const override { return "y"; }
  std::vector<std::string> feature_names() const override { return {"x"}; }
  std::vector<std::string> all_feature_names() const override { return {"x"}; }

 private:
  norq::OrderedStringMap checksum_;
};

TEST(SimpleSparkDatasetTest, DatasetsOfAnotherBackendAreRefused) {
  auto ds = letters({"a"});
  LocalDataset local;
  try {
    ds->feature_combined_std(local, "x");
    FAIL() << "expected a ValueError";
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "Incompatible dataset backends");
  }
  EXPECT_THROW(ds->compare_feature(local, "x"), norq::ValueError);
}

}  // namespace
