// The dataset core over engine frames: construction and its checks in order, accessors, kind mutators,
// masks, memoised counts and the column statistics.
#include <cmath>
#include <regex>
#include <set>

#include "engine/errors.h"
#include "host/errors.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using spark::SimpleSparkDataset;
using norq::DatasetSegment;
using Strings = std::vector<std::string>;

const Strings kFeatures = {"id", "age", "city", "joined", "member", "amt", "p"};

// A valid configuration over the three segments of the test frame: id is an identifier, joined a date,
// p the prediction (a feature of categorical kind, as the frames carry it).
SimpleSparkDataset::Options valid_options() {
  SimpleSparkDataset::Options o;
  o.training_data = frame(0, 12);
  o.validation_data = frame(100, 6);
  o.testing_data = frame(200, 4);
  o.feature_names = kFeatures;
  o.categorical_features = Strings{"city", "member", "p"};
  o.continuous_features = Strings{"age", "amt"};
  o.id_features = Strings{"id"};
  o.date_features = Strings{"joined"};
  o.target_name = "y";
  o.prediction_name = "p";
  o.name = "loans";
  return o;
}

std::set<std::string> as_set(const Strings& names) { return {names.begin(), names.end()}; }

std::string construction_error(const SimpleSparkDataset::Options& o) {
  try {
    SimpleSparkDataset::create(o);
  } catch (const norq::ValueError& e) {
    return e.what();
  }
  return "<no error>";
}

class BaseSparkDatasetTest : public ::testing::Test {
 protected:
  void SetUp() override { session(); }
};

TEST_F(BaseSparkDatasetTest, ConstructionChecksRunInTheirOrderWithTheirMessages) {
  auto o = valid_options();
  // Feature names are checked before anything else, even when no frame is given.
  {
    SimpleSparkDataset::Options none;
    EXPECT_EQ(construction_error(none), "No feature names specified.");
    none.feature_names = Strings{};
    EXPECT_EQ(construction_error(none), "Expected training, validation or test data.");
  }
  // Target presence: training first, then validation, then testing.
  {
    auto c = o;
    c.training_data = frame(0, 3).drop("y");
    c.validation_data = frame(0, 3).drop("y");
    EXPECT_EQ(construction_error(c), "y not in training data");
    c = o;
    c.validation_data = frame(0, 3).drop("y");
    c.testing_data = frame(0, 3).drop("y");
    EXPECT_EQ(construction_error(c), "y not in validation data");
    c = o;
    c.testing_data = frame(0, 3).drop("y");
    EXPECT_EQ(construction_error(c), "y not in test data");
    c = o;
    c.prediction_name = "score";
    EXPECT_EQ(construction_error(c), "score not in training data");
  }
  // Kinds against the feature names: categorical, continuous, date, identifier, each with its own spacing.
  {
    auto c = o;
    c.categorical_features = Strings{"zip"};
    c.continuous_features = Strings{"zap"};
    EXPECT_EQ(construction_error(c), "Categorical feature \"zip\" not present in features.");
    c = o;
    c.continuous_features = Strings{"zap"};
    c.date_features = Strings{"zop"};
    EXPECT_EQ(construction_error(c), "Continuous feature\" zap\" not present in features.");
    c = o;
    c.date_features = Strings{"zop"};
    c.id_features = Strings{"zup"};
    EXPECT_EQ(construction_error(c), "Date feature\" zop\" not present in features.");
    c = o;
    c.id_features = Strings{"zup"};
    EXPECT_EQ(construction_error(c), "ID feature\" zup\" not present in features.");
  }
  {
    auto c = o;
    c.continuous_features = Strings{"age", "amt", "city"};
    EXPECT_EQ(construction_error(c), "Features ['city'] are bothcategorical and continuous.");
    c = o;
    c.categorical_features = Strings{"city"};
    EXPECT_EQ(construction_error(c), "Category of features {'member', 'p'} not specified.");
  }
  // Column counts and lists.
  {
    auto c = o;
    c.feature_names = Strings{"id", "age", "city", "joined", "member", "amt"};
    c.categorical_features = Strings{"city", "member"};
    EXPECT_EQ(construction_error(c), "Expecting 8 feature names but you provided 6.");
    c = o;
    c.validation_data = frame(0, 3).select(Strings{"age", "id", "city", "joined", "member", "amt", "y", "p"});
    EXPECT_EQ(construction_error(c), "Expecting 8 features in validationdata but you provided 8.");
    c = o;
    c.testing_data = frame(0, 3).drop("amt").withColumn("amt", functions::lit(1)).drop("member");
    // Dropping a column makes the list differ; the count in the message is the testing frame's.
    EXPECT_EQ(construction_error(c), "Expecting 8 features in testdata but you provided 7.");
  }
}

