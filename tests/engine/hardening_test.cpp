// Hostile and unusual input, in-process: bounded nesting, safe messages, output written all or none,
// standard-output failures, history recorded only for completed scans, and unusual but valid data (names
// holding a dot, huge integers, infinities, invalid UTF-8, an all-null label).
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
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
#include "cli_run.h"
#include "engine/engine.h"
#include "engine/local/plan/memory_budget.h"
#include "engine/local/plan/planner.h"
#include "engine/types.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

using norq_test::CliRun;
using norq_test::runCli;

class HardeningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = norq_test::freshTempDir("norq_hardening", /*perTest=*/true);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) { return norq_test::writeFile(dir_ / name, text); }
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

// A query budget of a few megabytes for one test; the configured one comes back at the end.
struct SmallBudget {
  explicit SmallBudget(std::size_t bytes) { engine::local::setQueryMemoryBudget(bytes); }
  ~SmallBudget() { engine::local::setQueryMemoryBudget(0); }
};

TEST(MemoryBudgetTest, OperatorsPastTheBudgetFailWithItsError) {
  auto spark = engine::SparkSession::builder().master("local[2]").getOrCreate();
  SmallBudget budget(std::size_t{4} << 20);
  auto outcome = [&](const std::string& query) -> std::string {
    try {
      return std::to_string(spark->sql(query).collect().size()) + " rows";
    } catch (const std::exception& e) {
      return e.what();
    }
  };
  const char* over[] = {
      "SELECT id, count(*) FROM range(1000000) GROUP BY id",  // a million groups
      "SELECT id FROM range(1000000) ORDER BY id DESC",
      "SELECT DISTINCT id FROM range(1000000)",
      "SELECT id, sum(id) OVER (ORDER BY id) FROM range(1000000)",
      // Each row collects its whole frame: the output grows with the square of the rows.
      "SELECT collect_list(id) OVER (ORDER BY id ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) FROM range(5000)",
      "SELECT repeat('abc', 100000000)",
      "SELECT lpad('x', 2000000000, 'ab')",
      "SELECT count(*) FROM range(2000) a CROSS JOIN range(2000) b",
  };
  for (const char* q : over) {
    const std::string result = outcome(q);
    EXPECT_NE(result.find("exceeds its memory budget of 4.0 MB"), std::string::npos) << q << ": " << result;
    EXPECT_NE(result.find("NORQ_QUERY_MEMORY"), std::string::npos) << q;
  }
  // The same operators within the budget run.
  EXPECT_EQ(outcome("SELECT id % 10 AS k, count(*) FROM range(100000) GROUP BY k"), "10 rows");
  EXPECT_EQ(outcome("SELECT collect_list(id) OVER (ORDER BY id ROWS BETWEEN 2 PRECEDING AND CURRENT ROW) "
                    "FROM range(5000)"),
            "5000 rows");
  EXPECT_EQ(outcome("SELECT repeat('abc', 1000)"), "1 rows");

  // A limited chain of cross joins builds no product: shown with its limit, it runs within a budget its
  // product (64 million rows, and 160,000 for the inner pair) would exceed many times over.
  spark->sql("SELECT id, concat('n', id) AS name, id * 0.5 AS v FROM range(400)").createOrReplaceTempView("g400");
  const std::string three = "SELECT * FROM g400 a CROSS JOIN g400 b CROSS JOIN g400 c";
  const std::vector<engine::Row> first = spark->sql(three + " LIMIT 21").collect();
  ASSERT_EQ(first.size(), 21u);
  std::set<std::string> distinct;
  for (const engine::Row& r : first) {
    ASSERT_EQ(r.values().size(), 9u);
    for (std::size_t side = 0; side < 3; ++side)  // each side's columns belong to one row of g400
      EXPECT_EQ(r.values()[side * 3 + 1].str(), "n" + r.values()[side * 3].toString()) << r.toString();
    distinct.insert(r.toString());
  }
  EXPECT_EQ(distinct.size(), 21u);
  EXPECT_EQ(spark->table("g400").crossJoin(spark->table("g400")).crossJoin(spark->table("g400")).limit(21).count(), 21);
  EXPECT_NE(outcome(three).find("exceeds its memory budget"), std::string::npos);
}

