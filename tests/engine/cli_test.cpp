// Tests of the norq-spark command's pieces: NAME=PATH arguments, inline JSON tables, table and JSON
// rendering, and the sql command run in-process against the sample data.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/cli_error.h"
#include "cli/command.h"
#include "cli/inline_table.h"
#include "cli/output_json.h"
#include "cli/output_table.h"
#include "cli/sql_command.h"
#include "cli/view_args.h"
#include "cli_run.h"

namespace {

using engine::DataType;
using engine::LocalTable;
using engine::Value;

using norq_test::sourceDir;

// A small table built column by column: id int, x double (with NaN and null), s string, d decimal(5,2).
LocalTable handBuiltTable() {
  auto id = engine::Vector::make(engine::IntegerType(), 3);
  auto x = engine::Vector::make(engine::DoubleType(), 3);
  auto d = engine::Vector::make(engine::DecimalType(5, 2), 3);
  for (int i = 0; i < 3; ++i) id->data<std::int32_t>()[i] = (i + 1) * 10;
  x->data<double>()[0] = 1.5;
  x->data<double>()[1] = std::numeric_limits<double>::quiet_NaN();
  x->setNull(2);
  d->data<engine::int128_t>()[0] = 1250;  // 12.50
  d->data<engine::int128_t>()[1] = -5;    // -0.05
  d->setNull(2);
  engine::StringVectorBuilder s;
  s.append("north");
  s.append(
      "S\xc3\xbc"
      "d");  // "Süd": 3 columns wide, 4 bytes
  s.appendNull();
  engine::StructType schema;
  schema.add("id", engine::IntegerType()).add("x", engine::DoubleType()).add("s", engine::StringType());
  schema.add("d", engine::DecimalType(5, 2));
  return LocalTable(schema, {id, x, s.finish(), d}, 3);
}

TEST(CliViewArgs, SplitsAtFirstEqualsAndValidatesTheName) {
  const auto a = cli::parseViewArg("loans=data/a=b.csv", "--csv");
  EXPECT_EQ(a.name, "loans");
  EXPECT_EQ(a.path, "data/a=b.csv");
  EXPECT_EQ(cli::parseViewArg("_t2=x", "--csv").name, "_t2");

  for (const char* bad : {"loans", "=x.csv", "loans=", "2loans=x.csv", "my-loans=x.csv", "a b=x"}) {
    EXPECT_THROW(cli::parseViewArg(bad, "--csv"), cli::CliError) << bad;
  }
  try {
    cli::parseViewArg("loans", "--csv");
  } catch (const cli::CliError& e) {
    EXPECT_NE(std::string(e.what()).find("--csv expects NAME=PATH"), std::string::npos) << e.what();
  }
}

TEST(CliViewArgs, RejectsANameGivenTwiceIgnoringCase) {
  EXPECT_THROW(cli::parseViewArgs({"t=a.csv", "T=b.csv"}, "--csv"), cli::CliError);
  const auto csv = cli::parseViewArgs({"t=a.csv", "u=b.csv"}, "--csv");
  ASSERT_EQ(csv.size(), 2u);
  EXPECT_THROW(cli::parseViewArgs({"U=c.json"}, "--table", csv), cli::CliError);
  EXPECT_EQ(cli::parseViewArgs({"v=c.json"}, "--table", csv).size(), 1u);
}

TEST(CliOutputTable, RendersLikeShowWithNumbersRightAligned) {
  const std::string text = cli::renderTable(handBuiltTable(), 20);
  EXPECT_EQ(text,
            "+---+----+-----+-----+\n"
            "| id|   x|s    |    d|\n"
            "+---+----+-----+-----+\n"
            "| 10| 1.5|north|12.50|\n"
            "| 20| NaN|S\xc3\xbc"
            "d  |-0.05|\n"
            "| 30|NULL|NULL | NULL|\n"
            "+---+----+-----+-----+\n");
}

TEST(CliOutputTable, CutsAtMaxRowsAndSaysSo) {
  const std::string text = cli::renderTable(handBuiltTable(), 2);
  EXPECT_NE(text.find("| 20|"), std::string::npos);
  EXPECT_EQ(text.find("| 30|"), std::string::npos);
  EXPECT_NE(text.find("only showing top 2 rows\n"), std::string::npos);
  EXPECT_EQ(cli::renderTable(handBuiltTable(), 3).find("only showing"), std::string::npos);

  // An empty result still shows its header.
  engine::StructType schema;
  schema.add("n", engine::LongType());
  const LocalTable empty(schema, {engine::Vector::make(engine::LongType(), 0)}, 0);
  EXPECT_EQ(cli::renderTable(empty, 20), "+---+\n|  n|\n+---+\n+---+\n");
}

TEST(CliOutputTable, EscapesControlCharactersAndCountsCodePoints) {
  EXPECT_EQ(cli::cellText(Value("a\nb\tc\x01")), "a\\nb\\tc\\x01");
  EXPECT_EQ(cli::cellText(Value()), "NULL");
  EXPECT_EQ(cli::displayWidth("S\xc3\xbc"
                              "d"),
            3u);
  EXPECT_EQ(cli::displayWidth("\xe2\x82\xac"), 1u);  // euro sign
  EXPECT_EQ(cli::displayWidth("\xe2\x82"), 2u);      // truncated sequence: byte by byte
}

TEST(CliOutputJson, WritesTypedValuesOnePerLine) {
  std::ostringstream out;
  cli::writeJsonLines(out, handBuiltTable(), 10);
  EXPECT_EQ(out.str(),
            "{\"id\":10,\"x\":1.5,\"s\":\"north\",\"d\":\"12.50\"}\n"
            "{\"id\":20,\"x\":\"NaN\",\"s\":\"S\xc3\xbc"
            "d\",\"d\":\"-0.05\"}\n"
            "{\"id\":30,\"x\":null,\"s\":null,\"d\":null}\n");
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) EXPECT_TRUE(nlohmann::json::accept(line)) << line;
}

