// The data-check subcommands run in-process on the sample lending data: report content, thresholds and
// exit statuses, bad input, atomic report files and the scan history.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/app.h"
#include "cli/cli_error.h"
#include "cli/csv_flags.h"
#include "cli/scan_options.h"
#include "cli/scan_run.h"
#include "cli_run.h"
#include "spark/embedded_python_leaks.h"  // the predict command runs here, in this process

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

using norq_test::CliRun;
using norq_test::runCli;
using norq_test::sourceDir;

class ScanCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = norq_test::freshTempDir("norq_scan_test");
    loans_ = norq_test::sampleData("loans.csv");
    // A drifted copy: every amount one and a half times larger.
    std::ifstream in(loans_);
    std::ofstream drifted(dir_ / "drifted.csv");
    std::string line;
    std::getline(in, line);
    drifted << line << "\n";
    while (std::getline(in, line)) {
      std::vector<std::string> cells;
      std::stringstream ss(line);
      std::string c;
      while (std::getline(ss, c, ',')) cells.push_back(c);
      cells[3] = std::to_string(std::stoll(cells[3]) * 3 / 2);
      for (std::size_t i = 0; i < cells.size(); ++i) drifted << (i ? "," : "") << cells[i];
      drifted << "\n";
    }
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  std::vector<std::string> scanArgs(const std::string& data, const std::string& history) {
    return {"scan", data, "--label", "defaulted", "--prediction", "predicted", "--protected", "gender",
            "--privileged", "M", "--unprivileged", "F", "--id", "loan_id,applicant_id", "--date", "application_date",
            "--history", (dir_ / history).string(), "--quiet"};
  }

  static fs::path dir_;
  static std::string loans_;
};

fs::path ScanCliTest::dir_;
std::string ScanCliTest::loans_;

TEST_F(ScanCliTest, FullScanReportsEveryPart) {
  auto args = scanArgs((dir_ / "drifted.csv").string(), "full.sqlite");
  const std::string jsonPath = (dir_ / "report.json").string(), htmlPath = (dir_ / "report.html").string();
  args.insert(args.end(), {"--reference", loans_, "--json", jsonPath, "--html", htmlPath, "--order", "amount:age"});
  CliRun r = runCli(args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.empty());  // --quiet
  json j = json::parse(std::ifstream(jsonPath));
  EXPECT_EQ(j["format"], "norq-spark-report");
  EXPECT_EQ(j["dataset"]["rows"], 2000);
  EXPECT_EQ(j["dataset"]["protected"], "gender");
  EXPECT_EQ(j["dataset"]["overall_checksum"].get<std::string>().size(), 16u);
  EXPECT_TRUE(j["history"]["checksums_match"].is_null());  // the first scan of this name
  EXPECT_FALSE(j["profile"].empty());
  EXPECT_TRUE(j["histograms"].contains("amount"));
  EXPECT_EQ(j["quality"]["duplicates"]["count"], 0);
  EXPECT_EQ(j["quality"]["ordering"][0]["count"], 0);  // every amount is at least the applicant's age
  const json& m = j["metrics"];
  EXPECT_EQ(m["segment"], "all");  // every row unless --metrics-segment says otherwise
  for (const auto& [name, v] : m["values"].items()) {
    ASSERT_TRUE(v.is_number()) << name;
    EXPECT_GE(v.get<double>(), 0.0);
    EXPECT_LE(v.get<double>(), 1.0);
  }
  EXPECT_TRUE(m["fairness"]["metric_diff"].contains("accuracy"));
  bool amountDrifted = false;
  std::set<std::string> roles;
  for (const json& f : j["drift"]["features"]) {
    roles.insert(f["role"].get<std::string>());
    if (f["feature"] == "amount") {
      amountDrifted = f["ks"]["pvalue"].get<double>() < 1e-6 && f["psi"].get<double>() > 0.1;
      EXPECT_NE(f["verdict"], "stable");
    } else if (f["feature"] == "age") {
      EXPECT_EQ(f["ks"]["statistic"], 0.0);  // unchanged
      EXPECT_EQ(f["verdict"], "stable");
      EXPECT_EQ(f["drifted"], false);
    }
  }
  EXPECT_TRUE(amountDrifted);
  EXPECT_EQ(roles, (std::set<std::string>{"feature", "date", "target", "protected"}));
  // No limit was set: the drift is a warning, not a failure.
  EXPECT_EQ(j["status"], "warnings");
  EXPECT_TRUE(j["thresholds_crossed"].empty());
  EXPECT_GE(j["summary"]["features_drifted"].get<int>() + j["summary"]["features_moderate"].get<int>(), 1);
  // Figures carry no float noise (15 significant digits at most).
  for (const auto& [name, v] : m["fairness"]["metric_diff"].items())
    if (v.is_number()) {
      EXPECT_LE(v.dump().size(), 17u) << name << " " << v.dump();
    }
  EXPECT_TRUE(j["histograms"]["amount"].contains("missing"));
  const std::string page = norq_test::readFile(htmlPath);
  EXPECT_NE(page.find("<svg"), std::string::npos);
  EXPECT_NE(page.find("id=\"drift\""), std::string::npos);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("http"), std::string::npos);  // nothing fetched
}

