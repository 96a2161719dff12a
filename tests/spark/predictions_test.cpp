// Batch predictions of scikit-learn models run by the engine, compared with scikit-learn's own predictions.
// The models, probes and broken models come from scripts/train_sample_model.py, which ctest runs as a fixture
// into the directory named by NORQ_TEST_MODELS.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "engine/functions.h"
#include "host/calculations.h"
#include "host/errors.h"
#include "spark/model.h"
#include "spark/predictions.h"
#include "spark/sklearn_model.h"
#include "spark_test_support.h"

#include "spark/embedded_python_leaks.h"

namespace {

using namespace spark_test;
using Strings = std::vector<std::string>;
namespace F = engine::functions;

const Strings kClassifierFeatures = {"amount", "term_months", "interest_rate", "age"};
const Strings kPipelineFeatures = {"region", "purpose", "gender", "amount", "income", "employment_years", "age"};

// The message of the norq::ValueError that f throws ("<no error>" when it throws nothing).
template <class F>
std::string value_error(F&& f) {
  try {
    f();
  } catch (const norq::ValueError& e) {
    return e.what();
  } catch (const engine::PythonException& e) {
    // On Spark the model runs on its Python workers: the same ValueError comes back as Spark's PythonException.
    if (e.pythonType() == "ValueError") return e.what();
    throw;
  }
  return "<no error>";
}

class PredictionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("NORQ_TEST_MODELS");
    if (!dir || !std::filesystem::exists(std::string(dir) + "/predictions.csv"))
      GTEST_SKIP() << "NORQ_TEST_MODELS does not name the trained models (ctest runs the training fixture)";
    models_ = dir;
  }
  std::shared_ptr<spark::SklearnModel> model(const std::string& file) const {
    return spark::SklearnModel::load(models_ + "/" + file);
  }
  DataFrame loans(int partitions = 4) const {
    return session()
        ->read()
        .csv(std::string(NORQ_SOURCE_DIR) + "/data/sample/loans.csv", true, true)
        .repartition(partitions);
  }
  // scikit-learn's own predictions of one model, by loan id.
  std::map<std::int64_t, double> expected(const std::string& model) const {
    std::map<std::int64_t, double> out;
    for (const Row& r : session()->read().csv(models_ + "/predictions.csv", true, true).collect())
      out[r["loan_id"].toInt64()] = r[model].toDouble();
    return out;
  }
  static std::map<std::int64_t, double> by_id(const DataFrame& df, const std::string& label) {
    std::map<std::int64_t, double> out;
    for (const Row& r : df.select(Strings{"loan_id", label}).collect()) {
      EXPECT_FALSE(r[label].isNull()) << r.toString();
      out[r["loan_id"].toInt64()] = r[label].toDouble();
    }
    return out;
  }
  std::string models_;
};

TEST_F(PredictionsTest, EngineBatchesGiveScikitLearnsOwnPredictions) {
  const auto want = expected("classifier");
  ASSERT_EQ(want.size(), 2000u);
  auto [df, label] = spark::predictions_from_sklearn(
      {.model = model("classifier.pkl"), .df = loans(8), .feature_cols = kClassifierFeatures});
  EXPECT_EQ(label, "predictions");
  for (int run = 0; run < 2; ++run) EXPECT_EQ(by_id(df, "predictions"), want) << "run " << run;
  // The compressed joblib file holds the same model.
  auto joblib = spark::predictions_from_sklearn(
      {.model = model("classifier.joblib"), .df = loans(3), .feature_cols = kClassifierFeatures});
  EXPECT_EQ(by_id(joblib.first, "predictions"), want);
  // A regressor's values come back exactly.
  auto reg = spark::predictions_from_sklearn({.model = model("regressor.pkl"),
                                              .df = loans(5),
                                              .feature_cols = Strings{"amount", "term_months", "age"},
                                              .prediction_label = "rate_hat"});
  EXPECT_EQ(reg.second, "rate_hat");
  EXPECT_EQ(by_id(reg.first, "rate_hat"), expected("regressor"));
  // A pipeline over text columns with missing values (one-hot encoded) and numbers with missing values.
  auto pipeline = spark::predictions_from_sklearn(
      {.model = model("pipeline.pkl"), .df = loans(6), .feature_cols = kPipelineFeatures});
  EXPECT_EQ(by_id(pipeline.first, "predictions"), expected("pipeline"));
}

