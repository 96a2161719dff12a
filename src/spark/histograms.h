// Numeric histograms counted by the engine: one bucketing query per sample (width_bucket, grouped, joined
// with the generated bucket list so that empty bins come back as 0), one row per bin collected.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/dataframe.h"

namespace spark {

// (edges, counts): bins + 1 edges min_val + i * step, one count per bin.
using NumericHistogram = std::pair<std::vector<double>, std::vector<std::int64_t>>;

// Equal-width bins over [min_val, max_val): values below min_val, at or above max_val, and nulls are not
// counted. ValueError naming the column when the range is not finite or bins < 1.
NumericHistogram computeNumericHistogram2(const engine::DataFrame& df, const std::string& value_col, double max_val,
                                          double min_val, std::int64_t bins);
// Equal-width bins over the column's own range, the maximum counted in the last bin. ValueError naming the
// column when it holds no value or bins < 1. A column holding a single distinct value puts all of its values
// in the last bin (they all equal the maximum).
NumericHistogram computeNumericHistogram(const engine::DataFrame& df, const std::string& value_col, std::int64_t bins);

// `input` shifted so that its smallest entry is 0, scaled so that its largest is max - min, and shifted by min.
std::vector<double> scale_range(const std::vector<double>& input, double min, double max);

template <class T>
T id_func(T x) {
  return x;
}

// The engine's text for a number in a SQL expression: its shortest round-trip decimal form.
std::string sql_number(double v);
// `name` quoted as a SQL identifier (backticks, inner backticks doubled).
std::string sql_identifier(const std::string& name);

}  // namespace spark
