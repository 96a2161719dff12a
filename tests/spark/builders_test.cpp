// The builders: configuration operations, column-kind resolution, the two constructors from frames, build,
// and the one-call constructors with configuration defaults and the creation event.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "host/config.h"
#include "host/events.h"
#include "spark/datasets/builders/bias_dataset_builder.h"
#include "spark/datasets/builders/simple_dataset_builder.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using spark::BiasSparkDatasetBuilder;
using spark::DatasetError;
using spark::SimpleSparkDatasetBuilder;
using Strings = std::vector<std::string>;

std::set<std::string> as_set(const Strings& v) { return {v.begin(), v.end()}; }

// 200 rows: x1 double, x2 int (3 values), c string, y int target (2 values), p int prediction.
DataFrame loans(int n = 200) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) rows.push_back(Row{0.5 * i, i % 3, i % 4 ? "a" : "b", i % 2, (i / 2) % 2});
  return session()->createDataFrame(rows, StructType({{"x1", DoubleType(), true},
                                                      {"x2", IntegerType(), true},
                                                      {"c", StringType(), true},
                                                      {"y", IntegerType(), true},
                                                      {"p", IntegerType(), true}}));
}

template <class F>
std::string dataset_error(F&& f) {
  try {
    f();
  } catch (const DatasetError& e) {
    return e.what();
  }
  return "<no DatasetError>";
}

TEST(BuilderConfigTest, FreshStateAndChaining) {
  SimpleSparkDatasetBuilder b;
  EXPECT_TRUE(b.target_categorical);
  EXPECT_FALSE(b.prediction_name);
  EXPECT_TRUE(b.name.empty() && b.target_name.empty() && b.splits.empty() && b.categorical_features.empty());
  SimpleSparkDatasetBuilder& same = b.reset().add_name("n").add_target_name("t").set_continuous_target();
  EXPECT_EQ(&same, &b);
  EXPECT_EQ(b.name, "n");
  EXPECT_FALSE(b.target_categorical);
}

TEST(BuilderConfigTest, SplitRatiosAreNormalised) {
  SimpleSparkDatasetBuilder b;
  b.add_train_test_valid_splits();
  EXPECT_EQ(b.splits, (std::vector<double>{0.6, 0.2, 0.2}));
  EXPECT_EQ(b.random_seed, 2);
  b.add_train_test_valid_splits({0.8, 0.2, 0.0}, 5);
  EXPECT_EQ(b.splits, (std::vector<double>{0.8, 0.2, 0.0}));
  EXPECT_EQ(b.random_seed, 5);
  b.add_train_test_valid_splits({1, 1, 2});
  EXPECT_EQ(b.splits, (std::vector<double>{0.25, 0.25, 0.5}));
  b.add_train_test_valid_splits({3, 1, 1});
  EXPECT_EQ(b.splits, (std::vector<double>{0.6, 0.2, 0.2}));
  // Proportions that sum to zero cannot be normalised: a clear error, the earlier ratios kept.
  EXPECT_NE(dataset_error([&] { b.add_train_test_valid_splits({0, 0, 0}); }).find("sum to a positive number"),
            std::string::npos);
  EXPECT_EQ(b.splits, (std::vector<double>{0.6, 0.2, 0.2}));
}

TEST(BuilderConfigTest, KindListsStayDisjointAndComplete) {
  SimpleSparkDatasetBuilder b;
  b.add_feature_names({"a", "b", "c", "d"});
  b.add_categorical_features({"a"});
  EXPECT_EQ(b.categorical_features, Strings{"a"});
  EXPECT_EQ(as_set(b.continuous_features), (std::set<std::string>{"b", "c", "d"}));
  b.reset().add_feature_names({"a", "b", "c", "d"}).add_date_features({"d"}).add_categorical_features({"a"});
  EXPECT_EQ(as_set(b.continuous_features), (std::set<std::string>{"b", "c"}));
  b.reset().add_feature_names({"a", "b", "c"}).add_continuous_features({"a", "a"});
  EXPECT_EQ(b.continuous_features, Strings{"a"});
  EXPECT_EQ(as_set(b.categorical_features), (std::set<std::string>{"b", "c"}));
  // An identifier taken from the categorical list.
  b.add_id_features({"b"});
  EXPECT_EQ(b.categorical_features, Strings{"c"});
  EXPECT_EQ(dataset_error([&] { b.add_date_features({"x", "a"}); }), "The features {'x'} are not in the set");
  EXPECT_TRUE(b.date_features.empty());
}

