#include "spark/calculation_handlers.h"

#include <cmath>
#include <map>

#include <fmt/format.h>

#include "engine/functions.h"
#include "host/errors.h"
#include "spark/histograms.h"
#include "spark/ks_2samp.h"
#include "spark/rounding.h"

namespace spark {

namespace F = engine::functions;

std::int64_t default_bin_count(std::int64_t n) {
  if (n <= 0) throw norq::ValueError("The default bin count needs at least one row");
  return std::max<std::int64_t>(10, static_cast<std::int64_t>(std::nearbyint(1 + 3.322 * std::log10(static_cast<double>(n)))));
}

namespace {

// Value equality as the counters key values: numbers of different widths compare by value.
bool same_key(const engine::Value& a, const engine::Value& b) {
  if (a.isNumeric() && b.isNumeric() && a.dataType().id() != b.dataType().id()) return a.toDouble() == b.toDouble();
  return a == b;
}

using Counter = std::vector<std::pair<engine::Value, std::int64_t>>;

Counter count_values(const engine::DataFrame& sample, const std::string& column) {
  Counter c;
  // Ordered by value: a group-by returns its groups in an order of the engine's own (Spark's differs from the
  // embedded engine's), and the bins must come out the same on every backend.
  const engine::Column value = F::col(sql_identifier(column));
  for (const engine::Row& r : sample.groupBy(value).agg(F::count(value)).orderBy(value).collect())
    c.emplace_back(r.values().at(0), r.values().at(1).toInt64());
  return c;
}

std::int64_t lookup(const Counter& c, const engine::Value& key) {
  for (const auto& [k, n] : c)
    if (same_key(k, key)) return n;
  return 0;
}

std::vector<double> proportions(const std::vector<std::int64_t>& counts) {
  std::int64_t total = 0;
  for (std::int64_t n : counts) total += n;
  std::vector<double> out;
  if (total <= 0) return out;
  out.reserve(counts.size());
  for (std::int64_t n : counts) out.push_back(static_cast<double>(n) / static_cast<double>(total));
  return out;
}

void categorical_histogram(const engine::DataFrame& expected, const engine::DataFrame& actual, const std::string& column,
                           DriftHistogram& out) {
  const Counter ce = count_values(expected, column);
  const Counter cn = count_values(actual, column);
  // Keys with a positive combined count: the reference's in its order, then those only the new sample has.
  std::vector<engine::Value> keys;
  auto add_key = [&](const engine::Value& k) {
    for (const auto& e : keys)
      if (same_key(e, k)) return;
    if (lookup(ce, k) + lookup(cn, k) > 0) keys.push_back(k);
  };
  for (const auto& [k, n] : ce) add_key(k);
  for (const auto& [k, n] : cn) add_key(k);
  for (const auto& k : keys) {
    out.labels.push_back(k.is<std::string>() ? k.str() : k.toString());
    out.expected_counts.push_back(lookup(ce, k));
    out.actual_counts.push_back(lookup(cn, k));
  }
  out.expected = proportions(out.expected_counts);
  out.actual = proportions(out.actual_counts);
}

double single_double(const engine::DataFrame& frame) {
  std::optional<engine::Row> row = frame.first();
  if (!row || row->values().at(0).isNull()) return std::nan("");
  return row->values().at(0).toDouble();
}

}  // namespace

DriftHistogram drift_histogram(const engine::DataFrame& expected_dist, const engine::DataFrame& new_dist,
                               std::optional<std::int64_t> number_of_bins, const std::string& bucket_type,
                               bool is_categorical, const std::optional<std::vector<double>>& breakpoints) {
  DriftHistogram out;
  const engine::StructType schema = expected_dist.schema();
  if (schema.size() == 0) throw norq::ValueError("The reference sample has no column to histogram");
  const std::string column = schema.fields()[0].name;
  if (is_categorical) {
    categorical_histogram(expected_dist, new_dist, column, out);
    return out;
  }

  const engine::DataFrame combined = expected_dist.union_(new_dist);
  if (!number_of_bins && !breakpoints) {
    const std::int64_t n = combined.count();
    if (n == 0)
      throw norq::ValueError(fmt::format(
          "Cannot choose a bin count for column \"{}\": both samples are empty and no bin count was given", column));
    number_of_bins = default_bin_count(n);
  }
  std::vector<double> points;
  if (breakpoints) {
    points = *breakpoints;
  } else {
    const std::int64_t n = *number_of_bins;
    if (n < 1) throw norq::ValueError(fmt::format("Cannot bin column \"{}\" into {} bins", column, n));
    std::vector<double> grid;
    for (std::int64_t k = 0; k <= n; ++k) grid.push_back(static_cast<double>(k) / static_cast<double>(n) * 100);
    if (bucket_type == "bins") {
      const double lo = single_double(combined.select(F::min(F::col(sql_identifier(column)))));
      const double hi = single_double(combined.select(F::max(F::col(sql_identifier(column)))));
      if (std::isnan(lo) || std::isnan(hi))
        throw norq::ValueError(fmt::format(
            "Cannot bin column \"{}\": {}", column,
            combined.select(F::col(sql_identifier(column))).na().drop().isEmpty() ? "the samples hold no value"
                                                                  : "its values include NaN, which has no place on a range"));
      points = scale_range(grid, lo, hi);
    } else if (bucket_type == "quantiles") {
      std::vector<double> fractions;
      for (std::int64_t k = 0; k <= n; ++k) fractions.push_back(static_cast<double>(k) / static_cast<double>(n));
      std::optional<engine::Row> row = combined.select(F::percentile_approx(F::col(sql_identifier(column)), fractions)).first();
      if (!row || row->values().at(0).isNull())
        throw norq::ValueError(fmt::format("Cannot bin column \"{}\": the samples hold no value", column));
      for (const engine::Value& v : row->values().at(0).arr().elements) points.push_back(v.toDouble());
    } else {
      points = grid;
    }
  }
  if (points.size() < 2)
    throw norq::ValueError(fmt::format("Cannot bin column \"{}\": {} breakpoints make no bin", column, points.size()));
  const auto bins = static_cast<std::int64_t>(points.size()) - 1;
  NumericHistogram e = computeNumericHistogram2(expected_dist, column, points.back(), points.front(), bins);
  NumericHistogram a = computeNumericHistogram2(new_dist, column, points.back(), points.front(), bins);
  out.edges = e.first;
  for (std::size_t i = 0; i + 1 < out.edges.size(); ++i)
    out.labels.push_back("[" + float_text(round_decimal(out.edges[i], 4)) + ", " +
                         float_text(round_decimal(out.edges[i + 1], 4)) + ")");
  out.expected_counts = e.second;
  out.actual_counts = a.second;
  out.expected = proportions(e.second);
  out.actual = proportions(a.second);
  return out;
}

norq::HistogramResult spark_histogram_handler(const engine::DataFrame& expected_dist, const engine::DataFrame& new_dist,
                                              std::optional<std::int64_t> number_of_bins, const std::string& bucket_type,
                                              bool is_categorical, const std::optional<std::vector<double>>& breakpoints) {
  DriftHistogram h = drift_histogram(expected_dist, new_dist, number_of_bins, bucket_type, is_categorical, breakpoints);
  return {std::move(h.expected), std::move(h.actual)};
}

norq::HistogramResult spark_histogram_handler(const norq::HistogramRequest& r) {
  const auto* expected = std::any_cast<engine::DataFrame>(&r.expected_dist);
  const auto* actual = std::any_cast<engine::DataFrame>(&r.new_dist);
  if (!expected || !actual) throw norq::ValueError("The histogram handler needs two engine data frames");
  std::optional<std::int64_t> bins;
  if (r.number_of_bins) bins = *r.number_of_bins;
  return spark_histogram_handler(*expected, *actual, bins, r.bucket_type, r.is_categorical, r.breakpoints);
}

namespace calculation_handlers {
void load() { register_ks_2samp(); }
}  // namespace calculation_handlers

}  // namespace spark
