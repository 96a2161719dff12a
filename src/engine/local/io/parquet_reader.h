// Parquet reading through the Apache Arrow C++ library's Parquet reader, with Apache Spark's type mapping and
// Spark's partitions (row groups assigned to the file splits that hold their midpoints).
#pragma once

#include <string>
#include <vector>

#include "engine/local/plan/exec_context.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine::local {

// The Parquet files a path names: the file itself, or every visible file of a folder (names starting with "_"
// or "." such as _SUCCESS are skipped), sorted by name. Throws AnalysisException for a missing path, and for a
// folder of partition folders (key=value), which this reader does not discover.
std::vector<std::string> resolveParquetFiles(const std::string& path);

// The schema of the first file, in Spark's types (every field nullable, as Spark reads files):
//   boolean; int8/16/32/64 -> tinyint/smallint/int/bigint; uint8/16/32 -> smallint/int/bigint;
//   uint64 -> decimal(20,0); float, double; UTF8 strings (and enums) -> string; decimals -> decimal(p,s);
//   dates; timestamps of any unit (and INT96) -> timestamp; lists of those -> arrays.
// Timestamps written without UTC adjustment are local date-times: they are read as timestamps holding the same
// wall-clock time in the session time zone. Binary columns, structs, maps, times of day and intervals are
// refused with an AnalysisException naming the column and the file. A file that is not Parquet (or is
// damaged) fails with an AnalysisException naming it.
StructType inferParquetSchema(const std::vector<std::string>& files);

// Reads the files into partitions typed by `schema`; columns are matched by name (exactly, else ignoring
// case, as Spark does), and a column a file lacks reads as nulls. `columns` marks the columns the query reads
// (empty: all); the others are left as empty column slots.
Partitions readParquet(const std::vector<std::string>& files, const StructType& schema, const ExecContext& ctx,
                       const std::vector<bool>& columns = {});

// True when the file starts with Parquet's magic bytes "PAR1".
bool isParquetFile(const std::string& path);

}  // namespace engine::local
