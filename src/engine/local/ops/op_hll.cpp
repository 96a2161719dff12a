#include "engine/local/ops/op_hll.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/expr/spark_hash.h"
#include "engine/local/ops/hll_data.h"

namespace engine::local {

namespace {

// Registers beyond 2^kMaxPrecision (16 MiB per group) are refused rather than allocated.
constexpr int kMaxPrecision = 24;

// Java's Arrays.binarySearch(double[], key): the index of a match, or -(insertion point) - 1.
int javaBinarySearch(const double* a, int size, double key) {
  int low = 0, high = size - 1;
  while (low <= high) {
    int mid = static_cast<int>(static_cast<unsigned>(low + high) >> 1);
    double midVal = a[mid];
    if (midVal < key) {
      low = mid + 1;
    } else if (midVal > key) {
      high = mid - 1;
    } else {
      std::int64_t midBits, keyBits;
      std::memcpy(&midBits, &midVal, 8);
      std::memcpy(&keyBits, &key, 8);
      if (midBits == keyBits) return mid;
      if (midBits < keyBits) {
        low = mid + 1;
      } else {
        high = mid - 1;
      }
    }
  }
  return -(low + 1);
}

}  // namespace

HllPlusPlus::HllPlusPlus(double relativeSD) {
  double bits = std::ceil(2.0 * std::log(1.106 / relativeSD) / std::log(2.0));
  if (!(bits >= hll_data::kMinPrecision)) {
    throw AnalysisException(
        "[FAILED_FUNCTION_CALL] Failed preparing of the function `approx_count_distinct` for call: HLL++ requires "
        "at least 4 bits for addressing. Use a lower error (the relative standard deviation), at most 39%.");
  }
  if (bits > kMaxPrecision) {
    throw AnalysisException(fmt::format(
        "[UNSUPPORTED_FEATURE] approx_count_distinct with a relative standard deviation of {} needs 2^{} registers "
        "per group; the smallest supported deviation is 0.0003 (2^{} registers).",
        javaDoubleString(relativeSD), static_cast<int>(bits), kMaxPrecision));
  }
  p_ = static_cast<int>(bits);
  idxShift_ = 64 - p_;
  wPadding_ = std::uint64_t{1} << (p_ - 1);
  m_ = std::size_t{1} << p_;
  const double m = static_cast<double>(m_);
  switch (p_) {
    case 4: alphaM2_ = 0.673 * m * m; break;
    case 5: alphaM2_ = 0.697 * m * m; break;
    case 6: alphaM2_ = 0.709 * m * m; break;
    default: alphaM2_ = (0.7213 / (1.0 + 1.079 / m)) * m * m; break;
  }
}

double HllPlusPlus::estimateBias(double e) const {
  const auto& raw = hll_data::kRawEstimates[p_ - hll_data::kMinPrecision];
  const double* estimates = raw.data;
  const int n = static_cast<int>(raw.size);
  int nearest = javaBinarySearch(estimates, n, e);
  if (nearest < 0) nearest = -(nearest + 1);
  auto distance = [&](int i) {
    double d = e - estimates[i];
    return d * d;
  };
  const int k = hll_data::kBiasNeighbours;
  int low = std::max(nearest - k + 1, 0);
  int high = std::min(low + k, n);
  while (high < n && distance(high) < distance(low)) {
    ++low;
    ++high;
  }
  const double* biases = hll_data::kBiases[p_ - hll_data::kMinPrecision].data;
  double sum = 0.0;
  for (int i = low; i < high; ++i) sum += biases[i];
  return sum / static_cast<double>(high - low);
}

std::int64_t HllPlusPlus::estimate(const std::uint8_t* registers) const {
  // Summed in register order, as Spark sums them: the raw estimate must round as Spark's does.
  double zInverse = 0.0;
  double zeros = 0.0;
  for (std::size_t i = 0; i < m_; ++i) {
    std::uint8_t r = registers[i];
    zInverse += 1.0 / static_cast<double>(std::int64_t{1} << r);
    if (r == 0) zeros += 1.0;
  }
  const double m = static_cast<double>(m_);
  const double e = alphaM2_ / zInverse;
  auto biasCorrected = [&] {
    if (p_ < 19 && e < 5.0 * m) return e - estimateBias(e);
    return e;
  };
  double est;
  if (zeros > 0) {
    // Linear counting while it is the better estimate.
    double h = m * std::log(m / zeros);
    bool linear = (p_ < 19 && h <= hll_data::kThresholds[p_ - hll_data::kMinPrecision]) || e <= 2.5 * m;
    est = linear ? h : biasCorrected();
  } else {
    est = biasCorrected();
  }
  // Java's Math.round: floor(x + 0.5).
  return static_cast<std::int64_t>(std::floor(est + 0.5));
}

namespace {

// One group's registers: a short list of (index, rank) pairs while few registers are set, then all m
// registers. Groups of a few rows stay small; a group's estimate does not depend on the form.
struct HllState {
  std::vector<std::uint32_t> sparse;  // index << 8 | rank
  std::vector<std::uint8_t> dense;
};

double rsdOf(const std::vector<Value>& params) {
  if (params.empty()) return 0.05;
  if (params.size() > 1) {
    throw AnalysisException(fmt::format(
        "[WRONG_NUM_ARGS.WITHOUT_SUGGESTION] The `approx_count_distinct` requires [1, 2] parameters but the actual "
        "number is {}.",
        params.size() + 1));
  }
  const Value& v = params[0];
  if (v.isNull() || !(v.is<double>() || v.is<Decimal>() || v.is<float>())) {
    throw AnalysisException(
        "[DATATYPE_MISMATCH.TYPE_CHECK_FAILURE_WITH_HINT] The second argument of approx_count_distinct (the "
        "relative standard deviation) must be a double or decimal literal, but got " +
        (v.isNull() ? std::string("NULL") : v.toString() + " of type " + v.dataType().sql()) + ".");
  }
  return v.toDouble();
}

class HllStates final : public AggStates {
 public:
  HllStates(const AggInput& in, double rsd) : in_(in), hll_(rsd) {
    sparseLimit_ = std::min<std::size_t>(hll_.registers() / 16, 128);
  }