TEST_F(ScanCliTest, ThresholdsGiveTheirOwnStatus) {
  auto args = scanArgs((dir_ / "drifted.csv").string(), "thresholds.sqlite");
  args.insert(args.end(), {"--reference", loans_, "--fail-pvalue-below", "0.01", "--json", "-"});
  args.erase(std::find(args.begin(), args.end(), "--quiet"));
  CliRun crossed = runCli(args);
  EXPECT_EQ(crossed.status, cli::kThresholdCrossedStatus);
  json j = json::parse(crossed.out);
  EXPECT_EQ(j["status"], "failed");
  ASSERT_FALSE(j["thresholds_crossed"].empty());
  const json& t = j["thresholds_crossed"][0];
  EXPECT_EQ(t["check"], "pvalue_below");
  EXPECT_EQ(t["feature"], "amount");
  EXPECT_TRUE(t["value"].is_number());
  EXPECT_EQ(t["limit"], 0.01);
  for (const json& f : j["drift"]["features"])
    if (f["feature"] == "amount") {
      EXPECT_EQ(f["drifted"], true);
    }
  // The terminal summary leads with the verdict and the failed check's figures.
  args.erase(args.end() - 2, args.end());
  CliRun summary = runCli(args);
  EXPECT_EQ(summary.out.rfind("Status: failed", 0), 0u) << summary.out;
  EXPECT_NE(summary.out.find("FAILED drift of amount: KS p-value"), std::string::npos) << summary.out;
  EXPECT_EQ(summary.out.find("0.000000"), std::string::npos) << summary.out;
  auto metrics = scanArgs(loans_, "thresholds.sqlite");
  metrics[0] = "metrics";
  metrics.insert(metrics.end(), {"--fail-metric-below", "accuracy=1.01"});
  EXPECT_EQ(runCli(metrics).status, cli::kThresholdCrossedStatus);
  metrics.back() = "accuracy=0";
  EXPECT_EQ(runCli(metrics).status, 0);
}

TEST_F(ScanCliTest, MetricsCoverAllRowsWithTheConfusionMatrix) {
  auto args = scanArgs(loans_, "metrics.sqlite");
  args[0] = "metrics";
  args.insert(args.end(), {"--json", "-", "--score", "interest_rate"});
  CliRun r = runCli(args);
  ASSERT_EQ(r.status, 0) << r.err;
  const json m = json::parse(r.out)["metrics"];
  EXPECT_EQ(m["segment"], "all");
  EXPECT_EQ(m["rows"], 2000);
  EXPECT_EQ(m["task"], "classification");
  const json& cm = m["confusion_matrix"];
  EXPECT_EQ(cm["true_positive"].get<int>() + cm["false_positive"].get<int>() + cm["true_negative"].get<int>() +
                cm["false_negative"].get<int>() + cm["other"].get<int>(),
            2000);
  for (const char* k : {"precision", "recall", "f1", "roc_auc"}) EXPECT_TRUE(m["values"][k].is_number()) << k;
  const double tp = cm["true_positive"], fp = cm["false_positive"];
  EXPECT_DOUBLE_EQ(m["values"]["precision"].get<double>(), tp / (tp + fp));

  args.insert(args.end(), {"--metrics-segment", "validation"});
  const json v = json::parse(runCli(args).out)["metrics"];
  EXPECT_EQ(v["segment"], "validation");
  EXPECT_LT(v["rows"].get<int>(), 2000);

  // A numeric label that is not binary gets regression errors.
  auto reg = scanArgs(loans_, "metrics.sqlite");
  reg = {"metrics", loans_, "--label", "amount", "--prediction", "income", "--json", "-",
         "--history", (dir_ / "metrics.sqlite").string()};
  CliRun rr = runCli(reg);
  ASSERT_EQ(rr.status, 0) << rr.err;
  const json rm = json::parse(rr.out)["metrics"];
  EXPECT_EQ(rm["task"], "regression");
  EXPECT_GT(rm["values"]["mae"].get<double>(), 0.0);
  EXPECT_FALSE(rm["values"].contains("accuracy"));
}

