// Data profiles, single-column histograms and the data-quality checks of a dataset.
#include <cmath>
#include <limits>
#include <set>

#include "host/errors.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using norq::FeatureType;
using spark::SimpleSparkDataset;
using Strings = std::vector<std::string>;
using Counts = std::vector<std::int64_t>;

// 200 rows: id (int), cust (string), a (double, missing in 50 rows), cat (a, b, b, c, c, c pattern and missing),
// code (0..2), d (timestamp), lo, hi (ints), y (target).
std::shared_ptr<SimpleSparkDataset> dataset(bool with_rows = true) {
  static const char* cats[] = {"a", "b", "b", "c", "c", "c", nullptr, nullptr};
  std::vector<Row> rows;
  for (int i = 0; with_rows && i < 200; ++i) {
    Value a = i % 4 == 0 ? Value() : Value(0.5 * i);
    Value cat = cats[i % 8] ? Value(cats[i % 8]) : Value();
    rows.push_back(Row{i, Value("c" + std::to_string(i % 7)), a, cat, i % 3, Value(Timestamp{std::int64_t{i} * 86'400'000'000}),
                       i % 5, 3, i % 2});
  }
  auto schema = StructType({{"id", IntegerType(), true},
                            {"cust", StringType(), true},
                            {"a", DoubleType(), true},
                            {"cat", StringType(), true},
                            {"code", IntegerType(), true},
                            {"d", TimestampType(), true},
                            {"lo", IntegerType(), true},
                            {"hi", IntegerType(), true},
                            {"y", IntegerType(), true}});
  SimpleSparkDataset::Options o;
  o.validation_data = session()->createDataFrame(rows, schema);
  o.feature_names = Strings{"id", "cust", "a", "cat", "code", "d", "lo", "hi"};
  o.categorical_features = Strings{"cat", "code"};
  o.continuous_features = Strings{"a", "lo", "hi"};
  o.id_features = Strings{"id", "cust"};
  o.date_features = Strings{"d"};
  o.name = "profiled";
  return SimpleSparkDataset::create(o);
}

TEST(DataProfileTest, RecordsPerColumnInOrder) {
  auto ds = dataset();
  norq::DataProfile p = ds->generate_data_profile();
  EXPECT_EQ(p.name(), "profiled");
  EXPECT_EQ(p.hash(), ds->overall_checksum());
  std::vector<std::string> order;
  for (const auto& f : p.feature_profiles()) order.push_back(f.feature);
  EXPECT_EQ(order, (Strings{"id", "cust", "a", "cat", "code", "d", "lo", "hi", "y"}));  // no prediction record

  const auto* a = p.feature_profile("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->type, FeatureType::Continuous);
  EXPECT_EQ(a->distinct_values, 200);  // a continuous column reports the row count
  EXPECT_EQ(a->minimum, 0.5);
  EXPECT_EQ(a->maximum, 99.5);
  EXPECT_EQ(a->missing_values, 50);
  EXPECT_EQ(a->missing_values_percentage, 0.25);
  EXPECT_FALSE(a->condition);

  const auto* cat = p.feature_profile("cat");
  EXPECT_EQ(cat->type, FeatureType::Categorical);
  EXPECT_EQ(cat->distinct_values, 3);
  EXPECT_TRUE(std::isnan(cat->minimum) && std::isnan(cat->maximum));
  EXPECT_EQ(cat->missing_values, 50);

  const auto* d = p.feature_profile("d");
  EXPECT_EQ(d->type, FeatureType::Date);
  EXPECT_EQ(d->minimum, 0.0);
  EXPECT_EQ(d->maximum, 199.0 * 86400);
  EXPECT_EQ(p.feature_profile("id")->type, FeatureType::ID);
  EXPECT_EQ(p.feature_profile("y")->type, FeatureType::Categorical);
  EXPECT_EQ(p.feature_profile("y")->distinct_values, 2);

  EXPECT_THROW(ds->generate_data_profile(Strings{"cat"}), norq::NotImplementedError);
}

TEST(DataProfileTest, WithoutRows) {
  auto ds = dataset(false);
  norq::DataProfile p = ds->generate_data_profile();
  const auto* d = p.feature_profile("d");
  EXPECT_TRUE(std::isnan(d->minimum));
  EXPECT_TRUE(std::isnan(d->missing_values_percentage));
  EXPECT_EQ(d->missing_values, 0);
}

TEST(DatasetHistogramTest, CategoricalByDescendingCount) {
  auto ds = dataset();
  auto [labels, counts] = ds->histogram("cat");
  EXPECT_EQ(labels, (Strings{"c", "b", "a"}));
  EXPECT_EQ(counts, (Counts{75, 50, 25}));
  auto [dl, dc] = ds->histogram("d");  // a timestamp column is categorical
  EXPECT_EQ(dl.size(), 200u);
  EXPECT_EQ(dl[0].substr(0, 4), "1970");
}

TEST(DatasetHistogramTest, NumericEncodedAndBinned) {
  auto ds = dataset();
  auto [labels, counts] = ds->histogram("code");
  EXPECT_EQ(labels, (Strings{"0", "1", "2"}));
  EXPECT_EQ(counts, (Counts{67, 67, 66}));
  // 150 distinct values: binned with the default 15 bins, labelled by the 16 edges.
  auto [al, ac] = ds->histogram("a");
  EXPECT_EQ(al.size(), 16u);
  EXPECT_EQ(ac.size(), 15u);
  EXPECT_EQ(al.front(), "0.5");
  EXPECT_EQ(al.back(), "99.5");
  std::int64_t total = 0;
  for (auto c : ac) total += c;
  EXPECT_EQ(total, 150);
  // Whole and fractional edges always carry a fractional part.
  auto [il, ic] = ds->histogram("id", 4);
  EXPECT_EQ(il, (Strings{"0.0", "49.75", "99.5", "149.25", "199.0"}));
  // A constant column: one encoded bin holding every row.
  auto [hl, hc] = ds->histogram("hi");
  EXPECT_EQ(hl, Strings{"3"});
  EXPECT_EQ(hc, Counts{200});
  try {
    ds->histogram("nope");
    FAIL();
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "No feature, protected feature or target nope in dataset.");
  }
  // A numeric column without values: an empty histogram.
  auto [el, ec] = dataset(false)->histogram("a");
  EXPECT_TRUE(el.empty() && ec.empty());
}

TEST(DatasetHistogramTest, UnevenlySpacedCodesGetOneBarEach) {
  // Loan terms 12/24/36/48/60 and years 0, 1, 2, 5, 10: equal-width bins over the range would label the
  // terms 12/26/36/46/55 and put years 0 and 1 in one bar.
  static const int terms[] = {12, 24, 36, 48, 60};
  static const int years[] = {0, 1, 2, 5, 10, 0, 1};
  std::vector<Row> rows;
  for (int i = 0; i < 70; ++i) rows.push_back(Row{terms[i % 5], years[i % 7], i % 2});
  SimpleSparkDataset::Options o;
  o.validation_data = session()->createDataFrame(
      rows, StructType({{"term", IntegerType(), true}, {"years", LongType(), true}, {"y", IntegerType(), true}}));
  o.feature_names = Strings{"term", "years"};
  o.continuous_features = Strings{"term", "years"};
  o.name = "codes";
  auto ds = SimpleSparkDataset::create(o);
  auto [tl, tc] = ds->histogram("term");
  EXPECT_EQ(tl, (Strings{"12", "24", "36", "48", "60"}));
  EXPECT_EQ(tc, (Counts{14, 14, 14, 14, 14}));
  auto [yl, yc] = ds->histogram("years");
  EXPECT_EQ(yl, (Strings{"0", "1", "2", "5", "10"}));
  EXPECT_EQ(yc, (Counts{20, 20, 10, 10, 10}));
}

std::vector<Row> rows_of(engine::LocalTable::RowRange range) {
  std::vector<Row> out;
  for (auto [pos, row] : range) out.push_back(row);
  return out;
}

TEST(ViolationChecksTest, ColumnOrdering) {
  auto ds = dataset();
  // lo = i % 5 against hi = 3: violations where lo is 4.
  auto rows = rows_of(ds->check_column_ordering_violations("hi", "lo", Strings{"cust"}));
  EXPECT_EQ(rows.size(), 40u);
  EXPECT_EQ(rows[0].names(), (Strings{"order_violation_id", "lo", "hi"}));
  EXPECT_EQ(rows[0]["lo"], Value(4));
  EXPECT_EQ(rows[0]["order_violation_id"].str().substr(0, 5), "cust=");
  // Default identifiers: the dataset's id features, in their order.
  auto by_ids = rows_of(ds->check_column_ordering_violations("hi", "lo"));
  EXPECT_EQ(by_ids[0]["order_violation_id"], Value("id=4|cust=c4"));
  // The target may be named; equal values are no violation.
  EXPECT_TRUE(rows_of(ds->check_column_ordering_violations("y", "y")).empty());
  try {
    ds->check_column_ordering_violations("hi", "nope");
    FAIL();
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "Feature or target nope does not exist.");
  }
  try {
    ds->check_column_ordering_violations("hi", "lo", Strings{"cat"});
    FAIL();
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "cat is not a valid id feature.");
  }
}