TEST(BuilderFromFrameTest, GuessesKindsAndTheTarget) {
  auto b = SimpleSparkDatasetBuilder::from_spark_dataframe({.spark_df = loans().drop("p")});
  EXPECT_EQ(b.target_name, "y");
  EXPECT_EQ(b.feature_names, (Strings{"x1", "x2", "c"}));
  EXPECT_EQ(b.splits, (std::vector<double>{0.6, 0.2, 0.2}));
  EXPECT_EQ(b.random_seed, 2);
  // 200 rows: 3 distinct values is not below one in a thousand, so x2 is continuous; text is categorical.
  EXPECT_EQ(b.categorical_features, Strings{"c"});
  EXPECT_EQ(as_set(b.continuous_features), (std::set<std::string>{"x1", "x2"}));
  EXPECT_FALSE(b.target_categorical);  // y (0/1 over 200 rows) is judged continuous by the same rule
  auto empty_name = SimpleSparkDatasetBuilder::from_spark_dataframe({.spark_df = loans(), .target_feature = ""});
  EXPECT_EQ(empty_name.target_name, "p");
}

TEST(BuilderFromFrameTest, GivenKinds) {
  Strings cats = {"y", "x2"};
  auto b = SimpleSparkDatasetBuilder::from_spark_dataframe(
      {.spark_df = loans(), .target_feature = "y", .prediction_feature = "p", .cat_features = cats});
  EXPECT_EQ(b.categorical_features, Strings{"x2"});
  EXPECT_TRUE(b.target_categorical);  // listed as categorical
  EXPECT_EQ(cats, (Strings{"y", "x2"}));  // the caller's list is not changed
  EXPECT_EQ(b.prediction_name, "p");
  EXPECT_EQ(b.feature_names, (Strings{"x1", "x2", "c", "p"}));  // kept in this constructor
  auto c = SimpleSparkDatasetBuilder::from_spark_dataframe(
      {.spark_df = loans(), .target_feature = "y", .cont_features = Strings{"x1"}, .id_features = Strings{"x2"}});
  EXPECT_EQ(c.categorical_features, (Strings{"c", "p"}));  // everything else, minus identifiers, sorted
  EXPECT_EQ(c.continuous_features, Strings{"x1"});
  EXPECT_EQ(dataset_error([&] { SimpleSparkDatasetBuilder::from_spark_dataframe({.spark_df = loans(), .target_feature = "z"}); }),
            "Target feature z not present in dataframe.");
  // The target named as an identifier is not a feature name.
  EXPECT_EQ(dataset_error([&] {
              SimpleSparkDatasetBuilder::from_spark_dataframe(
                  {.spark_df = loans(), .target_feature = "y", .cat_features = Strings{"c"}, .id_features = Strings{"y"}});
            }),
            "The features {'y'} are not in the set");
}

