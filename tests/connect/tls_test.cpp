// TLS with a bearer token, through the TLS-terminating proxy started by tls_test.sh (which trusts its own
// test CA through GRPC_DEFAULT_SSL_ROOTS_FILE_PATH). Skipped when not run by that script.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "engine/connect/client.h"
#include "engine/engine.h"

// gRPC's DNS resolver (c-ares) keeps a few bytes of a refused TLS channel until exit; only leaks of our own
// are of interest.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcares.so\n"; }

namespace {

using namespace engine;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = env("NORQ_TEST_TLS_PORT");
    token_ = env("NORQ_TEST_TLS_TOKEN");
    if (port_.empty()) GTEST_SKIP() << "run by tests/connect/tls_test.sh (the connect_tls test)";
  }
  std::string port_, token_;
};

TEST_F(Tls, QueriesRunOverTlsWithTheToken) {
  for (const std::string host : {"localhost", "127.0.0.1"}) {
    auto s = SparkSession::builder().remote("sc://" + host + ":" + port_ + "/;use_ssl=true;token=" + token_).create();
    EXPECT_EQ(s->range(0, 1000).filter(functions::col("id") % 10 == 0).count(), 100);
    s->stop();
  }
  // A token alone implies TLS, as in pyspark.
  auto s = SparkSession::builder().remote("sc://localhost:" + port_ + "/;token=" + token_).create();
  EXPECT_EQ(s->range(3).count(), 3);
  s->stop();
}

TEST_F(Tls, WrongTokenIsRefusedWithoutShowingIt) {
  try {
    auto s = SparkSession::builder().remote("sc://localhost:" + port_ + "/;use_ssl=true;token=wrong-" + token_).create();
    s->range(3).count();
    FAIL() << "the proxy accepts only the right token";
  } catch (const connect::ConnectionException& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("refused the credentials"), std::string::npos) << m;
    EXPECT_EQ(m.find(token_), std::string::npos) << m;
    EXPECT_NE(m.find("token=***"), std::string::npos) << m;
  }
}

TEST_F(Tls, PlainTextToATlsPortFailsClearly) {
  connect::ClientOptions o;
  o.connectTimeout = std::chrono::milliseconds(3000);
  EXPECT_THROW(connect::Client(connect::ConnectionString::parse("sc://127.0.0.1:" + port_), o),
               connect::ConnectionException);
}

}  // namespace
