// Running the norq-spark command in-process from tests: the source tree, a run's status and output, scratch
// folders under the system's temporary directory and files written into them.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/app.h"

namespace norq_test {

// The source tree (NORQ_SOURCE_DIR in the environment overrides the one the tests were built from).
inline std::string sourceDir() {
  if (const char* env = std::getenv("NORQ_SOURCE_DIR")) return env;
  return NORQ_SOURCE_DIR;
}

inline std::string sampleData(const std::string& name) { return sourceDir() + "/data/sample/" + name; }

// A run of the command: its exit status and what it wrote on standard output and standard error.
struct CliRun {
  int status;
  std::string out, err;
};

// Runs `norq-spark ARGS...` (args[0] is the subcommand) as main() would, capturing both streams.
inline CliRun runCli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = cli::runApp(args, out, err);
  return {status, out.str(), err.str()};
}

// An empty folder `prefix_PID` under the temporary directory (`prefix_PID_TEST` with the running test's name
// when perTest), removed first if an earlier run left it.
inline std::filesystem::path freshTempDir(const std::string& prefix, bool perTest = false) {
  namespace fs = std::filesystem;
  std::string name = prefix + "_" + std::to_string(::getpid());
  if (perTest)
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) name += "_" + std::string(info->name());
  const fs::path dir = fs::temp_directory_path() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Writes `text` to `path` byte for byte and gives the path back.
inline std::string writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A scratch folder for one test or suite, removed with its content when it goes out of scope.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix, bool perTest = true) : dir_(freshTempDir(prefix, perTest)) {}
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::string write(const std::string& name, const std::string& text) const { return writeFile(dir_ / name, text); }

 private:
  std::filesystem::path dir_;
};

}  // namespace norq_test
