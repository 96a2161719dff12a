#include "spark/histograms.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "engine/functions.h"
#include "engine/session.h"
#include "host/errors.h"

namespace spark {

namespace F = engine::functions;

std::string sql_number(double v) { return fmt::format("{}", v); }

std::string sql_identifier(const std::string& name) {
  std::string out = "`";
  for (char c : name) {
    out.push_back(c);
    if (c == '`') out.push_back('`');
  }
  return out + "`";
}

std::vector<double> scale_range(const std::vector<double>& input, double min, double max) {
  if (input.empty()) return {};
  const double lo = *std::min_element(input.begin(), input.end());
  std::vector<double> out;
  out.reserve(input.size());
  for (double v : input) out.push_back(v - lo);
  const double hi = *std::max_element(out.begin(), out.end());
  for (double& v : out) v = v * ((max - min) / hi) + min;
  return out;
}

namespace {

// Counts per bucket 1..bucket_count of width_bucket(col, lo, hi, bins), 0 for empty buckets.
std::vector<std::int64_t> bucket_counts(const engine::DataFrame& df, const std::string& value_col, double lo, double hi,
                                        std::int64_t bins, std::int64_t bucket_count) {
  engine::DataFrame buckets =
      df.sparkSession()->sql("select id+1 as bucket from range(" + std::to_string(bucket_count) + ")");
  const std::string expr = "width_bucket(" + sql_identifier(value_col) + ", " + sql_number(lo) + ", " + sql_number(hi) +
                           ", " + std::to_string(bins) + ") as bucket";
  std::vector<engine::Row> rows = df.selectExpr(expr)
                                      .groupBy("bucket")
                                      .count()
                                      .join(buckets, "bucket", "right_outer")
                                      .selectExpr("bucket", "nvl(count, 0) as count")
                                      .orderBy("bucket")
                                      .collect();
  std::vector<std::int64_t> counts;
  counts.reserve(rows.size());
  for (const engine::Row& r : rows) counts.push_back(r["count"].toInt64());
  return counts;
}

std::vector<double> edges_of(double min_val, double max_val, std::int64_t bins) {
  const double step = (max_val - min_val) / static_cast<double>(bins);
  std::vector<double> edges;
  edges.reserve(static_cast<std::size_t>(bins) + 1);
  for (std::int64_t i = 0; i <= bins; ++i) edges.push_back(min_val + static_cast<double>(i) * step);
  return edges;
}

void check_bins(const std::string& value_col, std::int64_t bins) {
  if (bins < 1)
    throw norq::ValueError(fmt::format("Cannot bin column \"{}\" into {} bins: at least one bin is needed", value_col, bins));
}

}  // namespace

NumericHistogram computeNumericHistogram2(const engine::DataFrame& df, const std::string& value_col, double max_val,
                                          double min_val, std::int64_t bins) {
  check_bins(value_col, bins);
  if (!std::isfinite(min_val) || !std::isfinite(max_val))
    throw norq::ValueError(fmt::format("Cannot bin column \"{}\": the range [{}, {}] is not finite", value_col,
                                       min_val, max_val));
  return {edges_of(min_val, max_val, bins), bucket_counts(df, value_col, min_val, max_val, bins, bins)};
}

NumericHistogram computeNumericHistogram(const engine::DataFrame& df, const std::string& value_col, std::int64_t bins) {
  check_bins(value_col, bins);
  std::optional<engine::Row> row = df.select(F::min(F::col(sql_identifier(value_col))), F::max(F::col(sql_identifier(value_col)))).first();
  const engine::Value lo = row ? row->values().at(0) : engine::Value();
  const engine::Value hi = row ? row->values().at(1) : engine::Value();
  if (lo.isNull() || hi.isNull())
    throw norq::ValueError(fmt::format("Cannot bin column \"{}\": it holds no value", value_col));
  const double min_val = lo.toDouble();
  const double max_val = hi.toDouble();
  if (!std::isfinite(min_val) || !std::isfinite(max_val))
    throw norq::ValueError(fmt::format("Cannot bin column \"{}\": its values span [{}, {}], which is not a finite range",
                                       value_col, min_val, max_val));
  std::vector<std::int64_t> counts;
  if (min_val == max_val) {
    // width_bucket has no bucket for an empty range; every value equals the maximum, which this histogram
    // counts in its last bin.
    counts.assign(static_cast<std::size_t>(bins), 0);
    counts.back() = df.select(F::col(sql_identifier(value_col))).na().drop().count();
  } else {
    counts = bucket_counts(df, value_col, min_val, max_val, bins, bins + 1);
    if (counts.back() != 0) counts[counts.size() - 2] += counts.back();
    counts.pop_back();
  }
  return {edges_of(min_val, max_val, bins), counts};
}

}  // namespace spark