TEST(ViolationChecksTest, DuplicatesComeBackTogether) {
  auto schema = StructType({{"k", StringType(), true}, {"v", IntegerType(), true}, {"y", IntegerType(), true}});
  SimpleSparkDataset::Options o;
  o.training_data = session()->createDataFrame(
      {Row{"k1", 1, 0}, Row{"k2", 5, 0}, Row{"k3", 1, 1}, Row{"k4", 1, 0}, Row{"k5", Value(), 0}, Row{"k6", Value(), 0}},
      schema);
  o.feature_names = Strings{"k", "v"};
  o.categorical_features = Strings{"v"};
  o.id_features = Strings{"k"};
  auto ds = SimpleSparkDataset::create(o);
  auto rows = rows_of(ds->check_duplicate_row_violations());
  ASSERT_EQ(rows.size(), 3u);  // the three v = 1 rows; nulls never match
  std::set<std::string> ids;
  for (const auto& r : rows) {
    EXPECT_EQ(r["v"], Value(1));
    ids.insert(r["duplicate_record_id"].str());
  }
  EXPECT_EQ(ids, (std::set<std::string>{"k=k1", "k=k3", "k=k4"}));
  // Comparing on the identifier column too: nothing is duplicated; without identifiers the id is null.
  EXPECT_TRUE(rows_of(ds->check_duplicate_row_violations(Strings{"k", "v"}, Strings{})).empty());
  auto no_ids = rows_of(ds->check_duplicate_row_violations(Strings{"v"}, Strings{}));
  ASSERT_EQ(no_ids.size(), 3u);
  EXPECT_EQ(no_ids[0]["duplicate_record_id"].str().substr(0, 2), "k=");  // the other features identify rows
}

