// Cost of a dataset over a large frame: constructing it (validation, the frame of all rows, the three
// segment checksums) and each column statistic the framework's scans ask for. The input is generated and
// cached first, so the figures measure the dataset's queries, not data generation. Nothing is asserted.
//
//   dataset_bench [--rows N] [--runs R]
//
// Each line prints the median wall time of R runs; memoised operations are timed on a fresh dataset per
// run, so that the figure is the query's cost and not a memo hit.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "bench_data.h"
#include "engine/engine.h"
#include "spark/datasets/simple_spark_dataset.h"

namespace {

using namespace engine;  // NOLINT: a benchmark program
using bench::secondsOf;
using spark::SimpleSparkDataset;
using Strings = std::vector<std::string>;

double median_of(int runs, const std::function<void()>& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) t.push_back(secondsOf(f));
  return bench::median(std::move(t));
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Args args = bench::parseArgs(argc, argv, "dataset_bench");
  const std::int64_t rows = args.rows;
  const int runs = args.runs;
  auto spark = SparkSession::builder().appName("dataset_bench").getOrCreate();
  namespace c = bench::column;
  DataFrame data = spark->range(rows).selectExpr("id", c::kK, c::kX, c::kS, c::kD, c::kY).persist();
  double gen = secondsOf([&] { data.count(); });
  const std::vector<DataFrame> parts = bench::persistedSplit(data);
  double split = secondsOf([&] {
    for (auto& p : parts) p.count();
  });
  std::fprintf(stderr, "generated %lld rows in %.2f s, split in %.2f s on %d threads\n", static_cast<long long>(rows), gen,
               split, spark->defaultParallelism());

  const SimpleSparkDataset::Options o{.training_data = parts[0],
                                      .validation_data = parts[1],
                                      .testing_data = parts[2],
                                      .feature_names = Strings{"id", "k", "x", "s", "d"},
                                      .categorical_features = Strings{"k", "s"},
                                      .continuous_features = Strings{"x"},
                                      .date_features = Strings{"d"},
                                      .id_features = Strings{"id"},
                                      .target_name = "y"};
  auto fresh = [&] { return SimpleSparkDataset::create(o); };

  std::vector<std::pair<std::string, double>> results;
  results.emplace_back("construct (3 checksums)", median_of(runs, [&] { fresh(); }));
  auto ds = fresh();
  results.emplace_back("first query of all rows", secondsOf([&] { ds->number_of_samples(); }));
  auto timed_fresh = [&](const std::string& label, const std::function<void(SimpleSparkDataset&)>& f) {
    results.emplace_back(label, bench::timedOnFresh(runs, o, [&](SimpleSparkDataset& d) {
                                  f(d);
                                  return 0.0;
                                }).first);
  };
  timed_fresh("number_of_training_samples", [](SimpleSparkDataset& d) { d.number_of_training_samples(); });
  timed_fresh("filter_count(x > 5000)", [](SimpleSparkDataset& d) { d.filter_count("x > 5000"); });
  timed_fresh("feature_min(x)", [](SimpleSparkDataset& d) { d.feature_min("x"); });
  timed_fresh("feature_max(x, mask)", [](SimpleSparkDataset& d) { d.feature_max("x", norq::DatasetSegment::ALL, "k < 500"); });
  timed_fresh("mean(x)", [](SimpleSparkDataset& d) { d.mean("x"); });
  timed_fresh("median(x)", [](SimpleSparkDataset& d) { d.median("x"); });
  timed_fresh("quantiles(x, 3 fractions)", [](SimpleSparkDataset& d) { d.quantiles("x", {0.25, 0.5, 0.75}); });
  timed_fresh("get_feature_categories(k)", [](SimpleSparkDataset& d) { d.get_feature_categories("k"); });
  timed_fresh("all_identical(s)", [](SimpleSparkDataset& d) { d.all_identical("s"); });
  timed_fresh("feature_combined_std(x)", [&](SimpleSparkDataset& d) { d.feature_combined_std(*ds, "x"); });
  timed_fresh("compare_feature(k)", [&](SimpleSparkDataset& d) { d.compare_feature(*ds, "k"); });
  timed_fresh("filter(k < 10)", [](SimpleSparkDataset& d) { d.filter("k < 10")->number_of_samples(); });

  std::printf("%-32s %10s %14s\n", "operation", "seconds", "rows/s");
  for (const auto& [label, s] : results)
    std::printf("%-32s %10.3f %14s\n", label.c_str(), s, fmt::format("{:.3g}", static_cast<double>(rows) / s).c_str());
  return 0;
}
