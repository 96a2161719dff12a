// Cost of each statistic the framework asks of a dataset, on generated data that scripts/statistics_bench.py
// rebuilds in pandas/numpy and pyspark from the same formulas (so that all three compute over the same values):
// the histogram handler on a numeric and a categorical column, the two-sample KS test between two halves of
// the rows, each model metric and metric_diff, the data profile, and each data-quality check. Nothing is
// asserted; each line is "name<TAB>median seconds<TAB>a result figure" (the figure lets the script check that
// the engines agree).
//
//   statistics_bench [--rows N] [--runs R]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench_data.h"
#include "engine/engine.h"
#include "engine/functions.h"
#include "host/calculations.h"
#include "spark/calculation_handlers.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark/ks_2samp.h"
#include "spark/metrics.h"

namespace {

using namespace engine;  // NOLINT: a benchmark program
using bench::Clock;
using spark::SimpleSparkDataset;
using Strings = std::vector<std::string>;

// The median wall time of `runs` calls, and the figure the last call returned.
std::pair<double, double> timed(int runs, const std::function<double()>& f) {
  std::vector<double> t;
  double figure = 0;
  for (int i = 0; i < runs; ++i) t.push_back(bench::secondsOf([&] { figure = f(); }));
  return {bench::median(std::move(t)), figure};
}

double rowCount(LocalTable::RowRange rows) {
  double n = 0;
  for (auto it = rows.begin(); it != rows.end(); ++it) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Args args = bench::parseArgs(argc, argv, "statistics_bench");
  const std::int64_t rows = args.rows;
  const int runs = args.runs;
  spark::metrics::load();
  spark::calculation_handlers::load();
  auto session = SparkSession::builder().appName("statistics_bench").getOrCreate();
  namespace c = bench::column;
  DataFrame data = session->range(rows)
                       .selectExpr("id", c::kNullableId, c::kX, c::kZ, c::kK, c::kS, c::kG, c::kA, c::kB, c::kW, c::kY,
                                   c::kP)
                       .persist();
  const auto t0 = Clock::now();
  data.count();
  std::fprintf(stderr, "generated %lld rows in %.2f s on %d threads\n", static_cast<long long>(rows),
               std::chrono::duration<double>(Clock::now() - t0).count(), session->defaultParallelism());

  const std::vector<DataFrame> parts = bench::persistedSplit(data);
  const SimpleSparkDataset::Options o{.training_data = parts[0],
                                      .validation_data = parts[1],
                                      .testing_data = parts[2],
                                      .feature_names = Strings{"id", "rid", "x", "z", "k", "s", "g", "a", "b", "w", "p"},
                                      .categorical_features = Strings{"k", "s", "g", "a", "b", "p"},
                                      .continuous_features = Strings{"x", "z", "w"},
                                      .id_features = Strings{"id", "rid"},
                                      .target_name = "y",
                                      .prediction_name = "p"};
  std::vector<std::pair<std::string, std::pair<double, double>>> results;
  auto add = [&](const std::string& name, const std::function<double()>& f) { results.emplace_back(name, timed(runs, f)); };
  auto addFresh = [&](const std::string& name, const std::function<double(const SimpleSparkDataset&)>& f) {
    results.emplace_back(name, bench::timedOnFresh(runs, o, f));
  };

  addFresh("histogram_numeric", [&](const SimpleSparkDataset& d) {
    auto h = d.histogram("x", 15);
    return static_cast<double>(h.second.empty() ? 0 : h.second.front());
  });
  addFresh("histogram_categorical", [&](const SimpleSparkDataset& d) {
    auto h = d.histogram("s", 15);
    return static_cast<double>(h.second.empty() ? 0 : h.second.front());
  });
  add("drift_histogram_numeric", [&] {
    auto h = spark::spark_histogram_handler(data.select("x"), data.selectExpr("z AS x"), 20);
    return h.first.empty() ? 0.0 : h.first.front();
  });
  add("drift_histogram_categorical", [&] {
    auto h = spark::spark_histogram_handler(data.filter("id % 2 = 0").select("s"), data.filter("id % 2 = 1").select("s"),
                                            std::nullopt, "bins", true);
    return h.first.empty() ? 0.0 : h.first.front();
  });
  const std::string half = std::to_string(rows / 2);
  const DataFrame s1 = data.filter("id < " + half).selectExpr("x AS v");
  const DataFrame s2 = data.filter("id >= " + half).selectExpr("z AS v");
  add("ks_2samp", [&] { return spark::spark_ks_2samp(s1, s2).statistic.value_or(std::nan("")); });

  norq::CalculationParams p;
  p.data = data;
  p.pred = "p";
  p.label = "y";
  p.positive_outcome_label = Value(std::int64_t{1});
  p.negative_outcome_label = Value(std::int64_t{0});
  p.protected_ = "g";
  p.privileged = {Value(std::string("M"))};
  p.unprivileged = {Value(std::string("F"))};
  for (const char* name : {"accuracy", "true_pos_rate", "true_neg_rate", "demographic_parity", "equal_odds_tpr",
                           "equal_odds_tnr", "equal_opportunity"}) {
    add(std::string("metric_") + name, [&] { return std::any_cast<double>(norq::calculate(name, p)); });
    norq::CalculationParams d = p;
    d.metric = std::make_shared<norq::Calculation>(name);
    add(std::string("metric_diff_") + name, [&] { return std::any_cast<double>(norq::calculate("metric_diff", d)); });
  }
  addFresh("generate_data_profile",
           [&](const SimpleSparkDataset& d) { return static_cast<double>(d.generate_data_profile().feature_profiles().size()); });
  addFresh("check_duplicate_rows", [&](const SimpleSparkDataset& d) { return rowCount(d.check_duplicate_row_violations()); });
  addFresh("check_column_ordering",
           [&](const SimpleSparkDataset& d) { return rowCount(d.check_column_ordering_violations("a", "b")); });
  addFresh("check_missing_ids",
           [&](const SimpleSparkDataset& d) { return rowCount(d.check_missing_ids("rid", Strings{"id"})); });

  for (const auto& [name, r] : results) std::printf("%s\t%.4f\t%.10g\n", name.c_str(), r.first, r.second);
  return 0;
}
