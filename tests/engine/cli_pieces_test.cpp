// Pieces of the data-check commands a user meets directly: the configuration file beside the flags, values
// typed for a column, how an input is recognised as Parquet, CSV dialect flags, the number formats of the
// summary, typo suggestions, and the history command over recorded scans.
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/cli_error.h"
#include "cli/csv_flags.h"
#include "cli/scan_history.h"
#include "cli/scan_options.h"
#include "cli/scan_output.h"
#include "cli/suggest.h"
#include "cli_run.h"
#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using norq_test::CliRun;
using norq_test::runCli;
using norq_test::ScratchDir;

// The message of the CliError `f` throws ("" when it throws none).
template <class F>
std::string cliError(F&& f) {
  try {
    f();
  } catch (const cli::CliError& e) {
    return e.what();
  }
  return "";
}

TEST(CliConfigFile, FillsOnlyWhatTheCommandLineLeftOut) {
  const ScratchDir dir("norq_cli_pieces");
  cli::ScanOptions o;
  o.config = dir.write("c.json", R"({"label": "from_file", "prediction": "p", "id": "loan_id",
      "date": ["d1", "d2"], "splits": [0.7, 0.3, 0], "seed": 9, "privileged": [1, "M"], "unprivileged": 0,
      "positive": 1, "no_duplicates": true, "order": ["a:b"], "drift_bins": 12, "fail_psi_above": 0.2,
      "fail_metric_below": {"accuracy": 0.9999999, "recall": 0.5}, "delimiter": ";", "null_value": "NA",
      "drift": {"amount": {"psi_above": 0.1, "pvalue_below": 0.01}}})");
  o.label = "from_flag";
  o.ids = {"given_id"};
  o.failMetricBelow = {"recall=0.25"};
  cli::applyConfigFile(o);
  // The command line wins, key by key.
  EXPECT_EQ(o.label, "from_flag");
  EXPECT_EQ(o.ids, std::vector<std::string>{"given_id"});
  EXPECT_EQ(o.prediction, "p");
  EXPECT_EQ(o.dates, (std::vector<std::string>{"d1", "d2"}));
  EXPECT_EQ(o.splits, "0.7,0.3,0");
  EXPECT_EQ(o.seed, 9);
  // Values of the protected column may be numbers in the file: they are compared as the column's values.
  EXPECT_EQ(o.privileged, (std::vector<std::string>{"1", "M"}));
  EXPECT_EQ(o.unprivileged, std::vector<std::string>{"0"});
  EXPECT_EQ(o.positive, "1");
  EXPECT_TRUE(o.noDuplicates);
  EXPECT_EQ(o.orderPairs, std::vector<std::string>{"a:b"});
  EXPECT_EQ(o.driftBins, 12);
  EXPECT_EQ(o.failPsiAbove, 0.2);
  EXPECT_EQ(o.csv.delimiter, ";");
  EXPECT_EQ(o.csv.nullValue, "NA");
  // A metric limit given on the command line is kept; the file's limit keeps every digit it was written with.
  EXPECT_EQ(o.failMetricBelow, (std::vector<std::string>{"recall=0.25", "accuracy=0.9999999"}));
  ASSERT_EQ(o.driftLimits.count("amount"), 1u);
  EXPECT_EQ(o.driftLimits["amount"].psi_above, 0.1);
  EXPECT_EQ(o.driftLimits["amount"].pvalue_below, 0.01);
}

TEST(CliConfigFile, EnvironmentAndBadFiles) {
  const ScratchDir dir("norq_cli_pieces");
  // NORQ_CONFIG names the file when --config is not given.
  const std::string file = dir.write("env.json", R"({"label": "y"})");
  ::setenv("NORQ_CONFIG", file.c_str(), 1);
  cli::ScanOptions fromEnv;
  cli::applyConfigFile(fromEnv);
  ::unsetenv("NORQ_CONFIG");
  EXPECT_EQ(fromEnv.label, "y");

  auto errorOf = [&](const std::string& text) {
    cli::ScanOptions o;
    o.config = dir.write("bad.json", text);
    return cliError([&] { cli::applyConfigFile(o); });
  };
  EXPECT_NE(errorOf("{\"label\": ").find("is not JSON"), std::string::npos);
  EXPECT_NE(errorOf(R"({"id": [1, 2]})").find("key 'id': expected a list of names"), std::string::npos);
  EXPECT_NE(errorOf(R"({"fail_metric_below": 0.5})").find("expected an object of metric limits"), std::string::npos);
  EXPECT_NE(errorOf(R"({"fail_metric_below": {"accuracy": "high"}})").find("has the wrong type (object)"),
            std::string::npos);
  EXPECT_NE(errorOf(R"({"drift": {"amount": 0.1}})").find("key 'drift.amount': expected an object of limits"),
            std::string::npos);
  EXPECT_NE(errorOf(R"({"no_duplicates": "yes"})").find("key 'no_duplicates' has the wrong type (string)"),
            std::string::npos);
  EXPECT_EQ(errorOf(R"({})"), "");

  cli::ScanOptions missing;
  missing.config = dir.path("absent.json");
  EXPECT_NE(cliError([&] { cli::applyConfigFile(missing); }).find("cannot read the configuration file"),
            std::string::npos);
}

