// The Spark Connect client against a real local server: queries, schemas, configuration, Spark's errors
// as the engine's error types, reattachment of long results, and the failures of a server that cannot
// be reached or never answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>

#include "connect_test_util.h"
#include "engine/connect/arrow_ipc.h"
#include "engine/connect/client.h"
#include "engine/connect/type_translation.h"
#include "engine/errors.h"

namespace {

using namespace engine;
using namespace engine::connect;
namespace sc = spark::connect;

sc::Relation sqlRelation(const std::string& query) {
  sc::Relation r;
  r.mutable_sql()->set_query(query);
  return r;
}

LocalTable run(Client& client, const sc::Relation& rel) {
  sc::Plan plan;
  *plan.mutable_root() = rel;
  ExecuteResult result = client.execute(plan);
  StructType schema = fromProtoSchema(result.schema ? *result.schema : client.schema(rel));
  return arrowIpcToLocalTable(result.arrowBatches, schema);
}

// A loopback socket that listens (the kernel completes TCP handshakes) but never answers.
struct SilentServer {
  int fd = -1;
  int port = 0;
  SilentServer() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) throw std::runtime_error("bind");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~SilentServer() { ::close(fd); }
};

// A loopback port nobody listens on.
int closedPort() {
  SilentServer s;
  return s.port;  // closed again when s goes away
}

class ClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { client_ = new Client(ConnectionString::parse(connect_test::remoteAddress())); }
  static void TearDownTestSuite() {
    if (client_ == nullptr) return;  // the server could not be reached: the tests failed, nothing to release
    client_->releaseSession();
    delete client_;
    client_ = nullptr;
  }
  static Client* client_;
};
Client* ClientTest::client_ = nullptr;

TEST_F(ClientTest, RunsQueriesAndDecodesEveryColumnType) {
  sc::Relation rel = sqlRelation(
      "SELECT * FROM VALUES "
      "(CAST(1 AS TINYINT), CAST(-2 AS SMALLINT), 3, 4000000000L, CAST(1.5 AS FLOAT), 2.25D, CAST('12.50' AS DECIMAL(10,2)), "
      " 'héllo', DATE '2024-02-29', TIMESTAMP '2024-01-02 03:04:05.123456', true, array(1, 2, 3)), "
      "(NULL, NULL, NULL, NULL, NULL, CAST('NaN' AS DOUBLE), NULL, NULL, NULL, NULL, NULL, array()) "
      "AS t(b, s, i, l, f, d, dec, str, dt, ts, bo, arr)");
  StructType schema = fromProtoSchema(client_->schema(rel));
  ASSERT_EQ(schema.size(), 12u);
  EXPECT_EQ(schema[6].dataType, DataType::decimal(10, 2));
  EXPECT_EQ(schema[11].dataType.id(), TypeId::Array);

  LocalTable t = run(*client_, rel);
  ASSERT_EQ(t.numRows(), 2u);
  Row r = t.row(0);
  EXPECT_EQ(r.toString(), t.row(0).toString());
  EXPECT_EQ(t.column(0).data<std::int8_t>()[0], 1);
  EXPECT_EQ(t.column(1).data<std::int16_t>()[0], -2);
  EXPECT_EQ(t.column(2).data<std::int32_t>()[0], 3);
  EXPECT_EQ(t.column(3).data<std::int64_t>()[0], 4000000000LL);
  EXPECT_EQ(t.column(4).data<float>()[0], 1.5f);
  EXPECT_EQ(t.column(5).data<double>()[0], 2.25);
  EXPECT_EQ(t.at(0, 6).toString(), "12.50");
  EXPECT_EQ(t.column(7).str(0), "héllo");
  EXPECT_EQ(t.column(8).data<std::int32_t>()[0], 19782);                 // 2024-02-29
  EXPECT_EQ(t.column(9).data<std::int64_t>()[0], 1704164645123456LL);    // UTC micros
  EXPECT_EQ(t.column(10).data<std::uint8_t>()[0], 1);
  EXPECT_EQ(t.at(0, 11).toString(), t.at(0, 11).toString());
  EXPECT_EQ(t.column(11).offsets()[1] - t.column(11).offsets()[0], 3);
  for (std::size_t c : {0u, 1u, 2u, 3u, 4u, 6u, 7u, 8u, 9u, 10u}) EXPECT_TRUE(t.column(c).isNull(1)) << c;
  EXPECT_TRUE(std::isnan(t.column(5).data<double>()[1]));
  EXPECT_FALSE(t.column(11).isNull(1));
  EXPECT_EQ(t.column(11).offsets()[2] - t.column(11).offsets()[1], 0);
}

TEST_F(ClientTest, EmptyResultKeepsItsSchema) {
  LocalTable t = run(*client_, sqlRelation("SELECT id, CAST(id AS STRING) s FROM range(10) WHERE id < 0"));
  EXPECT_EQ(t.numRows(), 0u);
  ASSERT_EQ(t.numColumns(), 2u);
  EXPECT_EQ(t.schema()[1].dataType.id(), TypeId::String);
}

