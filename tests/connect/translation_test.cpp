// Plans and expressions translated to Spark Connect give the embedded engine's answers: every query shape
// runs on both backends (the same DataFrame code on a local and on a remote session) and the rows, schemas
// and column names must agree. Shapes the translation cannot send fail naming what cannot run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "connect_test_util.h"
#include "engine/connect/plan_translation.h"
#include "engine/connect/type_translation.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/udf.h"

namespace {

using namespace engine;
namespace F = engine::functions;

class TranslationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    local_ = SparkSession::builder()
                 .master("local[2]")
                 .config("spark.sql.ansi.enabled", "false")
                 .config("spark.sql.session.timeZone", "UTC")
                 .create();
    remote_ = SparkSession::builder()
                  .remote(connect_test::remoteAddress())
                  .config("spark.sql.ansi.enabled", "false")
                  .config("spark.sql.session.timeZone", "UTC")
                  .create();
  }
  static void TearDownTestSuite() {
    local_.reset();
    remote_.reset();
  }

  // id int, x double (null, NaN), s string (null), d date, b boolean, m decimal(8,2), g int (group).
  static DataFrame people(const std::shared_ptr<SparkSession>& s) {
    StructType schema({{"id", IntegerType(), true},
                       {"x", DoubleType(), true},
                       {"s", StringType(), true},
                       {"d", DateType(), true},
                       {"b", BooleanType(), true},
                       {"m", DecimalType(8, 2), true},
                       {"g", IntegerType(), true}});
    std::vector<Row> rows;
    const char* names[] = {"ann", "bob", "cy", "dee"};
    for (int i = 0; i < 12; ++i) {
      Value x = i == 3 ? Value() : (i == 7 ? Value(std::nan("")) : Value(1.5 * i - 4));
      Value str = i % 5 == 4 ? Value() : Value(names[i % 4]);
      rows.push_back(Row{i, x, str, Date{19000 + i * 17}, i % 2 == 0, Value(Decimal::parse(i % 2 ? "1.25" : "-3.50").value()),
                         i % 3});
    }
    return s->createDataFrame(rows, schema);
  }

  // Runs the query on both backends; rows compared in order when `ordered`, else as multisets.
  static void agree(const std::function<DataFrame(const std::shared_ptr<SparkSession>&)>& query, bool ordered = false) {
    DataFrame l = query(local_);
    DataFrame r = query(remote_);
    ASSERT_EQ(l.schema().simpleString(), r.schema().simpleString());
    std::vector<std::string> lr, rr;
    for (const Row& row : l.collect()) lr.push_back(row.toString());
    for (const Row& row : r.collect()) rr.push_back(row.toString());
    if (!ordered) {
      std::sort(lr.begin(), lr.end());
      std::sort(rr.begin(), rr.end());
    }
    EXPECT_EQ(lr, rr);
  }

  static std::shared_ptr<SparkSession> local_, remote_;
};

std::shared_ptr<SparkSession> TranslationTest::local_;
std::shared_ptr<SparkSession> TranslationTest::remote_;

TEST_F(TranslationTest, SourcesProjectionsAndFilters) {
  agree([](auto s) { return s->range(0, 25, 3); }, true);
  agree([](auto s) { return people(s); }, true);
  agree([](auto s) {
    DataFrame df = people(s);
    return df.filter((F::col("id") != 4) & (F::col("s").isNotNull() | (F::col("id") > 8)))
        .select(df["id"], (F::col("x") * 2 + 1).alias("y"), F::col("m").cast("double"), F::lit(Value()).alias("n"),
                     F::lit(Value(Decimal::parse("12.345").value())).alias("dec"), F::lit(Value(Date{3})).alias("dt"),
                     F::lit(Value(Timestamp{1700000000123456})).alias("ts"), F::lit(std::string("it's")).alias("q"));
  });
  agree([](auto s) { return people(s).filter("x BETWEEN -1 AND 8 OR s IN ('ann', 'dee')").selectExpr("id", "x"); });
  agree([](auto s) {
    return people(s).select(F::when(F::col("x") > 2, Value("big")).when(F::col("x").isNull(), Value()).otherwise(Value("small")).alias("w"),
                            F::expr("CASE WHEN g = 1 THEN id ELSE -id END").alias("c"), F::col("s").isin({Value("ann"), Value("cy")}));
  });
}

TEST_F(TranslationTest, AggregatesJoinsAndSetOperations) {
  agree([](auto s) {
    return people(s).groupBy("g").agg(F::count(F::col("s")), F::avg("x"), F::sum("m"), F::min("d"), F::max("s"),
                                      F::countDistinct({F::col("s")}).alias("k"));
  });
  agree([](auto s) { return people(s).agg({F::count(F::lit(1)), F::stddev("id")}); });
  agree([](auto s) {
    people(s).createOrReplaceTempView("people_t");
    return s->sql("SELECT count(*) AS n, g FROM people_t WHERE id > 1 GROUP BY g HAVING count(*) > 1");
  });
  for (const char* how : {"inner", "left", "right", "full", "left_semi", "left_anti"}) {
    SCOPED_TRACE(how);
    agree([how](auto s) {
      DataFrame a = people(s);
      DataFrame b = people(s).filter(F::col("id") > 5).select(F::col("id").alias("id2"), F::col("s").alias("s2"));
      return a.join(b, a["id"] == b["id2"], how);
    });
  }
  agree([](auto s) {
    DataFrame a = people(s).select("id", "g");
    return a.join(people(s).select("g", "s"), "g");
  });
  agree([](auto s) {
    DataFrame a = people(s).select("id", "s");
    DataFrame b = people(s).filter("id < 6").select("id", "s");
    return a.union_(b).exceptAll(b.limit(2).union_(b.limit(1))).intersect(a).unionByName(b.select("s", "id"));
  });
  agree([](auto s) { return people(s).select("g", "b").distinct(); });
  agree([](auto s) { return people(s).dropDuplicates(std::vector<std::string>{"g"}).select("g"); });
}