TEST(CliOutputJson, ScalarEdgeCases) {
  const auto json = [](const Value& v) {
    std::string s;
    cli::appendJsonValue(s, v);
    return s;
  };
  EXPECT_EQ(json(Value(std::numeric_limits<double>::infinity())), "\"Infinity\"");
  EXPECT_EQ(json(Value(-std::numeric_limits<double>::infinity())), "\"-Infinity\"");
  EXPECT_EQ(json(Value(2.0)), "2.0");
  EXPECT_EQ(json(Value(0.1)), "0.1");
  EXPECT_EQ(json(Value(1e300)), "1e+300");
  EXPECT_EQ(json(Value(2.5f)), "2.5");
  EXPECT_EQ(json(Value(static_cast<long long>(INT64_MIN))), "-9223372036854775808");
  EXPECT_EQ(json(Value(true)), "true");
  EXPECT_EQ(json(Value("quote\" and \\")), "\"quote\\\" and \\\\\"");
  EXPECT_EQ(json(Value(std::string("bad \xff byte"))), "\"bad \xef\xbf\xbd byte\"");
  EXPECT_EQ(json(Value(engine::Date{engine::daysFromCivil(2024, 2, 29)})), "\"2024-02-29\"");
  EXPECT_EQ(json(Value(engine::Timestamp{1'700'000'000'000'000LL})), "\"2023-11-14T22:13:20Z\"");
  EXPECT_EQ(json(Value::array(engine::IntegerType(), {Value(1), Value(), Value(3)})), "[1,null,3]");
}

TEST(CliInlineTable, ConvertsEveryTypeFromJson) {
  const auto doc = nlohmann::json::parse(R"j({
    "schema": [["i", "int"], ["l", "bigint"], ["x", "double"], ["d", "decimal(6,2)"], ["s", "string"],
               ["b", "boolean"], ["day", "date"], ["ts", "timestamp"], ["a", "array<int>"]],
    "rows": [[1, 9007199254740993, 0.5, "12.345", "x", true, "2024-02-29", "2024-01-31 12:00:00.5", [1, 2]],
             [null, -1, "NaN", 7, "", false, null, "2024-01-31T12:00:00+01:00", []],
             [-2, 0, "-Infinity", -0.125, null, null, "1969-12-31", "1970-01-01", null]]
  })j");
  const LocalTable t = cli::inlineTableFromJson(doc, "t");
  ASSERT_EQ(t.numRows(), 3u);
  ASSERT_EQ(t.numColumns(), 9u);
  EXPECT_EQ(t.schema()[3].dataType, engine::DecimalType(6, 2));
  EXPECT_EQ(t.at(0, 0), Value(1));
  EXPECT_TRUE(t.at(1, 0).isNull());
  EXPECT_EQ(t.at(0, 1), Value(9007199254740993LL));  // beyond double precision: read as an integer
  EXPECT_TRUE(std::isnan(t.at(1, 2).get<double>()));
  EXPECT_EQ(t.at(2, 2), Value(-std::numeric_limits<double>::infinity()));
  // Decimals round half-up (away from zero) to the column's scale.
  EXPECT_EQ(t.at(0, 3).get<engine::Decimal>().unscaled, 1235);
  EXPECT_EQ(t.at(1, 3).get<engine::Decimal>().unscaled, 700);
  EXPECT_EQ(t.at(2, 3).get<engine::Decimal>().unscaled, -13);
  EXPECT_EQ(t.at(1, 4), Value(""));
  EXPECT_EQ(t.at(0, 6), Value(engine::Date{engine::daysFromCivil(2024, 2, 29)}));
  EXPECT_EQ(t.at(2, 6), Value(engine::Date{-1}));
  const std::int64_t noon = engine::daysFromCivil(2024, 1, 31) * 86'400'000'000LL + 12LL * 3'600'000'000LL;
  EXPECT_EQ(t.at(0, 7), Value(engine::Timestamp{noon + 500'000}));
  EXPECT_EQ(t.at(1, 7), Value(engine::Timestamp{noon - 3'600'000'000LL}));  // +01:00 is an hour ahead of UTC
  EXPECT_EQ(t.at(0, 8), Value::array(engine::IntegerType(), {Value(1), Value(2)}));
  EXPECT_TRUE(t.at(2, 8).isNull());
}

TEST(CliInlineTable, ReportsTheRowAndColumnOfABadValue) {
  const auto expectError = [](const char* text, const char* fragment) {
    try {
      cli::inlineTableFromJson(nlohmann::json::parse(text), "t");
      ADD_FAILURE() << "no error for " << text;
    } catch (const cli::CliError& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
  };
  expectError(R"j({"schema": [["a", "int"]], "rows": [[1], [3000000000]]})j", "row 2, column 'a'");
  expectError(R"j({"schema": [["a", "int"]], "rows": [[1.5]]})j", "row 1, column 'a'");
  expectError(R"j({"schema": [["a", "int"], ["b", "string"]], "rows": [[1]]})j", "row 1 must be a list of 2");
  expectError(R"j({"schema": [["a", "date"]], "rows": [["2023-02-29"]]})j", "cannot read \"2023-02-29\" as date");
  expectError(R"j({"schema": [["a", "timestamp"]], "rows": [["2024-01-01 25:00"]]})j", "as timestamp");
  expectError(R"j({"schema": [["a", "decimal(4,2)"]], "rows": [["123.4"]]})j", "does not fit decimal(4,2)");
  expectError(R"j({"schema": [["a", "decimal(38,0)"]], "rows": [["1e40"]]})j", "column 'a'");
  expectError(R"j({"schema": [["a", "widget"]], "rows": []})j", "unknown type 'widget'");
  expectError(R"j({"schema": [], "rows": []})j", "\"schema\" must be a non-empty list");
  expectError(R"j({"schema": [["a", "string"]]})j", "\"rows\" must be a list");
  expectError(R"j([1, 2])j", "expected a JSON object");
}

TEST(CliInlineTable, MissingOrMalformedFile) {
  EXPECT_THROW(cli::loadInlineTable("/nonexistent/t.json", "t"), cli::CliError);
  const norq_test::ScratchDir dir("norq_cli_test");
  EXPECT_THROW(cli::loadInlineTable(dir.write("bad.json", "{\"schema\": ["), "t"), cli::CliError);
}

TEST(CliSqlCommand, SingleLineFoldsMultiLineMessages) {
  EXPECT_EQ(cli::singleLine("Syntax error at position 7\n\n== SQL ==\nSELECT FROM t\n-------^^^\n"),
            "Syntax error at position 7 == SQL == SELECT FROM t -------^^^");
  EXPECT_EQ(cli::singleLine("plain"), "plain");
}

// In-process runs of the sql command over the committed sample data.
class CliSqlRun : public ::testing::Test {
 protected:
  std::string loans() const { return "loans=" + sourceDir() + "/data/sample/loans.csv"; }
  std::string regions() const { return "regions=" + sourceDir() + "/data/sample/regions.csv"; }

  int run(cli::SqlOptions options) {
    out_.str("");
    err_.str("");
    return cli::runSqlQuery(options, out_, err_);
  }
  std::ostringstream out_, err_;
};

TEST_F(CliSqlRun, JoinsAndGroupsTheSampleData) {
  cli::SqlOptions o;
  o.csv = {loans(), regions()};
  o.json = true;
  o.query =
      "SELECT r.region_name, count(*) AS loans, avg(l.defaulted) AS default_rate FROM loans l "
      "JOIN regions r ON l.region = r.region GROUP BY r.region_name ORDER BY loans DESC";
  ASSERT_EQ(run(o), 0) << err_.str();
  EXPECT_EQ(err_.str(), "");
  std::istringstream lines(out_.str());
  std::int64_t total = 0;
  std::int64_t previous = std::numeric_limits<std::int64_t>::max();
  int groups = 0;
  for (std::string line; std::getline(lines, line); ++groups) {
    const auto row = nlohmann::json::parse(line);
    ASSERT_TRUE(row["loans"].is_number_integer()) << line;
    EXPECT_LE(row["loans"].get<std::int64_t>(), previous);
    previous = row["loans"].get<std::int64_t>();
    total += previous;
    const double rate = row["default_rate"].get<double>();
    EXPECT_GE(rate, 0.0);
    EXPECT_LE(rate, 1.0);
  }
  EXPECT_GE(groups, 3);
  EXPECT_GT(total, 1000);

  // The same query as a table: a header row, one line per group and the borders.
  o.json = false;
  ASSERT_EQ(run(o), 0) << err_.str();
  EXPECT_EQ(out_.str().rfind("+-", 0), 0u);
  EXPECT_NE(out_.str().find("|region_name"), std::string::npos);
}

// Through CLI11 as main() wires it: repeated --csv options each take one value and leave the query to
// the positional argument.
TEST_F(CliSqlRun, CommandLineParsing) {
  CLI::App app{"test", "norq-spark"};
  auto* sub = app.add_subcommand("sql", "");
  auto command = cli::makeSqlCommand();
  command->configure(*sub);
  const std::string l = loans(), r = regions();
  std::vector<const char*> argv = {
      "norq-spark", "sql",    "--csv",      l.c_str(), "--csv",
      r.c_str(),    "--json", "--max-rows", "2",       "SELECT region, region_name FROM regions ORDER BY region"};
  app.parse(static_cast<int>(argv.size()), argv.data());
  ASSERT_EQ(command->run(out_, err_), 0) << err_.str();
  EXPECT_EQ(out_.str(),
            "{\"region\":\"CEN\",\"region_name\":\"Central\"}\n{\"region\":\"EAS\",\"region_name\":\"East\"}\n");

  CLI::App app2{"test", "norq-spark"};
  auto* sub2 = app2.add_subcommand("sql", "");
  auto command2 = cli::makeSqlCommand();
  command2->configure(*sub2);
  std::vector<const char*> noHeader = {"norq-spark", "sql",     "--no-header",
                                       "--csv",      r.c_str(), "SELECT _c0, _c1 FROM regions WHERE _c0 = 'region'"};
  app2.parse(static_cast<int>(noHeader.size()), noHeader.data());
  out_.str("");
  ASSERT_EQ(command2->run(out_, err_), 0) << err_.str();
  EXPECT_NE(out_.str().find("|region|region_name|"), std::string::npos) << out_.str();
}

TEST_F(CliSqlRun, InlineTablesAndRowLimits) {
  const norq_test::ScratchDir dir("norq_cli_test");
  const std::string path =
      dir.write("inline.json", R"j({"schema": [["k", "int"], ["v", "double"]], "rows": [[1, 0.5], [2, "NaN"], [3, null]]})j");
  cli::SqlOptions o;
  o.tables = {"t=" + path};
  o.query = "SELECT k, v FROM t ORDER BY k";
  o.json = true;
  ASSERT_EQ(run(o), 0) << err_.str();
  EXPECT_EQ(out_.str(), "{\"k\":1,\"v\":0.5}\n{\"k\":2,\"v\":\"NaN\"}\n{\"k\":3,\"v\":null}\n");

  o.maxRows = 2;
  ASSERT_EQ(run(o), 0) << err_.str();
  EXPECT_EQ(out_.str(), "{\"k\":1,\"v\":0.5}\n{\"k\":2,\"v\":\"NaN\"}\n");

  o.json = false;
  ASSERT_EQ(run(o), 0) << err_.str();
  EXPECT_NE(out_.str().find("only showing top 2 rows"), std::string::npos) << out_.str();
}

TEST_F(CliSqlRun, ErrorsAreOneLineWithStatusTwo) {
  const auto expectError = [this](cli::SqlOptions o, const std::string& fragment) {
    EXPECT_EQ(run(o), cli::kUsageErrorStatus) << o.query;
    const std::string err = err_.str();
    EXPECT_EQ(err.rfind("error: ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_NE(err.find(fragment), std::string::npos) << err;
    EXPECT_EQ(out_.str(), "");
  };
  cli::SqlOptions o;
  o.csv = {loans()};
  o.query = "SELECT region, FROM loans";
  expectError(o, "pos 15");

  // Beyond Spark's few suggestions, every column of the registered views is listed.
  o.query = "SELECT regoin FROM loans";
  expectError(o, "loans (loan_id, applicant_id, application_date,");

  o.query = "SELECT * FROM nowhere";
  expectError(o, "nowhere");

  o.csv = {"loans=/nonexistent/loans.csv"};
  o.query = "SELECT * FROM loans";
  expectError(o, "no such file or directory: /nonexistent/loans.csv");

  o.csv = {"loans"};
  expectError(o, "NAME=PATH");

  o.csv = {};
  o.query = "  ";
  expectError(o, "the query is empty");
}

}  // namespace
