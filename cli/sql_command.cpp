#include "sql_command.h"

#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

#include "cli_error.h"
#include "command.h"
#include "engine/engine.h"
#include "inline_table.h"
#include "output_json.h"
#include "output_table.h"
#include "view_args.h"

namespace cli {

namespace {

int runQuery(engine::SparkSession& session, const SqlOptions& options, std::ostream& out);

bool blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

// Drops the views a run registered, so that an in-process caller (tests, future subcommands sharing a
// session) does not see them afterwards.
class ViewScope {
 public:
  explicit ViewScope(engine::SparkSession& session) : session_(session) {}
  ViewScope(const ViewScope&) = delete;
  ViewScope& operator=(const ViewScope&) = delete;
  ~ViewScope() {
    for (const auto& name : names_) session_.dropTempView(name);
  }
  void add(const std::string& name) { names_.push_back(name); }

 private:
  engine::SparkSession& session_;
  std::vector<std::string> names_;
};

void checkPathExists(const ViewArg& arg, const std::string& option) {
  std::error_code ec;
  if (!std::filesystem::exists(arg.path, ec)) {
    throw CliError(option + " " + arg.name + ": no such file or directory: " + arg.path);
  }
}

// Spark's unresolved-column message suggests a few close names; a command-line user usually wants the
// whole list, so the columns of every registered view are appended.
std::string withAvailableColumns(const std::string& message, engine::SparkSession& session,
                                 const std::vector<std::string>& views) {
  if (message.find("UNRESOLVED_COLUMN") == std::string::npos || views.empty()) return message;
  std::string out = message + " Available columns:";
  for (std::size_t i = 0; i < views.size(); ++i) {
    out += (i ? "; " : " ") + views[i] + " (";
    try {
      const auto names = session.table(views[i]).columns();
      for (std::size_t c = 0; c < names.size(); ++c) out += (c ? ", " : "") + names[c];
    } catch (const std::exception&) {
      out += "?";
    }
    out += ")";
  }
  return out;
}

int execute(const SqlOptions& options, std::ostream& out) {
  if (blank(options.query)) throw CliError("the query is empty");
  if (options.maxRows && *options.maxRows < 0) {
    throw CliError("--max-rows must be zero or more, got " + std::to_string(*options.maxRows));
  }
  const auto csvViews = parseViewArgs(options.csv, "--csv");
  const auto tableViews = parseViewArgs(options.tables, "--table", csvViews);
  // On a Spark server (--remote) the CSV paths name files the server reads: the server checks them.
  auto active = engine::SparkSession::getActiveSession();
  if (!active || !active->isRemote())
    for (const auto& v : csvViews) checkPathExists(v, "--csv");
  for (const auto& v : tableViews) checkPathExists(v, "--table");

  auto session = engine::SparkSession::builder().appName("norq-spark").getOrCreate();
  ViewScope scope(*session);
  for (const auto& v : csvViews) {
    session->read().csv(v.path, options.header, true).createOrReplaceTempView(v.name);
    scope.add(v.name);
  }
  for (const auto& v : tableViews) {
    session->createDataFrame(loadInlineTable(v.path, v.name)).createOrReplaceTempView(v.name);
    scope.add(v.name);
  }

  std::vector<std::string> views;
  for (const auto& v : csvViews) views.push_back(v.name);
  for (const auto& v : tableViews) views.push_back(v.name);
  try {
    return runQuery(*session, options, out);
  } catch (const engine::AnalysisException& e) {
    throw engine::AnalysisException(withAvailableColumns(e.what(), *session, views));
  }
}

int runQuery(engine::SparkSession& session, const SqlOptions& options, std::ostream& out) {
  engine::DataFrame result = session.sql(options.query);
  if (options.json) {
    if (options.maxRows) result = result.limit(*options.maxRows);
    const auto table = result.toPandas();
    writeJsonLines(out, table, table.numRows());
  } else {
    const std::int64_t shown = options.maxRows.value_or(kDefaultTableRows);
    // One row beyond what is shown tells the renderer that the result was cut short.
    const bool unbounded = shown == std::numeric_limits<std::int64_t>::max();
    const auto table = unbounded ? result.toPandas() : result.limit(shown + 1).toPandas();
    out << renderTable(table, static_cast<std::size_t>(shown));
  }
  out.flush();
  return 0;
}

class SqlCommand final : public Command {
 public:
  void configure(CLI::App& sub) override {
    sub.add_option("--csv", options_.csv,
                   "Register a CSV file, or a folder of CSV part files, as a view (header and schema "
                   "inference on by default). Repeatable.")
        ->type_name("NAME=PATH")
        ->allow_extra_args(false);
    sub.add_option("--table", options_.tables,
                   "Register a typed inline table as a view, from a JSON file "
                   "{\"schema\": [[\"a\", \"int\"], ...], \"rows\": [[1], ...]}. Repeatable.")
        ->type_name("NAME=JSONFILE")
        ->allow_extra_args(false);
    sub.add_flag("--no-header", noHeader_, "CSV files have no header line (columns are named _c0, _c1, ...)");
    sub.add_flag("--json", options_.json,
                 "Print one JSON object per row (typed values; NaN and infinities as strings, decimals as "
                 "strings, dates and timestamps as ISO text)");
    sub.add_option("--max-rows", maxRows_, "Rows to print (default: 20 for the table, all for --json)")->type_name("N");
    sub.add_option("query", options_.query,
                   "The SQL query, e.g. \"SELECT region, count(*) FROM loans GROUP BY region\"")
        ->required();
  }

  int run(std::ostream& out, std::ostream& err) override {
    options_.header = !noHeader_;
    if (maxRows_) options_.maxRows = *maxRows_;
    return runSqlQuery(options_, out, err);
  }

 private:
  SqlOptions options_;
  bool noHeader_ = false;
  std::optional<std::int64_t> maxRows_;
};

}  // namespace

std::string singleLine(const std::string& message) {
  std::string out;
  out.reserve(message.size());
  bool pendingSpace = false;
  for (const char c : message) {
    if (c == '\n' || c == '\r') {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) {
      if (out.back() != ' ') out.push_back(' ');
      pendingSpace = false;
    }
    out.push_back(c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

int runSqlQuery(const SqlOptions& options, std::ostream& out, std::ostream& err) {
  try {
    return execute(options, out);
  } catch (const engine::ParseException& e) {
    // The first line holds the message and its position; the rest repeats the query with a caret.
    std::string msg = e.what();
    msg = singleLine(msg.substr(0, msg.find('\n')));
    if (msg.find("pos") == std::string::npos) msg += " (at position " + std::to_string(e.position()) + ")";
    err << "error: " << msg << '\n';
  } catch (const std::bad_alloc&) {
    err << "error: out of memory while running the query\n";
  } catch (const std::exception& e) {
    err << "error: " << singleLine(e.what()) << '\n';
  }
  return kUsageErrorStatus;
}

std::unique_ptr<Command> makeSqlCommand() { return std::make_unique<SqlCommand>(); }

}  // namespace cli