TEST(CliValues, TypedForTheColumn) {
  using engine::Value;
  EXPECT_EQ(cli::typedValue("42", engine::IntegerType(), "--positive"), Value(std::int64_t{42}));
  EXPECT_EQ(cli::typedValue("-7", engine::LongType(), "--positive"), Value(std::int64_t{-7}));
  EXPECT_EQ(cli::typedValue("2.5", engine::DoubleType(), "--positive"), Value(2.5));
  EXPECT_EQ(cli::typedValue("1e3", engine::DecimalType(10, 2), "--positive"), Value(1000.0));
  EXPECT_EQ(cli::typedValue("1", engine::BooleanType(), "--positive"), Value(true));
  EXPECT_EQ(cli::typedValue("false", engine::BooleanType(), "--positive"), Value(false));
  EXPECT_EQ(cli::typedValue("007", engine::StringType(), "--positive"), Value(std::string("007")));
  // A value that only starts as a number of the type is refused, naming the option and the type.
  const std::string half = cliError([] { cli::typedValue("1.5", engine::IntegerType(), "--privileged"); });
  EXPECT_EQ(half, "--privileged: '1.5' is not a value of type int");
  EXPECT_NE(cliError([] { cli::typedValue("yes", engine::BooleanType(), "--positive"); }).find("type boolean"),
            std::string::npos);
  EXPECT_NE(cliError([] { cli::typedValue("99999999999999999999", engine::LongType(), "--positive"); }),
            "");
  EXPECT_NE(cliError([] { cli::typedValue("", engine::DoubleType(), "--positive"); }), "");
}

TEST(CliInputs, ParquetIsRecognisedByNameOrMagicBytes) {
  const ScratchDir dir("norq_cli_pieces");
  EXPECT_TRUE(cli::isParquetPath(dir.write("upper.PARQUET", "whatever")));
  EXPECT_TRUE(cli::isParquetPath(dir.write("short.parq", "")));
  EXPECT_TRUE(cli::isParquetPath(dir.write("mislabelled.csv", std::string("PAR1") + std::string(20, '\0'))));
  EXPECT_FALSE(cli::isParquetPath(dir.write("plain.csv", "a,b\n1,2\n")));
  EXPECT_FALSE(cli::isParquetPath(dir.write("tiny.dat", "PA")));
  // A folder is judged by its first visible file; Spark's markers and hidden files are not parts.
  fs::create_directories(dir.dir() / "parts");
  norq_test::writeFile(dir.dir() / "parts" / "_SUCCESS", "");
  norq_test::writeFile(dir.dir() / "parts" / ".part-0.crc", "crc");
  norq_test::writeFile(dir.dir() / "parts" / "part-0.parquet", "PAR1");
  EXPECT_TRUE(cli::isParquetPath(dir.path("parts")));
  fs::create_directories(dir.dir() / "csvparts");
  norq_test::writeFile(dir.dir() / "csvparts" / "part-0.csv", "a\n1\n");
  norq_test::writeFile(dir.dir() / "csvparts" / "part-1.parquet", "PAR1");
  EXPECT_FALSE(cli::isParquetPath(dir.path("csvparts")));
  fs::create_directories(dir.dir() / "empty");
  EXPECT_FALSE(cli::isParquetPath(dir.path("empty")));
  // A path only a server sees is judged by its name, trailing slashes aside.
  EXPECT_TRUE(cli::isParquetPath("/nowhere/events.parquet/"));
  EXPECT_FALSE(cli::isParquetPath("/nowhere/events.csv"));
}