TEST_F(BaseSparkDatasetTest, MissingSessionIsReported) {
  // Stopping the active session leaves none; construction must not create one.
  auto o = valid_options();
  // A server forgets a stopped session's frames, so their schemas are read while it is open (the backends keep
  // a frame's schema once read).
  o.training_data->schema();
  session()->stop();
  EXPECT_EQ(construction_error(o), "Unable to create spark session.");
  session();  // a fresh session for the other tests
}

TEST_F(BaseSparkDatasetTest, MissingSegmentsBecomeEmptyFramesWithTheCommonColumns) {
  SimpleSparkDataset::Options o;
  o.validation_data = frame(0, 5);
  o.feature_names = kFeatures;
  o.categorical_features = Strings{"city", "member", "p", "id"};
  o.continuous_features = Strings{"age", "amt"};
  o.id_features = Strings{"id"};
  o.date_features = Strings{"joined"};
  auto ds = SimpleSparkDataset::create(o);
  EXPECT_EQ(ds->target_name(), "p");  // the last column of the (empty) training frame
  EXPECT_EQ(ds->number_of_training_samples(), 0);
  EXPECT_EQ(ds->number_of_testing_samples(), 0);
  EXPECT_EQ(ds->number_of_samples(), 5);
  EXPECT_EQ(ds->features_testing().columns(), (Strings{"age", "city", "member", "amt"}));
  // An identifier listed as categorical too is only an identifier.
  EXPECT_FALSE(ds->is_categorical_feature("id"));
  EXPECT_TRUE(ds->is_id_feature("id"));
}

TEST_F(BaseSparkDatasetTest, AnEmptyValidationFrameStillGivesAFrameOfAllRows) {
  // The frame of all rows is coalesced to the validation frame's partition count, which an empty frame
  // may not have: it must still hold every training and testing row.
  auto o = valid_options();
  o.validation_data = session()->createDataFrame(std::vector<Row>{}, frame_schema());
  auto ds = SimpleSparkDataset::create(o);
  EXPECT_EQ(ds->number_of_samples(), 16);
  EXPECT_EQ(ds->to_dataframe().numRows(), 16u);
}