TEST_F(ClientTest, LongResultsSurviveStreamsTheServerEnds) {
  // 3 million longs and doubles are far more than one result stream carries (the test server ends streams
  // after 4 MB): the client reattaches and continues after the last response it received.
  LocalTable t = run(*client_, sqlRelation("SELECT id, id * 0.5 AS h FROM range(3000000)"));
  ASSERT_EQ(t.numRows(), 3000000u);
  const auto* id = t.column(0).data<std::int64_t>();
  std::int64_t sum = 0;
  bool ordered = true;
  for (std::size_t i = 0; i < t.numRows(); ++i) {
    sum += id[i];
    ordered &= id[i] == static_cast<std::int64_t>(i);
  }
  EXPECT_TRUE(ordered);
  EXPECT_EQ(sum, 3000000LL * 2999999LL / 2);
}

TEST_F(ClientTest, ConfigurationIsSetAndReadBack) {
  client_->setConfig({{"spark.sql.session.timeZone", "America/New_York"}, {"spark.sql.ansi.enabled", "false"}});
  auto values = client_->getConfig({"spark.sql.session.timeZone", "spark.sql.ansi.enabled"});
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].second.value_or(""), "America/New_York");
  EXPECT_EQ(values[1].second.value_or(""), "false");
  LocalTable t = run(*client_, sqlRelation("SELECT CAST(TIMESTAMP '2024-07-01 00:00:00' AS LONG) AS s"));
  EXPECT_EQ(t.column(0).data<std::int64_t>()[0], 1719806400LL);  // midnight in New York is 04:00 UTC
  client_->setConfig({{"spark.sql.session.timeZone", "UTC"}});
}

TEST_F(ClientTest, ServerErrorsBecomeTheEngineErrorsWithSparksMessage) {
  try {
    client_->schema(sqlRelation("SELECT nope FROM range(3)"));
    FAIL() << "an unknown column must fail";
  } catch (const AnalysisException& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("UNRESOLVED_COLUMN"), std::string::npos) << m;
    EXPECT_NE(m.find("nope"), std::string::npos) << m;
    EXPECT_EQ(m.find('\n'), std::string::npos) << "one line: " << m;
  }
  try {
    run(*client_, sqlRelation("SELECT id FROM range(3) WHERE (id > 2"));
    FAIL() << "a malformed condition must fail";
  } catch (const ParseException& e) {
    EXPECT_NE(std::string(e.what()).find("PARSE_SYNTAX_ERROR"), std::string::npos) << e.what();
  }
  try {
    run(*client_, sqlRelation("SELECT raise_error('the row is wrong') FROM range(1)"));
    FAIL() << "a failing query must fail";
  } catch (const AnalysisException& e) {
    FAIL() << "a runtime failure is not an analysis error: " << e.what();
  } catch (const ExecutionException& e) {
    EXPECT_NE(std::string(e.what()).find("the row is wrong"), std::string::npos) << e.what();
    EXPECT_EQ(dynamic_cast<const ConnectionException*>(&e), nullptr) << e.what();
  }
  // The session is still usable after errors.
  EXPECT_EQ(run(*client_, sqlRelation("SELECT 1 AS one")).numRows(), 1u);
}

TEST(ClientFailures, UnreachableServerFailsAtOnceNamingTheRedactedAddress) {
  int port = closedPort();
  auto start = std::chrono::steady_clock::now();
  try {
    Client c(ConnectionString::parse("sc://127.0.0.1:" + std::to_string(port) + "/;user_id=a;token=s3cr3t-value"));
    FAIL() << "nothing listens there";
  } catch (const ConnectionException& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("sc://127.0.0.1:" + std::to_string(port)), std::string::npos) << m;
    EXPECT_EQ(m.find("s3cr3t"), std::string::npos) << m;
    EXPECT_EQ(m.find('\n'), std::string::npos) << m;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

TEST(ClientFailures, ServerThatNeverAnswersRunsIntoTheConnectTimeout) {
  SilentServer silent;
  ClientOptions o;
  o.connectTimeout = std::chrono::milliseconds(1500);
  auto start = std::chrono::steady_clock::now();
  try {
    Client c(ConnectionString::parse("sc://127.0.0.1:" + std::to_string(silent.port)), o);
    FAIL() << "the server never answers";
  } catch (const ConnectionException& e) {
    EXPECT_NE(std::string(e.what()).find("did not answer within 1.5 s"), std::string::npos) << e.what();
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST(ClientFailures, EachCallHasItsDeadline) {
  ClientOptions o;
  o.callTimeout = std::chrono::milliseconds(1);
  o.executeTimeout = std::chrono::milliseconds(300);
  Client c(ConnectionString::parse(connect_test::remoteAddress()), o);
  EXPECT_THROW(c.schema(sqlRelation("SELECT 1")), ConnectionException);
  sc::Plan plan;
  *plan.mutable_root() = sqlRelation("SELECT count(*) FROM range(100000000000L)");  // minutes of work
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(c.execute(plan), ConnectionException);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
