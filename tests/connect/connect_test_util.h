// The address of the Spark Connect server the tests run against (started by the ctest fixture).
#pragma once

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace connect_test {

inline std::string remoteAddress() {
  if (const char* a = std::getenv("NORQ_TEST_SPARK_REMOTE"); a != nullptr && *a != '\0') return a;
  const char* file = std::getenv("NORQ_TEST_SPARK_REMOTE_FILE");
  if (file == nullptr)
    throw std::runtime_error("no Spark Connect server: set NORQ_TEST_SPARK_REMOTE or run the tests through ctest");
  std::ifstream in(file);
  std::string address;
  if (!(in >> address))
    throw std::runtime_error(std::string("no Spark Connect server address in ") + file +
                             " (scripts/spark_connect_server.sh start did not run or failed)");
  return address;
}

}  // namespace connect_test
