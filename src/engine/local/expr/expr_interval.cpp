// Arithmetic with Spark's ANSI intervals: date/timestamp plus or minus a year-month or day-time interval,
// intervals added, subtracted and negated, and the intervals between two dates or two timestamps.
#include "engine/local/expr/expr_interval.h"

#include <limits>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_datetime.h"
#include "engine/local/expr/expr_kernel.h"
#include "engine/local/expr/expr_registry.h"

namespace engine::local {

namespace {

constexpr std::int64_t kMicrosPerDay = 86400000000LL;

[[noreturn]] void overflow(const char* what) {
  throw ExecutionException(fmt::format("[ARITHMETIC_OVERFLOW] {} overflow in interval arithmetic.", what));
}

std::int64_t addExact(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) overflow("long");
  return r;
}

std::int32_t addExact32(std::int32_t a, std::int32_t b) {
  std::int32_t r;
  if (__builtin_add_overflow(a, b, &r)) overflow("integer");
  return r;
}

// Spark's timestampAddMonths: the wall-clock time in the session zone moved by whole months.
std::int64_t timestampAddMonths(std::int64_t micros, std::int64_t months, const ZoneRules& zone) {
  std::int64_t local = zone.utcToLocalMicros(micros);
  std::int64_t days = floorDiv64(local, kMicrosPerDay);
  std::int64_t timeOfDay = local - days * kMicrosPerDay;
  std::int64_t moved = static_cast<std::int64_t>(addMonthsToDate(static_cast<std::int32_t>(days), months));
  return zone.localToUtcMicros(moved * kMicrosPerDay + timeOfDay);
}

bool isDayOnly(const DataType& t) { return t.id() == TypeId::DayTimeInterval && t.endField() == 0; }

[[noreturn]] void mismatch(const Expr& source, const DataType& l, const DataType& r) {
  throwTypeMismatch("BINARY_OP_DIFF_TYPES", exprText(source),
                    fmt::format("the left and right operands of the binary operator have incompatible types ({} and "
                                "{}).",
                                quoteType(l), quoteType(r)));
}

// out[i] = f(a(i), b(i)) over fixed-width operands; nulls propagate.
template <class O, class A, class B, class F>
BoundExprPtr binaryKernel(const char* name, BoundExprPtr l, BoundExprPtr r, DataType type, F f) {
  bool nullable = l->nullable() || r->nullable();
  std::vector<BoundExprPtr> args{std::move(l), std::move(r)};
  return makeKernel(name, std::move(args), type, nullable,
                    [type, f](const std::vector<Arg>& a, std::size_t n, const EvalContext& ctx) {
                      ZoneRules zone = ZoneRules::session(ctx.timeZone);
                      const A* x = a[0].data<A>();
                      const B* y = a[1].data<B>();
                      const bool sx = a[0].scalar, sy = a[1].scalar;
                      return strictFixed<O>(a, n, type, [&](std::size_t i, O& o) {
                        o = f(x[sx ? 0 : i], y[sy ? 0 : i], zone);
                        return true;
                      });
                    });
}

}  // namespace