TEST_F(PredictionsTest, ColumnsReachPandasWithTheirValuesAndNulls) {
  StructType schema({{"i", IntegerType(), true},
                     {"l", LongType(), true},
                     {"d", DoubleType(), true},
                     {"dec", DataType::decimal(8, 2), true},
                     {"b", BooleanType(), true},
                     {"s", StringType(), true},
                     {"dt", DateType(), true},
                     {"ts", TimestampType(), true}});
  std::vector<Row> rows;
  std::vector<double> sums, counts;
  for (int k = 0; k < 40; ++k) {
    const bool ni = k % 3 == 0, nd = k % 4 == 1, ndec = k % 5 == 2, nb = k % 6 == 3, ns = k % 7 == 4, ndt = k % 8 == 5,
               nts = k % 9 == 6;
    const double dec = (k % 2 ? 1.25 : -2.5) * k;
    char dec_text[32];
    std::snprintf(dec_text, sizeof dec_text, "%.2f", dec);
    rows.push_back(Row{ni ? Value() : Value(k), Value(std::int64_t{1} << 40 | k), nd ? Value() : Value(0.5 * k),
                       ndec ? Value() : Value(Decimal::parse(dec_text).value()), nb ? Value() : Value(k % 2 == 0),
                       ns ? Value() : Value("t" + std::to_string(k)), ndt ? Value() : Value(Date{19000 + k}),
                       nts ? Value() : Value(Timestamp{1'700'000'000'000'000 + k * 1'000'001LL})});
    // pandas' row sum of the numbers skips missing values.
    sums.push_back((ni ? 0 : k) + static_cast<double>(std::int64_t{1} << 40 | k) + (nd ? 0 : 0.5 * k) +
                   (ndec ? 0 : dec));
    counts.push_back(8 - ni - nd - ndec - nb - ns - ndt - nts);
  }
  DataFrame df = session()->createDataFrame(rows, schema).repartition(3);
  // The predictions of a probe by row number (the low bits of l).
  auto predicted = [&](const std::string& probe, const Strings& features, const DataFrame& frame) {
    auto [out, label] = spark::predictions_from_sklearn({.model = model(probe), .df = frame, .feature_cols = features});
    std::map<std::int64_t, double> values;
    for (const Row& r : out.select(Strings{"l", label}).collect())
      values[r["l"].toInt64() & 0xff] = r[label].toDouble();
    return values;
  };
  auto numbered = [](const std::vector<double>& per_row) {
    std::map<std::int64_t, double> out;
    for (std::size_t k = 0; k < per_row.size(); ++k) out[static_cast<std::int64_t>(k)] = per_row[k];
    return out;
  };
  const Strings all = {"i", "l", "d", "dec", "b", "s", "dt", "ts"};
  // Every null arrives as a missing value (NaN, None or NaT) and nothing else does.
  EXPECT_EQ(predicted("non_null_count.pkl", all, df), numbered(counts));
  // Numbers and decimals arrive with their values, booleans as numbers where none is missing (like Spark, a
  // nullable boolean column goes over as objects).
  EXPECT_EQ(predicted("row_sum.pkl", Strings{"i", "l", "d", "dec"}, df), numbered(sums));
  std::map<std::int64_t, double> trues;
  for (int k = 0; k < 40; ++k)
    if (k % 6 != 3) trues[k] = k % 2 == 0;
  EXPECT_EQ(predicted("row_sum.pkl", Strings{"b"}, df.filter("b is not null")), trues);
  // Timestamps arrive as datetime64 (nanoseconds since the epoch), integers without nulls as exact integers.
  const DataFrame with_ts = df.filter("ts is not null");
  std::map<std::int64_t, double> ts;
  for (const Row& r : with_ts.select(Strings{"l", "ts"}).collect())
    ts[r["l"].toInt64() & 0xff] = static_cast<double>(r["ts"].get<Timestamp>().micros * 1000);
  ASSERT_EQ(ts.size(), 36u);
  EXPECT_EQ(predicted("as_int64.pkl", Strings{"ts"}, with_ts), ts);
  // Columns the model cannot take are named.
  EXPECT_EQ(value_error([&] {
              spark::predictions_from_sklearn({.model = model("row_sum.pkl"),
                                               .df = df.withColumn("arr", F::array({F::col("i")})),
                                               .feature_cols = Strings{"arr"}});
            }),
            "the column arr of type array<int> cannot be passed to a scikit-learn model");
}

TEST_F(PredictionsTest, FeaturesLabelsAndTheTargetsType) {
  auto clf = model("classifier.pkl");
  const auto want = expected("classifier");
  // Without feature columns every column but the target and the exclusions reaches the model, in frame order
  // (scikit-learn rejects a table whose column names differ from the training ones).
  DataFrame ids = loans().select(Strings{"loan_id", "amount", "term_months", "interest_rate", "age", "defaulted"});
  auto [scored, label] = spark::predictions_from_sklearn(
      {.model = clf, .df = ids, .target_label = "defaulted", .exclude_labels = Strings{"loan_id"}});
  EXPECT_EQ(label, "predictions");
  EXPECT_EQ(scored.columns(),
            (Strings{"loan_id", "amount", "term_months", "interest_rate", "age", "defaulted", "predictions"}));
  // The integer target gives integer predictions (1.0 and 0.0 become 1 and 0).
  EXPECT_EQ(scored.schema()["predictions"].dataType, IntegerType());
  for (const Row& r : scored.collect()) {
    ASSERT_TRUE(r["predictions"].is<std::int32_t>()) << r.toString();
    ASSERT_EQ(r["predictions"].toDouble(), want.at(r["loan_id"].toInt64()));
  }
  // Counting the non-null values of each row tells how many columns reached the model.
  DataFrame abc = session()->createDataFrame(
      {Row{1.0, 2.0, 3}, Row{4.0, 5.0, 6}},
      StructType({{"a", DoubleType(), true}, {"b", DoubleType(), true}, {"y", IntegerType(), true}}));
  auto columns_seen = [&](const spark::PredictionsArgs& a) {
    auto [out, l] = spark::predictions_from_sklearn(a);
    return out.select(Strings{l}).collect().at(0)[l].toDouble();
  };
  auto counter = model("non_null_count.pkl");
  EXPECT_EQ(columns_seen({.model = counter, .df = abc}), 3);
  EXPECT_EQ(columns_seen({.model = counter, .df = abc, .target_label = "y"}), 2);
  EXPECT_EQ(columns_seen({.model = counter, .df = abc, .target_label = "y", .exclude_labels = Strings{"b"}}), 1);
  EXPECT_EQ(columns_seen({.model = counter, .df = abc, .feature_cols = Strings{"b", "b", "y"}}), 3);
  // The row sum of a and b as a double column, then cast to the integer target's type.
  auto sums = spark::predictions_from_sklearn(
      {.model = model("row_sum.pkl"), .df = abc, .prediction_label = "s", .target_label = "y"});
  EXPECT_EQ(sums.first.schema()["s"].dataType, IntegerType());
  EXPECT_EQ(sums.first.select(Strings{"s"}).collect(), (std::vector<Row>{Row{3}, Row{9}}));
  // An existing column of the prediction's name is replaced in place.
  auto replaced = spark::predictions_from_sklearn(
      {.model = model("row_sum.pkl"), .df = abc, .feature_cols = Strings{"a", "b"}, .prediction_label = "a"});
  EXPECT_EQ(replaced.first.columns(), (Strings{"a", "b", "y"}));
  EXPECT_EQ(replaced.first.select(Strings{"a"}).collect(), (std::vector<Row>{Row{3.0}, Row{9.0}}));

  // Through the framework's calculation "predictions", with its parameter set.
  spark::register_predictions();
  spark::register_predictions();
  norq::CalculationParams p;
  p.model = clf;
  p.data = ids;
  p.target_label = "defaulted";
  p.exclude_labels = Strings{"loan_id"};
  auto routed = std::any_cast<std::pair<DataFrame, std::string>>(norq::calculate("predictions", p));
  EXPECT_EQ(routed.second, "predictions");
  EXPECT_EQ(by_id(routed.first, "predictions"), want);
}

class DerivedPrecalculatedModel : public spark::SparkPrecalculatedModel {
 public:
  using SparkPrecalculatedModel::SparkPrecalculatedModel;
};

TEST_F(PredictionsTest, PrecalculatedModelsAnswerByTheirLookup) {
  DataFrame stored = loans().select(Strings{"loan_id", "predicted"});
  auto pre = std::make_shared<spark::SparkPrecalculatedModel>(stored, "predicted");
  // Its own lookup and its own column name; the other arguments do not matter.
  auto [df, label] = spark::predictions_from_sklearn({.model = pre,
                                                      .df = loans().drop("predicted"),
                                                      .feature_cols = Strings{"nothing"},
                                                      .prediction_label = "x",
                                                      .target_label = "defaulted"});
  EXPECT_EQ(label, "predicted");
  EXPECT_EQ(df.columns(), (Strings{"loan_id", "predicted"}));
  std::map<std::int64_t, double> want;
  for (const Row& r : stored.collect()) want[r["loan_id"].toInt64()] = r["predicted"].toDouble();
  EXPECT_EQ(by_id(df, "predicted"), want);
  // Held as the framework's model type, too.
  std::shared_ptr<norq::BaseModel> base = pre;
  EXPECT_EQ(spark::predictions_from_sklearn({.model = base, .df = loans()}).second, "predicted");
  // A derived type is not the precalculated model and is not a scikit-learn model either.
  std::shared_ptr<spark::SparkPrecalculatedModel> derived =
      std::make_shared<DerivedPrecalculatedModel>(stored, "predicted", "mine");
  EXPECT_EQ(value_error([&] { spark::predictions_from_sklearn({.model = derived, .df = loans()}); }),
            "predictions_from_sklearn needs a scikit-learn model (SklearnModel::load) or a SparkPrecalculatedModel, "
            "not the model mine of a type derived from SparkPrecalculatedModel");
  auto as_derived = std::make_shared<DerivedPrecalculatedModel>(stored, "predicted", "mine");
  EXPECT_NE(value_error([&] {
              spark::predictions_from_sklearn({.model = as_derived, .df = loans()});
            }).find("not a value of type std::shared_ptr<"),
            std::string::npos);
}

TEST_F(PredictionsTest, LoadingNamesWhatIsWrongWithTheFile) {
  EXPECT_EQ(value_error([&] { model("missing.pkl"); }),
            "cannot read the model file " + models_ + "/missing.pkl: no such file");
  EXPECT_EQ(value_error([&] { spark::SklearnModel::load(models_); }),
            "cannot read the model file " + models_ + ": not a regular file");
  const std::string garbage = value_error([&] { model("garbage.pkl"); });
  EXPECT_EQ(garbage.rfind("cannot load the model in " + models_ + "/garbage.pkl: UnpicklingError: ", 0), 0u) << garbage;
  EXPECT_EQ(value_error([&] { model("not_a_model.pkl"); }),
            "the object in " + models_ + "/not_a_model.pkl (dict) has no predict method");
}

TEST_F(PredictionsTest, ModelFailuresSurfaceAsErrorsOfTheQuery) {
  DataFrame df = loans(4);
  auto failure = [&](const std::string& file, const Strings& features) {
    // Lazy: nothing runs until the frame is evaluated; then every evaluation reports the failure.
    auto [out, label] = spark::predictions_from_sklearn({.model = model(file), .df = df, .feature_cols = features});
    const std::string first = value_error([&] { out.collect(); });
    EXPECT_EQ(value_error([&] { out.select(Strings{label}).collect(); }), first);
    return first;
  };
  EXPECT_NE(
      failure("raises.pkl", kClassifierFeatures).find("the model's predict failed: TypeError: must be real number"),
      std::string::npos);
  // scikit-learn's own complaint about the features, passed on.
  EXPECT_NE(failure("classifier.pkl", Strings{"amount", "age"}).find("the model's predict failed: ValueError: "),
            std::string::npos);
  const std::string ravel = failure("ravel.pkl", Strings{"amount", "age"});
  EXPECT_TRUE(ravel.starts_with("the model returned ") &&
              ravel.find(" predictions for a batch of ") != std::string::npos)
      << ravel;
  EXPECT_NE(failure("per_cell.pkl", Strings{"amount", "age"}).find(", 2); it must return one value per row"),
            std::string::npos);
  EXPECT_NE(failure("text_labels.pkl", kClassifierFeatures)
                .find("the model's predict returned values of type <U3, not numbers"),
            std::string::npos);
  // The session is still fine afterwards.
  EXPECT_EQ(df.count(), 2000);

  auto clf = model("classifier.pkl");
  EXPECT_EQ(value_error([&] { spark::predictions_from_sklearn(spark::PredictionsArgs{.model = clf}); }),
            "predictions_from_sklearn needs the frame to predict for");
  EXPECT_EQ(value_error([&] { spark::predictions_from_sklearn({.model = 42, .df = df}); }),
            "predictions_from_sklearn needs a scikit-learn model (SklearnModel::load) or a SparkPrecalculatedModel, "
            "not a value of type int");
  EXPECT_EQ(value_error([&] { spark::predictions_from_sklearn({.df = df}); }),
            "predictions_from_sklearn needs a scikit-learn model (SklearnModel::load) or a SparkPrecalculatedModel, "
            "not no model");
  EXPECT_EQ(value_error([&] {
              spark::predictions_from_sklearn(
                  {.model = clf, .df = df.select(Strings{"defaulted"}), .target_label = "defaulted"});
            }),
            "predictions_from_sklearn has no feature columns to predict from");
  EXPECT_EQ(value_error([&] {
              spark::predictions_from_sklearn(
                  {.model = clf, .df = df, .feature_cols = kClassifierFeatures, .target_label = "nope"});
            }),
            "the target column nope is not a column of the frame");
  EXPECT_THROW(
      spark::predictions_from_sklearn({.model = clf, .df = df, .feature_cols = Strings{"nope"}}).first.collect(),
      engine::AnalysisException);
}

TEST_F(PredictionsTest, ManyWorkersPredictAtOnce) {
  auto clf = model("classifier.pkl");
  const auto want = expected("classifier");
  // Four copies of the rows in 64 partitions: the engine's workers run many batches concurrently.
  DataFrame many = loans(16).union_(loans(16)).union_(loans(16)).union_(loans(16)).repartition(64);
  auto [df, label] = spark::predictions_from_sklearn({.model = clf, .df = many, .feature_cols = kClassifierFeatures});
  const auto rows = df.select(Strings{"loan_id", label}).collect();
  ASSERT_EQ(rows.size(), 8000u);
  for (const Row& r : rows) ASSERT_EQ(r[label].toDouble(), want.at(r["loan_id"].toInt64())) << r.toString();

  // Threads of our own call the model directly, each with its own batch.
  std::vector<engine::VectorPtr> columns;
  std::vector<double> expected_values;
  const auto collected = loans(1).select(Strings{"loan_id", "amount", "term_months", "interest_rate", "age"}).collect();
  const StructType schema = loans(1).schema();
  for (std::size_t c = 0; c < kClassifierFeatures.size(); ++c) {
    std::vector<Value> values;
    for (const Row& r : collected) values.push_back(r[c + 1]);
    columns.push_back(engine::Vector::fromValues(schema[kClassifierFeatures[c]].dataType, values));
  }
  for (const Row& r : collected) expected_values.push_back(want.at(r["loan_id"].toInt64()));
  std::vector<std::thread> threads;
  std::vector<int> mismatches(8, 0);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i)
        if (clf->predict(columns, kClassifierFeatures, collected.size()) != expected_values) ++mismatches[t];
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

TEST_F(PredictionsTest, EmptyFramesAndPartitionsNeedNoModelCall) {
  // The model rejects an empty table; empty batches must never reach it.
  auto clf = model("classifier.pkl");
  auto [none, l1] = spark::predictions_from_sklearn(
      {.model = clf, .df = loans().filter("amount < 0"), .feature_cols = kClassifierFeatures});
  EXPECT_TRUE(none.collect().empty());
  auto [few, l2] = spark::predictions_from_sklearn(
      {.model = clf, .df = loans().limit(3).repartition(12), .feature_cols = kClassifierFeatures});
  EXPECT_EQ(few.select(Strings{l2}).collect().size(), 3u);
}

}  // namespace