TEST(BuilderFromFrameTest, DateColumnsBecomeTimestamps) {
  DataFrame df = session()->createDataFrame(
      {Row{"2024-01-31", 1}, Row{"31/12/2023", 0}}, StructType({{"d", StringType(), true}, {"y", IntegerType(), true}}));
  EXPECT_EQ(SimpleSparkDatasetBuilder::convert_date_columns(df, Strings{"d"}, false).plan(), df.plan());
  DataFrame iso = SimpleSparkDatasetBuilder::convert_date_columns(df, Strings{"d"}, true);
  EXPECT_EQ(iso.columns(), (Strings{"d", "y"}));
  EXPECT_EQ(iso.schema().fields()[0].dataType, TimestampType());
  auto rows = iso.collect();
  EXPECT_FALSE(rows[0]["d"].isNull());
  EXPECT_TRUE(rows[1]["d"].isNull());  // not ISO text
  auto custom = SimpleSparkDatasetBuilder::convert_date_columns(df, Strings{"d"}, true, "dd/MM/yyyy").collect();
  EXPECT_TRUE(custom[0]["d"].isNull());
  EXPECT_FALSE(custom[1]["d"].isNull());
}

TEST(BuilderFromSplitFramesTest, ChecksAndMissingSegments) {
  DataFrame dup = loans().selectExpr("x1", "x1", "y");
  EXPECT_EQ(dataset_error([&] { SimpleSparkDatasetBuilder::from_split_spark_dataframes({.training = dup}); }),
            "Duplicate columns in training dataframe.");
  EXPECT_EQ(dataset_error([&] {
              SimpleSparkDatasetBuilder::from_split_spark_dataframes({.training = loans(), .validation = loans().drop("c")});
            }),
            "Validation dataframe contains columns not in training dataframe");
  EXPECT_EQ(dataset_error([&] {
              SimpleSparkDatasetBuilder::from_split_spark_dataframes({.training = loans(), .testing = dup});
            }),
            "Duplicate columns in testing dataframe.");
  EXPECT_NE(dataset_error([&] { SimpleSparkDatasetBuilder::from_split_spark_dataframes({}); }), "<no DatasetError>");
  EXPECT_EQ(dataset_error([&] {
              SimpleSparkDatasetBuilder::from_split_spark_dataframes(
                  {.training = loans(), .target_feature = "y", .prediction_feature = "score"});
            }),
            "Prediction feature score not present in dataframe.");

  auto b = SimpleSparkDatasetBuilder::from_split_spark_dataframes(
      {.training = loans(), .testing = loans(20), .target_feature = "y", .prediction_feature = "p"});
  ASSERT_TRUE(b.validation_data);
  EXPECT_EQ(b.validation_data->count(), 0);
  EXPECT_EQ(b.validation_data->columns(), loans().columns());
  EXPECT_TRUE(b.splits.empty());
  EXPECT_EQ(b.feature_names, (Strings{"x1", "x2", "c"}));  // the prediction is removed here
  EXPECT_EQ(b.categorical_features, Strings{"c"});
  auto ds = b.build();
  EXPECT_EQ(ds->number_of_samples(), 220);
  EXPECT_EQ(ds->prediction_name(), std::optional<std::string>("p"));
}

TEST(BuilderBuildTest, SplitsAndEmptyData) {
  auto b = SimpleSparkDatasetBuilder::from_spark_dataframe(
      {.spark_df = loans(), .target_feature = "y", .cat_features = Strings{"c", "p"}, .dataset_name = "loans"});
  auto ds = b.build();
  EXPECT_EQ(ds->name(), "loans");
  const std::int64_t tr = ds->number_of_training_samples(), va = ds->number_of_validation_samples(),
                     te = ds->number_of_testing_samples();
  EXPECT_EQ(tr + va + te, 200);
  EXPECT_GT(tr, va);
  // The same seed gives the same split on every build.
  auto again = b.build();
  EXPECT_EQ(again->checksum(), ds->checksum());

  SimpleSparkDatasetBuilder empty;
  EXPECT_EQ(dataset_error([&] { empty.build(); }), "No training, test or validation data provided.");
  empty.add_feature_training_data(loans(0)).add_feature_test_data(loans(0));
  EXPECT_EQ(dataset_error([&] { empty.build(); }), "No training, test or validation data provided.");
  SimpleSparkDatasetBuilder no_frame;
  no_frame.add_train_test_valid_splits();
  EXPECT_EQ(dataset_error([&] { no_frame.build(); }), "Split ratios are set but no feature data was given to split.");
}

class OneCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    norq::set_event_database(":memory:");
    norq::set_config_file("");
  }
  void TearDown() override { norq::set_config_file(""); }
  static std::size_t created(const std::string& name) {
    std::size_t n = 0;
    for (const auto& e : norq::event_history().events(name)) n += e.event == "DATASET_CREATED";
    return n;
  }
};

TEST_F(OneCallTest, DatasetFromOneFrame) {
  auto ds = SimpleSparkDatasetBuilder::dataset({.features = loans(), .label = "y", .name = "one"});
  EXPECT_EQ(ds->target_name(), "y");
  EXPECT_EQ(ds->number_of_samples(), 200);
  EXPECT_GT(ds->number_of_training_samples(), ds->number_of_validation_samples());
  EXPECT_EQ(ds->number_of_testing_samples(), 0);  // (0.8, 0.2, 0.0)
  EXPECT_EQ(created("one"), 1u);
  auto last = norq::event_history().last("one");
  ASSERT_TRUE(last);
  EXPECT_EQ(last->overall_checksum, ds->overall_checksum());
  EXPECT_EQ(last->dataset_id, ds->id());

  SimpleSparkDatasetBuilder::dataset({.features = loans(), .label = "y", .name = "quiet", .register_creation = false});
  EXPECT_EQ(created("quiet"), 0u);
}

TEST_F(OneCallTest, FailureOrderAndNoEventOnFailure) {
  EXPECT_EQ(dataset_error([&] {
              SimpleSparkDatasetBuilder::dataset({.features = loans(), .target = loans(), .label = "y", .prediction = "y"});
            }),
            "The prediction column cannot be the same as the target/label column");
  try {
    SimpleSparkDatasetBuilder::datasets(
        {.training_features = loans(), .training_target = loans(), .label = "y", .prediction = "y"});
    FAIL();
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "For a spark dataset the training target should be in the same dataframe as the features");
  }
  EXPECT_THROW(SimpleSparkDatasetBuilder::dataset({.features = loans(), .target = loans(), .label = "y"}),
               norq::ValueError);
  EXPECT_THROW(SimpleSparkDatasetBuilder::dataset({.features = loans(), .label = "zz", .name = "bad"}), DatasetError);
  EXPECT_EQ(created("bad"), 0u);
}

TEST_F(OneCallTest, ConfigurationFillsOmittedArguments) {
  auto path = std::filesystem::temp_directory_path() / "norq_builder_cfg.json";
  std::ofstream(path) << R"({"label": "y", "random_seed": 11, "name": "from-config",
                             "dataset": {"label": "y", "cat_col": ["c"], "name": "split-config"}})";
  norq::set_config_file(path.string());
  auto ds = SimpleSparkDatasetBuilder::dataset({.features = loans()});
  EXPECT_EQ(ds->name(), "from-config");
  EXPECT_EQ(ds->target_name(), "y");
  auto given = SimpleSparkDatasetBuilder::dataset({.features = loans(), .name = "given"});
  EXPECT_EQ(given->name(), "given");
  auto split = SimpleSparkDatasetBuilder::datasets({.training_features = loans(), .validation_features = loans(10)});
  EXPECT_EQ(split->name(), "split-config");
  EXPECT_EQ(split->categorical_features(), Strings{"c"});
  EXPECT_EQ(split->number_of_validation_samples(), 10);
  std::filesystem::remove(path);
}

