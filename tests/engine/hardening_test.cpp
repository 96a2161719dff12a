// Hostile and unusual input, in-process: bounded nesting, safe messages, output written all or none,
// standard-output failures, history recorded only for completed scans, and unusual but valid data (names
// holding a dot, huge integers, infinities, invalid UTF-8, an all-null label).
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/app.h"
#include "cli/cli_error.h"
#include "cli/inline_table.h"
#include "cli/output_files.h"
#include "cli/sql_command.h"
#include "engine/local/plan/memory_budget.h"
#include "engine/types.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

struct CliRun {
  int status;
  std::string out, err;
};

CliRun run(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = cli::runApp(args, out, err);
  return {status, out.str(), err.str()};
}

class HardeningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("norq_hardening_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Rows of the history's events table (0 when the file does not exist).
  int historyRecords(const std::string& file) const {
    if (!fs::exists(file)) return 0;
    sqlite3* db = nullptr;
    int n = 0;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* s = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT count(*) FROM events", -1, &s, nullptr) == SQLITE_OK &&
          sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int(s, 0);
      sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
  }

  fs::path dir_;
};

// A small table with a label and a prediction; `extra` adds a column (header, one value per row).
std::string smallCsv(const std::string& extraHeader = "", const std::vector<std::string>& extra = {}) {
  std::string s = "id,amount,group,y,p" + (extraHeader.empty() ? "" : "," + extraHeader) + "\n";
  for (int i = 0; i < 60; ++i) {
    s += std::to_string(i) + "," + std::to_string(100 + (i * 7) % 23) + "," + (i % 2 ? "A" : "B") + "," +
         std::to_string(i % 2) + "," + std::to_string((i / 2) % 2);
    if (!extraHeader.empty()) s += "," + extra[static_cast<std::size_t>(i) % extra.size()];
    s += "\n";
  }
  return s;
}

TEST(MessagesTest, ControlCharactersAndInvalidBytesAreEscaped) {
  // An escape sequence (set the title, clear the screen), a C1 control and invalid UTF-8.
  const std::string line = cli::singleLine("bad \x1b]0;owned\x07 \x1b[2J \xc2\x9b \xff\xfe ok \xc3\xa9\nnext");
  EXPECT_EQ(line, "bad \\x1B]0;owned\\x07 \\x1B[2J \\xC2\\x9B \\xFF\\xFE ok \xc3\xa9 next");
  // Overlong forms and surrogates are not UTF-8 either.
  EXPECT_EQ(cli::singleLine("\xc0\xaf \xed\xa0\x80"), "\\xC0\\xAF \\xED\\xA0\\x80");
  EXPECT_LE(cli::singleLine(std::string(100000, 'x')).size(), 1010u);
}

