// The aggregate functions: one state type each, registered by name at the bottom of this file.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/ops/op_aggregate.h"
#include "engine/local/ops/op_hll.h"
#include "engine/local/ops/op_percentile.h"
#include "engine/local/ops/op_keys.h"

namespace engine::local {

int128_t pow10_128(int n) {
  int128_t r = 1;
  for (int i = 0; i < n; ++i) r *= 10;
  return r;
}

// Rounds num / den (den > 0) to an integer, half away from zero (Java's HALF_UP).
bool decimalDivRoundHalfUp(int128_t num, int128_t den, int extraDigits, int128_t& out) {
  bool neg = num < 0;
  unsigned __int128 a = neg ? static_cast<unsigned __int128>(-(num + 1)) + 1 : static_cast<unsigned __int128>(num);
  unsigned __int128 d = static_cast<unsigned __int128>(den);
  unsigned __int128 q = a / d, r = a % d;
  const unsigned __int128 limit = static_cast<unsigned __int128>(pow10_128(38));
  for (int k = 0; k < extraDigits; ++k) {
    r *= 10;
    q = q * 10 + r / d;
    r %= d;
    if (q >= limit) return false;
  }
  if (2 * r >= d) ++q;
  out = neg ? -static_cast<int128_t>(q) : static_cast<int128_t>(q);
  return true;
}

namespace {

// ---- Helpers --------------------------------------------------------------------------------------

// Calls f(Tag<physical type>) for numeric types (decimals as int128).
template <class F>
void dispatchNumeric(TypeId id, F&& f) {
  if (id == TypeId::Decimal) return f(Tag<int128_t>{});
  dispatchPrimitiveNumeric(id, std::forward<F>(f));
}

inline double pow10d(int s) {
  double r = 1;
  for (int i = 0; i < s; ++i) r *= 10;
  return r;
}

// Converts to double: decimals divided by their scale (exact operands give a correctly rounded result).
template <class In>
inline double asDouble(In x, double scaleDiv) {
  if constexpr (std::is_same_v<In, int128_t>) {
    return static_cast<double>(x) / scaleDiv;
  } else {
    return static_cast<double>(x);
  }
}

inline bool isNaN(double d) { return d != d; }

// Spark's ordering of doubles: NaN above everything.
template <class T>
inline bool lessThan(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    if (isNaN(a)) return false;
    if (isNaN(b)) return true;
  }
  return a < b;
}

// Iterates the rows of [begin, begin + n) where every vector in `args` is valid.
template <class F>
void forValidRows(const std::vector<const Vector*>& args, std::size_t begin, std::size_t n, F&& f) {
  bool allValid = true;
  for (const Vector* a : args) {
    if (a->type().isNull()) return;
    if (!a->validity().allValid()) allValid = false;
  }
  if (allValid) {
    for (std::size_t i = 0; i < n; ++i) f(i, begin + i);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t r = begin + i;
    bool ok = true;
    for (const Vector* a : args) ok = ok && a->isValid(r);
    if (ok) f(i, r);
  }
}

template <class State, class Derived>
class StatesBase : public AggStates {
 public:
  explicit StatesBase(const AggInput& in) : in_(in) {}
  void resize(std::size_t n) override { s_.resize(n); }
  void merge(const AggStates& other, const std::uint32_t* src, const std::uint32_t* dst, std::size_t n) override {
    const auto& os = static_cast<const Derived&>(other).s_;
    auto* self = static_cast<Derived*>(this);
    for (std::size_t i = 0; i < n; ++i) self->mergeOne(s_[dst[i]], os[src[i]]);
  }

 protected:
  const Vector& arg(std::size_t part, std::size_t a = 0) const { return *in_.parts[part][a]; }
  std::vector<const Vector*> argPartitions(std::size_t a = 0) const {
    std::vector<const Vector*> out;
    for (const auto& p : in_.parts) out.push_back(p[a]);
    return out;
  }
  template <class F>
  void forValid(std::size_t part, std::size_t begin, std::size_t n, F&& f) const {
    forValidRows(in_.parts[part], begin, n, std::forward<F>(f));
  }

  const AggInput& in_;
  std::vector<State> s_;

  template <class, class>
  friend class StatesBase;
};

// ---- count ----------------------------------------------------------------------------------------

class CountStates : public StatesBase<std::int64_t, CountStates> {
 public:
  using StatesBase::StatesBase;
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    if (in_.parts[part].empty()) {  // count(*) / count of non-null literals
      for (std::size_t i = 0; i < n; ++i) ++s_[gids[i]];
      return;
    }
    forValid(part, begin, n, [&](std::size_t i, std::size_t) { ++s_[gids[i]]; });
  }
  static void mergeOne(std::int64_t& a, std::int64_t b) { a += b; }
  VectorPtr finish() override {
    auto v = Vector::make(LongType(), s_.size());
    std::copy(s_.begin(), s_.end(), v->data<std::int64_t>());
    return v;
  }
};

class CountIfStates : public StatesBase<std::int64_t, CountIfStates> {
 public:
  using StatesBase::StatesBase;
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const std::uint8_t* d = arg(part).data<std::uint8_t>();
    forValid(part, begin, n, [&](std::size_t i, std::size_t r) { s_[gids[i]] += d[r] ? 1 : 0; });
  }
  static void mergeOne(std::int64_t& a, std::int64_t b) { a += b; }
  VectorPtr finish() override {
    auto v = Vector::make(LongType(), s_.size());
    std::copy(s_.begin(), s_.end(), v->data<std::int64_t>());
    return v;
  }
};

