// Timings of the Spark functions the system's checks depend on, over a CSV file (made by
// scripts/compare_engines.py, which runs the same queries on DuckDB and on pyspark and prints the ratios):
// reading the file, the checksum query (xxhash64 over 8 columns, summed), percentile_approx (median and 100
// quantiles), cume_dist over 5 million values and the 20-bucket histogram query. Prints one JSON object with
// the median seconds per query; asserts nothing.
//
//   functions_bench --csv FILE [--runs R] [--json OUT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "engine/engine.h"

namespace {

using namespace engine;  // NOLINT: a benchmark program
using Clock = std::chrono::steady_clock;

// The file's schema, as scripts/compare_engines.py writes it.
StructType benchSchema() {
  StructType s;
  s.add("id", LongType())
      .add("k", IntegerType())
      .add("x", DoubleType())
      .add("y", DoubleType())
      .add("s", StringType())
      .add("d", DateType())
      .add("ts", TimestampType())
      .add("dec", DecimalType(12, 2))
      .add("flag", BooleanType());
  return s;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string quantileList() {
  std::string s;
  for (int k = 1; k <= 100; ++k) s += (k > 1 ? ", " : "") + fmt::format("{}", k / 100.0);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  std::string csv, jsonOut;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "functions_bench: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--csv") csv = next();
    else if (a == "--runs") runs = std::max(1, std::stoi(next()));
    else if (a == "--json") jsonOut = next();
    else {
      std::fprintf(stderr, "usage: functions_bench --csv FILE [--runs R] [--json OUT]\n");
      return 2;
    }
  }
  if (csv.empty()) {
    std::fprintf(stderr, "usage: functions_bench --csv FILE [--runs R] [--json OUT]\n");
    return 2;
  }
  try {
    auto spark = SparkSession::builder().appName("functions_bench").getOrCreate();
    nlohmann::json out = nlohmann::json::object();

    // Reading: once with the schema given, once inferring it (Spark's inferSchema reads the file twice).
    std::vector<double> readTimes, inferTimes;
    std::int64_t rows = 0;
    for (int r = 0; r < runs; ++r) {
      auto t0 = Clock::now();
      rows = spark->read().schema(benchSchema()).option("header", true).csv(csv).count();
      readTimes.push_back(seconds(t0, Clock::now()));
    }
    {
      auto t0 = Clock::now();
      spark->read().option("header", true).option("inferSchema", true).csv(csv).count();
      inferTimes.push_back(seconds(t0, Clock::now()));
    }
    out["read_csv"] = median(readTimes);
    out["read_csv_infer"] = median(inferTimes);
    out["rows"] = rows;

    DataFrame t = spark->read().schema(benchSchema()).option("header", true).csv(csv).persist();
    t.count();
    t.createOrReplaceTempView("t");

    const std::vector<std::pair<std::string, std::string>> queries = {
        {"checksum_xxhash64_8cols", "SELECT sum(xxhash64(id, k, x, y, s, d, ts, dec)) AS h FROM t"},
        {"percentile_median", "SELECT percentile_approx(x, array(0.5), 10000) AS m FROM t"},
        {"percentile_100_quantiles", "SELECT percentile_approx(x, array(" + quantileList() + "), 10000) AS q FROM t"},
        {"cume_dist_5m", "SELECT max(cd) AS m, count(*) AS c FROM (SELECT cume_dist() OVER (ORDER BY x) AS cd FROM t WHERE id < 5000000)"},
        {"bucketing_20",
         "SELECT b.bucket, nvl(c.count, 0) AS count FROM (SELECT id + 1 AS bucket FROM range(20)) b LEFT OUTER JOIN "
         "(SELECT width_bucket(x, -4, 4, 20) AS bucket, count(*) AS count FROM t GROUP BY width_bucket(x, -4, 4, 20)) c "
         "ON b.bucket = c.bucket ORDER BY b.bucket"},
    };
    for (const auto& [name, sql] : queries) {
      std::vector<double> times;
      nlohmann::json firstRow;
      for (int r = 0; r < runs; ++r) {
        auto t0 = Clock::now();
        auto result = spark->sql(sql).collect();
        times.push_back(seconds(t0, Clock::now()));
        if (r == 0 && !result.empty()) firstRow = result.front().toString();
      }
      out[name] = median(times);
      out[name + "_first_row"] = firstRow;
      std::fprintf(stderr, "%-28s %8.3f s\n", name.c_str(), median(times));
    }
    std::cout << out.dump(2) << "\n";
    if (!jsonOut.empty()) std::ofstream(jsonOut) << out.dump(2) << "\n";
  } catch (const std::exception& e) {
    std::fprintf(stderr, "functions_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