TEST_F(BaseSparkDatasetTest, IdentityNameAndHistory) {
  auto o = valid_options();
  o.name.reset();
  auto history = std::make_shared<norq::History>();
  o.history = history;
  auto a = SimpleSparkDataset::create(o);
  auto b = SimpleSparkDataset::create(o);
  static const std::regex uuid4("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  EXPECT_TRUE(std::regex_match(a->id(), uuid4)) << a->id();
  EXPECT_NE(a->id(), b->id());
  EXPECT_EQ(a->name(), a->id());
  EXPECT_EQ(a->history(), history);  // the caller's list itself
  EXPECT_EQ(a->data_backend(), norq::DataBackend::SPARK);
}

TEST_F(BaseSparkDatasetTest, NameListsByKind) {
  auto ds = SimpleSparkDataset::create(valid_options());
  EXPECT_EQ(ds->get_restricted_features(), (Strings{"y", "p"}));
  EXPECT_EQ(ds->all_feature_names(), (Strings{"id", "age", "city", "joined", "member", "amt"}));
  EXPECT_EQ(ds->feature_names(), (Strings{"age", "city", "member", "amt"}));
  EXPECT_EQ(ds->number_of_features(), 4);
  EXPECT_EQ(ds->number_of_id_features(), 1);
  EXPECT_EQ(ds->number_of_date_features(), 1);
  EXPECT_EQ(ds->features().columns(), (Strings{"age", "city", "member", "amt"}));
  EXPECT_EQ(ds->all_features().columns(), (Strings{"id", "age", "city", "joined", "member", "amt"}));
  EXPECT_EQ(ds->id_features_validation().columns(), Strings{"id"});
  EXPECT_EQ(ds->date_features_training().columns(), Strings{"joined"});
  EXPECT_EQ(ds->prediction_testing().columns(), Strings{"p"});
  EXPECT_TRUE(ds->has_predictions());
  EXPECT_EQ(ds->prediction_validation().count(), 6);
}

TEST_F(BaseSparkDatasetTest, WithoutPredictionsThePredictionAccessorsGiveTheEmptyFrame) {
  auto o = valid_options();
  o.prediction_name.reset();
  o.target_categorical = false;
  auto ds = SimpleSparkDataset::create(o);
  EXPECT_FALSE(ds->has_predictions());
  EXPECT_EQ(ds->get_restricted_features(), Strings{"y"});
  for (const DataFrame& f : {ds->prediction(), ds->prediction_training(), ds->prediction_validation()}) {
    EXPECT_TRUE(f.columns().empty());
    EXPECT_EQ(f.count(), 0);
  }
  EXPECT_FALSE(ds->prediction_categorical());  // follows the target
  EXPECT_TRUE(ds->is_target_continuous());
  // p is now an ordinary feature.
  EXPECT_EQ(ds->feature_names(), (Strings{"age", "city", "member", "amt", "p"}));
}

TEST_F(BaseSparkDatasetTest, KindMutatorsResortTheFeatures) {
  auto ds = SimpleSparkDataset::create(valid_options());
  ds->categorical_features(Strings{"y"});  // the target alone: nothing categorical
  EXPECT_TRUE(ds->categorical_features().empty());
  EXPECT_EQ(as_set(ds->continuous_features()), (std::set<std::string>{"age", "city", "member", "amt", "p"}));
  ds->continuous_features(Strings{"age"});
  EXPECT_EQ(ds->continuous_features(), Strings{"age"});
  EXPECT_EQ(as_set(ds->categorical_features()), (std::set<std::string>{"city", "member", "amt", "p"}));
  try {
    ds->categorical_features(Strings{"city", "zip", "abc"});
    FAIL() << "expected a ValueError";
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "Feature(s) {'abc', 'zip'} not in dataset features.");
  }
  EXPECT_EQ(ds->continuous_features(), Strings{"age"});  // unchanged
  // Every requested name that is not a feature name is listed, a target named next to an unknown one too.
  try {
    ds->continuous_features(Strings{"age", "y", "zip"});
    FAIL() << "expected a ValueError";
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "Feature(s) {'y', 'zip'} not in dataset features.");
  }
}

TEST_F(BaseSparkDatasetTest, NamesHoldingADotAreColumnNames) {
  auto o = valid_options();
  for (auto* f : {&o.training_data, &o.validation_data, &o.testing_data})
    if (*f) *f = (*f)->withColumnRenamed("age", "age.years");
  if (o.feature_names)
    for (auto& n : *o.feature_names)
      if (n == "age") n = "age.years";
  if (o.continuous_features)
    for (auto& n : *o.continuous_features)
      if (n == "age") n = "age.years";
  if (o.categorical_features)
    for (auto& n : *o.categorical_features)
      if (n == "age") n = "age.years";
  auto ds = SimpleSparkDataset::create(o);
  EXPECT_EQ(ds->feature("age.years").count(), 22);
  EXPECT_FALSE(std::isnan(ds->median("age.years")));
  // Whole-numbered ages with few distinct values: one bar per value, every value counted.
  auto [labels, counts] = ds->histogram("age.years", 4);
  EXPECT_EQ(labels.size(), counts.size());
  std::int64_t counted = 0;
  for (auto c : counts) counted += c;
  EXPECT_EQ(counted, ds->feature("age.years").na().drop().count());
  const norq::DataProfile profile = ds->generate_data_profile();
  bool found = false;
  for (const auto& f : profile.feature_profiles()) found = found || f.feature == "age.years";
  EXPECT_TRUE(found);
}