TEST_F(OneCallTest, BiasDatasets) {
  norq::BiasParams params = BiasSparkDatasetBuilder::bias_params({.protected_ = "c"});
  EXPECT_EQ(params.protected_, std::optional<std::string>("c"));
  EXPECT_FALSE(params.privileged);
  norq::BiasParams other = BiasSparkDatasetBuilder::bias_params({.bias_params = params, .protected_ = "x1"});
  EXPECT_EQ(other.protected_, std::optional<std::string>("c"));

  auto ds = BiasSparkDatasetBuilder::dataset({.features = loans(), .label = "y", .prediction = "p", .bias_params = params,
                                               .name = "fair"});
  EXPECT_EQ(ds->protected_name(), "c");
  EXPECT_EQ(ds->feature_names(), (Strings{"x1", "x2"}));
  EXPECT_FALSE(ds->retain_protected_feature());
  EXPECT_EQ(created("fair"), 1u);
  auto kept = BiasSparkDatasetBuilder::dataset(
      {.features = loans(), .label = "y", .bias_params = params, .remove_protected_from_features = false});
  EXPECT_TRUE(kept->retain_protected_feature());
  EXPECT_EQ(kept->feature_names(), (Strings{"x1", "x2", "c", "p"}));

  EXPECT_EQ(dataset_error([&] { BiasSparkDatasetBuilder::dataset({.features = loans(), .label = "y"}); }),
            "No protected feature specified. You might want to use a SimpleDataset.");
  EXPECT_EQ(dataset_error([&] {
              BiasSparkDatasetBuilder::from_spark_dataframe({.spark_df = loans(), .target_feature = "zz"});
            }),
            "Target feature zz not present in dataframe.");
  EXPECT_EQ(dataset_error([&] {
              BiasSparkDatasetBuilder::from_spark_dataframe({.spark_df = loans(), .protected_feature = "g"});
            }),
            "Protected feature g not present in dataframe.");
  EXPECT_EQ(dataset_error([&] {
              BiasSparkDatasetBuilder::from_split_spark_dataframes(
                  {.training = loans(), .testing = loans().drop("c"), .protected_feature = "c"});
            }),
            "Protected feature c not present in testing dataframe.");

  // The categorical list loses the protected column unless it is retained; the column stays a feature.
  auto b = BiasSparkDatasetBuilder::from_spark_dataframe(
      {.spark_df = loans(), .target_feature = "y", .cat_features = Strings{"c", "x2"}, .protected_feature = "c"});
  EXPECT_EQ(b.categorical_features, Strings{"x2"});
  EXPECT_EQ(b.feature_names, (Strings{"x1", "x2", "c", "p"}));
  BiasSparkDatasetBuilder& chained = b.reset().add_name("n").add_protected_name("g");
  EXPECT_EQ(&chained, &b);
  b.reset();
  EXPECT_FALSE(b.protected_name);

  // Split frames with a prediction column keep it among the features (unlike the plain constructor).
  auto split = BiasSparkDatasetBuilder::datasets(
      {.training_features = loans(), .testing_features = loans(30), .label = "y", .prediction = "p", .bias_params = params});
  EXPECT_EQ(split->number_of_samples(), 230);
  EXPECT_EQ(split->get_metric_calculation_params().frame.columns(), (Strings{"x1", "x2", "y", "c", "p"}));
}

TEST_F(OneCallTest, FilteringABiasDatasetThatRetainsItsProtectedColumn) {
  auto ds = BiasSparkDatasetBuilder::dataset({.features = loans(), .label = "y", .prediction = "p",
                                               .bias_params = BiasSparkDatasetBuilder::bias_params({.protected_ = "c"}),
                                               .remove_protected_from_features = false});
  auto sub = ds->filter("x2 = 1");
  EXPECT_EQ(sub->feature_names(), (Strings{"x1", "x2", "c"}));
  EXPECT_EQ(sub->filter_count("x2 <> 1"), 0);
}

}  // namespace