// ---- sum ------------------------------------------------------------------------------------------

struct IntSum {
  std::uint64_t v = 0;  // wraps modulo 2^64 like Spark's non-ANSI long addition
  bool has = false;
};

template <class In>
class SumIntStates : public StatesBase<IntSum, SumIntStates<In>> {
  using Base = StatesBase<IntSum, SumIntStates<In>>;

 public:
  using Base::Base;
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const In* d = this->arg(part).template data<In>();
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      IntSum& s = this->s_[gids[i]];
      s.v += static_cast<std::uint64_t>(static_cast<std::int64_t>(d[r]));
      s.has = true;
    });
  }
  static void mergeOne(IntSum& a, const IntSum& b) {
    a.v += b.v;
    a.has |= b.has;
  }
  VectorPtr finish() override {
    auto v = Vector::make(LongType(), this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      v->template data<std::int64_t>()[g] = static_cast<std::int64_t>(this->s_[g].v);
      if (!this->s_[g].has) v->setNull(g);
    }
    return v;
  }
};

struct DoubleSum {
  double v = 0;
  bool has = false;
};

template <class In>
class SumDoubleStates : public StatesBase<DoubleSum, SumDoubleStates<In>> {
  using Base = StatesBase<DoubleSum, SumDoubleStates<In>>;

 public:
  using Base::Base;
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const In* d = this->arg(part).template data<In>();
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      DoubleSum& s = this->s_[gids[i]];
      s.v += static_cast<double>(d[r]);
      s.has = true;
    });
  }
  static void mergeOne(DoubleSum& a, const DoubleSum& b) {
    if (!b.has) return;
    a.v = a.has ? a.v + b.v : b.v;
    a.has = true;
  }
  VectorPtr finish() override {
    auto v = Vector::make(DoubleType(), this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      v->template data<double>()[g] = this->s_[g].v;
      if (!this->s_[g].has) v->setNull(g);
    }
    return v;
  }
};

struct DecSum {
  int128_t v = 0;
  std::int64_t count = 0;
  bool overflow = false;
};

inline void addDec(DecSum& s, int128_t x) {
  int128_t r;
  if (__builtin_add_overflow(s.v, x, &r)) s.overflow = true;
  s.v = r;
}

// sum and avg of decimals share the state; avg divides by the count at the end.
template <bool kAvg>
class DecimalSumStates : public StatesBase<DecSum, DecimalSumStates<kAvg>> {
  using Base = StatesBase<DecSum, DecimalSumStates<kAvg>>;

 public:
  DecimalSumStates(const AggInput& in, DataType inType, DataType out)
      : Base(in), inType_(std::move(inType)), out_(std::move(out)) {}
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const int128_t* d = this->arg(part).template data<int128_t>();
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      DecSum& s = this->s_[gids[i]];
      addDec(s, d[r]);
      ++s.count;
    });
  }
  static void mergeOne(DecSum& a, const DecSum& b) {
    addDec(a, b.v);
    a.overflow |= b.overflow;
    a.count += b.count;
  }
  VectorPtr finish() override {
    auto v = Vector::make(out_, this->s_.size());
    // The running sum has the type decimal(min(p + 10, 38), s); beyond it Spark gives null.
    const int128_t sumLimit = pow10_128(std::min(inType_.precision() + 10, 38));
    const int128_t outLimit = pow10_128(out_.precision());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      const DecSum& s = this->s_[g];
      bool ok = s.count > 0 && !s.overflow && s.v < sumLimit && s.v > -sumLimit;
      int128_t r = s.v;
      if (ok && kAvg) ok = decimalDivRoundHalfUp(s.v, s.count, out_.scale() - inType_.scale(), r);
      if (ok) ok = r < outLimit && r > -outLimit;
      v->template data<int128_t>()[g] = ok ? r : 0;
      if (!ok) v->setNull(g);
    }
    return v;
  }

 private:
  DataType inType_, out_;
};

// ---- avg ------------------------------------------------------------------------------------------

struct AvgState {
  double sum = 0;
  std::int64_t count = 0;
};

template <class In>
class AvgStates : public StatesBase<AvgState, AvgStates<In>> {
  using Base = StatesBase<AvgState, AvgStates<In>>;

 public:
  using Base::Base;
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const In* d = this->arg(part).template data<In>();
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      AvgState& s = this->s_[gids[i]];
      s.sum += static_cast<double>(d[r]);
      ++s.count;
    });
  }
  static void mergeOne(AvgState& a, const AvgState& b) {
    a.sum += b.sum;
    a.count += b.count;
  }
  VectorPtr finish() override {
    auto v = Vector::make(DoubleType(), this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      const AvgState& s = this->s_[g];
      v->template data<double>()[g] = s.count ? s.sum / static_cast<double>(s.count) : 0.0;
      if (!s.count) v->setNull(g);
    }
    return v;
  }
};

// ---- central moments (stddev, variance) -----------------------------------------------------------

struct Moments {
  double n = 0, avg = 0, m2 = 0;
};

enum class MomentKind { StddevSamp, StddevPop, VarSamp, VarPop };

// Spark's CentralMomentAgg: Welford updates, Chan et al. merges, same operation order.
template <class In>
class MomentStates : public StatesBase<Moments, MomentStates<In>> {
  using Base = StatesBase<Moments, MomentStates<In>>;