TEST(CliInputs, DialectFlagsReadTheFileAsWritten) {
  const ScratchDir dir("norq_cli_pieces");
  auto session = engine::SparkSession::builder().master("local[1]").getOrCreate();
  auto read = [&](const cli::CsvFlags& f, const std::string& file) {
    return cli::csvReader(*session, f).csv(file, true, true).collect();
  };
  cli::CsvFlags tab;
  tab.delimiter = "tab";
  const std::string tsv = dir.write("t.tsv", "a\tb\n1\tx y\n");
  const auto tabRows = read(tab, tsv);
  ASSERT_EQ(tabRows.size(), 1u);
  EXPECT_EQ(tabRows[0].values()[1].toString(), "x y");
  tab.delimiter = "\\t";
  EXPECT_EQ(read(tab, tsv).size(), 1u);
  // An empty quote turns quoting off: the quote marks are data.
  cli::CsvFlags noQuote;
  noQuote.quote = "";
  const auto raw = read(noQuote, dir.write("q.csv", "a,b\n\"x\",2\n"));
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(raw[0].values()[0].toString(), "\"x\"");
  cli::CsvFlags na;
  na.nullValue = "NA";
  const auto nulls = read(na, dir.write("n.csv", "a,b\nNA,1\nx,NA\n"));
  ASSERT_EQ(nulls.size(), 2u);
  EXPECT_TRUE(nulls[0].values()[0].isNull());
  EXPECT_TRUE(nulls[1].values()[1].isNull());

  auto refused = [&](cli::CsvFlags f) { return cliError([&] { cli::csvReader(*session, f); }); };
  cli::CsvFlags bad;
  bad.delimiter = "\n";
  EXPECT_EQ(refused(bad), "--delimiter cannot be a line break");
  bad.delimiter = "";
  EXPECT_NE(refused(bad).find("--delimiter must be one character"), std::string::npos);
  bad.delimiter = "tab";
  bad.quote = "\\t";
  EXPECT_EQ(refused(bad), "--quote and --delimiter cannot both be '\\t'");
  cli::CsvFlags escape;
  escape.escape = "ab";
  EXPECT_NE(refused(escape).find("--escape must be one character"), std::string::npos);
  cli::CsvFlags ascii;
  ascii.encoding = "US-ASCII";
  EXPECT_EQ(refused(ascii), "");
}

TEST(CliSummaryText, NumbersAsAReaderExpectsThem) {
  EXPECT_EQ(cli::readableNumber(50000), "50,000");
  EXPECT_EQ(cli::readableNumber(-1500), "-1,500");
  EXPECT_EQ(cli::readableNumber(1234567.8), "1,234,568");
  EXPECT_EQ(cli::readableNumber(999), "999");
  EXPECT_EQ(cli::readableNumber(7), "7");
  EXPECT_EQ(cli::readableNumber(2.5), "2.5");
  EXPECT_EQ(cli::readableNumber(0.123456), "0.1235");
  EXPECT_EQ(cli::readableNumber(-0.0), "0");
  EXPECT_EQ(cli::readableNumber(0.00001234), "1.2e-05");
  EXPECT_EQ(cli::readableNumber(3e13), "3e+13");
  EXPECT_EQ(cli::readableNumber(std::nan("")), "-");
  EXPECT_EQ(cli::readableNumber(-std::numeric_limits<double>::infinity()), "-");

  EXPECT_EQ(cli::pvalueText(json(0.042)), "0.042");
  EXPECT_EQ(cli::pvalueText(json(3.3e-213)), "3.3e-213");
  EXPECT_EQ(cli::pvalueText(json(0.0)), "< 1e-300");
  EXPECT_EQ(cli::pvalueText(json(1)), "1");
  EXPECT_EQ(cli::pvalueText(json()), "-");

  // Bounds of a date column are seconds since the epoch: a whole day shows as a date, before 1970 too.
  const json day = {{"type", "Date"}, {"minimum", -86400.0}, {"maximum", 1641168000.0 + 3600 * 13 + 5}};
  EXPECT_EQ(cli::dateBound(day, "minimum"), "1969-12-31");
  EXPECT_EQ(cli::dateBound(day, "maximum"), "2022-01-03 13:00:05");
  EXPECT_EQ(cli::dateBound({{"type", "Continuous"}, {"minimum", 0.0}}, "minimum"), "");

  EXPECT_EQ(cli::crossedText({{"check", "pvalue_below"}, {"feature", "amount"}, {"value", 1.5e-7}, {"limit", 0.01}}),
            "drift of amount: KS p-value 1.5e-07 below 0.01");

  // Drifted rows first, then moderate, then stable; the larger PSI first within a verdict, a missing PSI last.
  const json report = {{"drift",
                        {{"features",
                          {{{"feature", "s1"}, {"verdict", "stable"}, {"psi", 0.01}},
                           {{"feature", "d1"}, {"verdict", "drifted"}, {"psi", 0.3}},
                           {{"feature", "m1"}, {"verdict", "moderate"}, {"psi", 0.15}},
                           {{"feature", "d2"}, {"verdict", "drifted"}, {"psi", 0.9}},
                           {{"feature", "d3"}, {"verdict", "drifted"}, {"psi", nullptr}}}}}}};
  std::vector<std::string> order;
  for (const json* f : cli::driftRowsByVerdict(report)) order.push_back((*f)["feature"].get<std::string>());
  EXPECT_EQ(order, (std::vector<std::string>{"d2", "d1", "d3", "m1", "s1"}));
  EXPECT_TRUE(cli::driftRowsByVerdict(json::object()).empty());
}