TEST_F(ScanCliTest, ConfigurationUsesTheFlagNamesAndRejectsUnknownKeys) {
  const fs::path config = dir_ / "config.json";
  std::ofstream(config) << R"({"label": "defaulted", "prediction": "predicted", "id": ["loan_id", "applicant_id"],
    "date": "application_date", "fail_psi_above": 5, "drift": {"amount": {"psi_above": 0.05}}})";
  std::vector<std::string> args{"drift", (dir_ / "drifted.csv").string(), "--reference", loans_, "--config",
                                config.string(), "--json", "-", "--history", (dir_ / "config.sqlite").string()};
  CliRun r = runCli(args);
  EXPECT_EQ(r.status, cli::kThresholdCrossedStatus) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["dataset"]["target"], "defaulted");
  EXPECT_EQ(j["dataset"]["features"]["id"], (json{"loan_id", "applicant_id"}));
  ASSERT_EQ(j["thresholds_crossed"].size(), 1u);  // the per-column limit, not the general one
  EXPECT_EQ(j["thresholds_crossed"][0]["feature"], "amount");
  EXPECT_EQ(j["thresholds_crossed"][0]["limit"], 0.05);

  auto expectConfigError = [&](const std::string& text, const std::string& fragment) {
    std::ofstream(config) << text;
    CliRun bad = runCli(args);
    EXPECT_EQ(bad.status, cli::kUsageErrorStatus) << text;
    EXPECT_NE(bad.err.find(fragment), std::string::npos) << bad.err;
  };
  expectConfigError(R"({"lable": "defaulted"})", "unknown key 'lable' (did you mean 'label'?)");
  expectConfigError(R"({"fail_psi_abve": 1})", "did you mean 'fail_psi_above'");
  expectConfigError(R"({"drift": {"amount": {"psi_abov": 1}}})", "did you mean 'psi_above'");
  expectConfigError(R"({"drift": {"amout": {"psi_above": 1}}})", "did you mean 'amount'");
  expectConfigError(R"({"seed": "x"})", "key 'seed' has the wrong type");
  expectConfigError("[1]", "not a JSON object");
}

TEST_F(ScanCliTest, UnknownNamesSuggestTheNearest) {
  auto expectHint = [&](const std::vector<std::string>& args, const std::string& fragment) {
    CliRun r = runCli(args);
    EXPECT_EQ(r.status, cli::kUsageErrorStatus);
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
  };
  expectHint({"profile", loans_, "--label", "defaultd"}, "did you mean 'defaulted'");
  expectHint({"metrics", loans_, "--label", "defaulted", "--prediction", "predicted", "--fail-metric-below",
              "acuracy=0.5", "--history", (dir_ / "hint.sqlite").string()},
             "did you mean 'accuracy'");
  expectHint({"scna", loans_}, "did you mean 'scan'");
  expectHint({"profile", loans_, "--lable", "defaulted"}, "did you mean '--label'");
  // The label is required on the command line when metrics are computed.
  expectHint({"metrics", loans_, "--prediction", "predicted"}, "--label");
}