 public:
  MomentStates(const AggInput& in, MomentKind kind, double scaleDiv) : Base(in), kind_(kind), scaleDiv_(scaleDiv) {}
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const In* d = this->arg(part).template data<In>();
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      Moments& s = this->s_[gids[i]];
      double x = asDouble<In>(d[r], scaleDiv_);
      double newN = s.n + 1.0;
      double delta = x - s.avg;
      double deltaN = delta / newN;
      s.avg += deltaN;
      s.m2 += delta * (delta - deltaN);
      s.n = newN;
    });
  }
  static void mergeOne(Moments& a, const Moments& b) {
    double newN = a.n + b.n;
    double delta = b.avg - a.avg;
    double deltaN = newN == 0.0 ? 0.0 : delta / newN;
    double newAvg = a.avg + deltaN * b.n;
    double newM2 = a.m2 + b.m2 + delta * deltaN * a.n * b.n;
    a.n = newN;
    a.avg = newAvg;
    a.m2 = newM2;
  }
  VectorPtr finish() override {
    auto v = Vector::make(DoubleType(), this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      const Moments& s = this->s_[g];
      bool samp = kind_ == MomentKind::StddevSamp || kind_ == MomentKind::VarSamp;
      if (s.n == 0.0 || (samp && s.n == 1.0)) {
        v->setNull(g);
        continue;
      }
      double var = s.m2 / (samp ? s.n - 1.0 : s.n);
      bool sd = kind_ == MomentKind::StddevSamp || kind_ == MomentKind::StddevPop;
      v->template data<double>()[g] = sd ? std::sqrt(var) : var;
    }
    return v;
  }

 private:
  MomentKind kind_;
  double scaleDiv_;
};

// ---- min / max ------------------------------------------------------------------------------------

template <class T>
struct MinMaxState {
  T v{};
  bool has = false;
};

template <class T, bool kMax>
class MinMaxStates : public StatesBase<MinMaxState<T>, MinMaxStates<T, kMax>> {
  using Base = StatesBase<MinMaxState<T>, MinMaxStates<T, kMax>>;

 public:
  MinMaxStates(const AggInput& in, DataType type) : Base(in), type_(std::move(type)) {}
  static bool better(T x, T cur) { return kMax ? lessThan(cur, x) : lessThan(x, cur); }
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const T* d = this->arg(part).template data<T>();
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      MinMaxState<T>& s = this->s_[gids[i]];
      if (!s.has || better(d[r], s.v)) {
        s.v = d[r];
        s.has = true;
      }
    });
  }
  static void mergeOne(MinMaxState<T>& a, const MinMaxState<T>& b) {
    if (b.has && (!a.has || better(b.v, a.v))) a = b;
  }
  VectorPtr finish() override {
    auto v = Vector::make(type_, this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      v->template data<T>()[g] = this->s_[g].v;
      if (!this->s_[g].has) v->setNull(g);
    }
    return v;
  }

 private:
  DataType type_;
};

// Strings and arrays: the state references the winning row.
template <bool kMax>
class MinMaxRefStates : public StatesBase<RowRef, MinMaxRefStates<kMax>> {
  using Base = StatesBase<RowRef, MinMaxRefStates<kMax>>;

 public:
  MinMaxRefStates(const AggInput& in, DataType type) : Base(in), type_(std::move(type)) {}
  void resize(std::size_t n) override { this->s_.resize(n, -1); }
  bool better(RowRef x, RowRef cur) const {
    int c = compareValues(this->arg(refPart(x)), refRow(x), this->arg(refPart(cur)), refRow(cur));
    return kMax ? c > 0 : c < 0;
  }
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      RowRef& s = this->s_[gids[i]];
      RowRef x = makeRef(part, r);
      if (s < 0 || better(x, s)) s = x;
    });
  }
  void mergeOne(RowRef& a, RowRef b) const {
    if (b >= 0 && (a < 0 || better(b, a))) a = b;
  }
  VectorPtr finish() override {
    return gatherRefs(this->argPartitions(), type_, this->s_.data(), this->s_.size());
  }

 private:
  DataType type_;
};

// ---- min_by / max_by ------------------------------------------------------------------------------

// The value of the first argument at the smallest (largest) second argument; rows with a null ordering
// are skipped. Of equal orderings the last one wins: Spark keeps its current value only when it is strictly
// better.
template <bool kMax>
class MinMaxByStates : public StatesBase<RowRef, MinMaxByStates<kMax>> {
  using Base = StatesBase<RowRef, MinMaxByStates<kMax>>;

 public:
  MinMaxByStates(const AggInput& in, DataType type) : Base(in), type_(std::move(type)) {}
  void resize(std::size_t n) override { this->s_.resize(n, -1); }
  bool better(RowRef x, RowRef cur) const {
    int c = compareValues(this->arg(refPart(x), 1), refRow(x), this->arg(refPart(cur), 1), refRow(cur));
    return kMax ? c >= 0 : c <= 0;
  }
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const Vector& ord = this->arg(part, 1);
    if (ord.type().isNull()) return;
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t r = begin + i;
      if (!ord.isValid(r)) continue;
      RowRef& s = this->s_[gids[i]];
      RowRef x = makeRef(part, r);
      if (s < 0 || better(x, s)) s = x;
    }
  }
  void mergeOne(RowRef& a, RowRef b) const {
    if (b >= 0 && (a < 0 || better(b, a))) a = b;
  }
  VectorPtr finish() override { return gatherRefs(this->argPartitions(0), type_, this->s_.data(), this->s_.size()); }

 private:
  DataType type_;
};

// ---- statistics of doubles: covariance, correlation, skewness, kurtosis, exact percentiles ------------

