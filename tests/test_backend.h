// The backend a test binary runs on: the embedded engine by default, a Spark Connect server when the
// environment says so (NORQ_TEST_BACKEND=connect, set by the second ctest entry of the suites that run on
// both backends; the server's address comes from the ctest fixture that starts it). The same tests, with the
// same expected figures, then run on both backends, so their answers must agree.
#pragma once

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "engine/session.h"

namespace test_backend {

inline bool remote() {
  const char* b = std::getenv("NORQ_TEST_BACKEND");
  return b != nullptr && std::string(b) == "connect";
}

// The server's address (NORQ_TEST_SPARK_REMOTE, or the file named by NORQ_TEST_SPARK_REMOTE_FILE), or nullopt
// when neither names one.
inline std::optional<std::string> remoteAddress() {
  if (const char* a = std::getenv("NORQ_TEST_SPARK_REMOTE"); a != nullptr && *a != '\0') return std::string(a);
  const char* file = std::getenv("NORQ_TEST_SPARK_REMOTE_FILE");
  if (file == nullptr) return std::nullopt;
  std::ifstream in(file);
  std::string address;
  if (!(in >> address)) return std::nullopt;
  return address;
}

// A session on the chosen backend, configured as the reference Spark is (no ANSI mode, UTC). One at a time: a
// test that stops it (to check what happens without a session) gets a fresh one on its next call, so the tests of
// a binary do not depend on their order.
inline std::shared_ptr<engine::SparkSession> session(const std::string& appName = "tests") {
  static std::shared_ptr<engine::SparkSession> s;
  if (s == nullptr || engine::SparkSession::getActiveSession() != s) {
    auto b = engine::SparkSession::builder();
    b.appName(appName).config("spark.sql.ansi.enabled", "false").config("spark.sql.session.timeZone", "UTC");
    if (remote()) {
      b.remote(remoteAddress().value_or(""));
    } else {
      b.master("local[2]");
    }
    s = b.getOrCreate();
  }
  return s;
}

// Skips every test of a binary asked to run on Spark Connect without a server address (a test binary run by
// hand); under ctest the fixture always provides one.
class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (remote() && !remoteAddress()) {
      GTEST_SKIP() << "NORQ_TEST_BACKEND=connect but no Spark Connect server: set NORQ_TEST_SPARK_REMOTE "
                      "(sc://host:port) or run the tests through ctest, whose fixture starts a server";
    }
  }
};

// Registered once per binary that includes this header.
inline ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

}  // namespace test_backend
