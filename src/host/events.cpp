#include "host/events.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <mutex>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/errors.h"

namespace norq {

std::string to_string(Events e) {
  switch (e) {
    case Events::DATASET_CREATED: return "DATASET_CREATED";
    case Events::DATASET_SCANNED: return "DATASET_SCANNED";
    case Events::DATASET_UPDATED: return "DATASET_UPDATED";
  }
  return "?";
}

namespace {

std::string nowIso() {
  auto now = std::chrono::system_clock::now();
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(micros / 1000000);
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:06d}Z", fmt::gmtime(secs), micros % 1000000);
}

// A prepared statement that finalises itself.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql, const std::string& path) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
      throw Exception("Event history " + path + ": " + sqlite3_errmsg(db));
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  sqlite3_stmt* get() const { return stmt_; }
  void bind(int i, const std::string& v) { sqlite3_bind_text(stmt_, i, v.c_str(), -1, SQLITE_TRANSIENT); }
  std::string text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? reinterpret_cast<const char*>(t) : "";
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

EventRecord readRow(const Statement& s) {
  EventRecord r;
  r.id = sqlite3_column_int64(s.get(), 0);
  r.event = s.text(1);
  r.dataset_name = s.text(2);
  r.dataset_id = s.text(3);
  r.overall_checksum = s.text(4);
  auto j = nlohmann::json::parse(s.text(5), nullptr, false);
  if (j.is_array())
    for (const auto& kv : j)
      // A damaged entry (not a pair of texts) is skipped: the record keeps its other fields.
      if (kv.is_array() && kv.size() == 2 && kv[0].is_string() && kv[1].is_string())
        r.checksums.set(kv[0].get<std::string>(), kv[1].get<std::string>());
  r.time = s.text(6);
  return r;
}

}  // namespace

EventHistory::EventHistory(const std::string& path) : path_(path.empty() ? ":memory:" : path) {
  const bool inMemory = path_ == ":memory:";
  std::error_code ec;
  const bool existed = inMemory || std::filesystem::exists(path_, ec);
  if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    if (!existed) std::filesystem::remove(path_, ec);
    throw Exception("Cannot open the event history " + path_ + ": " + msg);
  }
  // The handle is owned only once the constructor returns: close it (and remove a file this call created,
  // which would be left empty on a full disk) when setting up the history fails.
  try {
    sqlite3_busy_timeout(db_, 5000);
    checkSchema();
    exec(
        "CREATE TABLE IF NOT EXISTS events ("
        "id INTEGER PRIMARY KEY AUTOINCREMENT, event TEXT NOT NULL, dataset_name TEXT NOT NULL, "
        "dataset_id TEXT NOT NULL, overall_checksum TEXT NOT NULL, checksums TEXT NOT NULL, time TEXT NOT NULL)");
    exec("CREATE INDEX IF NOT EXISTS events_by_name ON events(dataset_name, id)");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    if (!existed) std::filesystem::remove(path_, ec);
    throw;
  }
}

void EventHistory::checkSchema() const {
  // Another program's database is not taken over: a file holding tables must hold this history's.
  std::vector<std::string> tables;
  {
    Statement s(db_, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'", path_);
    int rc = 0;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) tables.push_back(s.text(0));
    if (rc != SQLITE_DONE) throw Exception("Event history " + path_ + ": " + sqlite3_errmsg(db_));
  }
  if (tables.empty()) return;
  if (std::find(tables.begin(), tables.end(), "events") == tables.end())
    throw Exception("Event history " + path_ + ": the file is a database of another kind (it has no events table)");
  std::vector<std::string> columns;
  {
    Statement s(db_, "SELECT name FROM pragma_table_info('events')", path_);
    while (sqlite3_step(s.get()) == SQLITE_ROW) columns.push_back(s.text(0));
  }
  for (const char* needed : {"id", "event", "dataset_name", "dataset_id", "overall_checksum", "checksums", "time"})
    if (std::find(columns.begin(), columns.end(), needed) == columns.end())
      throw Exception("Event history " + path_ + ": its events table has another layout (no column " + needed + ")");
}

EventHistory::~EventHistory() { sqlite3_close(db_); }

void EventHistory::exec(const std::string& sql) const {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "unknown error";
    sqlite3_free(err);
    throw Exception("Event history " + path_ + ": " + msg);
  }
}

EventRecord EventHistory::record(Events event, const AbstractDataset& dataset) {
  EventRecord r;
  r.event = to_string(event);
  r.dataset_name = dataset.name();
  r.dataset_id = dataset.id();
  r.overall_checksum = dataset.overall_checksum();
  r.checksums = dataset.checksum();
  r.time = nowIso();
  nlohmann::json sums = nlohmann::json::array();
  for (const auto& [k, v] : r.checksums.items()) sums.push_back({k, v});
  Statement s(db_,
              "INSERT INTO events(event, dataset_name, dataset_id, overall_checksum, checksums, time) "
              "VALUES (?, ?, ?, ?, ?, ?)",
              path_);
  s.bind(1, r.event);
  s.bind(2, r.dataset_name);
  s.bind(3, r.dataset_id);
  s.bind(4, r.overall_checksum);
  s.bind(5, sums.dump());
  s.bind(6, r.time);
  if (sqlite3_step(s.get()) != SQLITE_DONE) throw Exception("Event history " + path_ + ": " + sqlite3_errmsg(db_));
  r.id = sqlite3_last_insert_rowid(db_);
  return r;
}

std::vector<EventRecord> EventHistory::events(const std::optional<std::string>& datasetName) const {
  std::string sql = "SELECT id, event, dataset_name, dataset_id, overall_checksum, checksums, time FROM events";
  if (datasetName) sql += " WHERE dataset_name = ?";
  sql += " ORDER BY id";
  Statement s(db_, sql, path_);
  if (datasetName) s.bind(1, *datasetName);
  std::vector<EventRecord> out;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) out.push_back(readRow(s));
  if (rc != SQLITE_DONE) throw Exception("Event history " + path_ + ": " + sqlite3_errmsg(db_));
  return out;
}

std::optional<EventRecord> EventHistory::last(const std::string& datasetName, std::optional<Events> kind) const {
  std::string sql =
      "SELECT id, event, dataset_name, dataset_id, overall_checksum, checksums, time FROM events "
      "WHERE dataset_name = ?";
  if (kind) sql += " AND event = ?";
  sql += " ORDER BY id DESC LIMIT 1";
  Statement s(db_, sql, path_);
  s.bind(1, datasetName);
  if (kind) s.bind(2, to_string(*kind));
  int rc = sqlite3_step(s.get());
  if (rc == SQLITE_ROW) return readRow(s);
  if (rc != SQLITE_DONE) throw Exception("Event history " + path_ + ": " + sqlite3_errmsg(db_));
  return std::nullopt;
}

namespace {
std::mutex g_historyMutex;
std::unique_ptr<EventHistory> g_history;
}  // namespace

EventHistory& event_history() {
  std::lock_guard<std::mutex> lock(g_historyMutex);
  if (!g_history) {
    const char* env = std::getenv("NORQ_EVENT_DB");
    g_history = std::make_unique<EventHistory>(env && *env ? env : ":memory:");
  }
  return *g_history;
}

void set_event_database(const std::string& path) {
  auto fresh = std::make_unique<EventHistory>(path);
  std::lock_guard<std::mutex> lock(g_historyMutex);
  g_history = std::move(fresh);
}

EventRecord handle_event(Events event, const AbstractDataset& dataset) { return event_history().record(event, dataset); }

}  // namespace norq
