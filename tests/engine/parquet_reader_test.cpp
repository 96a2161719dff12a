// The Parquet reader on files pyarrow writes at test time (tests/engine/parquet_fixtures.py): Spark's type
// mapping and nulls, part folders, schemas that differ between files, Spark's partitions by row group,
// damaged and unsupported inputs, and the command reading Parquet as it reads CSV. Files written by pyspark
// are compared with Spark's own reads in the conformance suite (tests/conformance/scenarios/parquet*.json).
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli_run.h"
#include "engine/dataframe.h"
#include "engine/errors.h"
#include "engine/local/io/parquet_reader.h"
#include "engine/session.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

using norq_test::CliRun;
using norq_test::runCli;
using norq_test::sourceDir;

class ParquetReaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = norq_test::freshTempDir("norq_parquet_test");
    const std::string cmd = sourceDir() + "/.venv/bin/python " + sourceDir() + "/tests/engine/parquet_fixtures.py " +
                            dir_.string() + " " + sourceDir() + "/data/sample/loans.csv";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  void SetUp() override {
    session_ = SparkSession::builder().master("local[2]").getOrCreate();
    session_->conf().set("spark.sql.session.timeZone", "UTC");
  }

  static std::string path(const std::string& name) { return (dir_ / name).string(); }
  DataFrame read(const std::string& name) { return session_->read().parquet(path(name)); }

  // The error message of a read that must fail (its schema and its rows both taken).
  std::string failure(const std::string& name) {
    try {
      read(name).collect();
    } catch (const EngineError& e) {
      return e.what();
    }
    ADD_FAILURE() << name << " was read without an error";
    return "";
  }

  static fs::path dir_;
  std::shared_ptr<SparkSession> session_;
};

fs::path ParquetReaderTest::dir_;

std::vector<std::string> column(const std::vector<Row>& rows, std::size_t c) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r[c].isNull() ? "null" : r[c].toString());
  return out;
}

TEST_F(ParquetReaderTest, TypesMapToSparksAndKeepNulls) {
  for (const std::string file : {"types.parquet", "types_gzip_v1.parquet"}) {
    SCOPED_TRACE(file);
    DataFrame df = read(file);
    EXPECT_EQ(df.schema().simpleString(),
              "struct<i8:tinyint,i16:smallint,i32:int,i64:bigint,u8:smallint,u16:int,u32:bigint,u64:decimal(20,0),"
              "f32:float,f64:double,ok:boolean,s:string,ls:string,cat:string,dec:decimal(7,2),dec38:decimal(38,12),"
              "day:date,ts_us_utc:timestamp,ts_ns_utc:timestamp,ts_ms_local:timestamp,ids:array<int>>");
    const StructType schema = df.schema();
    for (const auto& f : schema.fields()) EXPECT_TRUE(f.nullable) << f.name;
    const std::vector<Row> rows = df.collect();
    ASSERT_EQ(rows.size(), 3u);
    auto col = [&](const char* name) { return column(rows, *df.schema().indexOf(name)); };
    using V = std::vector<std::string>;
    EXPECT_EQ(col("i8"), (V{"-128", "null", "127"}));
    EXPECT_EQ(col("i16"), (V{"-32768", "7", "null"}));
    EXPECT_EQ(col("i32"), (V{"null", "-2147483648", "2147483647"}));
    EXPECT_EQ(col("i64"), (V{"-9223372036854775808", "9223372036854775807", "null"}));
    EXPECT_EQ(col("u8"), (V{"0", "255", "null"}));
    EXPECT_EQ(col("u16"), (V{"65535", "null", "1"}));
    EXPECT_EQ(col("u32"), (V{"4294967295", "0", "null"}));
    EXPECT_EQ(col("u64"), (V{"18446744073709551615", "null", "5"}));
    EXPECT_EQ(col("f32"), (V{"1.5", "null", "-Infinity"}));
    EXPECT_EQ(col("f64"), (V{"NaN", "-0.0", "null"}));
    EXPECT_EQ(col("ok"), (V{"true", "null", "false"}));
    EXPECT_EQ(col("s"), (V{"", "null", "Ünïcode ✓"}));
    EXPECT_EQ(col("ls"), (V{"large", "strings", "null"}));
    EXPECT_EQ(col("cat"), (V{"a", "null", "a"}));
    EXPECT_EQ(col("dec"), (V{"-12345.67", "null", "0.01"}));
    EXPECT_EQ(col("dec38"), (V{"12345678901234567890123456.789012345678", "null", "-1.000000000000"}));
    EXPECT_EQ(col("day"), (V{"0001-01-01", "1970-01-01", "null"}));
    EXPECT_EQ(col("ts_us_utc"), (V{"2024-02-29 12:30:45.123456", "null", "1900-01-01 00:00:00"}));
    // Nanoseconds are cut to Spark's microseconds.
    EXPECT_EQ(col("ts_ns_utc"), (V{"2023-11-14 22:13:20.123456", "null", "1969-12-31 23:59:59.999999"}));
    EXPECT_EQ(col("ts_ms_local"), (V{"2021-07-01 09:15:00", "2021-01-01 00:00:00", "null"}));
    EXPECT_EQ(col("ids"), (V{"[1, 2, null]", "null", "[]"}));
  }
}

