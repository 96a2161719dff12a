// Throughput of the local engine on a wide in-memory table: builds N rows (default 10 million) of mixed
// types column by column, caches them, then times a fixed set of queries (median of several runs) and
// prints rows per second. Nothing is asserted: the figures are for people, and for --json consumers.
//
//   engine_bench [--rows N] [--runs R] [--json FILE] [--no-self-join]
//
// "rows/s" is the number of input rows a query reads (both sides for the self-join and exceptAll)
// divided by its median wall time.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <fmt/core.h>
#include <tbb/parallel_for.h>
#include <nlohmann/json.hpp>

#include "engine/engine.h"

namespace {

using namespace engine;  // NOLINT: a benchmark program, not a header
namespace F = engine::functions;
using Clock = std::chrono::steady_clock;

struct Options {
  std::int64_t rows = 10'000'000;
  int runs = 3;
  std::string jsonPath;
  bool selfJoin = true;
};

[[noreturn]] void usage(int status) {
  std::fprintf(status ? stderr : stdout,
               "usage: engine_bench [--rows N] [--runs R] [--json FILE] [--no-self-join]\n"
               "  --rows N        rows in the main table (default 10000000)\n"
               "  --runs R        timed runs per query; the median is reported (default 3)\n"
               "  --json FILE     also write the figures as JSON\n"
               "  --no-self-join  skip the N x N self-join on id\n");
  std::exit(status);
}

Options parseArgs(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "engine_bench: %s needs a value\n", a.c_str());
        usage(2);
      }
      return argv[++i];
    };
    const auto number = [&](std::int64_t lo) {
      const std::string v = value();
      char* end = nullptr;
      const long long n = std::strtoll(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < lo) {
        std::fprintf(stderr, "engine_bench: %s expects a whole number >= %lld, got '%s'\n", a.c_str(),
                     static_cast<long long>(lo), v.c_str());
        usage(2);
      }
      return static_cast<std::int64_t>(n);
    };
    if (a == "--rows") {
      o.rows = number(1);
    } else if (a == "--runs") {
      o.runs = static_cast<int>(std::min<std::int64_t>(number(1), 100));
    } else if (a == "--json") {
      o.jsonPath = value();
    } else if (a == "--no-self-join") {
      o.selfJoin = false;
    } else if (a == "--help" || a == "-h") {
      usage(0);
    } else {
      std::fprintf(stderr, "engine_bench: unknown argument '%s'\n", a.c_str());
      usage(2);
    }
  }
  return o;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Stateless per-row randomness, so that columns can be filled in parallel and reproducibly.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}
double unit(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

template <class Fn>
void parallelRows(std::size_t n, Fn&& f) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1 << 16), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) f(i);
  });
}

const char* const kCategories[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
constexpr std::size_t kCategoryCount = sizeof(kCategories) / sizeof(kCategories[0]);
constexpr int kKeys = 1000;

// id long, k int (1000 keys), x double (1% null, 0.5% NaN), s string (8 values), d decimal(12,2),
// flag boolean (2% null).
LocalTable buildMainTable(std::size_t n) {
  auto id = Vector::make(LongType(), n);
  auto k = Vector::make(IntegerType(), n);
  auto x = Vector::make(DoubleType(), n);
  auto d = Vector::make(DecimalType(12, 2), n);
  auto flag = Vector::make(BooleanType(), n);
  x->validity().ensureMaterialized(n);
  flag->validity().ensureMaterialized(n);
  auto* idData = id->data<std::int64_t>();
  auto* kData = k->data<std::int32_t>();
  auto* xData = x->data<double>();
  auto* dData = d->data<int128_t>();
  auto* flagData = flag->data<std::uint8_t>();
  // Validity words are shared by 64 rows, so each task owns whole words.
  const std::size_t words = Validity::wordsFor(n);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, words, 1024), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t w = r.begin(); w != r.end(); ++w) {
      const std::size_t end = std::min(n, (w + 1) * 64);
      for (std::size_t i = w * 64; i < end; ++i) {
        const std::uint64_t h = mix(i);
        idData[i] = static_cast<std::int64_t>(i);
        kData[i] = static_cast<std::int32_t>(h % kKeys);
        const double u = unit(mix(h));
        xData[i] = u;
        if (u < 0.01) {
          x->validity().setNull(i);
        } else if (u < 0.015) {
          xData[i] = std::numeric_limits<double>::quiet_NaN();
        }
        dData[i] = static_cast<int128_t>((h >> 20) % 10'000'000);  // 0.00 .. 99999.99
        flagData[i] = (h >> 8) & 1;
        if (((h >> 40) % 50) == 0) flag->validity().setNull(i);
      }
    }
  });

  auto s = Vector::make(StringType(), n);
  auto& offsets = s->offsetStorage();
  offsets.resize(n + 1);
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    offsets[i] = static_cast<std::int64_t>(bytes);
    bytes += std::strlen(kCategories[mix(i) >> 61]);
  }
  offsets[n] = static_cast<std::int64_t>(bytes);
  auto& chars = s->chars();
  chars.resize(bytes);
  parallelRows(n, [&](std::size_t i) {
    const char* c = kCategories[mix(i) >> 61];
    std::memcpy(chars.data() + offsets[i], c, static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
  });
  static_assert(kCategoryCount == 8, "mix(i) >> 61 picks one of 8 categories");

  StructType schema;
  schema.add("id", LongType(), false).add("k", IntegerType(), false).add("x", DoubleType());
  schema.add("s", StringType(), false).add("d", DecimalType(12, 2), false).add("flag", BooleanType());
  return LocalTable(schema, {id, k, x, s, d, flag}, n);
}