TEST_F(ScanCliTest, SecondScanOfUnchangedDataMatchesTheLast) {
  auto args = scanArgs(loans_, "again.sqlite");
  args[0] = "quality";
  args.erase(args.begin() + 6, args.begin() + 12);  // quality takes no fairness options
  args.insert(args.end(), {"--json", "-"});
  CliRun first = runCli(args);
  ASSERT_EQ(first.status, 0) << first.err;
  CliRun second = runCli(args);
  ASSERT_EQ(second.status, 0) << second.err;
  json j = json::parse(second.out);  // nothing but the JSON on standard output
  EXPECT_EQ(j["history"]["checksums_match"], true);
  EXPECT_EQ(j["history"]["previous_checksum"], j["dataset"]["overall_checksum"]);
  EXPECT_EQ(j["history"]["data_unchanged"], true);
  // Other identifier columns change the dataset, not the data read.
  auto other = args;
  other[std::find(other.begin(), other.end(), "loan_id,applicant_id") - other.begin()] = "loan_id";
  CliRun third = runCli(other);
  ASSERT_EQ(third.status, 0) << third.err;
  const json t = json::parse(third.out);
  EXPECT_EQ(t["history"]["data_unchanged"], true);
  EXPECT_EQ(t["history"]["trend"].size(), 2u);
  EXPECT_EQ(t["history"]["trend"][0]["rows"], 2000);

  // The history command lists the scans of the name and the trends of their figures.
  CliRun h = runCli({"history", "loans.csv", "--history", (dir_ / "again.sqlite").string()});
  ASSERT_EQ(h.status, 0) << h.err;
  EXPECT_EQ(std::count(h.out.begin(), h.out.end(), '\n') >= 5, true) << h.out;
  EXPECT_NE(h.out.find("Trends of loans.csv"), std::string::npos) << h.out;
  bool rowsTrend = false;
  std::stringstream lines(h.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("   rows ", 0) == 0) {
      std::size_t n = 0;
      for (std::size_t at = line.find("2000"); at != std::string::npos; at = line.find("2000", at + 1)) ++n;
      rowsTrend = n == 3;
    }
  EXPECT_TRUE(rowsTrend) << h.out;
  CliRun hj = runCli({"history", "--history", (dir_ / "again.sqlite").string(), "--json", "--last", "2"});
  ASSERT_EQ(hj.status, 0) << hj.err;
  EXPECT_EQ(json::parse(hj.out).size(), 2u);
  CliRun typo = runCli({"history", "loans.cvs", "--history", (dir_ / "again.sqlite").string()});
  EXPECT_EQ(typo.status, cli::kUsageErrorStatus);
  EXPECT_NE(typo.err.find("did you mean 'loans.csv'"), std::string::npos) << typo.err;
}