TEST_F(ParquetReaderTest, LocalDateTimesKeepTheirWallClockInTheSessionZone) {
  session_->conf().set("spark.sql.session.timeZone", "America/New_York");
  const auto rows = read("types.parquet").selectExpr({"CAST(ts_ms_local AS string)", "CAST(ts_us_utc AS string)"}).collect();
  session_->conf().set("spark.sql.session.timeZone", "UTC");
  // A timestamp written without UTC adjustment shows the time it was written with; an instant moves with the zone.
  EXPECT_EQ(rows[0][std::size_t{0}].toString(), "2021-07-01 09:15:00");
  EXPECT_EQ(rows[1][std::size_t{0}].toString(), "2021-01-01 00:00:00");
  EXPECT_EQ(rows[0][1].toString(), "2024-02-29 07:30:45.123456");
}

TEST_F(ParquetReaderTest, PartFoldersSkipMarkersAndHiddenFiles) {
  const auto files = local::resolveParquetFiles(path("parts"));
  ASSERT_EQ(files.size(), 3u);
  for (const auto& f : files) EXPECT_NE(f.find("/part-0000"), std::string::npos) << f;
  DataFrame df = read("parts");
  EXPECT_EQ(df.count(), 100 + 90 + 80);
  const auto rows = df.selectExpr({"count(label)", "min(id)", "max(id)", "count(DISTINCT id)"}).collect();
  EXPECT_EQ(rows[0][std::size_t{0}].toString(), std::to_string(270 - 6 - 6 - 5));  // every 17th id has no label
  EXPECT_EQ(rows[0][1].toString(), "0");
  EXPECT_EQ(rows[0][2].toString(), "279");
  EXPECT_EQ(rows[0][3].toString(), "270");
  // Several paths, and a list of files, read as one frame.
  EXPECT_EQ(session_->read().parquet(std::vector<std::string>{path("parts"), path("types.parquet")}).count(), 273);
}

