// Timings of the local backend's physical operators on synthetic columns (prints figures only).
// Usage: ops_microbench [rows]   (default 10,000,000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "engine/local/expr/bound_expr.h"
#include "engine/local/ops/op_keys.h"
#include "engine/local/ops/operators.h"
#include "engine/window.h"

using namespace engine;
using namespace engine::local;

namespace {

template <class T>
MutableVectorPtr column(const DataType& type, std::size_t n, std::mt19937_64& rng, T (*gen)(std::mt19937_64&)) {
  auto v = Vector::make(type, n);
  for (std::size_t i = 0; i < n; ++i) v->data<T>()[i] = gen(rng);
  return v;
}

template <class F>
double seconds(F&& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
  const std::size_t parts = workerCount();
  ExecContext ctx;
  ctx.parallelism = static_cast<int>(parts);
  std::mt19937_64 rng(1);
  Partitions input;
  for (std::size_t p = 0; p < parts; ++p) {
    std::size_t n = rows * (p + 1) / parts - rows * p / parts;
    Batch b;
    b.rows = n;
    b.columns.push_back(column<std::int64_t>(LongType(), n, rng, [](std::mt19937_64& r) {
      return static_cast<std::int64_t>(r() % 1000);
    }));
    b.columns.push_back(column<double>(DoubleType(), n, rng, [](std::mt19937_64& r) {
      return std::uniform_real_distribution<double>(-1e6, 1e6)(r);
    }));
    input.push_back(b);
  }
  std::vector<DataType> types{LongType(), DoubleType()};
  auto key = boundColumn(0, LongType());
  auto x = boundColumn(1, DoubleType());
  std::printf("rows=%zu partitions=%zu threads=%zu\n", rows, parts, workerCount());

  AggregateCall count{"count", {boundLiteral(Value(1))}, false, false, {}, LongType()};
  AggregateCall sum{"sum", {x}, false, false, {}, DoubleType()};
  AggregateCall sd{"stddev", {x}, false, false, {}, DoubleType()};
  double t = seconds([&] { hashAggregate(input, {key}, {count}, ctx); });
  std::printf("group-by count, 1000 long keys:      %.3f s\n", t);
  t = seconds([&] { hashAggregate(input, {key}, {count, sum, sd}, ctx); });
  std::printf("group-by count+sum+stddev:           %.3f s\n", t);
  t = seconds([&] { hashAggregate(input, {}, {count, sum, sd}, ctx); });
  std::printf("global count+sum+stddev:             %.3f s\n", t);
  t = seconds([&] { hashAggregate(input, {x}, {count}, ctx); });
  std::printf("group-by count, all-distinct doubles: %.3f s\n", t);
  t = seconds([&] { sortPartitions(input, types, {{x, true, true}}, ctx); });
  std::printf("sort by double:                      %.3f s\n", t);
  t = seconds([&] { sortPartitions(input, types, {{key, true, true}, {x, false, false}}, ctx); });
  std::printf("sort by (long, double desc):         %.3f s\n", t);

  Partitions dim;
  {
    Batch b;
    b.rows = 1000;
    auto k = Vector::make(LongType(), 1000);
    auto v = Vector::make(DoubleType(), 1000);
    for (std::size_t i = 0; i < 1000; ++i) {
      k->data<std::int64_t>()[i] = static_cast<std::int64_t>(i);
      v->data<double>()[i] = static_cast<double>(i);
    }
    b.columns = {k, v};
    dim.push_back(b);
  }
  t = seconds([&] { hashJoin(input, dim, types, types, {key}, {key}, JoinType::Inner, nullptr, ctx); });
  std::printf("inner join with 1000-row dimension:  %.3f s\n", t);
  t = seconds([&] { deduplicate(input, types, {0}, ctx); });
  std::printf("dropDuplicates on the long key:      %.3f s\n", t);

  WindowCall cume{"cume_dist", {}, false, {}, DoubleType()};
  WindowCall running{"sum", {x}, false, {}, DoubleType()};
  t = seconds([&] { windowOp(input, types, {}, {{x, true, true}}, WindowFrame{}, {cume, running}, ctx); });
  std::printf("window cume_dist+sum, no partition:  %.3f s\n", t);
  t = seconds([&] { windowOp(input, types, {key}, {{x, true, true}}, WindowFrame{}, {cume}, ctx); });
  std::printf("window cume_dist by 1000 keys:       %.3f s\n", t);
  return 0;
}
