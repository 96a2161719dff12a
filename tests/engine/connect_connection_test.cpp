// Spark Connect connection strings (as pyspark accepts them) and the Arrow IPC conversion of tables; no
// server needed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/connect/arrow_ipc.h"
#include "engine/connect/connection.h"
#include "engine/errors.h"
#include "engine/session.h"

namespace {

using namespace engine;
using namespace engine::connect;

TEST(ConnectionString, ParsesWhatPysparkAccepts) {
  auto c = ConnectionString::parse("sc://spark.example.com");
  EXPECT_EQ(c.host, "spark.example.com");
  EXPECT_EQ(c.port, 15002);
  EXPECT_FALSE(c.secure());
  EXPECT_EQ(c.target(), "spark.example.com:15002");

  c = ConnectionString::parse("sc://127.0.0.1:443/;use_ssl=true;token=abc%3Ddef;user_id=ana;user_agent=ci;"
                              "session_id=0A1B2C3D-0000-4000-8000-00000000000F;x-team=risk");
  EXPECT_EQ(c.port, 443);
  EXPECT_TRUE(c.useSsl);
  EXPECT_EQ(c.token.value_or(""), "abc=def");  // parameter values are percent-decoded
  EXPECT_EQ(c.userId, "ana");
  EXPECT_EQ(c.userAgent, "ci");
  EXPECT_EQ(c.sessionId, "0a1b2c3d-0000-4000-8000-00000000000f");
  EXPECT_EQ(c.metadata.at("x-team"), "risk");

  // A token alone turns TLS on: it is never sent in clear text.
  c = ConnectionString::parse("sc://h:1/;token=t");
  EXPECT_FALSE(c.useSsl);
  EXPECT_TRUE(c.secure());
  EXPECT_EQ(ConnectionString::parse("sc://[::1]:15003").target(), "[::1]:15003");
  EXPECT_EQ(ConnectionString::parse("sc://h:15003/").port, 15003);
}

TEST(ConnectionString, RejectsMalformedStringsWithoutQuotingTheToken) {
  const char* bad[] = {
      "http://h:15002",        "sc://",       "sc://h:port",          "sc://h:0",       "sc://h:70000",
      "sc://h:1:2",            "sc://h/path", "sc://h/;token",        "sc://h/;use_ssl=yes",
      "sc://h/;session_id=42", "sc://h/;token=",
  };
  for (const char* url : bad) {
    try {
      ConnectionString::parse(url);
      ADD_FAILURE() << url << " was accepted";
    } catch (const IllegalArgumentException& e) {
      EXPECT_NE(std::string(e.what()).find("connection string"), std::string::npos) << e.what();
    }
  }
  try {
    ConnectionString::parse("https://h/;token=topsecret");
    FAIL();
  } catch (const IllegalArgumentException& e) {
    EXPECT_EQ(std::string(e.what()).find("topsecret"), std::string::npos) << e.what();
  }
}

TEST(ConnectionString, RedactedFormsNeverHoldTheToken) {
  auto c = ConnectionString::parse("sc://h:9/;use_ssl=true;token=topsecret;user_id=u");
  EXPECT_EQ(c.redacted(), "sc://h:9/;use_ssl=true;token=***");
  EXPECT_EQ(ConnectionString::parse("sc://h/;token=topsecret").redacted(), "sc://h:15002/;token=***");
  EXPECT_EQ(redactConnectionText("cannot reach sc://h/;token=abc;use_ssl=true and token=xyz"),
            "cannot reach sc://h/;token=***;use_ssl=true and token=***");
}

TEST(ConnectSession, MalformedRemoteFailsBeforeAnySessionExists) {
  EXPECT_THROW(SparkSession::builder().remote("sc://h:notaport").create(), IllegalArgumentException);
  // SPARK_REMOTE is read as pyspark reads it; a builder without it (and without remote()) stays local.
  ::setenv("SPARK_REMOTE", "sc://h:notaport", 1);
  EXPECT_THROW(SparkSession::builder().create(), IllegalArgumentException);
  ::unsetenv("SPARK_REMOTE");
  auto local = SparkSession::builder().create();
  EXPECT_FALSE(local->isRemote());
  EXPECT_EQ(local->range(5).count(), 5);
  local->stop();
}

TEST(ArrowIpc, TablesRoundTripWithNullsArraysAndDecimals) {
  StructType schema;
  schema.add("b", DataType(TypeId::Boolean))
      .add("i", DataType(TypeId::Integer))
      .add("l", DataType(TypeId::Long))
      .add("d", DataType(TypeId::Double))
      .add("dec", DataType::decimal(20, 3))
      .add("s", DataType(TypeId::String))
      .add("dt", DataType(TypeId::Date))
      .add("ts", DataType(TypeId::Timestamp))
      .add("a", DataType::array(DataType(TypeId::Integer)))
      .add("n", DataType(TypeId::Null));
  std::vector<Row> rows;
  for (int i = 0; i < 100; ++i) {
    if (i % 7 == 3) {
      rows.push_back(Row(std::vector<Value>(10, Value())));
      continue;
    }
    rows.push_back(Row({Value(i % 2 == 0), Value(i), Value(std::int64_t{i} * 10000000000LL), Value(i / 3.0),
                        Value(*Decimal::parse(std::to_string(i) + ".125")), Value("row " + std::to_string(i)),
                        Value(Date{i}), Value(Timestamp{std::int64_t{i} * 1000001}),
                        Value::array(DataType(TypeId::Integer), {Value(i), Value()}),
                        Value()}));
  }
  LocalTable table = LocalTable::fromRows(schema, rows);
  std::string ipc = localTableToArrowIpc(table);
  // Two streams (as ExecutePlan sends batches) decode into one table in order.
  LocalTable back = arrowIpcToLocalTable({ipc, ipc}, schema);
  ASSERT_EQ(back.numRows(), 200u);
  for (std::size_t r = 0; r < 200; ++r) EXPECT_EQ(back.row(r).toString(), table.row(r % 100).toString()) << r;
  EXPECT_EQ(arrowIpcToLocalTable({}, schema).numColumns(), schema.size());
  EXPECT_THROW(arrowIpcToLocalTable({"not arrow"}, schema), ExecutionException);
}

}  // namespace
