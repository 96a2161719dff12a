// Internal entry points of the CSV reader with the chunk size exposed, so that tests can force many
// chunk boundaries (inside quoted fields, escapes and line ends) on small files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/local/io/csv_reader.h"

namespace engine::local::csv {

struct ScanTuning {
  std::size_t chunkBytes = 0;  // 0: automatic (the file split over the threads, 8 MiB to 64 MiB a chunk)
  // Columns the query reads (empty: all). The others are tokenised (a record's field count still decides
  // whether it is malformed) but not converted, and come back as empty column slots.
  std::vector<bool> columns;
};

StructType inferSchema(const std::vector<std::string>& files, const CsvOptions& options, const ScanTuning& tuning);
Partitions read(const std::vector<std::string>& files, const CsvOptions& options, const StructType& schema,
                const ExecContext& ctx, const ScanTuning& tuning);

}  // namespace engine::local::csv
