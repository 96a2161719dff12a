// Apache Spark's xxhash64 expression: seed 42, columns folded left to right with each column's hash
// seeded by the running hash, nulls skipped, every type hashed by Spark's per-type rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/vector.h"

namespace engine::local {

constexpr std::int64_t kSparkHashSeed = 42;

std::int64_t sparkHashInt(std::int32_t v, std::int64_t seed);
std::int64_t sparkHashLong(std::int64_t v, std::int64_t seed);
std::int64_t sparkHashBytes(const void* data, std::size_t len, std::int64_t seed);

// Folds column `v` into the running hashes `h` (one per row); null rows leave their hash unchanged.
void sparkHashColumn(const Vector& v, std::int64_t* h);
// The same over rows [begin, begin + n): h[i] is the running hash of row begin + i.
void sparkHashRows(const Vector& v, std::size_t begin, std::size_t n, std::int64_t* h);

// xxhash64 over the columns of one batch: out[i] = fold of row i, starting at the seed.
void sparkXxhash64(const std::vector<const Vector*>& columns, std::size_t rows, std::int64_t* out,
                   std::int64_t seed = kSparkHashSeed);

}  // namespace engine::local