TEST(CliSuggestions, NearNamesOnly) {
  const std::vector<std::string> names{"label", "prediction", "protected", "id"};
  EXPECT_EQ(cli::nearestName("lable", names), "label");        // a swap of neighbours is one edit
  EXPECT_EQ(cli::nearestName("LABEL", names), "label");        // case does not count
  EXPECT_EQ(cli::nearestName("predicton", names), "prediction");
  EXPECT_EQ(cli::nearestName("protect", names), "protected");  // two letters short of nine
  EXPECT_EQ(cli::nearestName("colour", names), std::nullopt);
  EXPECT_EQ(cli::nearestName("di", names), "id");           // a short name allows one edit...
  EXPECT_EQ(cli::nearestName("xy", names), std::nullopt);   // ...and no more
  EXPECT_EQ(cli::nearestHint("lable", names), " (did you mean 'label'?)");
  EXPECT_EQ(cli::nearestHint("zzz", names), "");
  EXPECT_EQ(cli::nearestHint("x", {}), "");
}

// The history command over scans recorded with known figures.
class CliHistory : public ::testing::Test {
 protected:
  void record(const std::string& time, const std::string& name, const json& figures) {
    cli::recordScan(history(), cli::ScanRecord{time, name, "scan", "c" + time.substr(17, 2), figures});
  }
  std::string history() const { return dir_.path("h.sqlite"); }
  CliRun run(std::vector<std::string> args) {
    args.insert(args.begin(), "history");
    args.insert(args.end(), {"--history", history()});
    return runCli(args);
  }

  ScratchDir dir_{"norq_cli_history"};
};

// The whitespace-separated words of the line of `text` that starts with `first` (after its indent).
std::vector<std::string> wordsOfLine(const std::string& text, const std::string& first) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    if (!w.empty() && w[0] == first) return w;
  }
  return {};
}