// Row r of a numeric vector as a double (decimals by their scale).
inline double numericAt(const Vector& v, std::size_t r) {
  switch (v.type().id()) {
    case TypeId::Byte: return v.data<std::int8_t>()[r];
    case TypeId::Short: return v.data<std::int16_t>()[r];
    case TypeId::Integer: return v.data<std::int32_t>()[r];
    case TypeId::Long: return static_cast<double>(v.data<std::int64_t>()[r]);
    case TypeId::Float: return v.data<float>()[r];
    case TypeId::Double: return v.data<double>()[r];
    case TypeId::Decimal: return static_cast<double>(v.data<int128_t>()[r]) / pow10d(v.type().scale());
    default: return 0.0;
  }
}

struct CoMoments {
  double n = 0, xAvg = 0, yAvg = 0, ck = 0, xMk = 0, yMk = 0;
};

enum class CoKind { CovarPop, CovarSamp, Corr };

// Spark's Covariance and PearsonCorrelation: the same online updates and pairwise merges.
class CoMomentStates : public StatesBase<CoMoments, CoMomentStates> {
  using Base = StatesBase<CoMoments, CoMomentStates>;

 public:
  CoMomentStates(const AggInput& in, CoKind kind) : Base(in), kind_(kind) {}
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const Vector& xv = this->arg(part, 0);
    const Vector& yv = this->arg(part, 1);
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      CoMoments& s = this->s_[gids[i]];
      double x = numericAt(xv, r), y = numericAt(yv, r);
      double newN = s.n + 1.0;
      double dx = x - s.xAvg, dxN = dx / newN;
      double dy = y - s.yAvg, dyN = dy / newN;
      double newXAvg = s.xAvg + dxN, newYAvg = s.yAvg + dyN;
      s.ck += dx * (y - newYAvg);
      s.xMk += dx * (x - newXAvg);
      s.yMk += dy * (y - newYAvg);
      s.xAvg = newXAvg;
      s.yAvg = newYAvg;
      s.n = newN;
    });
  }
  static void mergeOne(CoMoments& a, const CoMoments& b) {
    double n1 = a.n, n2 = b.n, newN = n1 + n2;
    double dx = b.xAvg - a.xAvg, dxN = newN == 0.0 ? 0.0 : dx / newN;
    double dy = b.yAvg - a.yAvg, dyN = newN == 0.0 ? 0.0 : dy / newN;
    a.xAvg += dxN * n2;
    a.yAvg += dyN * n2;
    a.ck = a.ck + b.ck + dx * dyN * n1 * n2;
    a.xMk = a.xMk + b.xMk + dx * dxN * n1 * n2;
    a.yMk = a.yMk + b.yMk + dy * dyN * n1 * n2;
    a.n = newN;
  }
  VectorPtr finish() override {
    auto v = Vector::make(DoubleType(), this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      const CoMoments& s = this->s_[g];
      double r = 0;
      bool ok = s.n > 0.0;
      if (ok && kind_ == CoKind::CovarPop) r = s.ck / s.n;
      if (ok && kind_ == CoKind::CovarSamp) {
        ok = s.n != 1.0;
        r = s.ck / (s.n - 1.0);
      }
      if (ok && kind_ == CoKind::Corr) {
        ok = s.n != 1.0 && s.xMk != 0.0 && s.yMk != 0.0;  // no correlation of a constant
        r = s.ck / std::sqrt(s.xMk * s.yMk);
      }
      v->data<double>()[g] = ok ? r : 0.0;
      if (!ok) v->setNull(g);
    }
    return v;
  }

 private:
  CoKind kind_;
};

struct HighMoments {
  double n = 0, avg = 0, m2 = 0, m3 = 0, m4 = 0;
};

// Spark's CentralMomentAgg of order 4: skewness and kurtosis (null when the variance is 0).
class HighMomentStates : public StatesBase<HighMoments, HighMomentStates> {
  using Base = StatesBase<HighMoments, HighMomentStates>;

 public:
  HighMomentStates(const AggInput& in, bool kurtosis) : Base(in), kurtosis_(kurtosis) {}
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const Vector& xv = this->arg(part, 0);
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) {
      HighMoments& s = this->s_[gids[i]];
      double x = numericAt(xv, r);
      double newN = s.n + 1.0;
      double delta = x - s.avg, deltaN = delta / newN;
      double newM2 = s.m2 + delta * (delta - deltaN);
      double delta2 = delta * delta, deltaN2 = deltaN * deltaN;
      double newM3 = s.m3 - 3.0 * deltaN * newM2 + delta * (delta2 - deltaN2);
      double newM4 = s.m4 - 4.0 * deltaN * newM3 - 6.0 * deltaN2 * newM2 + delta * (delta * delta2 - deltaN * deltaN2);
      s.n = newN;
      s.avg += deltaN;
      s.m2 = newM2;
      s.m3 = newM3;
      s.m4 = newM4;
    });
  }
  static void mergeOne(HighMoments& a, const HighMoments& b) {
    double n1 = a.n, n2 = b.n, newN = n1 + n2;
    double delta = b.avg - a.avg, deltaN = newN == 0.0 ? 0.0 : delta / newN;
    double newM2 = a.m2 + b.m2 + delta * deltaN * n1 * n2;
    double newM3 = a.m3 + b.m3 + deltaN * deltaN * delta * n1 * n2 * (n1 - n2) + 3.0 * deltaN * (n1 * b.m2 - n2 * a.m2);
    double newM4 = a.m4 + b.m4 + deltaN * deltaN * deltaN * delta * n1 * n2 * (n1 * n1 - n1 * n2 + n2 * n2) +
                   6.0 * deltaN * deltaN * (n1 * n1 * b.m2 + n2 * n2 * a.m2) + 4.0 * deltaN * (n1 * b.m3 - n2 * a.m3);
    a.avg += deltaN * n2;
    a.n = newN;
    a.m2 = newM2;
    a.m3 = newM3;
    a.m4 = newM4;
  }
  VectorPtr finish() override {
    auto v = Vector::make(DoubleType(), this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      const HighMoments& s = this->s_[g];
      bool ok = s.n > 0.0 && s.m2 != 0.0;
      double r = 0;
      if (ok) r = kurtosis_ ? s.n * s.m4 / (s.m2 * s.m2) - 3.0 : std::sqrt(s.n) * s.m3 / std::sqrt(s.m2 * s.m2 * s.m2);
      v->data<double>()[g] = r;
      if (!ok) v->setNull(g);
    }
    return v;
  }

 private:
  bool kurtosis_;
};

