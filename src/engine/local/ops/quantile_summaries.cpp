#include "engine/local/ops/quantile_summaries.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace engine::local {

namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kNaNKey = ~std::uint64_t{0};

// Unsigned keys in java.lang.Double.compare's order: negative numbers have every bit flipped, positive ones
// the sign bit set; every NaN is the largest key.
inline std::uint64_t totalOrderKey(double d) {
  if (std::isnan(d)) return kNaNKey;
  const auto bits = std::bit_cast<std::uint64_t>(d);
  return (bits & kSignBit) ? ~bits : bits | kSignBit;
}

inline double fromTotalOrderKey(std::uint64_t key) {
  if (key == kNaNKey) return std::numeric_limits<double>::quiet_NaN();
  return std::bit_cast<double>((key & kSignBit) ? key & ~kSignBit : ~key);
}

}  // namespace

void sortDoublesTotalOrder(std::vector<double>& values, std::vector<std::uint64_t>& scratch) {
  const std::size_t n = values.size();
  if (n < 2) return;
  // Least significant byte first; a byte every key shares is skipped (the high bytes of values of one
  // magnitude mostly are). The eight histograms come from one pass.
  scratch.resize(2 * n);
  std::uint64_t* from = scratch.data();
  std::uint64_t* to = scratch.data() + n;
  std::array<std::array<std::size_t, 256>, 8> counts{};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = totalOrderKey(values[i]);
    from[i] = k;
    for (int b = 0; b < 8; ++b) ++counts[b][(k >> (8 * b)) & 0xff];
  }
  for (int b = 0; b < 8; ++b) {
    auto& c = counts[b];
    const int shift = 8 * b;
    if (c[(from[0] >> shift) & 0xff] == n) continue;
    std::size_t sum = 0;
    for (auto& x : c) {
      const std::size_t here = x;
      x = sum;
      sum += here;
    }
    for (std::size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & 0xff]++] = from[i];
    std::swap(from, to);
  }
  for (std::size_t i = 0; i < n; ++i) values[i] = fromTotalOrderKey(from[i]);
}

void QuantileSummaries::insert(double x) {
  head_.push_back(x);
  compressed_ = false;
  if (head_.size() >= kDefaultHeadSize) {
    insertHeadBuffer();
    if (sampled_.size() >= static_cast<std::size_t>(compressThreshold_)) compress();
  }
}

void QuantileSummaries::insertHeadBuffer() {
  if (head_.empty()) return;
  // Spark sorts the head buffer with java.lang.Double.compare (NaN above everything, -0.0 below 0.0) but merges
  // and compresses with the plain IEEE comparisons, under which NaN is neither less nor greater than anything;
  // both are kept as they are so that NaN lands where it lands in Spark.
  // The sort keys live per thread, not per summary: a grouped aggregate has a summary per group.
  thread_local std::vector<std::uint64_t> keys;
  sortDoublesTotalOrder(head_, keys);
  std::vector<Stats> merged;
  merged.reserve(sampled_.size() + head_.size());
  std::int64_t currentCount = count_;
  std::size_t sampleIdx = 0;
  for (std::size_t opsIdx = 0; opsIdx < head_.size(); ++opsIdx) {
    const double current = head_[opsIdx];
    while (sampleIdx < sampled_.size() && sampled_[sampleIdx].value <= current)
      merged.push_back(sampled_[sampleIdx++]);
    ++currentCount;
    std::int64_t delta = 0;
    if (!(merged.empty() || (sampleIdx == sampled_.size() && opsIdx == head_.size() - 1)))
      delta = static_cast<std::int64_t>(std::floor(2 * relativeError_ * static_cast<double>(currentCount)));
    merged.push_back(Stats{current, 1, delta});
  }
  while (sampleIdx < sampled_.size()) merged.push_back(sampled_[sampleIdx++]);
  sampled_ = std::move(merged);
  count_ = currentCount;
  head_.clear();
}

std::vector<QuantileSummaries::Stats> QuantileSummaries::compressImmut(const std::vector<Stats>& samples,
                                                                       double mergeThreshold) {
  if (samples.empty()) return {};
  std::vector<Stats> res;  // built back to front, reversed at the end
  Stats head = samples.back();
  for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(samples.size()) - 2; i >= 1; --i) {
    const Stats& s = samples[static_cast<std::size_t>(i)];
    if (static_cast<double>(s.g + head.g + head.delta) < mergeThreshold) {
      head.g += s.g;
    } else {
      res.push_back(head);
      head = s;
    }
  }
  res.push_back(head);
  const Stats& first = samples.front();
  if (first.value <= head.value && samples.size() > 1) res.push_back(first);
  std::reverse(res.begin(), res.end());
  return res;
}