TEST_F(CliHistory, TrendsShowEachFigureAndItsChange) {
  record("2026-01-01T10:00:01Z", "loans",
         {{"status", "passed"}, {"rows", 100}, {"metrics", {{"accuracy", 0.8}}},
          {"columns", {{"amount", {{"missing_fraction", 0.0}, {"psi", 0.05}}}}}});
  record("2026-01-02T10:00:02Z", "other", {{"status", "passed"}, {"rows", 7}});
  record("2026-01-03T10:00:03Z", "loans",
         {{"status", "failed"}, {"rows", 150}, {"metrics", {{"accuracy", 0.7}}},
          {"columns", {{"amount", {{"missing_fraction", 0.1}, {"psi", 0.25}}}}}});
  const CliRun r = run({"loans"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The scans of the name, oldest first, cut to the second.
  EXPECT_EQ(wordsOfLine(r.out, "2026-01-01T10:00:01"),
            (std::vector<std::string>{"2026-01-01T10:00:01", "loans", "scan", "100", "passed", "c01"}));
  EXPECT_EQ(wordsOfLine(r.out, "2026-01-03T10:00:03"),
            (std::vector<std::string>{"2026-01-03T10:00:03", "loans", "scan", "150", "failed", "c03"}));
  EXPECT_EQ(r.out.find("other"), std::string::npos) << r.out;
  EXPECT_LT(r.out.find("2026-01-01"), r.out.find("2026-01-03"));
  EXPECT_NE(r.out.find("Trends of loans (oldest first)"), std::string::npos) << r.out;
  // One row per figure, a column per scan, and the change from the first scan to the last.
  EXPECT_EQ(wordsOfLine(r.out, "figure"), (std::vector<std::string>{"figure", "#1", "#2", "change"}));
  EXPECT_EQ(wordsOfLine(r.out, "rows"), (std::vector<std::string>{"rows", "100", "150", "+50"}));
  EXPECT_EQ(wordsOfLine(r.out, "accuracy"), (std::vector<std::string>{"accuracy", "0.8", "0.7", "-0.1"}));
  EXPECT_EQ(wordsOfLine(r.out, "missing_fraction"),
            (std::vector<std::string>{"missing_fraction", "amount", "0", "0.1", "+0.1"}));
  EXPECT_EQ(wordsOfLine(r.out, "psi"), (std::vector<std::string>{"psi", "amount", "0.05", "0.25", "+0.2"}));

  // --last keeps the newest scans; --json lists them with their figures, oldest first.
  const CliRun last = run({"--last", "2", "--json"});
  ASSERT_EQ(last.status, 0) << last.err;
  const json scans = json::parse(last.out);
  ASSERT_EQ(scans.size(), 2u);
  EXPECT_EQ(scans[0]["name"], "other");
  EXPECT_EQ(scans[1]["name"], "loans");
  EXPECT_EQ(scans[1]["figures"]["columns"]["amount"]["psi"], 0.25);
  EXPECT_EQ(scans[1]["input_checksum"], "c03");
}

TEST_F(CliHistory, AFigureMissingFromAScanIsADash) {
  record("2026-01-01T10:00:01Z", "loans", {{"status", "passed"}, {"rows", 100}});
  record("2026-01-02T10:00:02Z", "loans", {{"status", "passed"}, {"rows", 100}, {"metrics", {{"recall", 0.5}}}});
  // A damaged entry keeps its time and name; its figures are unknown.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(history().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO scan_figures (time, dataset_name, command, input_checksum, figures) VALUES "
                         "('2026-01-03T10:00:03Z', 'loans', 'profile', 'c03', '{not json')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const CliRun r = run({"loans"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(wordsOfLine(r.out, "2026-01-03T10:00:03"),
            (std::vector<std::string>{"2026-01-03T10:00:03", "loans", "profile", "-", "-", "c03"}));
  // The change runs from the first scan holding the figure to the last one holding it.
  EXPECT_EQ(wordsOfLine(r.out, "rows"), (std::vector<std::string>{"rows", "100", "100", "-", "+0"}));
  EXPECT_EQ(wordsOfLine(r.out, "recall"), (std::vector<std::string>{"recall", "-", "0.5", "-"}));
}

TEST_F(CliHistory, UnknownNamesAndEmptyHistories) {
  // No history file: nothing to show, and no file is made by looking.
  const CliRun none = run({});
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, "no scans recorded in " + history() + "\n");
  EXPECT_FALSE(fs::exists(history()));
  const CliRun noneJson = run({"--json"});
  EXPECT_EQ(noneJson.out, "[]\n");

  record("2026-01-01T10:00:01Z", "loans.csv", {{"status", "passed"}, {"rows", 3}});
  const CliRun typo = run({"lonas.csv"});
  EXPECT_EQ(typo.status, cli::kUsageErrorStatus);
  EXPECT_EQ(typo.err, "error: no scan of a dataset named lonas.csv in " + history() +
                          " (did you mean 'loans.csv'?)\n");
  EXPECT_EQ(typo.out, "");
  const CliRun far = run({"payments"});
  EXPECT_EQ(far.status, cli::kUsageErrorStatus);
  EXPECT_EQ(far.err.find("did you mean"), std::string::npos) << far.err;
  const CliRun zero = run({"--last", "0"});
  EXPECT_EQ(zero.status, cli::kUsageErrorStatus);
  EXPECT_NE(zero.err.find("--last must be at least 1"), std::string::npos) << zero.err;

  // A history written before figures were kept (no table of them) shows no scans rather than failing.
  const std::string old = dir_.path("old.sqlite");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(old.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE events (x INTEGER)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const CliRun before = runCli({"history", "--history", old});
  EXPECT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(before.out, "no scans recorded in " + old + "\n");
}

TEST(CliHistoryFigures, KeyFiguresOfAReport) {
  const json report = {
      {"status", "warnings"},
      {"dataset", {{"rows", 2000}}},
      {"profile", {{{"feature", "amount"}, {"missing_fraction", 0.25}}, {{"feature", "age"}, {"missing_fraction", 0.0}}}},
      {"drift",
       {{"features",
         {{{"feature", "amount"}, {"psi", 0.3}, {"ks", {{"statistic", 0.2}, {"pvalue", 0.001}}}},
          {{"feature", "region"}, {"psi", 0.01}, {"ks", nullptr}}}}}},
      {"metrics", {{"values", {{"accuracy", 0.9}}}}}};
  const json k = cli::keyFigures(report);
  EXPECT_EQ(k["status"], "warnings");
  EXPECT_EQ(k["rows"], 2000);
  EXPECT_EQ(k["columns"]["amount"], (json{{"missing_fraction", 0.25}, {"psi", 0.3}, {"ks", 0.2}}));
  EXPECT_EQ(k["columns"]["age"], (json{{"missing_fraction", 0.0}}));
  EXPECT_EQ(k["columns"]["region"], (json{{"psi", 0.01}}));  // a categorical column has no KS statistic
  EXPECT_EQ(k["metrics"], (json{{"accuracy", 0.9}}));
  // A profile-only report has no drift or metrics to follow.
  const json p = cli::keyFigures({{"status", "passed"}, {"dataset", {{"rows", 5}}}});
  EXPECT_FALSE(p.contains("metrics"));
  EXPECT_TRUE(p["columns"].empty());
}

}  // namespace

