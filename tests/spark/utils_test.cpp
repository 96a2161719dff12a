// Frame checksums and column-kind guessing, including the cross-check against Spark's recorded answers for
// the same tables (tests/conformance/golden/dataset_queries.json).
#include <fstream>
#include <map>

#include "conformance/conformance_values.h"
#include "host/errors.h"
#include "spark/utils.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using Strings = std::vector<std::string>;
using json = nlohmann::json;

DataFrame two_columns(const std::vector<Row>& rows) {
  return session()->createDataFrame(rows, StructType({{"a", LongType(), true}, {"b", StringType(), true}}));
}

TEST(HashDfTest, EmptyFrameHashesToZeroWithoutTheHashingQuery) {
  DataFrame empty = two_columns({});
  std::uint64_t before = jobs();
  EXPECT_EQ(spark::hash_df(empty), 0);
  EXPECT_EQ(jobs(), before + 1);  // the count only
  DataFrame one = two_columns({Row{1L, "x"}});
  before = jobs();
  EXPECT_NE(spark::hash_df(one), 0);
  EXPECT_EQ(jobs(), before + 2);
}

TEST(HashDfTest, RowOrderDoesNotMatterButDuplicatesColumnsAndTypesDo) {
  DataFrame abc = two_columns({Row{1L, "a"}, Row{2L, "b"}, Row{Value(), "c"}});
  DataFrame cba = two_columns({Row{Value(), "c"}, Row{2L, "b"}, Row{1L, "a"}});
  EXPECT_EQ(spark::hash_df(abc), spark::hash_df(cba));
  DataFrame dup = two_columns({Row{1L, "a"}, Row{2L, "b"}, Row{Value(), "c"}, Row{2L, "b"}});
  EXPECT_NE(spark::hash_df(abc), spark::hash_df(dup));
  EXPECT_NE(spark::hash_df(abc), spark::hash_df(abc.select(Strings{"b", "a"})));
  EXPECT_NE(spark::hash_df(abc), spark::hash_df(abc.withColumn("a", functions::col("a").cast(IntegerType()))));
}

TEST(GuessKindsTest, ByTypeAndDistinctRatio) {
  // 10,000 rows: 9 distinct longs is categorical, 10 is not (10 / 10,000 is not below 0.001).
  DataFrame r = session()->range(10000);
  DataFrame data = r.selectExpr("id % 9 AS l9", "id % 10 AS l10", "CAST(id % 2 AS DOUBLE) AS d2",
                                "CAST(id AS STRING) AS s", "CAST(id % 3 AS DECIMAL(4, 0)) AS dec",
                                "CAST(id % 5000 AS DECIMAL(6, 0)) AS wide", "id % 2 = 0 AS b");
  auto [cat, cont] = spark::guess_cont_cat_col(data);
  EXPECT_EQ(cat, (Strings{"b", "dec", "l9", "s"}));
  EXPECT_EQ(cont, (Strings{"d2", "l10", "wide"}));
}

TEST(GuessKindsTest, NamesSortByCharacterCodes) {
  DataFrame data = session()->createDataFrame(
      {Row{"x", "y", "z"}}, StructType({{"b", StringType(), true}, {"a", StringType(), true}, {"C", StringType(), true}}));
  auto [cat, cont] = spark::guess_cont_cat_col(data);
  EXPECT_EQ(cat, (Strings{"C", "a", "b"}));
  EXPECT_TRUE(cont.empty());
}

TEST(GuessKindsTest, EmptyFrames) {
  DataFrame text_and_double = session()->createDataFrame(
      std::vector<Row>{}, StructType({{"s", StringType(), true}, {"d", DoubleType(), true}}));
  auto [cat, cont] = spark::guess_cont_cat_col(text_and_double);
  EXPECT_EQ(cat, Strings{"s"});
  EXPECT_EQ(cont, Strings{"d"});
  // An integer column cannot be judged without rows: a clear error naming it.
  DataFrame ints = session()->createDataFrame(std::vector<Row>{}, StructType({{"n", IntegerType(), true}}));
  try {
    spark::guess_cont_cat_col(ints);
    FAIL() << "expected a ValueError";
  } catch (const norq::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("\"n\""), std::string::npos) << e.what();
  }
}

// ---- the same tables on Spark ----

struct SparkAnswers {
  std::map<std::string, DataFrame> tables;
  std::map<std::string, json> rows;  // scenario name -> Spark's result rows
};

const SparkAnswers& spark_answers() {
  static const SparkAnswers answers = [] {
    SparkAnswers a;
    std::ifstream in(std::string(NORQ_SOURCE_DIR) + "/tests/conformance/golden/dataset_queries.json");
    json golden = json::parse(in);
    for (const json& t : golden["tables"]) {
      std::vector<StructField> fields;
      for (const json& f : t["schema"])
        fields.push_back({f[0].get<std::string>(), conformance::parseTypeName(f[1].get<std::string>()), true});
      StructType schema(fields);
      std::vector<Row> rows;
      for (const json& r : t["rows"]) {
        std::vector<Value> values;
        for (std::size_t i = 0; i < fields.size(); ++i) values.push_back(conformance::inputValue(r[i], fields[i].dataType));
        rows.emplace_back(std::move(values));
      }
      a.tables.emplace(t["name"].get<std::string>(), session()->createDataFrame(rows, schema));
    }
    for (const json& s : golden["scenarios"]) a.rows[s["name"].get<std::string>()] = s["rows"];
    return a;
  }();
  return answers;
}

std::int64_t spark_long(const std::string& scenario) {
  return spark_answers().rows.at(scenario).at(0).at(0).get<std::int64_t>();
}

TEST(SparkAgreementTest, ChecksumsEqualSparksForTheSameRows) {
  const auto& a = spark_answers();
  EXPECT_EQ(spark::hash_df(a.tables.at("m")), spark_long("checksum_all_types"));
  EXPECT_EQ(spark::hash_df(a.tables.at("st")), spark_long("checksum_stats_frame"));
  EXPECT_EQ(spark::hash_df(a.tables.at("kinds")), spark_long("checksum_kinds_frame"));
  DataFrame null_row = a.tables.at("m").filter("id = 6").drop("id");
  EXPECT_EQ(spark::hash_df(null_row), spark_long("checksum_null_row_only"));
}

TEST(SparkAgreementTest, KindGuessFollowsSparksDistinctCounts) {
  const auto& a = spark_answers();
  const double rows = static_cast<double>(spark_long("kinds_row_count"));
  std::set<std::string> expected_cat = {"s"};  // text is always categorical; d2 (double) never
  for (const auto& [column, scenario] : std::map<std::string, std::string>{{"l9", "kinds_distinct_l9"},
                                                                            {"l10", "kinds_distinct_l10"},
                                                                            {"dec", "kinds_distinct_dec"},
                                                                            {"n9", "kinds_distinct_nullable"}})
    if (static_cast<double>(spark_long(scenario)) / rows < 0.001) expected_cat.insert(column);
  auto [cat, cont] = spark::guess_cont_cat_col(a.tables.at("kinds"));
  EXPECT_EQ(std::set<std::string>(cat.begin(), cat.end()), expected_cat);
  EXPECT_EQ(cat.size() + cont.size(), 7u);
  // The table is built so that the threshold matters: 9 distinct values are categorical, 10 are not, and a
  // null counts as a value (n9: 0..8 and null).
  EXPECT_TRUE(expected_cat.count("l9"));
  EXPECT_FALSE(expected_cat.count("l10"));
  EXPECT_FALSE(expected_cat.count("n9"));
}

}  // namespace