// The summary says which kind each column got and from where, flags a guess that hangs on the row count,
// and prints large numbers with separators.
TEST_F(ScanCliTest, SummaryShowsTheKindsAndWarnsWhenAGuessDependsOnTheRowCount) {
  const std::vector<std::string> base{"profile", loans_, "--label", "defaulted", "--id", "loan_id,applicant_id",
                                      "--date", "application_date", "--history", (dir_ / "kinds.sqlite").string()};
  CliRun r = runCli(base);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line : {"Dataset loans.csv  2,000 rows (", "  categorical (guessed): gender, purpose, region\n",
                           "  note: term_months is guessed continuous from 5 distinct values in 2,000 rows; above 5,000 "
                           "rows it would be guessed categorical: give --continuous term_months",
                           "--categorical COLS or --continuous COLS", "50,000"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  EXPECT_EQ(r.out.find("e+0"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("note: age"), std::string::npos) << r.out;  // dozens of ages in 2,000 rows: far from the limit

  auto given = base;
  given.insert(given.end(), {"--continuous", "amount,interest_rate,income,employment_years,age", "--json", "-"});
  CliRun g = runCli(given);
  ASSERT_EQ(g.status, 0) << g.err;
  std::map<std::string, json> kinds;
  const json report = json::parse(g.out);
  for (const json& k : report["dataset"]["kinds"]) kinds[k["column"].get<std::string>()] = k;
  EXPECT_EQ(kinds["amount"]["source"], "given");
  EXPECT_EQ(kinds["term_months"]["source"], "rest");
  EXPECT_EQ(kinds["term_months"]["kind"], "categorical");
  EXPECT_FALSE(kinds["term_months"].contains("near_limit"));  // not a guess
  EXPECT_EQ(kinds.count("defaulted"), 0u);                    // the target is not a feature
}

// Files in other CSV dialects read through the flags or the same names in the configuration file, for the
// data and the reference alike; a file read as one column names the likely separator.
TEST_F(ScanCliTest, CsvOptionsReadOtherDialects) {
  const fs::path semi = dir_ / "dialect.csv", tab = dir_ / "dialect.tsv";
  std::ofstream(semi) << "id;city;amount;day\n1;'Oslo; N';NA;03/01/2022\n2;Rome;12.5;04/01/2022\n"
                         "3;'Lima';7;05/02/2022\n4;Rome;NA;06/02/2022\n";
  std::ofstream(tab) << "id\tcity\tamount\tday\n1\tOslo\t3\t03/01/2022\n2\tRome\t4\t04/01/2022\n";
  const std::string history = (dir_ / "dialect.sqlite").string();
  auto profileOf = [&](const CliRun& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, json> byName;
    if (r.status != 0) return byName;
    const json report = json::parse(r.out);
    for (const json& f : report["profile"]) byName[f["feature"].get<std::string>()] = f;
    return byName;
  };
  const std::vector<std::string> base{"profile", semi.string(), "--label", "id", "--date", "day",
                                      "--json", "-", "--history", history};
  auto flags = base;
  flags.insert(flags.end(), {"--delimiter", ";", "--quote", "'", "--null-value", "NA", "--date-format", "dd/MM/yyyy"});
  auto p = profileOf(runCli(flags));
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p["city"]["distinct_values"], 3);  // "Oslo; N" is one quoted value
  EXPECT_EQ(p["amount"]["null_values"], 2);
  EXPECT_EQ(p["amount"]["distinct_count"], 2);  // 12.5 and 7; the framework's figure is the row count
  EXPECT_EQ(p["amount"]["type"], "Continuous");
  EXPECT_EQ(p["day"]["type"], "Date");
  EXPECT_EQ(p["day"]["minimum"], 1641168000.0);  // 2022-01-03

  const fs::path config = dir_ / "dialect.json";
  std::ofstream(config) << R"({"delimiter": ";", "quote": "'", "null_value": "NA", "date_format": "dd/MM/yyyy"})";
  auto configured = base;
  configured.insert(configured.end(), {"--config", config.string()});
  EXPECT_EQ(profileOf(runCli(configured)), p);

  auto tabbed = base;
  tabbed[1] = tab.string();
  tabbed.insert(tabbed.end(), {"--delimiter", "\\t", "--date-format", "dd/MM/yyyy"});
  EXPECT_EQ(profileOf(runCli(tabbed))["day"]["maximum"], 1641254400.0);  // 2022-01-04

  // The reference is read with the same flags.
  CliRun drift = runCli({"drift", semi.string(), "--reference", semi.string(), "--label", "id", "--delimiter", ";",
                      "--quote", "'", "--null-value", "NA", "--json", "-", "--history", history});
  ASSERT_EQ(drift.status, 0) << drift.err;
  const json driftReport = json::parse(drift.out);
  EXPECT_EQ(driftReport["dataset"]["features"]["continuous"], json::array({"amount"}));  // NA read as null
  for (const json& f : driftReport["drift"]["features"]) EXPECT_EQ(f["verdict"], "stable") << f.dump();

  // Without the flag the file is one column: a warning names the separator and the flag to give, and an
  // unknown column's error carries it too.
  CliRun oneColumn = runCli({"profile", semi.string(), "--quiet", "--history", history});
  EXPECT_EQ(oneColumn.status, 0) << oneColumn.err;
  EXPECT_NE(oneColumn.err.find("warning: " + semi.string() + " reads as a single column, but ';' splits its first "
                               "lines into 4 fields: give --delimiter ';'"),
            std::string::npos)
      << oneColumn.err;
  CliRun noColumn = runCli({"profile", tab.string(), "--label", "id", "--quiet", "--history", history});
  EXPECT_EQ(noColumn.status, cli::kUsageErrorStatus);
  EXPECT_NE(noColumn.err.find("give --delimiter '\\t'"), std::string::npos) << noColumn.err;

  auto expectBad = [&](std::vector<std::string> extra, const std::string& fragment) {
    auto args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    CliRun r = runCli(args);
    EXPECT_EQ(r.status, cli::kUsageErrorStatus) << fragment;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
  };
  expectBad({"--delimiter", ";;"}, "--delimiter must be one character");
  expectBad({"--delimiter", ";", "--quote", ";"}, "--quote and --delimiter cannot both be ';'");
  expectBad({"--encoding", "latin1"}, "--encoding latin1: the embedded engine reads UTF-8");
  std::ofstream(config) << R"({"delimter": ";"})";
  expectBad({"--config", config.string()}, "did you mean 'delimiter'");
}

// The separator hint fires only on an even split of the first lines, and looks into a folder's first part.
TEST_F(ScanCliTest, LikelyDelimiterNeedsAnEvenSplit) {
  const fs::path notes = dir_ / "notes.csv", parts = dir_ / "parts";
  std::ofstream(notes) << "note\nhello; world\nfine\nbye; now; again\n";
  EXPECT_FALSE(cli::likelyDelimiterWarning(notes.string(), {"note"}, {}));
  fs::create_directories(parts);
  std::ofstream(parts / "part-00000.csv") << "a|b|c\n1|2|3\n4|5|6\n";
  std::ofstream(parts / "_SUCCESS").close();
  const auto w = cli::likelyDelimiterWarning(parts.string(), {"a|b|c"}, {});
  ASSERT_TRUE(w);
  EXPECT_NE(w->find("'|' splits its first lines into 3 fields: give --delimiter '|'"), std::string::npos) << *w;
  EXPECT_FALSE(cli::likelyDelimiterWarning(parts.string(), {"a", "b", "c"}, {}));  // already read as columns
  cli::CsvFlags pipe;
  pipe.delimiter = "|";
  EXPECT_FALSE(cli::likelyDelimiterWarning(parts.string(), {"a|b|c"}, pipe));  // the separator given
}

TEST_F(ScanCliTest, BadInputIsOneLineWithUsageStatusAndNoReport) {
  const std::string report = (dir_ / "never.json").string();
  auto expectBad = [&](std::vector<std::string> args, const std::string& fragment) {
    args.insert(args.end(), {"--json", report, "--history", (dir_ / "bad.sqlite").string()});
    CliRun r = runCli(args);
    EXPECT_EQ(r.status, cli::kUsageErrorStatus) << fragment;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(report));
  };
  expectBad({"profile", (dir_ / "missing.csv").string()}, "no such file");
  std::ofstream(dir_ / "empty.csv").close();
  expectBad({"profile", (dir_ / "empty.csv").string()}, "empty");
  std::ofstream(dir_ / "ragged.csv") << "a,b,c\n1,2,3\n4,5\n";
  expectBad({"profile", (dir_ / "ragged.csv").string()}, "Malformed");
  expectBad({"profile", loans_, "--label", "defaulted", "--prediction", "defaulted"}, "same column");
  expectBad({"profile", loans_, "--where", "amount >"}, "error:");
  expectBad({"profile", loans_, "--where", "nope > 1"}, "nope");
  expectBad({"profile", loans_, "--label", "nope"}, "nope");
  expectBad({"metrics", loans_, "--label", "defaulted"}, "--prediction");
  expectBad({"drift", loans_}, "--reference");
  expectBad({"scan", loans_, "--splits", "0.8,x,0"}, "--splits");
}


}  // namespace