namespace {

// The command line as main() hands it over: subcommands, help, version, and the sql command's row limits.
TEST(CliApp, CommandLineOutcomes) {
  const CliRun version = runCli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("norq-spark 0."), std::string::npos) << version.out;
  const CliRun help = runCli({"sql", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--max-rows"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");

  const CliRun nothing = runCli({});
  EXPECT_EQ(nothing.status, cli::kUsageErrorStatus);
  EXPECT_EQ(nothing.err.rfind("error: ", 0), 0u) << nothing.err;
  const CliRun flagFirst = runCli({"--quiet"});
  EXPECT_EQ(flagFirst.status, cli::kUsageErrorStatus);
  EXPECT_EQ(flagFirst.err.find("unknown subcommand"), std::string::npos) << flagFirst.err;
  // An option of another subcommand is named with the nearest one this subcommand has.
  const CliRun wrongOption = runCli({"history", "--lst", "3"});
  EXPECT_EQ(wrongOption.status, cli::kUsageErrorStatus);
  EXPECT_NE(wrongOption.err.find("did you mean '--last'"), std::string::npos) << wrongOption.err;
  // A bad value for a numeric option is one line.
  const CliRun notNumber = runCli({"history", "--last", "many"});
  EXPECT_EQ(notNumber.status, cli::kUsageErrorStatus);
  EXPECT_EQ(std::count(notNumber.err.begin(), notNumber.err.end(), '\n'), 1) << notNumber.err;
  // A token in a server address given on the command line never reaches the terminal.
  const CliRun remote = runCli({"sql", "--remote", "sc://localhost:99999/;token=hunter2secret", "SELECT 1"});
  EXPECT_EQ(remote.status, cli::kUsageErrorStatus);
  EXPECT_EQ(remote.err.find("hunter2secret"), std::string::npos) << remote.err;
  EXPECT_EQ(remote.out, "");
}

TEST(CliApp, SqlRowLimits) {
  const CliRun zero = runCli({"sql", "--max-rows", "0", "SELECT id FROM range(3)"});
  ASSERT_EQ(zero.status, 0) << zero.err;
  EXPECT_EQ(zero.out, "+---+\n| id|\n+---+\n+---+\nonly showing top 0 rows\n");
  const CliRun zeroJson = runCli({"sql", "--json", "--max-rows", "0", "SELECT id FROM range(3)"});
  ASSERT_EQ(zeroJson.status, 0) << zeroJson.err;
  EXPECT_EQ(zeroJson.out, "");
  // --json prints every row unless told otherwise; the table stops at 20.
  const CliRun all = runCli({"sql", "--json", "SELECT id FROM range(25)"});
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 25);
  const CliRun table = runCli({"sql", "SELECT id FROM range(25)"});
  EXPECT_NE(table.out.find("| 19|"), std::string::npos);
  EXPECT_EQ(table.out.find("| 20|"), std::string::npos);
  EXPECT_NE(table.out.find("only showing top 20 rows"), std::string::npos);
  const CliRun negative = runCli({"sql", "--max-rows", "-1", "SELECT 1"});
  EXPECT_EQ(negative.status, cli::kUsageErrorStatus);
  EXPECT_NE(negative.err.find("--max-rows must be zero or more, got -1"), std::string::npos) << negative.err;
  // A folder with no part files is named with its view.
  const ScratchDir dir("norq_cli_pieces");
  fs::create_directories(dir.dir() / "none");
  norq_test::writeFile(dir.dir() / "none" / "_SUCCESS", "");
  const CliRun empty = runCli({"sql", "--csv", "v=" + dir.path("none"), "SELECT * FROM v"});
  EXPECT_EQ(empty.status, cli::kUsageErrorStatus);
  EXPECT_NE(empty.err.find("--csv v: the folder " + dir.path("none") + " holds no data files"), std::string::npos)
      << empty.err;
}

}  // namespace