// Duplicates are found among many distinct rows by the values' equality as grouping defines it (-0.0 is 0.0,
// NaN equals NaN), and rows holding the same values in other columns are not duplicates.
TEST(ViolationChecksTest, DuplicatesFollowGroupingEqualityAmongManyRows) {
  auto schema = StructType({{"k", StringType(), true}, {"f", DoubleType(), true}, {"g", DoubleType(), true},
                            {"y", IntegerType(), true}});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Row> rows{Row{"a", 0.0, 1.0, 0},      Row{"b", -0.0, 1.0, 1},       Row{"c", nan, 2.0, 0},
                        Row{"d", -nan, 2.0, 1},     Row{"e", Value(), 3.0, 0},    Row{"f", 3.0, Value(), 0}};
  for (int i = 0; i < 5000; ++i) rows.push_back(Row{"r" + std::to_string(i), i + 10.0, i * 0.5, i % 2});
  SimpleSparkDataset::Options o;
  o.training_data = session()->createDataFrame(rows, schema).repartition(4);
  o.feature_names = Strings{"k", "f", "g"};
  o.continuous_features = Strings{"f", "g"};
  o.id_features = Strings{"k"};
  auto ds = SimpleSparkDataset::create(o);
  auto found = rows_of(ds->check_duplicate_row_violations());
  ASSERT_EQ(found.size(), 4u);
  // Sorted by the compared columns: the zeros first, NaN above every number.
  EXPECT_EQ((std::set<std::string>{found[0]["duplicate_record_id"].str(), found[1]["duplicate_record_id"].str()}),
            (std::set<std::string>{"k=a", "k=b"}));
  EXPECT_EQ((std::set<std::string>{found[2]["duplicate_record_id"].str(), found[3]["duplicate_record_id"].str()}),
            (std::set<std::string>{"k=c", "k=d"}));
}

TEST(ViolationChecksTest, MissingIds) {
  auto schema = StructType({{"id", IntegerType(), true}, {"order", IntegerType(), true}, {"y", IntegerType(), true}});
  SimpleSparkDataset::Options o;
  o.training_data =
      session()->createDataFrame({Row{1, 10, 0}, Row{Value(), 11, 0}, Row{3, Value(), 1}, Row{Value(), 13, 1}}, schema);
  o.feature_names = Strings{"id", "order"};
  o.id_features = Strings{"id", "order"};
  auto ds = SimpleSparkDataset::create(o);
  auto rows = rows_of(ds->check_missing_ids("id"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["missing_record_id"], Value("order=11"));
  EXPECT_EQ(rows[1]["missing_record_id"], Value("order=13"));
  EXPECT_EQ(rows[0].names().size(), 4u);  // every column kept, plus the identifier
  auto none = rows_of(ds->check_missing_ids("order", Strings{}));
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0]["missing_record_id"], Value("id=3"));
  EXPECT_THROW(rows_of(ds->check_missing_ids("nope")), engine::AnalysisException);
}

}  // namespace
