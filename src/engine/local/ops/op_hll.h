// approx_count_distinct: HyperLogLog++ as Apache Spark computes it (HyperLogLogPlusPlus), so that the
// estimate is Spark's to the unit: registers fed by Spark's xxhash64 (seed 42) of each value, Spark's
// precision for a relative standard deviation, its linear-counting thresholds and bias correction.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/local/ops/op_aggregate.h"

namespace engine::local {

AggregateDef approxCountDistinctDef();

// One HyperLogLog++ configuration (Spark's HyperLogLogPlusPlusHelper for a relative standard deviation).
class HllPlusPlus {
 public:
  // Throws AnalysisException when rsd asks for fewer than 4 index bits or more registers than supported.
  explicit HllPlusPlus(double relativeSD);

  int precision() const { return p_; }
  std::size_t registers() const { return m_; }

  // Register index and rank of a value's 64-bit hash.
  std::uint32_t indexOf(std::int64_t hash) const {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> idxShift_);
  }
  std::uint8_t rankOf(std::int64_t hash) const {
    std::uint64_t w = (static_cast<std::uint64_t>(hash) << p_) | wPadding_;
    return static_cast<std::uint8_t>(__builtin_clzll(w) + 1);
  }

  // The estimate from m dense registers (Spark's query: raw estimate, bias correction, linear counting).
  std::int64_t estimate(const std::uint8_t* registers) const;

 private:
  double estimateBias(double e) const;

  int p_;
  int idxShift_;
  std::uint64_t wPadding_;
  std::size_t m_;
  double alphaM2_;
};

}  // namespace engine::local
