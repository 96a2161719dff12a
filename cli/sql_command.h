// `norq-spark sql`: registers CSV files and inline tables as temporary views, runs one SQL query on the
// local engine and prints the result as a table or as JSON lines.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "csv_flags.h"

namespace cli {

struct SqlOptions {
  std::vector<std::string> csv;         // NAME=PATH (a file or a folder of part files)
  std::vector<std::string> parquet;     // NAME=PATH (a Parquet file or a folder of part files)
  std::vector<std::string> tables;      // NAME=JSONFILE (see inline_table.h)
  bool header = true;                   // CSV files start with a header line
  CsvFlags csvFlags;                    // how the CSV files are read
  bool json = false;                    // JSON lines instead of a table
  std::optional<std::int64_t> maxRows;  // default: 20 for a table, every row for JSON
  std::string query;
};

inline constexpr std::int64_t kDefaultTableRows = 20;

// Runs the query and writes the result to `out`. Any failure (bad argument, missing file, parse or
// analysis error) is printed as one line "error: ..." on `err` and gives kUsageErrorStatus; success
// gives 0. The views it registers are dropped again before it returns.
int runSqlQuery(const SqlOptions& options, std::ostream& out, std::ostream& err);

// One-line form of an engine or parser message: Spark-style messages may carry the query and a caret
// line after the first line; those are folded into a single line.
// Control characters and bytes that are not UTF-8 are escaped (\xNN), so that no byte of the input reaches
// the terminal raw, and a very long message is cut.
std::string singleLine(const std::string& message);

// `text` with every byte that is not part of a valid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(const std::string& text);

}  // namespace cli
