// Apache Spark's xxhash64 expression: seed 42, columns folded left to right with each column's hash
// seeded by the running hash, nulls skipped, every type hashed by Spark's per-type rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/vector.h"

namespace engine::local {

constexpr std::int64_t kSparkHashSeed = 42;

namespace spark_hash_detail {
constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL, kPrime2 = 0xC2B2AE3D27D4EB4FULL,
                        kPrime3 = 0x165667B19E3779F9ULL, kPrime4 = 0x85EBCA77C2B2AE63ULL,
                        kPrime5 = 0x27D4EB2F165667C5ULL;
inline std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
inline std::int64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return static_cast<std::int64_t>(h);
}
}  // namespace spark_hash_detail

// XXH64 of the value's 4 or 8 little-endian bytes, written out for the one length (as Spark's XXH64.hashInt
// and hashLong do): these run once per value in every checksum, so they are inlined into the column loops.
inline std::int64_t sparkHashInt(std::int32_t v, std::int64_t seed) {
  using namespace spark_hash_detail;
  std::uint64_t h = static_cast<std::uint64_t>(seed) + kPrime5 + 4;
  h ^= static_cast<std::uint64_t>(static_cast<std::uint32_t>(v)) * kPrime1;
  h = rotl(h, 23) * kPrime2 + kPrime3;
  return mix(h);
}
inline std::int64_t sparkHashLong(std::int64_t v, std::int64_t seed) {
  using namespace spark_hash_detail;
  std::uint64_t h = static_cast<std::uint64_t>(seed) + kPrime5 + 8;
  h ^= rotl(static_cast<std::uint64_t>(v) * kPrime2, 31) * kPrime1;
  h = rotl(h, 27) * kPrime1 + kPrime4;
  return mix(h);
}
std::int64_t sparkHashBytes(const void* data, std::size_t len, std::int64_t seed);

// Folds column `v` into the running hashes `h` (one per row); null rows leave their hash unchanged.
void sparkHashColumn(const Vector& v, std::int64_t* h);
// The same over rows [begin, begin + n): h[i] is the running hash of row begin + i.
void sparkHashRows(const Vector& v, std::size_t begin, std::size_t n, std::int64_t* h);

// xxhash64 over the columns of one batch: out[i] = fold of row i, starting at the seed.
void sparkXxhash64(const std::vector<const Vector*>& columns, std::size_t rows, std::int64_t* out,
                   std::int64_t seed = kSparkHashSeed);

}  // namespace engine::local
