// How a read's files are cut into partitions, as Spark cuts them (FilePartition): shared by the file readers.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/local/plan/exec_context.h"

namespace engine::local {

// A byte range of one file of the read.
struct Split {
  std::size_t file = 0;  // index into the read's files
  std::size_t start = 0;
  std::size_t length = 0;
};

// Spark's split of the files into partitions (FilePartition): the split size is
// min(maxPartitionBytes, max(openCostInBytes, total / minPartitions)) where total counts every file plus the
// open cost; splittable files are cut at that size, the pieces sorted by length (longest first, stable) and
// packed in that order, a partition closing when the next piece would take it past the split size (each
// piece also costing the open cost). A file read with multiLine is not splittable.
std::vector<std::vector<Split>> sparkFilePartitions(const std::vector<std::size_t>& sizes, bool splittable,
                                                    const FileSplitConf& conf, int parallelism);

}  // namespace engine::local