void QuantileSummaries::compress() {
  insertHeadBuffer();
  sampled_ = compressImmut(sampled_, 2 * relativeError_ * static_cast<double>(count_));
  compressed_ = true;
}

void QuantileSummaries::merge(QuantileSummaries& other) {
  if (!compressed_) compress();
  if (!other.compressed_) other.compress();
  if (other.count_ == 0) return;
  if (count_ == 0) {
    sampled_ = other.sampled_;
    count_ = other.count_;
    relativeError_ = other.relativeError_;
    compressThreshold_ = other.compressThreshold_;
    compressed_ = true;
    return;
  }
  const double mergedError = std::max(relativeError_, other.relativeError_);
  const std::int64_t mergedCount = count_ + other.count_;
  const auto addSelf = static_cast<std::int64_t>(std::floor(2 * other.relativeError_ * static_cast<double>(other.count_)));
  const auto addOther = static_cast<std::int64_t>(std::floor(2 * relativeError_ * static_cast<double>(count_)));
  std::vector<Stats> merged;
  merged.reserve(sampled_.size() + other.sampled_.size());
  std::size_t si = 0, oi = 0;
  while (si < sampled_.size() && oi < other.sampled_.size()) {
    const Stats& s = sampled_[si];
    const Stats& o = other.sampled_[oi];
    if (s.value < o.value) {
      ++si;
      merged.push_back(Stats{s.value, s.g, s.delta + (oi > 0 ? addSelf : 0)});
    } else {
      ++oi;
      merged.push_back(Stats{o.value, o.g, o.delta + (si > 0 ? addOther : 0)});
    }
  }
  while (si < sampled_.size()) merged.push_back(sampled_[si++]);
  while (oi < other.sampled_.size()) merged.push_back(other.sampled_[oi++]);
  sampled_ = compressImmut(merged, 2 * mergedError * static_cast<double>(mergedCount));
  count_ = mergedCount;
  relativeError_ = mergedError;
  compressThreshold_ = other.compressThreshold_;
  compressed_ = true;
}

std::optional<std::vector<double>> QuantileSummaries::query(const std::vector<double>& percentiles) {
  for (double p : percentiles)
    if (!(p >= 0 && p <= 1)) throw std::invalid_argument("percentile should be in the range [0.0, 1.0]");
  if (!compressed_) compress();
  if (sampled_.empty()) return std::nullopt;

  std::int64_t maxErr = INT64_MIN;
  for (const auto& s : sampled_) maxErr = std::max(maxErr, s.delta + s.g);
  const double targetError = static_cast<double>(maxErr / 2);

  // Percentiles are answered in ascending order with one sweep over the samples, resuming where the
  // previous answer was found (as Spark does), then put back in the caller's order.
  std::vector<std::size_t> order(percentiles.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return percentiles[a] < percentiles[b]; });
  std::vector<double> result(percentiles.size());
  std::size_t index = 0;
  std::int64_t minRank = sampled_[0].g;
  for (std::size_t pos : order) {
    const double p = percentiles[pos];
    if (p <= relativeError_) {
      result[pos] = sampled_.front().value;
    } else if (p >= 1 - relativeError_) {
      result[pos] = sampled_.back().value;
    } else {
      const auto rank = static_cast<std::int64_t>(std::ceil(p * static_cast<double>(count_)));
      std::size_t i = index;
      std::int64_t mr = minRank;
      bool found = false;
      while (i < sampled_.size() - 1) {
        const Stats& cur = sampled_[i];
        const double maxRank = static_cast<double>(mr + cur.delta);
        if (maxRank - targetError <= static_cast<double>(rank) &&
            static_cast<double>(rank) <= static_cast<double>(mr) + targetError) {
          found = true;
          break;
        }
        ++i;
        mr += sampled_[i].g;
      }
      if (found) {
        index = i;
        minRank = mr;
        result[pos] = sampled_[i].value;
      } else {
        index = sampled_.size() - 1;
        minRank = mr;
        result[pos] = sampled_.back().value;
      }
    }
  }
  return result;
}

}  // namespace engine::local
