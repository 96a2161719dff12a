#include "sql_command.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

#include "cli_error.h"
#include "command.h"
#include "engine/engine.h"
#include "inline_table.h"
#include "output_files.h"
#include "output_json.h"
#include "output_table.h"
#include "scan_options.h"
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
  if (std::filesystem::is_directory(arg.path, ec) && (option == "--csv" || option == "--parquet")) {
    // The reader takes every visible file of a folder as a part file.
    bool anyFile = false;
    for (std::filesystem::directory_iterator it(arg.path, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (!name.empty() && name[0] != '.' && name[0] != '_' && it->is_regular_file(ec)) anyFile = true;
    }
    if (!anyFile) throw CliError(option + " " + arg.name + ": the folder " + arg.path + " holds no data files");
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
  auto taken = csvViews;
  const auto parquetViews = parseViewArgs(options.parquet, "--parquet", taken);
  taken.insert(taken.end(), parquetViews.begin(), parquetViews.end());
  const auto tableViews = parseViewArgs(options.tables, "--table", taken);
  // On a Spark server (--remote) the file paths name files the server reads: the server checks them.
  auto active = engine::SparkSession::getActiveSession();
  if (!active || !active->isRemote()) {
    for (const auto& v : csvViews) checkPathExists(v, "--csv");
    for (const auto& v : parquetViews) checkPathExists(v, "--parquet");
  }
  for (const auto& v : tableViews) checkPathExists(v, "--table");

  auto session = engine::SparkSession::builder().appName("norq-spark").getOrCreate();
  ViewScope scope(*session);
  for (const auto& v : csvViews) {
    // A Parquet file given with --csv is read as Parquet: its bytes are never meant as CSV text.
    auto df = isParquetPath(v.path) ? session->read().parquet(v.path)
                                    : csvReader(*session, options.csvFlags).csv(v.path, options.header, true);
    df.createOrReplaceTempView(v.name);
    scope.add(v.name);
  }
  for (const auto& v : parquetViews) {
    session->read().parquet(v.path).createOrReplaceTempView(v.name);
    scope.add(v.name);
  }
  for (const auto& v : tableViews) {
    session->createDataFrame(loadInlineTable(v.path, v.name)).createOrReplaceTempView(v.name);
    scope.add(v.name);
  }

  std::vector<std::string> views;
  for (const auto& v : csvViews) views.push_back(v.name);
  for (const auto& v : parquetViews) views.push_back(v.name);
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
    out.flush();
    if (!out) throw CliError("cannot write to standard output (closed, or the disk or pipe is full)");
  } else {
    const std::int64_t shown = options.maxRows.value_or(kDefaultTableRows);
    // One row beyond what is shown tells the renderer that the result was cut short.
    const bool unbounded = shown == std::numeric_limits<std::int64_t>::max();
    const auto table = unbounded ? result.toPandas() : result.limit(shown + 1).toPandas();
    writeStream(out, renderTable(table, static_cast<std::size_t>(shown)));
  }
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
    sub.add_option("--parquet", options_.parquet,
                   "Register a Parquet file, or a folder of Parquet part files, as a view. Repeatable.")
        ->type_name("NAME=PATH")
        ->allow_extra_args(false);
    sub.add_option("--table", options_.tables,
                   "Register a typed inline table as a view, from a JSON file "
                   "{\"schema\": [[\"a\", \"int\"], ...], \"rows\": [[1], ...]}. Repeatable.")
        ->type_name("NAME=JSONFILE")
        ->allow_extra_args(false);
    sub.add_flag("--no-header", noHeader_, "CSV files have no header line (columns are named _c0, _c1, ...)");
    addCsvOptions(sub, options_.csvFlags, "Datetime pattern of dates in the CSV files (Spark's patterns, such as dd/MM/yyyy)");
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

namespace {

// Length of the valid UTF-8 sequence at s[i] (overlong forms, surrogates and code points past U+10FFFF are
// invalid), or 0.
std::size_t utf8Length(const std::string& s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::string validUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (const std::size_t n = utf8Length(text, i); n > 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    }
  }
  return out;
}

namespace {

// Messages quote the input; a few hundred characters of it are enough to find the fault.
constexpr std::size_t kMaxMessageBytes = 1000;

}  // namespace

std::string singleLine(const std::string& text) {
  // The engine's advice to set the reader's mode option has no flag here: the record's place is what helps.
  std::string message = text;
  static const std::string kModeAdvice =
      " To process malformed records as null result, try setting the option 'mode' as 'PERMISSIVE'.";
  if (const auto at = message.find(kModeAdvice); at != std::string::npos) message.erase(at, kModeAdvice.size());
  std::string out;
  out.reserve(std::min(message.size(), kMaxMessageBytes) + 16);
  bool pendingSpace = false;
  for (std::size_t i = 0; i < message.size();) {
    if (out.size() >= kMaxMessageBytes) {
      out += "...";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(message[i]);
    if (c == '\n' || c == '\r') {
      pendingSpace = !out.empty();
      ++i;
      continue;
    }
    if (pendingSpace) {
      if (out.back() != ' ') out.push_back(' ');
      pendingSpace = false;
    }
    // Bytes of the input never reach the terminal raw: a control character (an escape sequence could set
    // the title or clear the screen) or a byte that is not UTF-8 is shown as \xNN.
    if (c < 0x20 || c == 0x7F) {
      if (c == '\t') {
        out.push_back(' ');
      } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        out += buf;
      }
      ++i;
      continue;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const std::size_t n = utf8Length(message, i);
    // C1 control characters (U+0080 to U+009F) act on terminals too.
    if (n == 0 || (n == 2 && c == 0xC2 && static_cast<unsigned char>(message[i + 1]) < 0xA0)) {
      const std::size_t bytes = n == 0 ? 1 : n;
      for (std::size_t k = 0; k < bytes; ++k) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(message[i + k]));
        out += buf;
      }
      i += bytes;
      continue;
    }
    out.append(message, i, n);
    i += n;
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
