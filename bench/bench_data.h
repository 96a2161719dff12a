// What the dataset benchmarks share: their command line (--rows N --runs R), median timing, the columns they
// generate from the row number, the dataset's 80/20/0 split, and timing a memoised dataset method on a fresh
// dataset per run.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "spark/datasets/simple_spark_dataset.h"

namespace bench {

using Clock = std::chrono::steady_clock;

struct Args {
  std::int64_t rows = 10'000'000;
  int runs = 3;
};

// --rows N and --runs R; anything else prints the usage and ends the program with status 2.
inline Args parseArgs(int argc, char** argv, const char* program) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--rows") && i + 1 < argc) {
      a.rows = std::atoll(argv[++i]);
    } else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
      a.runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--rows N] [--runs R]\n", program);
      std::exit(2);
    }
  }
  return a;
}

inline double secondsOf(const std::function<void()>& f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline double median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// Columns generated from the row number `id` (a SELECT list item each). scripts/statistics_bench.py rebuilds
// the statistics benchmark's columns in numpy with the same formulas: change them together.
namespace column {
inline constexpr const char* kNullableId = "CASE WHEN id % 101 = 0 THEN NULL ELSE id END AS rid";
inline constexpr const char* kX = "CAST((id * 7919) % 100003 AS DOUBLE) / 7.0 AS x";
inline constexpr const char* kZ = "CAST((id * 104729) % 99991 AS DOUBLE) / 7.0 + 100.0 AS z";
inline constexpr const char* kK = "CAST(id % 1000 AS INT) AS k";  // 1000 categories
inline constexpr const char* kS = "concat('c', CAST(id % 50 AS STRING)) AS s";  // 50 text categories
inline constexpr const char* kG = "CASE WHEN id % 2 = 0 THEN 'M' ELSE 'F' END AS g";
inline constexpr const char* kA = "CAST(id % 97 AS INT) AS a";
inline constexpr const char* kB = "CAST((id * 13) % 89 AS INT) AS b";
inline constexpr const char* kW = "CAST((id * 7) % 1000003 AS DOUBLE) / 3.0 AS w";
inline constexpr const char* kD = "CAST(CAST(1577836800 + (id % 1500) * 86400 AS TIMESTAMP) AS DATE) AS d";
inline constexpr const char* kY = "CAST(id % 3 = 0 AS INT) AS y";  // the label: a third of the rows positive
inline constexpr const char* kP = "CAST((id * 31) % 7 < 3 AS INT) AS p";  // a prediction
}  // namespace column

// The dataset's segments: a random 80/20/0 split of all rows with seed 2 (so that the dataset's frame of all
// rows holds them all), each persisted.
inline std::vector<engine::DataFrame> persistedSplit(const engine::DataFrame& data) {
  std::vector<engine::DataFrame> parts = data.randomSplit({0.8, 0.2, 0.0}, 2);
  for (auto& part : parts) part = part.persist();
  return parts;
}

// Dataset methods are memoised per dataset: each of `runs` runs builds a fresh one (checksums, the persisted
// frame of all rows) outside the timing. The median time of `f`, and the figure its last call returned.
inline std::pair<double, double> timedOnFresh(int runs, const spark::SimpleSparkDataset::Options& options,
                                              const std::function<double(spark::SimpleSparkDataset&)>& f) {
  std::vector<double> t;
  double figure = 0;
  for (int i = 0; i < runs; ++i) {
    auto d = spark::SimpleSparkDataset::create(options);
    d->number_of_samples();
    t.push_back(secondsOf([&] { figure = f(*d); }));
  }
  return {median(std::move(t)), figure};
}

}  // namespace bench
