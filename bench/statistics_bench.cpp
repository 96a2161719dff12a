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
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/functions.h"
#include "host/calculations.h"
#include "spark/calculation_handlers.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark/ks_2samp.h"
#include "spark/metrics.h"

namespace {

using namespace engine;  // NOLINT: a benchmark program
using Clock = std::chrono::steady_clock;
using spark::SimpleSparkDataset;
using Strings = std::vector<std::string>;
namespace F = engine::functions;

// The median wall time of `runs` calls, and the figure the last call returned.
std::pair<double, double> timed(int runs, const std::function<double()>& f) {
  std::vector<double> t;
  double figure = 0;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    figure = f();
    t.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], figure};
}

double rowCount(LocalTable::RowRange rows) {
  double n = 0;
  for (auto it = rows.begin(); it != rows.end(); ++it) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t rows = 10'000'000;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--rows") && i + 1 < argc) {
      rows = std::atoll(argv[++i]);
    } else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: statistics_bench [--rows N] [--runs R]\n");
      return 2;
    }
  }
  spark::metrics::load();
  spark::calculation_handlers::load();
  auto session = SparkSession::builder().appName("statistics_bench").getOrCreate();
  // The formulas are repeated in scripts/statistics_bench.py: keep them in step.
  DataFrame data = session->range(rows)
                       .selectExpr("id", "CASE WHEN id % 101 = 0 THEN NULL ELSE id END AS rid",
                                   "CAST((id * 7919) % 100003 AS DOUBLE) / 7.0 AS x",
                                   "CAST((id * 104729) % 99991 AS DOUBLE) / 7.0 + 100.0 AS z",
                                   "CAST(id % 1000 AS INT) AS k", "concat('c', CAST(id % 50 AS STRING)) AS s",
                                   "CASE WHEN id % 2 = 0 THEN 'M' ELSE 'F' END AS g", "CAST(id % 97 AS INT) AS a",
                                   "CAST((id * 13) % 89 AS INT) AS b", "CAST((id * 7) % 1000003 AS DOUBLE) / 3.0 AS w",
                                   "CAST(id % 3 = 0 AS INT) AS y", "CAST((id * 31) % 7 < 3 AS INT) AS p")
                       .persist();
  const auto t0 = Clock::now();
  data.count();
  std::fprintf(stderr, "generated %lld rows in %.2f s on %d threads\n", static_cast<long long>(rows),
               std::chrono::duration<double>(Clock::now() - t0).count(), session->defaultParallelism());

  // The dataset's segments: a random 80/20/0 split of all rows (so the dataset's frame of all rows holds them all).
  std::vector<DataFrame> parts = data.randomSplit({0.8, 0.2, 0.0}, 2);
  for (auto& part : parts) part = part.persist();
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
  // Dataset methods are memoised per dataset: each run uses a fresh one, built (checksums, the persisted frame
  // of all rows) outside the timing.
  auto addFresh = [&](const std::string& name, const std::function<double(const SimpleSparkDataset&)>& f) {
    std::vector<double> t;
    double figure = 0;
    for (int i = 0; i < runs; ++i) {
      auto d = SimpleSparkDataset::create(o);
      d->number_of_samples();
      const auto start = Clock::now();
      figure = f(*d);
      t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    results.emplace_back(name, std::make_pair(t[t.size() / 2], figure));
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