TEST_F(TranslationTest, SortsWindowsAndFrameOperations) {
  agree([](auto s) { return people(s).orderBy(F::col("x").desc_nulls_last(), F::col("id").asc()).limit(7); }, true);
  agree([](auto s) { return people(s).orderBy(F::col("id")).offset(3).limit(4).select("id", "s"); }, true);
  agree([](auto s) {
    WindowSpec w = Window::partitionBy({F::col("g")}).orderBy({F::col("id")});
    return people(s).select(F::col("id"), F::row_number().over(w).alias("rn"), F::sum("id").over(w.rowsBetween(-1, 1)).alias("r3"),
                            F::sum("id").over(w.rowsBetween(Window::unboundedPreceding, Window::currentRow)).alias("run"),
                            F::rank().over(Window::orderBy({F::col("g").desc()})).alias("rk"));
  });
  agree([](auto s) {
    return people(s).withColumn("y", F::col("id") + 100).withColumn("id", F::col("id") * 2).drop("d").drop(F::col("b"))
        .withColumnRenamed("s", "name");
  });
  agree([](auto s) { return people(s).na().drop().select("id"); });
  agree([](auto s) { return people(s).dropna("all", std::nullopt, std::vector<std::string>{"x", "s"}).select("id"); });
  agree([](auto s) { return people(s).coalesce(1).repartition(3).cache().select("id", "s"); });
  agree([](auto s) { return people(s).alias("p").select(F::col("p.id")).filter(F::col("p.id") > 3); });
  // A split with all the weight in its first part keeps every row on both backends.
  agree([](auto s) { return people(s).randomSplit({1.0, 0.0}, 7)[0].select("id"); });
}

TEST_F(TranslationTest, WhatCannotRunSaysSo) {
  auto udf = F::pandas_udf([](const std::vector<VectorPtr>& c, std::size_t) { return c[0]; }, IntegerType(), "local_only");
  DataFrame df = people(remote_).select(udf(F::col("id")).alias("u"));
  try {
    df.collect();
    FAIL() << "a C++-only function ran on Spark";
  } catch (const AnalysisException& e) {
    EXPECT_NE(std::string(e.what()).find("local_only"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("cannot run on Spark Connect"), std::string::npos) << e.what();
  }
  // Subqueries and NATURAL joins are rewritten by the embedded planner only: a remote session names them.
  people(remote_).createOrReplaceTempView("people_r");
  for (const auto& [sqlText, what] : std::vector<std::pair<std::string, std::string>>{
           {"SELECT id FROM people_r WHERE id IN (SELECT id FROM people_r WHERE g = 1)", "IN subquery"},
           {"SELECT id, (SELECT max(id) FROM people_r) AS m FROM people_r", "scalar subquery"},
           {"SELECT * FROM people_r NATURAL JOIN people_r", "NATURAL JOIN"}}) {
    try {
      remote_->sql(sqlText).collect();
      FAIL() << sqlText << " ran on Spark Connect";
    } catch (const AnalysisException& e) {
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("cannot run on Spark Connect"), std::string::npos) << e.what();
    }
  }
  // Spark's own errors surface with Spark's message.
  EXPECT_THROW(people(remote_).select(F::col("nope")).collect(), AnalysisException);
}

TEST(TypeTranslation, RoundTripsEveryEngineType) {
  StructType schema({{"a", BooleanType(), false}, {"b", ByteType()}, {"c", ShortType()}, {"d", IntegerType()},
                     {"e", LongType()}, {"f", FloatType()}, {"g", DoubleType()}, {"h", DecimalType(38, 6)},
                     {"i", StringType()}, {"j", DateType()}, {"k", TimestampType()}, {"l", ArrayType(DoubleType())},
                     {"weird `name.x", NullType()}});
  EXPECT_EQ(connect::fromProtoSchema(connect::toProtoType(schema)), schema);
  EXPECT_EQ(connect::schemaToJson(StructType({{"q\"x", DecimalType(5, 2), false}})),
            R"J({"type":"struct","fields":[{"name":"q\"x","type":"decimal(5,2)","nullable":false,"metadata":{}}]})J");
  spark::connect::DataType binary;
  binary.mutable_binary();
  spark::connect::DataType st;
  auto* f = st.mutable_struct_()->add_fields();
  f->set_name("blob");
  *f->mutable_data_type() = binary;
  try {
    connect::fromProtoSchema(st);
    FAIL() << "binary column accepted";
  } catch (const AnalysisException& e) {
    EXPECT_NE(std::string(e.what()).find("`blob` has type binary"), std::string::npos) << e.what();
  }
}

}  // namespace