TEST(MessagesTest, InvalidUtf8IsReplaced) {
  EXPECT_EQ(cli::validUtf8("a\xff" "b\xc3\xa9"), "a\xef\xbf\xbd" "b\xc3\xa9");
  EXPECT_EQ(cli::validUtf8("\xe2\x82"), "\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(NestingTest, DeepTypeStringsAreRefusedWithoutRecursion) {
  auto nested = [](int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "array<";
    s += "int";
    for (int i = 0; i < depth; ++i) s += ">";
    return s;
  };
  const auto ok = engine::DataType::parse(nested(64));
  ASSERT_TRUE(ok);
  EXPECT_EQ(engine::DataType::parse(ok->simpleString()), ok);
  EXPECT_FALSE(engine::DataType::parse(nested(65)));
  EXPECT_FALSE(engine::DataType::parse(nested(20000)));
  EXPECT_EQ(engine::DataType::parse(" ARRAY< Decimal(5, 2) > "),
            engine::ArrayType(engine::DecimalType(5, 2)));
  EXPECT_FALSE(engine::DataType::parse("array<nope>"));
}

TEST(NestingTest, DeepJsonIsRefusedWhileParsing) {
  std::istringstream deep(std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_THROW(cli::parseBoundedJson(deep), std::length_error);
  std::istringstream fine("{\"schema\": [[\"a\", \"array<int>\"]], \"rows\": [[[1, 2]]]}");
  EXPECT_EQ(cli::inlineTableFromJson(cli::parseBoundedJson(fine), "t").numRows(), 1u);
}

TEST_F(HardeningTest, InlineTableMessagesQuoteOnlyTheStartOfAValue) {
  // A row of a million values is quoted by its first characters, not serialised whole.
  json doc = {{"schema", json::array({json::array({"a", "int"})})}, {"rows", json::array({json::array()})}};
  for (int i = 0; i < 1000000; ++i) doc["rows"][0].push_back(i);
  try {
    cli::inlineTableFromJson(doc, "t");
    FAIL() << "a row of the wrong width was accepted";
  } catch (const cli::CliError& e) {
    EXPECT_LT(std::string(e.what()).size(), 200u) << e.what();
    EXPECT_NE(std::string(e.what()).find("row 1"), std::string::npos) << e.what();
  }
}

TEST_F(HardeningTest, OutputPathsAreCheckedBeforeWork) {
  EXPECT_NO_THROW(cli::checkOutputPath("-", "--json"));
  EXPECT_NO_THROW(cli::checkOutputPath(path("new.json"), "--json"));
  auto message = [](const std::string& p) {
    try {
      cli::checkOutputPath(p, "--html");
    } catch (const cli::CliError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(message(dir_.string()).find("is a folder"), std::string::npos);
  EXPECT_NE(message(path("missing/r.html")).find("No such file or directory"), std::string::npos);
  // A device is written directly (never replaced by a rename).
  EXPECT_EQ(message("/dev/null"), "accepted");
  EXPECT_NE(message(write("plain", "x") + "/r.html").find("is not a folder"), std::string::npos);
}

TEST_F(HardeningTest, ReportsAreWrittenAllOrNone) {
  const std::string a = path("a.json");
  EXPECT_THROW(cli::writeFilesAtomically({{a, "{}"}, {path("gone/b.html"), "<html>"}}), cli::CliError);
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 0);  // no temporary left
  cli::writeFilesAtomically({{a, "{}"}, {path("b.html"), "<html>"}});
  EXPECT_TRUE(fs::exists(a));
  EXPECT_TRUE(fs::exists(path("b.html")));
}

TEST(OutputTest, AFailedStandardOutputIsAnError) {
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  EXPECT_THROW(cli::writeStream(broken, "text"), cli::CliError);
  std::ostringstream fine;
  cli::writeStream(fine, "text");
  EXPECT_EQ(fine.str(), "text");
}

TEST(MemoryBudgetTest, SizesParse) {
  EXPECT_EQ(engine::local::parseByteSize("1024"), 1024u);
  EXPECT_EQ(engine::local::parseByteSize("8G"), std::size_t{8} << 30);
  EXPECT_EQ(engine::local::parseByteSize("1.5m"), std::size_t{3} << 19);
  EXPECT_EQ(engine::local::parseByteSize("512MB"), std::size_t{512} << 20);
  for (const char* bad : {"", "x", "-1G", "0", "1Q", "inf", "nan", "1GiBx"})
    EXPECT_EQ(engine::local::parseByteSize(bad), 0u) << bad;
  EXPECT_GT(engine::local::queryMemoryBudget(), 0u);
}

TEST_F(HardeningTest, FailedScansLeaveNoReportAndNoHistoryRecord) {
  const std::string data = write("d.csv", smallCsv());
  const std::string history = path("h.sqlite");
  // The HTML report's folder is missing: checked before the work, nothing written, nothing recorded.
  CliRun r = run({"scan", data, "--label", "y", "--prediction", "p", "--json", path("r.json"), "--html",
                  path("missing/r.html"), "--history", history, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("--html"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(path("r.json")));
  EXPECT_EQ(historyRecords(history), 0);
  // A check that fails after the dataset was built (an unknown column to order by) records nothing either.
  r = run({"quality", data, "--label", "y", "--order", "amount:nope", "--history", history, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_EQ(historyRecords(history), 0);
  // A completed scan records its creation and its scan.
  r = run({"profile", data, "--label", "y", "--json", path("ok.json"), "--history", history, "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(historyRecords(history), 2);
}

TEST_F(HardeningTest, UnusableHistoryFilesAreRefusedAndLeftAlone) {
  const std::string data = write("d.csv", smallCsv());
  const std::string notSqlite = write("notdb", std::string(4096, 'x'));
  CliRun r = run({"profile", data, "--label", "y", "--history", notSqlite, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("notdb"), std::string::npos) << r.err;
  // Another program's database is not taken over.
  const std::string other = path("other.sqlite");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE accounts (x INTEGER)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  r = run({"profile", data, "--label", "y", "--history", other, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("another kind"), std::string::npos) << r.err;
  // A history that cannot be created leaves no empty file behind.
  r = run({"profile", data, "--label", "y", "--history", path("nodir/h.sqlite"), "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_FALSE(fs::exists(path("nodir")));
}

TEST_F(HardeningTest, OptionRangesAreValidated) {
  const std::string data = write("d.csv", smallCsv());
  struct Case {
    std::vector<std::string> args;
    const char* fragment;
  };
  const Case cases[] = {
      {{"profile", data, "--histogram-bins", "2000000000"}, "--histogram-bins must be between 1 and 10000"},
      {{"drift", data, "--reference", data, "--drift-bins", "2000000000"}, "--drift-bins must be between"},
      {{"quality", data, "--sample-rows", "99999999"}, "--sample-rows must be between"},
      {{"drift", data, "--reference", data, "--fail-pvalue-below", "2"}, "between 0 and 1"},
      {{"scan", data, "--splits", "1e308,1e308,0"}, "too large"},
      {{"scan", data, "--splits", "inf,0,0"}, "finite"},
      {{"scan", data, "--splits", "nan,1,1"}, "finite"},
      {{"scan", data, "--splits", "1e-320,0,0"}, "too small"},
      {{"scan", data, "--splits", "0,0,0"}, "above 0"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--label", "y", "--history", path("h.sqlite"), "--quiet"});
    CliRun r = run(args);
    EXPECT_EQ(r.status, cli::kUsageErrorStatus) << c.fragment;
    EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r.err;
  }
}

TEST_F(HardeningTest, InputMessagesNameTheProblem) {
  fs::create_directories(dir_ / "empty_folder");
  const std::string headerOnly = write("header.csv", "a,b,y\n");
  struct Case {
    std::string input;
    const char* fragment;
  };
  const Case cases[] = {
      {path("empty_folder"), "holds no data files"},
      {headerOnly, "no data rows in"},
      {"/dev/null", "not a file or a folder"},
  };
  for (const Case& c : cases) {
    CliRun r = run({"profile", c.input, "--history", path("h.sqlite"), "--quiet"});
    EXPECT_EQ(r.status, cli::kUsageErrorStatus) << c.input;
    EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r.err;
  }
}

TEST_F(HardeningTest, ColumnNamesWithADotAreNamesNotPaths) {
  std::string csv = "id,amount.usd,y.true,p\n";
  for (int i = 0; i < 40; ++i)
    csv += std::to_string(i) + "," + std::to_string(10 + i % 7) + "." + std::to_string(i % 10) + "," +
           std::to_string(i % 2) + "," + std::to_string((i / 2) % 2) + "\n";
  const std::string data = write("dots.csv", csv);
  CliRun r = run({"scan", data, "--label", "y.true", "--prediction", "p", "--json", "-", "--history",
                  path("h.sqlite"), "--order", "amount.usd:id"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_TRUE(j["histograms"].contains("amount.usd"));
  EXPECT_EQ(j["metrics"]["values"]["accuracy"].is_number(), true);
  bool profiled = false;
  for (const json& f : j["profile"])
    if (f["feature"] == "amount.usd") profiled = f["minimum"] == 10.0 && f["maximum"] == 16.7;
  EXPECT_TRUE(profiled) << j["profile"].dump();
}

TEST_F(HardeningTest, UnusualValuesGiveTrueFigures) {
  // Integers far beyond 64 bits, an infinity in a floating column, invalid UTF-8 in a category.
  const std::string data = write("odd.csv", smallCsv("big,wide,text", {"1e20,1.5,ok", "2e20,Infinity,caf\xe9",
                                                                       "3e20,2.5,ok"}));
  CliRun r = run({"profile", data, "--label", "y", "--json", "-", "--history", path("h.sqlite")});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  // Labels of whole numbers beyond the 64-bit range are the numbers, not a wrapped cast.
  for (const json& label : j["histograms"]["big"]["labels"])
    EXPECT_EQ(label.get<std::string>().find('-'), std::string::npos) << j["histograms"]["big"].dump();
  // The infinite column is reported as not binnable; the others are complete.
  EXPECT_TRUE(j["histograms"]["wide"].contains("error")) << j["histograms"]["wide"].dump();
  EXPECT_FALSE(j["histograms"]["amount"].contains("error"));
  // Invalid UTF-8 becomes U+FFFD, with a warning naming where it was.
  EXPECT_NE(r.out.find("caf\xef\xbf\xbd"), std::string::npos);
  EXPECT_NE(r.err.find("warning: text that is not UTF-8 in histograms.text"), std::string::npos) << r.err;
}

TEST_F(HardeningTest, AFigureThatCannotBeComputedIsNull) {
  std::string csv = "a,y,p\n";
  for (int i = 0; i < 20; ++i) csv += std::to_string(i) + ",," + std::to_string(i % 2) + "\n";
  const std::string data = write("nolabel.csv", csv);
  CliRun r = run({"metrics", data, "--label", "y", "--prediction", "p", "--json", "-", "--history", path("h.sqlite")});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_TRUE(j["metrics"]["values"]["accuracy"].is_null()) << j["metrics"].dump();
  // A gate on it does not pass: the figure could not be checked.
  r = run({"metrics", data, "--label", "y", "--prediction", "p", "--fail-metric-below", "accuracy=0.5", "--history",
           path("h.sqlite")});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("accuracy cannot be computed"), std::string::npos) << r.out;
}

}  // namespace
