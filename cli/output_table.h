// Terminal rendering of a query result in the layout of Spark's DataFrame.show(): a bordered header,
// one line per row, numbers right-aligned, text left-aligned, nulls as NULL.
#pragma once

#include <cstddef>
#include <string>

#include "engine/local_table.h"
#include "engine/value.h"

namespace cli {

// The text of one value in a table cell: Spark's string form of the value (1.0E20, NaN, 2024-01-31,
// decimals with their scale), NULL for null. Control characters are escaped (\n, \t, \r, \xNN) so that a
// value never breaks the table's lines.
std::string cellText(const engine::Value& v);

// Renders the first min(maxRows, rows) rows of `table`. When the table has more rows than that, a line
// "only showing top N rows" follows, as in Spark; callers that collect maxRows + 1 rows get it for free.
std::string renderTable(const engine::LocalTable& table, std::size_t maxRows);

// Display width of UTF-8 text in terminal columns (one per code point; invalid bytes count one each).
std::size_t displayWidth(const std::string& text);

}  // namespace cli