namespace {

// A metric gate compares the figure with a limit that must be a finite number: 20 rows, 4 predicted wrong.
TEST(CliMetricGate, LimitsAreCheckedNumbers) {
  const ScratchDir dir("norq_cli_gate");
  std::string csv = "id,y,p\n";
  for (int i = 0; i < 20; ++i) csv += std::to_string(i) + "," + std::to_string(i % 2) + "," + std::to_string(i < 4 ? 1 - i % 2 : i % 2) + "\n";
  const std::string data = dir.write("d.csv", csv);
  auto gate = [&](const std::string& limit) {
    return runCli({"metrics", data, "--label", "y", "--prediction", "p", "--fail-metric-below", limit, "--history",
                   dir.path("h.sqlite"), "--json", "-"});
  };
  const CliRun at = gate("accuracy=0.8");
  ASSERT_EQ(at.status, 0) << at.err;  // 16 of 20 right: exactly at the limit passes
  EXPECT_EQ(json::parse(at.out)["metrics"]["values"]["accuracy"], 0.8);
  EXPECT_EQ(gate("accuracy=0.81").status, cli::kThresholdCrossedStatus);
  for (const std::string bad : {"nan", "inf", "0.7x", "", "1e999"}) {
    const CliRun r = gate("accuracy=" + bad);
    EXPECT_EQ(r.status, cli::kUsageErrorStatus) << bad;
    EXPECT_NE(r.err.find("'" + bad + "' is not a finite number"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << bad;
  }
}

}  // namespace

namespace {

// The profile of columns at the edges: all missing, constant, a single row; bins checked by hand.
TEST(CliReportContent, UnusualColumnsGiveTrueFigures) {
  const ScratchDir dir("norq_cli_report");
  // amount = (37 i mod 11) + 0.5 for i = 0..11: 0.5 twice, then each of 1.5 .. 10.5 once.
  std::string csv = "id,const,empty,amount,cat,y\n";
  for (int i = 0; i < 12; ++i)
    csv += std::to_string(i) + ",7,," + std::to_string((i * 37) % 11) + ".5," + (i % 2 ? "b" : "a") + "," +
           std::to_string(i % 2) + "\n";
  const CliRun r = runCli({"profile", dir.write("odd.csv", csv), "--label", "y", "--id", "id", "--json", "-",
                           "--history", dir.path("h.sqlite")});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  std::map<std::string, json> profile;
  for (const json& f : j["profile"]) profile[f["feature"].get<std::string>()] = f;
  // A column with no value at all: every row missing, nothing to bin, no bounds.
  EXPECT_EQ(profile["empty"]["missing_fraction"], 1.0);
  EXPECT_EQ(profile["empty"]["null_values"], 12);
  EXPECT_TRUE(profile["empty"]["minimum"].is_null());
  EXPECT_EQ(j["histograms"]["empty"]["counts"], json::array());
  EXPECT_EQ(j["histograms"]["empty"]["missing"], 12);
  // A constant column: one value, its bounds equal, all rows in one bar.
  EXPECT_EQ(profile["const"]["distinct_count"], 1);
  EXPECT_EQ(profile["const"]["minimum"], 7.0);
  EXPECT_EQ(profile["const"]["maximum"], 7.0);
  EXPECT_EQ(j["histograms"]["const"]["counts"], json::array({12}));
  // 15 bins of width 2/3 from 0.5 to 10.5; the last bin holds the maximum.
  EXPECT_EQ(profile["amount"]["distinct_count"], 11);
  EXPECT_EQ(profile["amount"]["minimum"], 0.5);
  EXPECT_EQ(profile["amount"]["maximum"], 10.5);
  const json& amount = j["histograms"]["amount"];
  EXPECT_EQ(amount["counts"], json::array({2, 1, 0, 1, 1, 0, 1, 1, 0, 1, 1, 0, 1, 1, 1}));
  EXPECT_EQ(amount["labels"].size(), 16u);
  EXPECT_EQ(amount["labels"][3], "2.5");
  EXPECT_EQ(amount["labels"][15], "10.5");
  // Every histogram accounts for every row.
  for (const auto& [name, h] : j["histograms"].items()) {
    std::int64_t total = h["missing"].get<std::int64_t>() + h["other"].get<std::int64_t>();
    for (const json& c : h["counts"]) total += c.get<std::int64_t>();
    EXPECT_EQ(total, 12) << name;
  }
  EXPECT_EQ(j["histograms"]["cat"]["counts"], json::array({6, 6}));
  // The identifier column is profiled as such, not binned.
  EXPECT_EQ(profile["id"]["type"], "ID");
  EXPECT_FALSE(j["histograms"].contains("id"));

  // One data row: the split puts it in training, and its one value fills the last bin.
  const CliRun one = runCli({"profile", dir.write("one.csv", "id,amount,y\n1,5.5,1\n"), "--label", "y", "--json",
                             "-", "--history", dir.path("h.sqlite")});
  ASSERT_EQ(one.status, 0) << one.err;
  const json o = json::parse(one.out);
  EXPECT_EQ(o["dataset"]["rows"], 1);
  EXPECT_EQ(o["dataset"]["training_rows"].get<int>() + o["dataset"]["validation_rows"].get<int>() +
                o["dataset"]["testing_rows"].get<int>(),
            1);
  std::int64_t binned = 0;
  for (const json& c : o["histograms"]["amount"]["counts"]) binned += c.get<std::int64_t>();
  EXPECT_EQ(binned, 1);
}

}  // namespace

namespace {

// Data-quality counts on six rows worked out by hand, and the violation limit at its boundary.
TEST(CliReportContent, QualityChecksCountEveryViolation) {
  const ScratchDir dir("norq_cli_quality");
  // Rows 2 and 3 are the same; hi < lo on rows 2, 3, 4 and 6 (row 5 is equal: no violation); ref is missing on row 4.
  const std::string data = dir.write("q.csv", "id,lo,hi,ref\n1,1,5,10\n2,6,5,20\n2,6,5,20\n3,9,2,\n4,3,3,40\n5,8,1,50\n");
  auto quality = [&](std::vector<std::string> extra) {
    std::vector<std::string> args{"quality", data, "--label", "ref", "--order", "hi:lo", "--json", "-", "--history",
                                  dir.path("h.sqlite")};
    args.insert(args.end(), extra.begin(), extra.end());
    return runCli(args);
  };
  const CliRun r = quality({"--missing-id", "ref", "--fail-violations-above", "2", "--sample-rows", "1"});
  EXPECT_EQ(r.status, cli::kThresholdCrossedStatus) << r.err;
  const json j = json::parse(r.out);
  const json& q = j["quality"];
  EXPECT_EQ(q["duplicates"]["count"], 2);  // both copies
  ASSERT_EQ(q["duplicates"]["sample"].size(), 1u);
  EXPECT_EQ(q["duplicates"]["sample"][0]["id"], 2);
  ASSERT_EQ(q["ordering"].size(), 1u);
  EXPECT_EQ(q["ordering"][0]["count"], 4);
  EXPECT_EQ(q["ordering"][0]["sample"].size(), 1u);
  ASSERT_EQ(q["missing_ids"].size(), 1u);
  EXPECT_EQ(q["missing_ids"][0]["count"], 1);
  EXPECT_EQ(q["missing_ids"][0]["sample"][0]["id"], 3);
  EXPECT_EQ(j["summary"]["violations"], 7);
  // Only the check above the limit is crossed: 2 duplicates are not more than 2.
  ASSERT_EQ(j["thresholds_crossed"].size(), 1u);
  EXPECT_EQ(j["thresholds_crossed"][0]["check"], "violations_above");
  EXPECT_EQ(j["thresholds_crossed"][0]["value"], 4.0);
  EXPECT_EQ(j["status"], "failed");

  // At the limit nothing fails; skipped checks and empty samples are left out of the counts.
  const CliRun at = quality({"--fail-violations-above", "4", "--sample-rows", "0", "--no-duplicates"});
  EXPECT_EQ(at.status, 0) << at.err;
  const json a = json::parse(at.out);
  EXPECT_FALSE(a["quality"].contains("duplicates"));
  EXPECT_EQ(a["quality"]["ordering"][0]["count"], 4);
  EXPECT_EQ(a["quality"]["ordering"][0]["sample"], json::array());
  EXPECT_EQ(a["summary"]["violations"], 4);
  EXPECT_EQ(a["status"], "warnings");  // violations without a limit crossed
}

}  // namespace