// Spark's exact percentile (and median): sorted values, linear interpolation at (n - 1) * p.
class PercentileStates : public StatesBase<std::vector<double>, PercentileStates> {
  using Base = StatesBase<std::vector<double>, PercentileStates>;

 public:
  PercentileStates(const AggInput& in, std::vector<double> ps, bool array)
      : Base(in), ps_(std::move(ps)), array_(array) {}
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const Vector& xv = this->arg(part, 0);
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) { this->s_[gids[i]].push_back(numericAt(xv, r)); });
  }
  static void mergeOne(std::vector<double>& a, const std::vector<double>& b) { a.insert(a.end(), b.begin(), b.end()); }
  static double at(const std::vector<double>& sorted, double p) {
    double position = static_cast<double>(sorted.size() - 1) * p;
    auto lower = static_cast<std::size_t>(std::floor(position)), higher = static_cast<std::size_t>(std::ceil(position));
    double lo = sorted[lower], hi = sorted[higher];
    if (higher == lower || lo == hi) return lo;
    return (static_cast<double>(higher) - position) * lo + (position - static_cast<double>(lower)) * hi;
  }
  VectorPtr finish() override {
    const std::size_t groups = this->s_.size();
    for (auto& values : this->s_) std::sort(values.begin(), values.end(), [](double a, double b) { return lessThan(a, b); });
    if (!array_) {
      auto v = Vector::make(DoubleType(), groups);
      for (std::size_t g = 0; g < groups; ++g) {
        if (this->s_[g].empty()) {
          v->setNull(g);
        } else {
          v->data<double>()[g] = at(this->s_[g], ps_[0]);
        }
      }
      return v;
    }
    auto v = Vector::make(ArrayType(DoubleType(), false), groups);
    auto child = Vector::make(DoubleType(), groups * ps_.size());
    std::int64_t* off = v->offsets();
    std::size_t k = 0;
    off[0] = 0;
    for (std::size_t g = 0; g < groups; ++g) {
      if (this->s_[g].empty()) {
        v->setNull(g);
      } else {
        for (double p : ps_) child->data<double>()[k++] = at(this->s_[g], p);
      }
      off[g + 1] = static_cast<std::int64_t>(k);
    }
    v->setChild(slice(*child, 0, k));
    return v;
  }

 private:
  std::vector<double> ps_;
  bool array_;
};

// ---- first / last / any_value ---------------------------------------------------------------------

template <bool kLast>
class FirstLastStates : public StatesBase<RowRef, FirstLastStates<kLast>> {
  using Base = StatesBase<RowRef, FirstLastStates<kLast>>;

 public:
  FirstLastStates(const AggInput& in, DataType type, bool ignoreNulls)
      : Base(in), type_(std::move(type)), ignoreNulls_(ignoreNulls) {}
  void resize(std::size_t n) override { this->s_.resize(n, -1); }
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    auto take = [&](std::size_t i, std::size_t r) {
      RowRef& s = this->s_[gids[i]];
      if (kLast || s < 0) s = makeRef(part, r);
    };
    if (ignoreNulls_) {
      this->forValid(part, begin, n, take);
    } else {
      for (std::size_t i = 0; i < n; ++i) take(i, begin + i);
    }
  }
  static void mergeOne(RowRef& a, RowRef b) {
    if (b >= 0 && (kLast || a < 0)) a = b;
  }
  VectorPtr finish() override {
    return gatherRefs(this->argPartitions(), type_, this->s_.data(), this->s_.size());
  }

 private:
  DataType type_;
  bool ignoreNulls_;
};

// ---- collect_list / collect_set -------------------------------------------------------------------

template <bool kSet>
class CollectStates : public StatesBase<std::vector<RowRef>, CollectStates<kSet>> {
  using Base = StatesBase<std::vector<RowRef>, CollectStates<kSet>>;

