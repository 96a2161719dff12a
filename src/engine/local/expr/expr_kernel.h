// A function expression whose evaluation is a kernel over its evaluated arguments, and row loops for the
// common shapes (strict null propagation, fixed-width or string results). Most library functions (math,
// text, dates) are written this way: the kernel runs one typed loop per batch.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/local/expr/expr_common.h"

namespace engine::local {

using Kernel = std::function<VectorPtr(const std::vector<Arg>& args, std::size_t rows, const EvalContext& ctx)>;

class KernelExpr final : public FunctionExpr {
 public:
  KernelExpr(std::string name, std::vector<BoundExprPtr> args, DataType type, bool nullable, Kernel kernel)
      : FunctionExpr(std::move(name), std::move(args), std::move(type), nullable), kernel_(std::move(kernel)) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    std::vector<Arg> a = evalArgs(args_, input, ctx);
    return kernel_(a, input.rows, ctx);
  }

 private:
  Kernel kernel_;
};

inline BoundExprPtr makeKernel(std::string name, std::vector<BoundExprPtr> args, DataType type, bool nullable,
                               Kernel kernel) {
  return std::make_shared<KernelExpr>(std::move(name), std::move(args), std::move(type), nullable,
                                      std::move(kernel));
}

// A full column for an argument that may be a broadcast constant.
inline VectorPtr broadcastColumn(const Arg& a, std::size_t n) {
  if (!a.scalar || n == 1) return a.vec;
  std::vector<std::int64_t> zeros(n, 0);
  return take(*a.vec, zeros);
}

inline bool anyArgNullable(const std::vector<BoundExprPtr>& a) {
  for (const auto& e : a)
    if (e->nullable()) return true;
  return false;
}

// A fixed-width result of type `type` (physical O): rows with a null argument are null; otherwise
// f(i, out) computes the row and returns false to make it null.
template <class O, class F>
VectorPtr strictFixed(const std::vector<Arg>& a, std::size_t n, const DataType& type, F&& f) {
  auto out = Vector::make(type, n);
  std::vector<const Arg*> ptrs;
  ptrs.reserve(a.size());
  for (const auto& x : a) ptrs.push_back(&x);
  if (!propagateNulls(*out, ptrs, n)) return out;
  O* o = out->template data<O>();
  Vector& ov = *out;
  const bool allValid = ov.validity().allValid();
  for (std::size_t i = 0; i < n; ++i) {
    if (!allValid && !ov.isValid(i)) continue;
    if (!f(i, o[i])) ov.setNull(i);
  }
  return out;
}

// A string result: rows with a null argument are null; otherwise f(i, buf) fills `buf` and returns false
// to make the row null.
template <class F>
VectorPtr strictString(const std::vector<Arg>& a, std::size_t n, F&& f) {
  StringVectorBuilder b(n);
  std::string buf;
  for (std::size_t i = 0; i < n; ++i) {
    bool valid = true;
    for (const auto& x : a)
      if (!x.valid(i)) {
        valid = false;
        break;
      }
    buf.clear();
    if (valid && f(i, buf)) {
      b.append(buf);
    } else {
      b.appendNull();
    }
  }
  return b.finish();
}

// Java's (long) conversion of a double: NaN is 0, out-of-range values saturate.
inline std::int64_t javaDoubleToLong(double d) {
  if (d != d) return 0;
  if (d >= 9.2233720368547758e18) return INT64_MAX;
  if (d <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}

// Days since the epoch <-> civil date (proleptic Gregorian).
struct CivilDate {
  int year;
  int month;  // 1..12
  int day;    // 1..31
};
inline CivilDate civilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}
inline std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
inline bool isLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
inline int daysInMonth(std::int64_t y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}
inline std::int64_t floorDiv64(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
inline std::int64_t floorMod64(std::int64_t a, std::int64_t b) { return a - floorDiv64(a, b) * b; }
// The date `months` months after `days` (the day of month clamped to the target month's length), as Spark's
// add_months and date + INTERVAL n MONTH give it.
inline std::int32_t addMonthsToDate(std::int32_t days, std::int64_t months) {
  CivilDate c = civilFromDays(days);
  std::int64_t total = static_cast<std::int64_t>(c.year) * 12 + (c.month - 1) + months;
  std::int64_t y = floorDiv64(total, 12);
  int m = static_cast<int>(floorMod64(total, 12)) + 1;
  int d = std::min(c.day, daysInMonth(y, m));
  return static_cast<std::int32_t>(daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)));
}

}  // namespace engine::local