TEST_F(ParquetReaderTest, FilesOfOneReadAreMatchedByColumnName) {
  // The first file's schema; the second has x as a narrower integer (named X) and lacks y.
  DataFrame df = read("evolve");
  EXPECT_EQ(df.schema().simpleString(), "struct<x:bigint,y:string>");
  const auto rows = df.orderBy("x").collect();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].toString(), "Row(x=3, y=None)");
  // Both files in one partition: x is int64 in one and int32 in the other, y is missing from one; each row
  // group converts on its own and the pieces are joined.
  {
    local::ExecContext one;
    one.parallelism = 1;
    one.files.openCostInBytes = 0;
    const auto files = local::resolveParquetFiles(path("evolve"));
    const Partitions together = local::readParquet(files, local::inferParquetSchema(files), one);
    ASSERT_EQ(together.size(), 1u);
    ASSERT_EQ(together[0].rows, 3u);
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < 3; ++i) sum += together[0].column(0).data<std::int64_t>()[i];
    EXPECT_EQ(sum, 6);
    EXPECT_EQ(together[0].column(1).validity().countNulls(3), 1u);
  }
  // A given schema reads columns by name, a missing one as nulls.
  StructType wanted;
  wanted.add("z", DoubleType()).add("x", LongType());
  const auto z = session_->read().schema(wanted).parquet(path("evolve")).selectExpr({"sum(z)", "count(*)"}).collect();
  EXPECT_EQ(z[0][std::size_t{0}].toString(), "0.5");
  EXPECT_EQ(z[0][1].toString(), "3");
  // y holds text in one file and doubles in the other: reading it fails naming both, reading x alone does not
  // (only the columns a query reads are converted).
  EXPECT_EQ(read("clash").select(std::vector<std::string>{"x"}).collect().size(), 3u);
  // An aggregate right over the read converts only the columns its keys and arguments read.
  read("clash").createOrReplaceTempView("clash");
  const auto agg = session_->sql("SELECT count(*) AS n, sum(x) AS s FROM clash").collect();
  EXPECT_EQ(agg[0].toString(), "Row(n=3, s=6)");
  EXPECT_EQ(session_->sql("SELECT x, count(*) FROM clash GROUP BY x").count(), 3);
  const std::string msg = failure("clash");
  EXPECT_NE(msg.find("`y`"), std::string::npos) << msg;
  EXPECT_NE(msg.find("b.parquet"), std::string::npos) << msg;
  EXPECT_NE(msg.find("double"), std::string::npos) << msg;
}

TEST_F(ParquetReaderTest, RowGroupsAreCutIntoSparksPartitions) {
  local::ExecContext ctx;
  ctx.parallelism = 2;
  const std::vector<std::string> files{path("row_groups.parquet")};
  const StructType schema = local::inferParquetSchema(files);
  const Partitions whole = local::readParquet(files, schema, ctx);
  ctx.files.maxPartitionBytes = 40000;  // 20 row groups of about 16 KB each
  ctx.files.openCostInBytes = 0;
  const Partitions cut = local::readParquet(files, schema, ctx);
  const Partitions onlyV = local::readParquet(files, schema, ctx, {false, true});
  EXPECT_EQ(totalRows(whole), 20000u);
  ASSERT_GT(cut.size(), 5u);
  EXPECT_EQ(totalRows(cut), 20000u);
  // Every row once, in file order, whichever partition holds its row group; nulls in place.
  std::int64_t next = 0;
  for (std::size_t p = 0; p < cut.size(); ++p) {
    const Batch& b = cut[p];
    ASSERT_EQ(onlyV[p].rows, b.rows);
    EXPECT_EQ(onlyV[p].columns[0], nullptr);
    for (std::size_t i = 0; i < b.rows; ++i, ++next) {
      ASSERT_EQ(b.column(0).data<std::int64_t>()[i], next);
      ASSERT_EQ(b.column(1).isNull(i), next % 10 == 0);
      ASSERT_EQ(onlyV[p].column(1).isNull(i), next % 10 == 0);
      if (next % 10) {
        ASSERT_EQ(b.column(1).data<double>()[i], next * 0.5);
      }
    }
  }
  EXPECT_EQ(next, 20000);
  // A count reads no column at all.
  const Partitions none = local::readParquet(files, schema, ctx, {false, false});
  EXPECT_EQ(totalRows(none), 20000u);
}