namespace {

TEST(PredictCliTest, WritesTheDataWithItsPredictions) {
  const char* models = std::getenv("NORQ_TEST_MODELS");
  if (!models || !fs::exists(std::string(models) + "/classifier.pkl"))
    GTEST_SKIP() << "NORQ_TEST_MODELS does not name the trained models (ctest runs the training fixture)";
  const norq_test::ScratchDir scratch("norq_predict");
  const fs::path out = scratch.dir() / "predicted.csv";
  CliRun r = runCli({"predict", sourceDir() + "/data/sample/loans.csv", "--model", std::string(models) + "/classifier.pkl",
                  "--features", "amount,term_months,interest_rate,age", "--label", "defaulted", "--output", out.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(out);
  std::string header;
  std::getline(in, header);
  EXPECT_EQ(header.substr(header.rfind(',') + 1), "predictions");
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  EXPECT_EQ(lines, 2000u);
  fs::remove(out);
  CliRun bad = runCli({"predict", sourceDir() + "/data/sample/loans.csv", "--model", std::string(models) + "/garbage.pkl",
                    "--output", out.string()});
  EXPECT_EQ(bad.status, cli::kUsageErrorStatus);
  EXPECT_NE(bad.err.find("cannot load the model"), std::string::npos) << bad.err;
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
