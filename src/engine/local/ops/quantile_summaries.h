// Greenwald-Khanna quantile summaries with Apache Spark's exact update, compression, merge and query rules,
// so that percentile_approx picks the same element Spark picks (exactly sorted[ceil(p*n) - 1] while the
// summary is uncompressed) and stays within rank error 1/accuracy otherwise. Memory is bounded by the
// accuracy and the head buffer, not by the number of values.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace engine::local {

// Sorts with java.lang.Double.compare's order: -0.0 before 0.0, every NaN after +Infinity (NaNs come out as
// the canonical NaN). A radix sort of order-preserving 64-bit keys: linear in the values, where a comparison
// sort with that order's branches is the cost of the whole aggregate.
void sortDoublesTotalOrder(std::vector<double>& values, std::vector<std::uint64_t>& scratch);

class QuantileSummaries {
 public:
  struct Stats {
    double value;
    std::int64_t g;      // minimum rank difference to the previous sample
    std::int64_t delta;  // rank uncertainty
  };

  static constexpr int kDefaultCompressThreshold = 10000;
  static constexpr std::size_t kDefaultHeadSize = 50000;

  explicit QuantileSummaries(double relativeError, int compressThreshold = kDefaultCompressThreshold)
      : relativeError_(relativeError), compressThreshold_(compressThreshold) {}

  void insert(double x);
  // Flushes the head buffer into the samples and compresses them.
  void compress();
  // Merges another (compressed) summary into this one (both are compressed first).
  void merge(QuantileSummaries& other);
  // Percentiles in [0, 1], in the order given; nullopt when the summary holds no value.
  std::optional<std::vector<double>> query(const std::vector<double>& percentiles);

  std::int64_t count() const { return count_ + static_cast<std::int64_t>(head_.size()); }
  const std::vector<Stats>& samples() const { return sampled_; }
  bool compressed() const { return compressed_; }

 private:
  void insertHeadBuffer();
  static std::vector<Stats> compressImmut(const std::vector<Stats>& samples, double mergeThreshold);

  double relativeError_;
  int compressThreshold_;
  std::vector<Stats> sampled_;
  std::vector<double> head_;
  std::int64_t count_ = 0;
  bool compressed_ = true;
};

}  // namespace engine::local
