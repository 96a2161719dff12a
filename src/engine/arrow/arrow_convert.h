// Conversion between Apache Arrow arrays (C++ library) and the engine's columnar vectors: the one place where
// Arrow's memory layout meets the engine's. Used for frames handed over from Python (pandas, pyarrow), for
// Spark Connect's Arrow results and local relations, and by file readers that produce Arrow arrays.
//
// Arrow to engine: fixed-width values are copied with one memcpy per piece of a chunk (pieces of all columns in
// parallel) into vectors that are not zero-filled first; validity bitmaps share Arrow's bit order and are copied
// by bytes where aligned. Types are widened where the engine has no exact counterpart (unsigned integers to
// bigint, date64 to date, timestamps of any unit to microseconds); dictionary arrays are decoded.
// Engine to Arrow: numbers, dates, timestamps, decimals, validity and (64-bit offset) strings are wrapped without
// copying (the Arrow buffers keep the engine's vectors alive); booleans are packed into bits.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <arrow/api.h>

#include "engine/local_table.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine::arrow_convert {

// The engine type of an Arrow type. IllegalArgumentException naming the column (and listing what is supported)
// for a type without counterpart.
DataType engineType(const arrow::DataType& type, const std::string& column);

// One column from its chunks (in order), as the engine type `type`. The chunks' Arrow type must be readable as
// that type (engineType of it, a numeric type into another numeric type, null into anything); otherwise
// IllegalArgumentException naming the column and both types.
VectorPtr toVector(const arrow::ArrayVector& chunks, const DataType& type, const std::string& column);

// A table with the engine types of its Arrow types.
LocalTable toLocalTable(const arrow::Table& table);
// A table read as the given schema (same number of columns, in order; names are taken from the schema).
LocalTable toLocalTable(const arrow::Table& table, const StructType& schema);

struct ToArrowOptions {
  // Strings as large_string (64-bit offsets, the engine's own: no copy) or as string (32-bit offsets, copied;
  // IllegalArgumentException beyond 2 GiB of characters). Arrays follow: large_list or list.
  bool largeOffsets = true;
};

// One engine vector of `rows` rows as an Arrow array.
std::shared_ptr<arrow::Array> toArrow(const VectorPtr& vector, std::size_t rows, const ToArrowOptions& options = {});
// The engine's type as Arrow's.
std::shared_ptr<arrow::DataType> arrowType(const DataType& type, const ToArrowOptions& options = {});
// The table as an Arrow table of one chunk per column.
std::shared_ptr<arrow::Table> toArrow(const LocalTable& table, const ToArrowOptions& options = {});

}  // namespace engine::arrow_convert