  void resize(std::size_t n) override { s_.resize(n); }

  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const Vector& v = *in_.parts[part][0];
    if (v.type().isNull()) return;
    hashes_.assign(n, kSparkHashSeed);
    sparkHashRows(v, begin, n, hashes_.data());
    const bool allValid = v.validity().allValid();
    for (std::size_t i = 0; i < n; ++i) {
      if (!allValid && !v.isValid(begin + i)) continue;
      add(s_[gids[i]], hll_.indexOf(hashes_[i]), hll_.rankOf(hashes_[i]));
    }
  }

  void merge(const AggStates& other, const std::uint32_t* src, const std::uint32_t* dst, std::size_t n) override {
    const auto& os = static_cast<const HllStates&>(other).s_;
    for (std::size_t i = 0; i < n; ++i) {
      const HllState& o = os[src[i]];
      HllState& t = s_[dst[i]];
      if (!o.dense.empty()) {
        densify(t);
        for (std::size_t r = 0; r < o.dense.size(); ++r) t.dense[r] = std::max(t.dense[r], o.dense[r]);
      } else {
        for (std::uint32_t e : o.sparse) add(t, e >> 8, static_cast<std::uint8_t>(e & 0xff));
      }
    }
  }

  VectorPtr finish() override {
    auto out = Vector::make(LongType(), s_.size());
    auto* d = out->data<std::int64_t>();
    std::vector<std::uint8_t> scratch(hll_.registers());
    for (std::size_t g = 0; g < s_.size(); ++g) {
      HllState& st = s_[g];
      if (!st.dense.empty()) {
        d[g] = hll_.estimate(st.dense.data());
      } else {
        std::fill(scratch.begin(), scratch.end(), std::uint8_t{0});
        for (std::uint32_t e : st.sparse) scratch[e >> 8] = static_cast<std::uint8_t>(e & 0xff);
        d[g] = hll_.estimate(scratch.data());
      }
      st = HllState{};
    }
    return out;
  }

 private:
  void densify(HllState& st) const {
    if (!st.dense.empty()) return;
    st.dense.assign(hll_.registers(), 0);
    for (std::uint32_t e : st.sparse) st.dense[e >> 8] = static_cast<std::uint8_t>(e & 0xff);
    st.sparse.clear();
    st.sparse.shrink_to_fit();
  }

  void add(HllState& st, std::uint32_t idx, std::uint8_t rank) const {
    if (!st.dense.empty()) {
      if (rank > st.dense[idx]) st.dense[idx] = rank;
      return;
    }
    for (std::uint32_t& e : st.sparse) {
      if ((e >> 8) == idx) {
        if (rank > (e & 0xff)) e = (idx << 8) | rank;
        return;
      }
    }
    if (st.sparse.size() < sparseLimit_) {
      st.sparse.push_back((idx << 8) | rank);
      return;
    }
    densify(st);
    if (rank > st.dense[idx]) st.dense[idx] = rank;
  }

  const AggInput& in_;
  HllPlusPlus hll_;
  std::size_t sparseLimit_;
  std::vector<HllState> s_;
  std::vector<std::int64_t> hashes_;
};

bool hashable(const DataType& t) {
  switch (t.id()) {
    case TypeId::Array: return hashable(t.elementType());
    default: return true;
  }
}

}  // namespace

AggregateDef approxCountDistinctDef() {
  AggregateDef d;
  d.distinctInsensitive = true;
  d.resultType = [](const std::vector<DataType>& a, const std::vector<Value>& params) -> DataType {
    if (a.size() != 1) {
      throw AnalysisException(fmt::format(
          "[WRONG_NUM_ARGS.WITHOUT_SUGGESTION] The `approx_count_distinct` requires [1, 2] parameters but the actual "
          "number is {}.",
          a.size() + params.size()));
    }
    if (!hashable(a[0])) throw AnalysisException("approx_count_distinct: unsupported input type " + a[0].sql());
    HllPlusPlus check(rsdOf(params));  // validates the deviation at analysis time
    (void)check;
    return LongType();
  };
  d.make = [](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    return std::make_unique<HllStates>(in, rsdOf(call.params));
  };
  return d;
}

}  // namespace engine::local
