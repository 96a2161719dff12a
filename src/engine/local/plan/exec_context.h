// Execution context of the local backend: session settings visible to kernels and the parallel loop
// used by every operator (work is spread over oneTBB's thread pool, sized to the machine).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <tbb/parallel_for.h>

namespace engine::local {

struct EvalContext {
  std::string timeZone = "UTC";
  int partitionIndex = 0;  // index of the partition being evaluated (for per-partition seeds)
};

// How file reads are cut into partitions (Spark's spark.sql.files.* settings). A read's partitions are the
// ones Spark would make for the same files and parallelism, because partition-dependent results
// (percentile_approx, randomSplit, partition ids) follow them.
struct FileSplitConf {
  std::int64_t maxPartitionBytes = std::int64_t{128} << 20;  // spark.sql.files.maxPartitionBytes
  std::int64_t openCostInBytes = std::int64_t{4} << 20;      // spark.sql.files.openCostInBytes
  int minPartitionNum = 0;                                   // spark.sql.files.minPartitionNum (0: parallelism)
};

struct ExecContext {
  EvalContext eval;
  int parallelism = 1;  // default number of partitions for new data
  FileSplitConf files;
};

// Runs f(i) for i in [0, n) on the thread pool; exceptions propagate to the caller.
template <class F>
void parallelFor(std::size_t n, F&& f) {
  if (n == 0) return;
  if (n == 1) {
    f(std::size_t{0});
    return;
  }
  tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { f(i); });
}

}  // namespace engine::local