TEST_F(HardeningTest, ProfileWorkGrowsLinearlyWithTheColumns) {
  // Name lookups and column slots handed between operators while profiling (and checking) n columns: one
  // query per column must neither look through every column nor carry a slot for each.
  struct Work {
    double lookups, slots;
  };
  auto work = [&](const std::string& command, int columns) {
    std::string csv;
    for (int c = 0; c < columns; ++c) csv += "c" + std::to_string(c) + ",";
    csv += "y\n";
    for (int r = 0; r < 20; ++r) {
      for (int c = 0; c < columns; ++c) csv += std::to_string((r * 31 + c * 7) % 13) + ",";
      csv += std::to_string(r % 2) + "\n";
    }
    const std::string data = write("wide" + std::to_string(columns) + ".csv", csv);
    const std::uint64_t lookups = engine::local::nameLookupVisits(), slots = engine::local::columnSlotsProduced();
    CliRun r = runCli({command, data, "--label", "y", "--json", path("p.json"), "--history", path("h.sqlite"), "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    return Work{static_cast<double>(engine::local::nameLookupVisits() - lookups),
                static_cast<double>(engine::local::columnSlotsProduced() - slots)};
  };
  for (const std::string command : {"profile", "quality"}) {
    const Work narrow = work(command, 100), wide = work(command, 400);
    ASSERT_GT(narrow.lookups, 0) << command;
    ASSERT_GT(narrow.slots, 0) << command;
    // Four times the columns: about four times the work when it is linear, sixteen when it is quadratic.
    EXPECT_LT(wide.lookups / narrow.lookups, 6.0) << command << ": " << narrow.lookups << " then " << wide.lookups;
    EXPECT_LT(wide.slots / narrow.slots, 6.0) << command << ": " << narrow.slots << " then " << wide.slots;
  }
}

TEST_F(HardeningTest, FailedScansLeaveNoReportAndNoHistoryRecord) {
  const std::string data = write("d.csv", smallCsv());
  const std::string history = path("h.sqlite");
  // The HTML report's folder is missing: checked before the work, nothing written, nothing recorded.
  CliRun r = runCli({"scan", data, "--label", "y", "--prediction", "p", "--json", path("r.json"), "--html",
                  path("missing/r.html"), "--history", history, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("--html"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(path("r.json")));
  EXPECT_EQ(historyRecords(history), 0);
  // A check that fails after the dataset was built (an unknown column to order by) records nothing either.
  r = runCli({"quality", data, "--label", "y", "--order", "amount:nope", "--history", history, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_EQ(historyRecords(history), 0);
  // A completed scan records its creation and its scan.
  r = runCli({"profile", data, "--label", "y", "--json", path("ok.json"), "--history", history, "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(historyRecords(history), 2);
}

// Descriptors open in this process.
std::size_t openDescriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(HardeningTest, UnusableHistoryFilesAreRefusedAndLeftAlone) {
  const std::string data = write("d.csv", smallCsv());
  const std::string notSqlite = write("notdb", std::string(4096, 'x'));
  // A run that succeeds first: whatever the process opens once (and keeps) is open before the count.
  ASSERT_EQ(runCli({"profile", data, "--label", "y", "--history", path("ok.sqlite"), "--quiet"}).status, 0);
  const std::size_t descriptors = openDescriptors();
  CliRun r = runCli({"profile", data, "--label", "y", "--history", notSqlite, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("notdb"), std::string::npos) << r.err;
  // Another program's database is not taken over.
  const std::string other = path("other.sqlite");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE accounts (x INTEGER)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  r = runCli({"profile", data, "--label", "y", "--history", other, "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("another kind"), std::string::npos) << r.err;
  // A history that cannot be created leaves no empty file behind.
  r = runCli({"profile", data, "--label", "y", "--history", path("nodir/h.sqlite"), "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_FALSE(fs::exists(path("nodir")));
  // A history another connection holds locked is refused once the wait for it ends.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path("ok.sqlite").c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  r = runCli({"profile", data, "--label", "y", "--history", path("ok.sqlite"), "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("locked"), std::string::npos) << r.err;
  // (SQLite keeps a closed connection's descriptor of a file another connection of the same process has
  // locked until that one closes: closing it would drop the holder's POSIX locks. It is counted after.)
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(historyRecords(path("ok.sqlite")), 2);  // the completed run's records, nothing more
  // No refused history keeps its file open.
  EXPECT_EQ(openDescriptors(), descriptors);
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
    CliRun r = runCli(args);
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
    CliRun r = runCli({"profile", c.input, "--history", path("h.sqlite"), "--quiet"});
    EXPECT_EQ(r.status, cli::kUsageErrorStatus) << c.input;
    EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r.err;
  }
  // A malformed record is named by its file and line.
  const std::string ragged = write("ragged.csv", "a,b,y\n1,2,0\n3,4\n5,6,1\n");
  CliRun r = runCli({"profile", ragged, "--label", "y", "--history", path("h.sqlite"), "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("ragged.csv, line 3"), std::string::npos) << r.err;
  // A reference column read as text where the data holds numbers is named with the reference.
  const std::string data = write("d.csv", smallCsv());
  std::string text = "id,amount,group,y,p\n";
  for (int i = 0; i < 10; ++i) text += std::to_string(i) + ",x" + std::to_string(i) + ",A,0,1\n";
  const std::string reference = write("ref.csv", text);
  r = runCli({"drift", data, "--reference", reference, "--label", "y", "--history", path("h.sqlite"), "--quiet"});
  EXPECT_EQ(r.status, cli::kUsageErrorStatus);
  EXPECT_NE(r.err.find("ref.csv: column amount holds string values where the data holds numbers"), std::string::npos)
      << r.err;
}

TEST_F(HardeningTest, ColumnNamesWithADotAreNamesNotPaths) {
  std::string csv = "id,amount.usd,y.true,p\n";
  for (int i = 0; i < 40; ++i)
    csv += std::to_string(i) + "," + std::to_string(10 + i % 7) + "." + std::to_string(i % 10) + "," +
           std::to_string(i % 2) + "," + std::to_string((i / 2) % 2) + "\n";
  const std::string data = write("dots.csv", csv);
  CliRun r = runCli({"scan", data, "--label", "y.true", "--prediction", "p", "--json", "-", "--history",
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
  CliRun r = runCli({"profile", data, "--label", "y", "--json", "-", "--history", path("h.sqlite")});
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
  CliRun r = runCli({"metrics", data, "--label", "y", "--prediction", "p", "--json", "-", "--history", path("h.sqlite")});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_TRUE(j["metrics"]["values"]["accuracy"].is_null()) << j["metrics"].dump();
  // A gate on it does not pass: the figure could not be checked.
  r = runCli({"metrics", data, "--label", "y", "--prediction", "p", "--fail-metric-below", "accuracy=0.5", "--history",
           path("h.sqlite")});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("accuracy cannot be computed"), std::string::npos) << r.out;
}

}  // namespace
