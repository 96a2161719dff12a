// Key figures of completed scans (row counts, status, missing fractions, PSI and KS per column, metrics), kept
// in the event history's SQLite file beside the framework's events, so that `norq-spark history` and the
// report can show how each figure moved over the last scans.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {

struct ScanRecord {
  std::string time;  // UTC, ISO 8601
  std::string name;  // the dataset's name
  std::string command;
  std::string input_checksum;  // of the rows as read (before identifiers, dates and splits are applied)
  nlohmann::json figures;      // keyFigures() of the report
};

// The history file: `given`, else NORQ_EVENT_DB, else ~/.local/share/norq-spark/history.sqlite (the folder
// made when missing; ":memory:" when it cannot be).
std::string historyFile(const std::optional<std::string>& given);

// The figures of a report worth following over time: rows, status, and per column its missing fraction,
// PSI and KS statistic, and the metrics.
nlohmann::json keyFigures(const nlohmann::json& report);

// Appends a completed scan to the history at `path` (nothing for ":memory:"). CliError naming the path when
// the file cannot be written.
void recordScan(const std::string& path, const ScanRecord& record);

// The last `limit` scans, oldest first, of one dataset name or of all; none when the file does not exist.
std::vector<ScanRecord> scanRecords(const std::string& path, const std::optional<std::string>& name,
                                    std::size_t limit);

}  // namespace cli