TEST_F(ParquetReaderTest, DamagedAndUnsupportedInputsFailNamingTheFileAndColumn) {
  for (const std::string file : {"not_parquet.parquet", "truncated.parquet", "empty.parquet"}) {
    const std::string msg = failure(file);
    EXPECT_NE(msg.find(path(file)), std::string::npos) << msg;
    EXPECT_NE(msg.find("not a Parquet file"), std::string::npos) << msg;
  }
  EXPECT_NE(failure("empty.parquet").find("empty"), std::string::npos);
  const std::string pages = failure("damaged_pages.parquet");
  EXPECT_NE(pages.find(path("damaged_pages.parquet")), std::string::npos) << pages;
  struct Refused {
    const char* file;
    const char* column;
    const char* why;
  };
  for (const Refused& r : {Refused{"binary.parquet", "`payload`", "binary"},
                           Refused{"nested.parquet", "`address`", "nested"},
                           Refused{"map.parquet", "`attrs`", "nested"}}) {
    const std::string msg = failure(r.file);
    EXPECT_NE(msg.find(r.column), std::string::npos) << msg;
    EXPECT_NE(msg.find(r.why), std::string::npos) << msg;
    EXPECT_NE(msg.find(path(r.file)), std::string::npos) << msg;
  }
  EXPECT_THROW(read("no_such_file.parquet"), AnalysisException);
  fs::create_directories(dir_ / "partitioned" / "year=2024");
  fs::copy_file(dir_ / "types.parquet", dir_ / "partitioned" / "year=2024" / "part-0.parquet",
                fs::copy_options::overwrite_existing);
  const std::string partitioned = failure("partitioned");
  EXPECT_NE(partitioned.find("year=2024"), std::string::npos) << partitioned;
}

// The command on the same data as CSV and as Parquet (one file, and a folder of parts) gives every figure alike.
// The report without its random id, what names the input files, what depends on the moment of the run or the earlier runs (its
// time, the history), or on how the rows are cut into partitions (checksums of segments).
json figures(const std::string& text) {
  json flat = json::parse(text).flatten();
  std::vector<std::string> drop;
  for (const auto& item : flat.items()) {
    const std::string& key = item.key();
    const bool source = key.size() >= 7 && key.compare(key.size() - 7, 7, "/source") == 0;
    if (key == "/generated" || key == "/dataset/id" || key.rfind("/history/", 0) == 0 ||
        key.find("checksum") != std::string::npos || source)
      drop.push_back(key);
  }
  for (const auto& k : drop) flat.erase(k);
  return flat.unflatten();
}

TEST_F(ParquetReaderTest, CommandGivesTheSameFiguresOnParquetAsOnCsv) {
  const std::string csv = sourceDir() + "/data/sample/loans.csv";
  int run = 0;
  auto scan = [&](const std::string& data, const std::string& reference) {
    const std::string history = (dir_ / ("history" + std::to_string(run++) + ".sqlite")).string();
    CliRun r = runCli({"scan", data, "--reference", reference, "--label", "defaulted", "--prediction", "predicted",
                       "--protected", "gender", "--privileged", "M", "--unprivileged", "F", "--id",
                       "loan_id,applicant_id", "--date", "application_date", "--name", "loans", "--history",
                       history, "--json", "-"});
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.err;
    return r;
  };
  const CliRun fromCsv = scan(csv, csv);
  const CliRun fromParquet = scan(path("loans.parquet"), path("loans_parts"));
  ASSERT_FALSE(fromCsv.out.empty()) << fromCsv.err;
  ASSERT_FALSE(fromParquet.out.empty()) << fromParquet.err;
  EXPECT_EQ(fromCsv.status, fromParquet.status);
  const json a = figures(fromCsv.out), b = figures(fromParquet.out);
  EXPECT_TRUE(a == b) << json::diff(a, b).dump(1);

  // sql reads Parquet with --parquet, and a Parquet file given with --csv as Parquet.
  for (const std::string option : {"--parquet", "--csv"}) {
    CliRun q = runCli({"sql", option, "l=" + path("loans_parts"), "--json",
                       "SELECT region, count(*) AS n, sum(amount) AS total FROM l GROUP BY region ORDER BY region"});
    CliRun c = runCli({"sql", "--csv", "l=" + csv, "--json",
                       "SELECT region, count(*) AS n, sum(amount) AS total FROM l GROUP BY region ORDER BY region"});
    EXPECT_EQ(q.status, 0) << q.err;
    EXPECT_EQ(q.out, c.out);
  }
  // A damaged input is one clear line with the usage status.
  CliRun bad = runCli({"profile", path("truncated.parquet")});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("truncated.parquet"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace engine
