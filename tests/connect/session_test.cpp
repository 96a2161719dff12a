// Sessions on Spark Connect: builder().remote(...) and SPARK_REMOTE, frames run on the server, files read by
// the server's readers with the schema it infers, persisted frames in Spark's cache, partition counts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "connect_test_util.h"
#include "engine/connect/client.h"
#include "engine/connect/connect_backend.h"
#include "engine/connect/plan_translation.h"
#include "engine/engine.h"

namespace {

using namespace engine;
using namespace engine::functions;
namespace fs = std::filesystem;

class RemoteSession : public ::testing::Test {
 protected:
  void SetUp() override { spark_ = SparkSession::builder().remote(connect_test::remoteAddress()).create(); }
  void TearDown() override {
    if (spark_) spark_->stop();  // absent when the server could not be reached
  }
  std::shared_ptr<SparkSession> spark_;
};

TEST_F(RemoteSession, FramesRunOnTheServer) {
  ASSERT_TRUE(spark_->isRemote());
  DataFrame df = spark_->range(0, 100, 1, 4).withColumn("sq", col("id") * col("id")).filter(col("id") >= 90);
  EXPECT_EQ(df.columns(), (std::vector<std::string>{"id", "sq"}));
  EXPECT_EQ(df.count(), 10);
  auto rows = df.orderBy(col("id")).collect();
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[0].toString(), "Row(id=90, sq=8100)");
  EXPECT_EQ(spark_->range(0, 100, 1, 4).rdd().getNumPartitions(), 4);
  EXPECT_GE(spark_->sparkContext().defaultParallelism(), 1);
}

TEST_F(RemoteSession, LocalTablesTravelAsArrow) {
  StructType schema;
  schema.add("name", DataType(TypeId::String)).add("score", DataType(TypeId::Double));
  DataFrame df = spark_->createDataFrame({Row({Value("a"), Value(1.5)}), Row({Value("b"), Value()}),
                                          Row({Value("a"), Value(2.5)})},
                                         schema);
  auto rows = df.groupBy("name").agg(sum("score").alias("total")).orderBy(col("name")).collect();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1].toString(), Value(4.0).toString());
  EXPECT_TRUE(rows[1][1].isNull());
}

TEST_F(RemoteSession, CsvFilesAreReadByTheServerWithItsInferredSchema) {
  fs::path dir = fs::temp_directory_path() / ("norq_connect_csv_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    std::ofstream f(dir / "loans.csv");
    f << "id,amount,region,when\n1,10.5,north,2024-01-02\n2,,south,2024-02-03\n3,7.25,north,2024-03-04\n";
  }
  DataFrame df = spark_->read().csv((dir / "loans.csv").string(), true, true);
  StructType s = df.schema();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].dataType.id(), TypeId::Integer);
  EXPECT_EQ(s[1].dataType.id(), TypeId::Double);
  EXPECT_EQ(s[2].dataType.id(), TypeId::String);
  EXPECT_EQ(s[3].dataType.id(), TypeId::Date);
  EXPECT_EQ(df.filter("amount IS NULL").count(), 1);
  // A path the server cannot read is Spark's analysis error, not a local one.
  EXPECT_THROW(spark_->read().csv((dir / "missing.csv").string(), true, true), AnalysisException);
  fs::remove_all(dir);
}

TEST_F(RemoteSession, ParquetFilesAreReadByTheServerAsTheEmbeddedEngineReadsThem) {
  const std::string dir = std::string(NORQ_SOURCE_DIR) + "/tests/conformance/parquet/";
  const std::string query = "SELECT city, count(*) AS c, sum(u32) AS s32, sum(amount) AS a, max(ts_ms_tz) AS t "
                            "FROM arrow_types GROUP BY city ORDER BY city";
  DataFrame remote = spark_->read().parquet(dir + "arrow_types.parquet");
  auto local = SparkSession::builder().master("local[2]").create();
  DataFrame embedded = local->read().parquet(dir + "arrow_types.parquet");
  EXPECT_EQ(remote.schema().simpleString(), embedded.schema().simpleString());
  remote.createOrReplaceTempView("arrow_types");
  embedded.createOrReplaceTempView("arrow_types");
  std::vector<std::string> a, b;
  for (const Row& r : spark_->sql(query).collect()) a.push_back(r.toString());
  for (const Row& r : local->sql(query).collect()) b.push_back(r.toString());
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a.empty());
  // A folder of part files (with its _SUCCESS marker): the server lists it.
  EXPECT_EQ(spark_->read().parquet(dir + "spark_types_micros").count(), 30);
  local->stop();
  EXPECT_THROW(spark_->read().parquet(dir + "missing.parquet"), AnalysisException);
}

TEST_F(RemoteSession, PersistedFramesAreCachedOnTheServerOnce) {
  connect::Client* client = connect::clientOf(spark_->backend());
  ASSERT_NE(client, nullptr);
  DataFrame cached = spark_->range(0, 1000).withColumn("k", col("id") % 7).persist();
  EXPECT_EQ(cached.count(), 1000);
  EXPECT_EQ(cached.filter(col("k") == 0).count(), 143);

  spark::connect::AnalyzePlanRequest req;
  connect::TranslationContext ctx(*spark_);
  *req.mutable_get_storage_level()->mutable_relation() = connect::toRelation(cached.plan(), ctx);
  auto level = client->analyze(req).get_storage_level().storage_level();
  EXPECT_TRUE(level.use_memory());
  EXPECT_TRUE(level.use_disk());

  cached.unpersist();
  connect::TranslationContext ctx2(*spark_);
  *req.mutable_get_storage_level()->mutable_relation() = connect::toRelation(cached.plan(), ctx2);
  auto after = client->analyze(req).get_storage_level().storage_level();
  EXPECT_FALSE(after.use_memory() || after.use_disk());
}

TEST_F(RemoteSession, AnalysisErrorsNameTheMissingColumn) {
  try {
    spark_->range(3).select(col("nope")).schema();
    FAIL();
  } catch (const AnalysisException& e) {
    EXPECT_NE(std::string(e.what()).find("nope"), std::string::npos) << e.what();
  }
}

TEST(RemoteFromEnvironment, SparkRemoteChoosesTheServer) {
  ::setenv("SPARK_REMOTE", connect_test::remoteAddress().c_str(), 1);
  auto s = SparkSession::builder().create();
  ::unsetenv("SPARK_REMOTE");
  EXPECT_TRUE(s->isRemote());
  EXPECT_EQ(s->range(7).count(), 7);
  s->stop();
}

}  // namespace