TEST_F(BaseSparkDatasetTest, MasksOnAllRowsAndOnSegments) {
  auto ds = SimpleSparkDataset::create(valid_options());
  EXPECT_EQ(ds->feature("age").count(), 22);
  EXPECT_EQ(ds->feature("age", "").columns(), Strings{"age"});
  EXPECT_EQ(ds->feature("age", "member").count(), 11);
  EXPECT_EQ(ds->feature_validation("age", "id > 102").count(), 3);
  try {
    ds->feature("age", "id >");
    FAIL() << "expected a ValueError";
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "Problem with mask \"id >\" for feature \"age\"");
  }
  // A mask naming a column the frame lacks is a problem with the mask too.
  EXPECT_THROW(ds->feature("age", "nope > 1"), norq::ValueError);
  // The segment variants let the engine's own error through.
  EXPECT_THROW(ds->feature_training("age", "id >"), engine::ParseException);
}

TEST_F(BaseSparkDatasetTest, NumericalTestByColumnType) {
  auto ds = SimpleSparkDataset::create(valid_options());
  EXPECT_TRUE(ds->is_numerical("amt"));  // decimal
  EXPECT_TRUE(ds->is_numerical("age"));
  EXPECT_FALSE(ds->is_numerical("member"));
  EXPECT_FALSE(ds->is_numerical("joined"));
  EXPECT_FALSE(ds->is_numerical("city"));
  try {
    ds->is_numerical("zip");
    FAIL() << "expected a ValueError";
  } catch (const norq::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("zip"), std::string::npos);
  }
}

TEST_F(BaseSparkDatasetTest, CountsAndSelectionsAreMemoised) {
  auto ds = SimpleSparkDataset::create(valid_options());
  std::uint64_t before = jobs();
  EXPECT_EQ(ds->number_of_samples(), 22);
  EXPECT_EQ(jobs(), before + 1);
  EXPECT_EQ(ds->number_of_samples(), 22);
  EXPECT_EQ(ds->number_of_validation_samples(), 6);
  EXPECT_EQ(ds->number_of_validation_samples(), 6);
  EXPECT_EQ(jobs(), before + 2);
  EXPECT_EQ(ds->filter_count("member", DatasetSegment::TRAINING), 6);
  EXPECT_EQ(ds->filter_count("member", DatasetSegment::TRAINING), 6);
  EXPECT_EQ(ds->filter_count("", DatasetSegment::TESTING), 4);
  EXPECT_EQ(ds->filter_count(""), 22);
  EXPECT_EQ(jobs(), before + 5);
  // The same selection is the same plan.
  EXPECT_EQ(ds->get_segment_data("age", DatasetSegment::VALIDATION, "id > 1").plan(),
            ds->get_segment_data("age", DatasetSegment::VALIDATION, "id > 1").plan());
  // Another dataset over the same frames has its own entries.
  auto other = SimpleSparkDataset::create(valid_options());
  before = jobs();
  EXPECT_EQ(other->number_of_samples(), 22);
  EXPECT_EQ(jobs(), before + 1);
}

TEST_F(BaseSparkDatasetTest, SegmentDataOfTheTarget) {
  auto ds = SimpleSparkDataset::create(valid_options());
  DataFrame t = ds->get_segment_data("y", DatasetSegment::VALIDATION, "id >= 103");
  EXPECT_EQ(t.columns(), Strings{"y"});
  EXPECT_EQ(t.count(), 3);
  EXPECT_EQ(ds->get_segment_data("y", DatasetSegment::TESTING).count(), 4);
  EXPECT_EQ(ds->get_segment_data("y").count(), 22);
}