// k int (every key once), k_name string, weight double.
LocalTable buildDimensionTable() {
  auto k = Vector::make(IntegerType(), kKeys);
  auto weight = Vector::make(DoubleType(), kKeys);
  StringVectorBuilder names(kKeys);
  for (int i = 0; i < kKeys; ++i) {
    k->data<std::int32_t>()[i] = i;
    weight->data<double>()[i] = 1.0 + i % 7;
    names.append("key_" + std::to_string(i));
  }
  StructType schema;
  schema.add("k", IntegerType(), false).add("k_name", StringType(), false).add("weight", DoubleType(), false);
  return LocalTable(schema, {k, names.finish(), weight}, kKeys);
}

std::optional<std::int64_t> availableMemoryBytes() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  std::int64_t kb = 0;
  std::string unitText;
  while (in >> key >> kb >> unitText) {
    if (key == "MemAvailable:") return kb * 1024;
  }
  return std::nullopt;
}

struct Query {
  std::string name;
  std::int64_t inputRows;
  std::function<std::int64_t()> run;  // returns a result size (row count or count value)
};

struct Measurement {
  std::string name;
  std::int64_t inputRows = 0;
  std::int64_t result = 0;
  std::vector<double> seconds;
  double median = 0;
  double min = 0;
  double rowsPerSecond = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::string humanRate(double r) {
  if (r >= 1e9) return fmt::format("{:.2f} G", r / 1e9);
  if (r >= 1e6) return fmt::format("{:.1f} M", r / 1e6);
  if (r >= 1e3) return fmt::format("{:.1f} K", r / 1e3);
  return fmt::format("{:.0f}", r);
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = parseArgs(argc, argv);
  const auto n = static_cast<std::size_t>(opt.rows);

  auto session = SparkSession::builder().appName("engine_bench").getOrCreate();
  fmt::print("engine_bench: {} rows, {} runs per query, parallelism {}\n", n, opt.runs, session->defaultParallelism());

  auto t0 = Clock::now();
  LocalTable mainTable = buildMainTable(n);
  const double buildSeconds = secondsSince(t0);

  t0 = Clock::now();
  const DataFrame df = session->createDataFrame(mainTable).cache();
  mainTable = LocalTable();  // the cached frame holds the data from here on
  const std::int64_t cachedRows = df.count();
  const double cacheSeconds = secondsSince(t0);
  const DataFrame dim = session->createDataFrame(buildDimensionTable()).cache();
  dim.count();
  fmt::print("built the table in {:.2f} s; cache + first count {:.2f} s ({} rows)\n\n", buildSeconds, cacheSeconds,
             cachedRows);

  const auto rows = static_cast<std::int64_t>(n);
  std::vector<Query> queries = {
      {"count", rows, [&] { return df.count(); }},
      {"filter x > 0.5 AND flag, count", rows, [&] { return df.filter((F::col("x") > 0.5) & F::col("flag")).count(); }},
      {"min/max/avg(x)", rows,
       [&] {
         return static_cast<std::int64_t>(df.agg({F::min("x"), F::max("x"), F::avg("x")}).collect().size());
       }},
      {"group by k (1000 keys): count", rows,
       [&] { return static_cast<std::int64_t>(df.groupBy("k").count().collect().size()); }},
      {"group by k: count, avg(x), sum(d)", rows,
       [&] {
         return static_cast<std::int64_t>(
             df.groupBy("k").agg(F::count("*"), F::avg("x"), F::sum("d")).collect().size());
       }},
      {"distinct (k, s) count", rows, [&] { return df.select("k", "s").distinct().count(); }},
      {"distinct id count", rows, [&] { return df.select("id").distinct().count(); }},
      {"join 1000-row dimension on k, count", rows, [&] { return df.join(dim, "k").count(); }},
  };

  bool selfJoin = opt.selfJoin;
  if (selfJoin) {
    // A hash join on id holds one side's keys and row references (and the output) in memory; leave a
    // wide margin for the rest of the machine.
    const auto avail = availableMemoryBytes();
    const std::int64_t needed = rows * 160;
    if (avail && *avail < needed) {
      fmt::print("skipping the self-join: needs about {} MB, {} MB available\n\n", needed >> 20, *avail >> 20);
      selfJoin = false;
    }
  }
  if (selfJoin) {
    queries.push_back({"self-join on id (N x N), count", 2 * rows,
                       [&] { return df.select("id", "x").join(df.select("id", "k"), "id").count(); }});
  }
  queries.push_back({"exceptAll (N vs N/2), count", rows + rows, [&] {
                       const DataFrame left = df.select("id", "k");
                       return left.exceptAll(left.filter(F::col("id") % 2 == 0)).count();
                     }});

  std::vector<Measurement> results;
  for (const auto& q : queries) {
    Measurement m;
    m.name = q.name;
    m.inputRows = q.inputRows;
    std::fflush(stdout);
    try {
      for (int r = 0; r < opt.runs; ++r) {
        const auto start = Clock::now();
        m.result = q.run();
        m.seconds.push_back(secondsSince(start));
      }
    } catch (const std::exception& e) {
      fmt::print(stderr, "{}: failed: {}\n", q.name, e.what());
      continue;
    }
    m.median = median(m.seconds);
    m.min = *std::min_element(m.seconds.begin(), m.seconds.end());
    m.rowsPerSecond = m.median > 0 ? static_cast<double>(m.inputRows) / m.median : 0;
    results.push_back(m);
  }

  std::size_t nameWidth = 5;
  for (const auto& m : results) nameWidth = std::max(nameWidth, m.name.size());
  fmt::print("{:<{}}  {:>12}  {:>12}  {:>10}  {:>10}  {:>10}\n", "query", nameWidth, "input rows", "result",
             "median ms", "min ms", "rows/s");
  fmt::print("{}\n", std::string(nameWidth + 2 + 12 + 2 + 12 + 2 + 10 + 2 + 10 + 2 + 10, '-'));
  for (const auto& m : results) {
    fmt::print("{:<{}}  {:>12}  {:>12}  {:>10.1f}  {:>10.1f}  {:>10}\n", m.name, nameWidth, m.inputRows, m.result,
               m.median * 1e3, m.min * 1e3, humanRate(m.rowsPerSecond));
  }

  if (!opt.jsonPath.empty()) {
    nlohmann::ordered_json doc;
    doc["rows"] = rows;
    doc["runs"] = opt.runs;
    doc["parallelism"] = session->defaultParallelism();
    doc["build_seconds"] = buildSeconds;
    doc["cache_seconds"] = cacheSeconds;
    doc["queries"] = nlohmann::json::array();
    for (const auto& m : results) {
      nlohmann::ordered_json q;
      q["name"] = m.name;
      q["input_rows"] = m.inputRows;
      q["result"] = m.result;
      q["median_seconds"] = m.median;
      q["min_seconds"] = m.min;
      q["rows_per_second"] = m.rowsPerSecond;
      q["seconds"] = m.seconds;
      doc["queries"].push_back(q);
    }
    std::ofstream out(opt.jsonPath);
    if (!out) {
      fmt::print(stderr, "engine_bench: cannot write {}\n", opt.jsonPath);
      return 2;
    }
    out << doc.dump(2) << '\n';
  }
  return results.size() == queries.size() ? 0 : 1;
}