BoundExprPtr bindIntervalArithmetic(bool subtract, BoundExprPtr l, BoundExprPtr r, const Expr& source) {
  const DataType lt = l->type(), rt = r->type();
  const bool li = lt.isInterval(), ri = rt.isInterval();
  const TypeId ld = lt.id(), rd = rt.id();
  const std::int64_t sign = subtract ? -1 : 1;

  // date - date: the days between them; timestamp - timestamp (or with a date): the exact duration.
  if (subtract && lt.isDatetime() && rt.isDatetime()) {
    if (ld == TypeId::Date && rd == TypeId::Date) {
      return binaryKernel<std::int64_t, std::int32_t, std::int32_t>(
          "-", std::move(l), std::move(r), DayTimeIntervalType(0, 0),
          [](std::int32_t a, std::int32_t b, const ZoneRules&) {
            return (static_cast<std::int64_t>(a) - b) * kMicrosPerDay;
          });
    }
    l = castIfNeeded(std::move(l), TimestampType());
    r = castIfNeeded(std::move(r), TimestampType());
    return binaryKernel<std::int64_t, std::int64_t, std::int64_t>(
        "-", std::move(l), std::move(r), DayTimeIntervalType(0, 3),
        [](std::int64_t a, std::int64_t b, const ZoneRules&) {
          std::int64_t d;
          if (__builtin_sub_overflow(a, b, &d)) overflow("long");
          return d;
        });
  }
  if (!li && !ri) return nullptr;

  // interval + date/timestamp is date/timestamp + interval; date/timestamp - interval only on that side.
  if (li && !ri && !subtract && rt.isDatetime()) return bindIntervalArithmetic(false, std::move(r), std::move(l), source);
  if (li && ri) {
    if (ld != rd) mismatch(source, lt, rt);
    DataType wide = *findTightestCommonType(lt, rt);
    l = castIfNeeded(std::move(l), wide);
    r = castIfNeeded(std::move(r), wide);
    if (ld == TypeId::YearMonthInterval) {
      return binaryKernel<std::int32_t, std::int32_t, std::int32_t>(
          subtract ? "-" : "+", std::move(l), std::move(r), wide, [subtract](std::int32_t a, std::int32_t b, const ZoneRules&) {
            if (!subtract) return addExact32(a, b);
            std::int32_t d;
            if (__builtin_sub_overflow(a, b, &d)) overflow("integer");
            return d;
          });
    }
    return binaryKernel<std::int64_t, std::int64_t, std::int64_t>(
        subtract ? "-" : "+", std::move(l), std::move(r), wide, [subtract](std::int64_t a, std::int64_t b, const ZoneRules&) {
          if (!subtract) return addExact(a, b);
          std::int64_t d;
          if (__builtin_sub_overflow(a, b, &d)) overflow("long");
          return d;
        });
  }
  if (!ri) mismatch(source, lt, rt);  // interval - something that is not an interval
  if (lt.isNull() || lt.isString()) {
    // An untyped null or a string meets an interval as a timestamp, as Spark coerces it.
    l = castIfNeeded(std::move(l), TimestampType());
  }
  const DataType base = l->type();
  if (base.id() == TypeId::Date) {
    if (rd == TypeId::YearMonthInterval) {
      return binaryKernel<std::int32_t, std::int32_t, std::int32_t>(
          subtract ? "-" : "+", std::move(l), std::move(r), DateType(),
          [sign](std::int32_t d, std::int32_t m, const ZoneRules&) { return addMonthsToDate(d, sign * m); });
    }
    if (isDayOnly(rt)) {
      // Whole days move a date and keep it a date (Spark's date_add of the interval's days).
      return binaryKernel<std::int32_t, std::int32_t, std::int64_t>(
          subtract ? "-" : "+", std::move(l), std::move(r), DateType(),
          [sign](std::int32_t d, std::int64_t micros, const ZoneRules&) {
            auto days = static_cast<std::uint32_t>(micros / kMicrosPerDay * sign);
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(d) + days);  // wraps like Java's int
          });
    }
    l = castIfNeeded(std::move(l), TimestampType());
  }
  if (l->type().id() != TypeId::Timestamp) mismatch(source, l->type(), rt);
  if (rd == TypeId::YearMonthInterval) {
    return binaryKernel<std::int64_t, std::int64_t, std::int32_t>(
        subtract ? "-" : "+", std::move(l), std::move(r), TimestampType(),
        [sign](std::int64_t t, std::int32_t m, const ZoneRules& zone) { return timestampAddMonths(t, sign * m, zone); });
  }
  return binaryKernel<std::int64_t, std::int64_t, std::int64_t>(
      subtract ? "-" : "+", std::move(l), std::move(r), TimestampType(),
      [subtract](std::int64_t t, std::int64_t micros, const ZoneRules&) {
        if (!subtract) return addExact(t, micros);
        std::int64_t d;
        if (__builtin_sub_overflow(t, micros, &d)) overflow("long");
        return d;
      });
}

BoundExprPtr bindIntervalNegate(BoundExprPtr child) {
  const DataType t = child->type();
  bool nullable = child->nullable();
  std::vector<BoundExprPtr> args{std::move(child)};
  return makeKernel("-", std::move(args), t, nullable, [t](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
    if (t.id() == TypeId::YearMonthInterval) {
      const std::int32_t* x = a[0].data<std::int32_t>();
      return strictFixed<std::int32_t>(a, n, t, [&](std::size_t i, std::int32_t& o) {
        std::int32_t v = x[a[0].row(i)];
        if (v == std::numeric_limits<std::int32_t>::min()) overflow("integer");
        o = -v;
        return true;
      });
    }
    const std::int64_t* x = a[0].data<std::int64_t>();
    return strictFixed<std::int64_t>(a, n, t, [&](std::size_t i, std::int64_t& o) {
      std::int64_t v = x[a[0].row(i)];
      if (v == std::numeric_limits<std::int64_t>::min()) overflow("long");
      o = -v;
      return true;
    });
  });
}

}  // namespace engine::local