 public:
  CollectStates(const AggInput& in, DataType resultType) : Base(in), resultType_(std::move(resultType)) {}
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) { this->s_[gids[i]].push_back(makeRef(part, r)); });
  }
  static void mergeOne(std::vector<RowRef>& a, const std::vector<RowRef>& b) { a.insert(a.end(), b.begin(), b.end()); }
  VectorPtr finish() override {
    const std::size_t groups = this->s_.size();
    std::vector<RowRef> all;
    std::vector<std::int64_t> offsets(groups + 1, 0);
    for (std::size_t g = 0; g < groups; ++g) {
      all.insert(all.end(), this->s_[g].begin(), this->s_[g].end());
      offsets[g + 1] = static_cast<std::int64_t>(all.size());
    }
    const DataType& elem = resultType_.elementType();
    VectorPtr child = gatherRefs(this->argPartitions(), elem, all.data(), all.size());
    if (kSet && !all.empty()) {
      auto nanAt = [&](std::size_t j) {
        if (child->isNull(j)) return false;
        if (elem.id() == TypeId::Double) return std::isnan(child->data<double>()[j]);
        if (elem.id() == TypeId::Float) return std::isnan(child->data<float>()[j]);
        return false;
      };
      // Keep the first occurrence of each (group, value) pair, and every NaN.
      auto gidVec = Vector::make(LongType(), all.size());
      for (std::size_t g = 0; g < groups; ++g)
        for (std::int64_t j = offsets[g]; j < offsets[g + 1]; ++j)
          gidVec->data<std::int64_t>()[j] = static_cast<std::int64_t>(g);
      KeyEncoder enc({LongType(), elem});
      GroupTable table(enc);
      EncodedKeys keys;
      std::vector<const Vector*> cols{gidVec.get(), child.get()};
      std::vector<std::uint8_t> sel(all.size(), 0);
      std::vector<std::uint32_t> ids;
      std::size_t kept = 0;
      const std::size_t chunk = 4096;
      for (std::size_t at = 0; at < all.size(); at += chunk) {
        std::size_t n = std::min(chunk, all.size() - at);
        enc.encode(cols, at, n, keys);
        ids.resize(n);
        std::size_t before = table.size();
        table.findOrInsert(keys, ids.data());
        // New ids appear in increasing order; the first row carrying a new id is its first occurrence.
        std::size_t next = before;
        for (std::size_t i = 0; i < n; ++i) {
          if (ids[i] == next) {
            sel[at + i] = 1;
            ++next;
            ++kept;
          } else if (nanAt(at + i)) {
            sel[at + i] = 1;  // a NaN equals nothing, as Spark compares the boxed numbers
            ++kept;
          }
        }
      }
      std::vector<std::int64_t> newOffsets(groups + 1, 0);
      for (std::size_t g = 0; g < groups; ++g) {
        std::int64_t c = 0;
        for (std::int64_t j = offsets[g]; j < offsets[g + 1]; ++j) c += sel[j];
        newOffsets[g + 1] = newOffsets[g] + c;
      }
      child = filterBySelection(*child, sel.data(), kept);
      offsets.swap(newOffsets);
    }
    auto out = Vector::make(resultType_, groups);
    std::copy(offsets.begin(), offsets.end(), out->offsets());
    out->setChild(child);
    return out;
  }

 private:
  DataType resultType_;
};

// ---- bool_and / bool_or ---------------------------------------------------------------------------

struct BoolState {
  bool v = false;
  bool has = false;
};

template <bool kAnd>
class BoolStates : public StatesBase<BoolState, BoolStates<kAnd>> {
  using Base = StatesBase<BoolState, BoolStates<kAnd>>;

 public:
  using Base::Base;
  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const std::uint8_t* d = this->arg(part).template data<std::uint8_t>();
    this->forValid(part, begin, n, [&](std::size_t i, std::size_t r) { mergeOne(this->s_[gids[i]], {d[r] != 0, true}); });
  }
  static void mergeOne(BoolState& a, const BoolState& b) {
    if (!b.has) return;
    a.v = a.has ? (kAnd ? (a.v && b.v) : (a.v || b.v)) : b.v;
    a.has = true;
  }
  VectorPtr finish() override {
    auto v = Vector::make(BooleanType(), this->s_.size());
    for (std::size_t g = 0; g < this->s_.size(); ++g) {
      v->template data<std::uint8_t>()[g] = this->s_[g].v ? 1 : 0;
      if (!this->s_[g].has) v->setNull(g);
    }
    return v;
  }
};

// ---- Registration ---------------------------------------------------------------------------------

[[noreturn]] void badArgs(const std::string& name, const std::vector<DataType>& args, const std::string& why) {
  std::string types;
  for (const auto& t : args) types += (types.empty() ? "" : ", ") + t.simpleString();
  throw AnalysisException("[DATATYPE_MISMATCH] Cannot resolve " + name + "(" + types + "): " + why + ".");
}

void expectArgs(const std::string& name, const std::vector<DataType>& args, std::size_t n) {
  if (args.size() != n)
    throw AnalysisException("[WRONG_NUM_ARGS] The `" + name + "` requires " + std::to_string(n) +
                            " parameters but the actual number is " + std::to_string(args.size()) + ".");
}

void expectNumeric(const std::string& name, const std::vector<DataType>& args) {
  expectArgs(name, args, 1);
  if (!args[0].isNumeric() && !args[0].isNull()) badArgs(name, args, "the argument must be numeric");
}

bool orderable(const DataType& t) {
  if (t.isArray()) return orderable(t.elementType());
  return true;
}

std::unique_ptr<AggStates> makeMoments(const AggInput& in, MomentKind kind) {
  std::unique_ptr<AggStates> out;
  const DataType& t = in.types[0];
  if (t.isNull()) return std::make_unique<MomentStates<double>>(in, kind, 1.0);
  double scaleDiv = t.isDecimal() ? pow10d(t.scale()) : 1.0;
  dispatchNumeric(t.id(), [&](auto tag) {
    using T = typename decltype(tag)::type;
    out = std::make_unique<MomentStates<T>>(in, kind, scaleDiv);
  });
  return out;
}

AggregateDef momentDef(MomentKind kind, const char* name) {
  AggregateDef d;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectNumeric(name, a);
    return DoubleType();
  };
  d.make = [kind](const AggregateCall&, const AggInput& in) { return makeMoments(in, kind); };
  return d;
}

