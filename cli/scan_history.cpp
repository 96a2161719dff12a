#include "scan_history.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "cli_error.h"

namespace cli {

using json = nlohmann::json;

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS scan_figures (id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, "
    "dataset_name TEXT NOT NULL, command TEXT NOT NULL, input_checksum TEXT NOT NULL, figures TEXT NOT NULL)";

struct Db {
  sqlite3* db = nullptr;
  ~Db() {
    if (db) sqlite3_close(db);
  }
};

struct Statement {
  sqlite3_stmt* s = nullptr;
  ~Statement() {
    if (s) sqlite3_finalize(s);
  }
};

void open(Db& d, const std::string& path, int flags) {
  if (sqlite3_open_v2(path.c_str(), &d.db, flags, nullptr) != SQLITE_OK)
    throw CliError("cannot open the history " + path + ": " + (d.db ? sqlite3_errmsg(d.db) : "out of memory"));
  sqlite3_busy_timeout(d.db, 5000);
}

std::string column(sqlite3_stmt* s, int i) {
  const unsigned char* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

}  // namespace

std::string historyFile(const std::optional<std::string>& given) {
  if (given) return *given;
  if (const char* env = std::getenv("NORQ_EVENT_DB")) return env;
  const char* home = std::getenv("HOME");
  std::filesystem::path dir = std::filesystem::path(home ? home : ".") / ".local" / "share" / "norq-spark";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return ":memory:";
  return (dir / "history.sqlite").string();
}

json keyFigures(const json& r) {
  json k = {{"status", r.value("status", "")}, {"rows", r["dataset"]["rows"]}, {"columns", json::object()}};
  if (r.contains("profile"))
    for (const json& p : r["profile"]) k["columns"][p["feature"].get<std::string>()]["missing_fraction"] = p["missing_fraction"];
  if (r.contains("drift"))
    for (const json& f : r["drift"]["features"]) {
      json& c = k["columns"][f["feature"].get<std::string>()];
      if (f.contains("psi")) c["psi"] = f["psi"];
      if (f.contains("ks") && f["ks"].is_object()) c["ks"] = f["ks"]["statistic"];
    }
  if (r.contains("metrics")) k["metrics"] = r["metrics"]["values"];
  return k;
}

void recordScan(const std::string& path, const ScanRecord& rec) {
  if (path.empty() || path == ":memory:") return;
  Db d;
  open(d, path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  char* error = nullptr;
  if (sqlite3_exec(d.db, kSchema, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw CliError("cannot write the history " + path + ": " + message);
  }
  Statement st;
  if (sqlite3_prepare_v2(d.db,
                         "INSERT INTO scan_figures (time, dataset_name, command, input_checksum, figures) "
                         "VALUES (?, ?, ?, ?, ?)",
                         -1, &st.s, nullptr) != SQLITE_OK)
    throw CliError("cannot write the history " + path + ": " + sqlite3_errmsg(d.db));
  const std::string figures = rec.figures.dump();
  sqlite3_bind_text(st.s, 1, rec.time.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st.s, 2, rec.name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st.s, 3, rec.command.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st.s, 4, rec.input_checksum.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st.s, 5, figures.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(st.s) != SQLITE_DONE) throw CliError("cannot write the history " + path + ": " + sqlite3_errmsg(d.db));
}

std::vector<ScanRecord> scanRecords(const std::string& path, const std::optional<std::string>& name,
                                    std::size_t limit) {
  std::vector<ScanRecord> out;
  std::error_code ec;
  if (path.empty() || path == ":memory:" || !std::filesystem::exists(path, ec)) return out;
  Db d;
  open(d, path, SQLITE_OPEN_READONLY);
  Statement check;
  if (sqlite3_prepare_v2(d.db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'scan_figures'", -1,
                         &check.s, nullptr) != SQLITE_OK ||
      sqlite3_step(check.s) != SQLITE_ROW)
    return out;  // a history written before figures were kept
  Statement st;
  const std::string sql = std::string("SELECT time, dataset_name, command, input_checksum, figures FROM scan_figures") +
                          (name ? " WHERE dataset_name = ?" : "") + " ORDER BY id DESC LIMIT ?";
  if (sqlite3_prepare_v2(d.db, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK)
    throw CliError("cannot read the history " + path + ": " + sqlite3_errmsg(d.db));
  int i = 1;
  if (name) sqlite3_bind_text(st.s, i++, name->c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(st.s, i, static_cast<sqlite3_int64>(limit));
  while (sqlite3_step(st.s) == SQLITE_ROW) {
    ScanRecord r{column(st.s, 0), column(st.s, 1), column(st.s, 2), column(st.s, 3), json::object()};
    try {
      r.figures = json::parse(column(st.s, 4));
    } catch (const json::exception&) {
      r.figures = json::object();  // a damaged entry keeps its time and name
    }
    out.push_back(std::move(r));
  }
  return {out.rbegin(), out.rend()};
}

}  // namespace cli
