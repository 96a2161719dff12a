// JSON-lines rendering of a query result: one object per row, keys in column order, values typed so
// that a reader gets numbers as numbers. JSON has no NaN or infinity, so those travel as the strings
// "NaN", "Infinity" and "-Infinity"; decimals travel as strings to keep every digit; dates and
// timestamps as ISO-8601 text (timestamps in UTC with a trailing Z); null as null.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "engine/local_table.h"
#include "engine/value.h"

namespace cli {

// Appends the JSON text of one value.
void appendJsonValue(std::string& out, const engine::Value& v);

// One JSON object (without a newline) for row `row` of `table`.
std::string jsonRow(const engine::LocalTable& table, std::size_t row);

// Writes the first min(maxRows, rows) rows, one object per line.
void writeJsonLines(std::ostream& out, const engine::LocalTable& table, std::size_t maxRows);

}  // namespace cli