TEST_F(BaseSparkDatasetTest, StatisticsOverSelections) {
  auto ds = SimpleSparkDataset::create(valid_options());
  EXPECT_EQ(ds->feature_min("id"), Value(0));
  EXPECT_EQ(ds->feature_max("id", DatasetSegment::VALIDATION), Value(105));
  EXPECT_EQ(ds->feature_max("city", DatasetSegment::ALL, "id < 3"), Value("rome"));
  // Validation ids 100..105: median is one of the values, never an average.
  EXPECT_EQ(ds->median("id", DatasetSegment::VALIDATION), 102.0);
  EXPECT_DOUBLE_EQ(ds->mean("id", DatasetSegment::VALIDATION), 102.5);
  EXPECT_EQ(ds->quantiles("id", {0.25, 0.5, 0.75}, DatasetSegment::VALIDATION), (std::vector<double>{101, 102, 104}));
  EXPECT_DOUBLE_EQ(ds->median("amt", DatasetSegment::TESTING), -2.25);
  std::vector<Value> cats = ds->get_feature_categories("city", DatasetSegment::TRAINING);
  EXPECT_EQ(cats, (std::vector<Value>{Value(), Value("lima"), Value("oslo"), Value("rome")}));
  EXPECT_TRUE(ds->all_identical("member", DatasetSegment::ALL, "id = 2 OR id = 4"));
  EXPECT_FALSE(ds->all_identical("member", DatasetSegment::ALL, "id < 2"));
  EXPECT_TRUE(ds->all_identical("age", DatasetSegment::ALL, "id = 3"));  // a single missing value
}

TEST_F(BaseSparkDatasetTest, StatisticsWithoutValues) {
  auto ds = SimpleSparkDataset::create(valid_options());
  const std::string none = "id > 1000";
  const std::string only_null = "id = 3";  // age is missing there
  for (const std::string& mask : {none, only_null}) {
    EXPECT_TRUE(ds->feature_min("age", DatasetSegment::ALL, mask).isNull());
    EXPECT_TRUE(ds->feature_max("age", DatasetSegment::ALL, mask).isNull());
    EXPECT_TRUE(std::isnan(ds->median("age", DatasetSegment::ALL, mask)));
    EXPECT_TRUE(std::isnan(ds->mean("age", DatasetSegment::ALL, mask)));
    auto q = ds->quantiles("age", {0.1, 0.9, 0.5}, DatasetSegment::ALL, mask);
    ASSERT_EQ(q.size(), 3u);
    for (double v : q) EXPECT_TRUE(std::isnan(v));
  }
  EXPECT_FALSE(ds->all_identical("age", DatasetSegment::ALL, none));
  EXPECT_TRUE(ds->get_feature_categories("age", DatasetSegment::ALL, none).empty());
  EXPECT_FALSE(ds->feature_combined_std(*ds, "age", DatasetSegment::ALL, none).has_value());
}

TEST_F(BaseSparkDatasetTest, CombinedStandardDeviationPoolsBothSelections) {
  auto schema = StructType({{"x", DoubleType(), true}, {"y", IntegerType(), true}});
  auto make = [&](double a, double b) {
    SimpleSparkDataset::Options o;
    o.validation_data = session()->createDataFrame({Row{a, 0}, Row{b, 1}}, schema);
    o.feature_names = Strings{"x"};
    o.continuous_features = Strings{"x"};
    return SimpleSparkDataset::create(o);
  };
  auto ones = make(1, 1);
  auto threes = make(3, 3);
  // The deviation of 1, 1, 3, 3 (sample, n - 1): sqrt(4/3).
  EXPECT_DOUBLE_EQ(*ones->feature_combined_std(*threes, "x"), std::sqrt(4.0 / 3.0));
  EXPECT_DOUBLE_EQ(*ones->feature_combined_std(*ones, "x"), 0.0);
}

TEST_F(BaseSparkDatasetTest, MetricCalculationParamsReadTheValidationRows) {
  auto ds = SimpleSparkDataset::create(valid_options());
  spark::MetricCalculationParams p = ds->get_metric_calculation_params();
  EXPECT_EQ(p.frame.columns(), (Strings{"age", "city", "member", "amt", "y", "p"}));
  EXPECT_EQ(p.frame.count(), 6);
  EXPECT_EQ(p.prediction_name, std::optional<std::string>("p"));
  EXPECT_EQ(p.target_name, "y");
  EXPECT_FALSE(p.protected_.has_value());
  EXPECT_EQ(ds->get_metric_calculation_params("member").frame.count(), 3);

  auto o = valid_options();
  o.prediction_name.reset();
  auto plain = SimpleSparkDataset::create(o);
  EXPECT_EQ(plain->get_metric_calculation_params().frame.columns().back(), "y");
}

}  // namespace