namespace {

TEST_F(OneCallTest, MainRoadFromACsvFile) {
  DataFrame loans_csv = session()->read().csv(std::string(NORQ_SOURCE_DIR) + "/data/sample/loans.csv", true, true);
  auto ds = SimpleSparkDatasetBuilder::dataset({.features = loans_csv,
                                                .label = "defaulted",
                                                .prediction = "predicted",
                                                .id_col = Strings{"loan_id", "applicant_id"},
                                                .date_col = Strings{"application_date"},
                                                .convert_date_cols = true,
                                                .name = "loans-csv"});
  EXPECT_EQ(ds->number_of_samples(), 2000);
  EXPECT_EQ(ds->number_of_training_samples() + ds->number_of_validation_samples(), 2000);
  EXPECT_EQ(ds->id_feature_names(), (Strings{"loan_id", "applicant_id"}));
  EXPECT_EQ(ds->date_features().schema().fields()[0].dataType, TimestampType());
  EXPECT_TRUE(ds->is_categorical_feature("region"));
  EXPECT_TRUE(ds->is_continuous_feature("income"));
  EXPECT_NE(ds->overall_checksum(), "0000000000000000");
  // The sample data has missing genders: they sort first.
  EXPECT_EQ(ds->get_feature_categories("gender"), (std::vector<Value>{Value(), Value("F"), Value("M")}));
  EXPECT_EQ(created("loans-csv"), 1u);
  auto params = ds->get_metric_calculation_params();
  EXPECT_EQ(params.frame.columns().back(), "predicted");
  EXPECT_EQ(params.frame.count(), ds->number_of_validation_samples());

  auto fair = BiasSparkDatasetBuilder::dataset({.features = loans_csv,
                                                 .label = "defaulted",
                                                 .prediction = "predicted",
                                                 .id_col = Strings{"loan_id", "applicant_id"},
                                                 .date_col = Strings{"application_date"},
                                                 .bias_params = BiasSparkDatasetBuilder::bias_params({.protected_ = "gender"}),
                                                 .convert_date_cols = true,
                                                 .name = "loans-fair"});
  EXPECT_EQ(fair->checksum().items(), ds->checksum().items());  // the same split of the same rows
  EXPECT_EQ(fair->filter_count("gender = 'F'") + fair->filter_count("gender = 'M'") + fair->filter_count("gender IS NULL"),
            2000);
}

// The builder's operations follow the object's real class, also through a reference to the plain builder.
TEST(BuilderClassTest, ResetAndBuildFollowTheRealClass) {
  BiasSparkDatasetBuilder bias = BiasSparkDatasetBuilder::from_spark_dataframe(
      {.spark_df = loans(), .splits = spark::Splits{0.5, 0.5, 0}, .target_feature = "y", .protected_feature = "c"});
  SimpleSparkDatasetBuilder& plain = bias;
  auto built = plain.build_dataset();
  EXPECT_NE(std::dynamic_pointer_cast<spark::BiasSparkDataset>(built), nullptr);
  // The typed build of the plain class refuses to build the wrong class.
  EXPECT_NE(dataset_error([&] { plain.build(); }).find("another class"), std::string::npos);
  plain.reset();
  EXPECT_FALSE(bias.protected_name.has_value());
  EXPECT_TRUE(bias.feature_names.empty());
}

// All three frames given: no session is needed (none is made or looked up).
TEST(BuilderClassTest, SplitFramesNeedNoSessionWhenAllAreGiven) {
  if (test_backend::remote())
    GTEST_SKIP() << "the builder queries the frames (kind guesses), and a server forgets a stopped session's frames";
  DataFrame a = loans(20), b = loans(10), c = loans(10);
  session()->stop();
  ASSERT_EQ(SparkSession::getActiveSession(), nullptr);
  SimpleSparkDatasetBuilder builder =
      SimpleSparkDatasetBuilder::from_split_spark_dataframes({.training = a, .validation = b, .testing = c});
  EXPECT_EQ(builder.target_name, "p");
  EXPECT_NE(dataset_error([&] { SimpleSparkDatasetBuilder::from_split_spark_dataframes({.training = a}); })
                .find("No active engine session"),
            std::string::npos);
}

}  // namespace