template <bool kMax>
AggregateDef minMaxDef(const char* name) {
  AggregateDef d;
  d.distinctInsensitive = true;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectArgs(name, a, 1);
    if (!orderable(a[0])) badArgs(name, a, "the argument must be orderable");
    return a[0];
  };
  d.make = [](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    const DataType& t = in.types[0];
    if (t.isString() || t.isArray()) return std::make_unique<MinMaxRefStates<kMax>>(in, call.resultType);
    if (t.isNull()) return std::make_unique<FirstLastStates<false>>(in, call.resultType, true);
    std::unique_ptr<AggStates> out;
    dispatchFixed(t.id(), [&](auto tag) {
      using T = typename decltype(tag)::type;
      out = std::make_unique<MinMaxStates<T, kMax>>(in, call.resultType);
    });
    return out;
  };
  return d;
}

template <bool kMax>
AggregateDef minMaxByDef(const char* name) {
  AggregateDef d;
  d.distinctInsensitive = true;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectArgs(name, a, 2);
    return a[0];
  };
  d.make = [](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    return std::make_unique<MinMaxByStates<kMax>>(in, call.resultType);
  };
  return d;
}

AggregateDef coMomentDef(CoKind kind, const char* name) {
  AggregateDef d;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectArgs(name, a, 2);
    for (const auto& t : a)
      if (!t.isNumeric() && !t.isNull()) badArgs(name, a, "the arguments must be numeric");
    return DoubleType();
  };
  d.make = [kind](const AggregateCall&, const AggInput& in) -> std::unique_ptr<AggStates> {
    return std::make_unique<CoMomentStates>(in, kind);
  };
  return d;
}

AggregateDef highMomentDef(bool kurtosis, const char* name) {
  AggregateDef d;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectNumeric(name, a);
    return DoubleType();
  };
  d.make = [kurtosis](const AggregateCall&, const AggInput& in) -> std::unique_ptr<AggStates> {
    return std::make_unique<HighMomentStates>(in, kurtosis);
  };
  return d;
}

// The percentages of percentile(x, p): one number in [0, 1] or an array of them.
std::vector<double> percentagesOf(const std::string& name, const std::vector<Value>& params, bool& array) {
  array = false;
  if (name == "median") return {0.5};
  if (params.empty() || params[0].isNull())
    throw AnalysisException("[WRONG_NUM_ARGS.WITHOUT_SUGGESTION] The `percentile` requires a percentage.");
  std::vector<Value> values;
  if (params[0].is<std::shared_ptr<const ArrayValue>>()) {
    array = true;
    values = params[0].arr().elements;
  } else {
    values.push_back(params[0]);
  }
  std::vector<double> out;
  for (const Value& v : values) {
    if (!v.isNumeric())
      throw AnalysisException("[DATATYPE_MISMATCH.UNEXPECTED_INPUT_TYPE] The percentage of `percentile` must be a number.");
    double p = v.toDouble();
    if (!(p >= 0.0 && p <= 1.0))
      throw AnalysisException(fmt::format(
          "[DATATYPE_MISMATCH.VALUE_OUT_OF_RANGE] Cannot resolve \"percentile\" due to data type mismatch: The "
          "percentage must be between [0.0, 1.0], but got {}.", v.toString()));
    out.push_back(p);
  }
  return out;
}

AggregateDef percentileDef(const char* name) {
  AggregateDef d;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>& params) -> DataType {
    expectNumeric(name, a);
    bool array = false;
    percentagesOf(name, params, array);
    return array ? ArrayType(DoubleType(), false) : DoubleType();
  };
  d.make = [name](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    bool array = false;
    std::vector<double> ps = percentagesOf(name, call.params, array);
    return std::make_unique<PercentileStates>(in, std::move(ps), array);
  };
  return d;
}

bool ignoreNullsOf(const AggregateCall& call) {
  if (call.ignoreNulls) return true;
  return !call.params.empty() && call.params[0].is<bool>() && call.params[0].get<bool>();
}

template <bool kLast>
AggregateDef firstLastDef(const char* name, bool anyValue = false) {
  AggregateDef d;
  d.distinctInsensitive = true;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectArgs(name, a, 1);
    return a[0];
  };
  d.make = [anyValue](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    (void)anyValue;
    return std::make_unique<FirstLastStates<kLast>>(in, call.resultType, ignoreNullsOf(call));
  };
  return d;
}

template <bool kSet>
AggregateDef collectDef(const char* name) {
  AggregateDef d;
  d.distinctInsensitive = kSet;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectArgs(name, a, 1);
    return ArrayType(a[0], false);
  };
  d.make = [](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    return std::make_unique<CollectStates<kSet>>(in, call.resultType);
  };
  return d;
}

template <bool kAnd>
AggregateDef boolDef(const char* name) {
  AggregateDef d;
  d.distinctInsensitive = true;
  d.resultType = [name](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectArgs(name, a, 1);
    if (!a[0].isBoolean() && !a[0].isNull()) badArgs(name, a, "the argument must be boolean");
    return BooleanType();
  };
  d.make = [](const AggregateCall&, const AggInput& in) -> std::unique_ptr<AggStates> {
    return std::make_unique<BoolStates<kAnd>>(in);
  };
  return d;
}

