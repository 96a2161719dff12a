// Execution context of the local backend: session settings visible to kernels and the parallel loop
// used by every operator (work is spread over oneTBB's thread pool, sized to the machine).
#pragma once

#include <cstddef>
#include <string>

#include <tbb/parallel_for.h>

namespace engine::local {

struct EvalContext {
  std::string timeZone = "UTC";
  int partitionIndex = 0;  // index of the partition being evaluated (for per-partition seeds)
};

struct ExecContext {
  EvalContext eval;
  int parallelism = 1;  // default number of partitions for new data
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
