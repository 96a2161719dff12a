// Conversion between Arrow tables and the engine's columnar tables: the one place where Arrow's memory layout
// meets the engine's vectors. Fixed-width columns are copied with one memcpy per chunk (columns and chunks in
// parallel); validity bitmaps share Arrow's bit order and are copied by bytes. Going back to Arrow, the
// engine's buffers are wrapped without copying (the table keeps the engine's vectors alive).
#pragma once

#include <memory>

#include <arrow/api.h>

#include "engine/local_table.h"

namespace pynorq {

// The engine type of an Arrow column type; ValueError naming the column for a type the engine has no
// counterpart for (the message lists what is supported).
engine::DataType engineType(const arrow::DataType& type, const std::string& column);

// The table's columns as engine vectors. Strings become the engine's 64-bit offsets; booleans one byte per
// value; timestamps microseconds (UTC); dictionary columns are decoded.
engine::LocalTable arrowToLocalTable(const arrow::Table& table);

// The engine table as an Arrow table: numbers, dates, timestamps (microseconds, UTC), decimals and validity
// share the engine's memory; strings are large_string (the engine's 64-bit offsets), booleans are packed.
std::shared_ptr<arrow::Table> localTableToArrow(const engine::LocalTable& table);

}  // namespace pynorq