std::unordered_map<std::string, AggregateDef> buildRegistry() {
  std::unordered_map<std::string, AggregateDef> r;

  AggregateDef count;
  count.resultType = [](const std::vector<DataType>& a, const std::vector<Value>&) {
    if (a.empty()) throw AnalysisException("[WRONG_NUM_ARGS] The `count` requires at least one parameter.");
    return LongType();
  };
  count.make = [](const AggregateCall&, const AggInput& in) { return std::make_unique<CountStates>(in); };
  r["count"] = count;

  AggregateDef countIf;
  countIf.resultType = [](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectArgs("count_if", a, 1);
    if (!a[0].isBoolean() && !a[0].isNull()) badArgs("count_if", a, "the argument must be boolean");
    return LongType();
  };
  countIf.make = [](const AggregateCall&, const AggInput& in) { return std::make_unique<CountIfStates>(in); };
  r["count_if"] = countIf;

  AggregateDef sum;
  sum.resultType = [](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectNumeric("sum", a);
    if (a[0].isIntegral()) return LongType();
    if (a[0].isDecimal()) return DecimalType(std::min(a[0].precision() + 10, 38), a[0].scale());
    return DoubleType();
  };
  sum.make = [](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    const DataType& t = in.types[0];
    if (t.isNull()) return std::make_unique<SumDoubleStates<double>>(in);
    if (t.isDecimal()) return std::make_unique<DecimalSumStates<false>>(in, t, call.resultType);
    std::unique_ptr<AggStates> out;
    dispatchNumeric(t.id(), [&](auto tag) {
      using T = typename decltype(tag)::type;
      if constexpr (std::is_floating_point_v<T>) {
        out = std::make_unique<SumDoubleStates<T>>(in);
      } else if constexpr (!std::is_same_v<T, int128_t>) {
        out = std::make_unique<SumIntStates<T>>(in);
      }
    });
    return out;
  };
  r["sum"] = sum;

  AggregateDef avg;
  avg.resultType = [](const std::vector<DataType>& a, const std::vector<Value>&) {
    expectNumeric("avg", a);
    if (a[0].isDecimal()) return DecimalType(std::min(a[0].precision() + 4, 38), std::min(a[0].scale() + 4, 38));
    return DoubleType();
  };
  avg.make = [](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    const DataType& t = in.types[0];
    if (t.isNull()) return std::make_unique<AvgStates<double>>(in);
    if (t.isDecimal()) return std::make_unique<DecimalSumStates<true>>(in, t, call.resultType);
    std::unique_ptr<AggStates> out;
    dispatchNumeric(t.id(), [&](auto tag) {
      using T = typename decltype(tag)::type;
      if constexpr (!std::is_same_v<T, int128_t>) out = std::make_unique<AvgStates<T>>(in);
    });
    return out;
  };
  r["avg"] = avg;
  r["mean"] = avg;

  r["min"] = minMaxDef<false>("min");
  r["max"] = minMaxDef<true>("max");

  r["stddev"] = momentDef(MomentKind::StddevSamp, "stddev");
  r["std"] = momentDef(MomentKind::StddevSamp, "std");
  r["stddev_samp"] = momentDef(MomentKind::StddevSamp, "stddev_samp");
  r["stddev_pop"] = momentDef(MomentKind::StddevPop, "stddev_pop");
  r["variance"] = momentDef(MomentKind::VarSamp, "variance");
  r["var_samp"] = momentDef(MomentKind::VarSamp, "var_samp");
  r["var_pop"] = momentDef(MomentKind::VarPop, "var_pop");

  r["first"] = firstLastDef<false>("first");
  r["first_value"] = firstLastDef<false>("first_value");
  r["any_value"] = firstLastDef<false>("any_value", true);
  r["last"] = firstLastDef<true>("last");
  r["last_value"] = firstLastDef<true>("last_value");

  r["collect_list"] = collectDef<false>("collect_list");
  r["array_agg"] = collectDef<false>("array_agg");
  r["collect_set"] = collectDef<true>("collect_set");

  r["bool_and"] = boolDef<true>("bool_and");
  r["every"] = boolDef<true>("every");
  r["bool_or"] = boolDef<false>("bool_or");
  r["some"] = boolDef<false>("some");
  r["any"] = boolDef<false>("any");
  r["max_by"] = minMaxByDef<true>("max_by");
  r["min_by"] = minMaxByDef<false>("min_by");
  r["covar_pop"] = coMomentDef(CoKind::CovarPop, "covar_pop");
  r["covar_samp"] = coMomentDef(CoKind::CovarSamp, "covar_samp");
  r["corr"] = coMomentDef(CoKind::Corr, "corr");
  r["skewness"] = highMomentDef(false, "skewness");
  r["kurtosis"] = highMomentDef(true, "kurtosis");
  r["percentile"] = percentileDef("percentile");
  r["median"] = percentileDef("median");
  r["percentile_approx"] = percentileApproxDef();
  r["approx_percentile"] = percentileApproxDef();
  r["approx_count_distinct"] = approxCountDistinctDef();
  return r;
}

}  // namespace

const AggregateDef* findAggregate(std::string_view name) {
  static const std::unordered_map<std::string, AggregateDef> registry = buildRegistry();
  auto it = registry.find(std::string(name));
  return it == registry.end() ? nullptr : &it->second;
}

bool isAggregateFunction(const std::string& name) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return findAggregate(lower) != nullptr;
}

DataType aggregateResultType(const std::string& name, const std::vector<DataType>& argTypes,
                             const std::vector<Value>& params) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const AggregateDef* def = findAggregate(lower);
  if (!def) throw AnalysisException("[UNRESOLVED_ROUTINE] Cannot resolve aggregate function `" + name + "`.");
  return def->resultType(argTypes, params);
}

}  // namespace engine::local
