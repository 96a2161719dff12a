// Frame utilities the datasets and builders lean on: an order-independent checksum of a frame's rows and a
// guess of which columns are categorical and which continuous.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/dataframe.h"

namespace spark {

// Type names (typeName()) of the engine's numeric column types, in the order byte, short, integer, long,
// float, double, decimal.
const std::vector<std::string>& numeric_type_names();
// Type names of the floating types (float, double).
const std::vector<std::string>& floating_type_names();

// The sum, wrapping modulo 2^64, of every row's xxhash64 over all columns in column order (seed 42, nulls
// skipped). 0 for a frame without rows, in which case the hashing query is not run. Independent of row
// order; dependent on column order, types and values. Two engine jobs: a count and one aggregation.
std::int64_t hash_df(const engine::DataFrame& df);

// The 16-digit lower-case hexadecimal text of a 64-bit checksum (negative values as their two's-complement
// residue modulo 2^64).
std::string checksum_text(std::uint64_t value);

// (categorical, continuous) column names, each sorted by character codes and free of repeats; every
// column lands in exactly one list. Non-numeric columns are categorical, floating columns continuous, and
// integer or decimal columns categorical when fewer than one row in a thousand brings a new value (nulls
// count as one value). Costs a row count plus one distinct count per integer or decimal column.
// Throws norq::ValueError naming the column when an integer or decimal column must be judged on a frame
// without rows (the ratio has no denominator).
std::pair<std::vector<std::string>, std::vector<std::string>> guess_cont_cat_col(const engine::DataFrame& data);

namespace utils {
// Registers the module's calculation ("predictions", the batch predictions of a model) for engine frames,
// once per process.
void load();
}  // namespace utils

}  // namespace spark
