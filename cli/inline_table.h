// Typed inline tables given on the command line as JSON files:
//   {"schema": [["id", "int"], ["amount", "decimal(10,2)"], ["day", "date"]],
//    "rows": [[1, "12.50", "2024-01-31"], [2, null, null]]}
// Type names are the engine's SQL names (int, bigint, double, decimal(p,s), string, boolean, date,
// timestamp, array<...>). Values: JSON numbers for numeric columns (also the strings "NaN", "Infinity" and
// "-Infinity" for float and double), numbers or strings for decimals (rounded half-up to the column's
// scale), ISO text for dates ("2024-01-31") and timestamps ("2024-01-31 12:00:00", "T" separator, a
// fraction of up to 6 digits and a Z or +hh:mm offset accepted), JSON arrays for arrays, null for null.
#pragma once

#include <istream>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/local_table.h"

namespace cli {

// JSON documents nest no deeper than this (a table needs 3 levels plus its arrays' nesting).
inline constexpr int kMaxJsonDepth = 100;

// Parses JSON text, refusing a document nested more than kMaxJsonDepth levels (std::length_error) before
// anything recurses over it; json::parse_error for malformed text.
nlohmann::json parseBoundedJson(std::istream& in);

// Builds the table described by `doc`. `name` (the view name) prefixes every error message. Throws
// CliError naming the row and column of a value that does not fit its column.
engine::LocalTable inlineTableFromJson(const nlohmann::json& doc, const std::string& name);

// Reads and builds the table of a JSON file; a missing or malformed file is a CliError.
engine::LocalTable loadInlineTable(const std::string& path, const std::string& name);

}  // namespace cli
