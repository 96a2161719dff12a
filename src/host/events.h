// Events the framework records about datasets (a dataset created, scanned, ...), each with the dataset's
// name, id, checksums and the time, in an event history kept in SQLite: a file when one is configured
// (set_event_database, or the NORQ_EVENT_DB environment variable), an in-memory database otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/datasets.h"

struct sqlite3;

namespace norq {

enum class Events { DATASET_CREATED, DATASET_SCANNED, DATASET_UPDATED };
std::string to_string(Events e);

struct EventRecord {
  std::int64_t id = 0;
  std::string event;
  std::string dataset_name;
  std::string dataset_id;
  std::string overall_checksum;
  OrderedStringMap checksums;
  std::string time;  // UTC, ISO 8601 with microseconds
};

class EventHistory {
 public:
  // Opens (creating when needed) the history at `path`; ":memory:" or empty for an in-memory history.
  // Throws Exception naming the path when the database cannot be opened or written.
  explicit EventHistory(const std::string& path = ":memory:");
  ~EventHistory();
  EventHistory(const EventHistory&) = delete;
  EventHistory& operator=(const EventHistory&) = delete;

  EventRecord record(Events event, const AbstractDataset& dataset);
  // All events, oldest first; only those of one dataset name when given.
  std::vector<EventRecord> events(const std::optional<std::string>& datasetName = std::nullopt) const;
  // The latest event of a dataset name (optionally of one kind), if any.
  std::optional<EventRecord> last(const std::string& datasetName, std::optional<Events> kind = std::nullopt) const;
  const std::string& path() const { return path_; }

 private:
  void exec(const std::string& sql) const;
  void checkSchema() const;
  std::string path_;
  sqlite3* db_ = nullptr;
};

// The process's event history: opened on first use from the configured path.
EventHistory& event_history();
// Switches the process's event history to `path` (":memory:" for a fresh in-memory one).
void set_event_database(const std::string& path);

// Records `event` for `dataset` in the process's event history; returns the record.
EventRecord handle_event(Events event, const AbstractDataset& dataset);

}  // namespace norq
