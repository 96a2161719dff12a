#include "spark/ks_2samp.h"

#include <cmath>
#include <mutex>
#include <typeindex>
#include <vector>

#include "engine/column.h"
#include "engine/functions.h"
#include "engine/row.h"
#include "engine/window.h"
#include "host/errors.h"
#include "spark/histograms.h"

namespace spark {

namespace F = engine::functions;

namespace {

std::string first_column(const engine::DataFrame& df, const char* which) {
  const engine::StructType schema = df.schema();
  if (schema.size() == 0) throw norq::ValueError(std::string("The ") + which + " has no column to compare.");
  return schema.fields()[0].name;
}

// exp(-(hi + lo)) for |lo| far below the spacing of hi: the low part corrects the exponent to first order,
// so that a large exponent carries no rounding error of its own into the result.
double exp_neg(double hi, double lo) {
  const double e = std::exp(-hi);
  return std::fma(-e, lo, e);
}

// pi^2 / 8 and sqrt(2 pi) as sums of two doubles.
constexpr double kPi2Over8Hi = 0x1.3bd3cc9be45dep+0, kPi2Over8Lo = 0x1.692b71366cc04p-54;
constexpr double kSqrt2PiHi = 0x1.40d931ff62706p+1, kSqrt2PiLo = -0x1.a6a0d6f814637p-53;

// Below this the alternating series needs many terms and the Jacobi form converges in two or three; above
// it the alternating series converges as fast and the Jacobi form would subtract nearly equal numbers.
constexpr double kCutover = 0.82;

}  // namespace

engine::DataFrame get_cdf(const engine::DataFrame& df, const std::string& col_name) {
  const std::string variable = first_column(df, "sample");
  // na().drop() removes NaN as well as null: neither has a place on the number line the distribution spans.
  return df.select(std::vector<engine::Column>{df[sql_identifier(variable)]})
      .na()
      .drop()
      .withColumn(col_name, F::cume_dist().over(engine::Window::orderBy({F::col(sql_identifier(variable))})))
      .distinct();
}

double kolmogorov_survival(double x) {
  if (std::isnan(x)) return x;
  if (x <= 0) return 1.0;
  if (std::isinf(x)) return 0.0;
  // x^2 exactly, as hi + lo.
  const double sq = x * x, sq_lo = std::fma(x, x, -sq);
  if (sq > 400) return 0.0;  // Q(x) < 2 exp(-800): below the smallest double
  if (x < kCutover) {
    // Q(x) = 1 - sqrt(2 pi) / x * sum_{k>=1} exp(-(2k-1)^2 w), w = pi^2 / (8 x^2), w taken as hi + lo.
    if (sq == 0) return 1.0;
    const double w = kPi2Over8Hi / sq;
    const double w_lo = (std::fma(-w, sq, kPi2Over8Hi) + kPi2Over8Lo - w * sq_lo) / sq;
    if (w > 800) return 1.0;  // every term is below the smallest double
    double sum = 0;
    for (int k = 1; k < 64; ++k) {
      const double odd2 = (2.0 * k - 1) * (2.0 * k - 1);
      const double a = odd2 * w, a_lo = std::fma(odd2, w, -a) + odd2 * w_lo;
      const double term = exp_neg(a, a_lo);
      sum += term;
      if (term <= sum * 0x1p-60) break;
    }
    const double p = (kSqrt2PiHi * sum + kSqrt2PiLo * sum) / x;
    return 1.0 - p;
  }
  // Q(x) = 2 sum_{k>=1} (-1)^(k-1) exp(-2 k^2 x^2): from the cutover on the second term is below 2% of the
  // first, so the sum loses nothing to cancellation; the terms fall off faster than geometrically.
  double sum = 0, first = 0;
  for (int k = 1; k < 64; ++k) {
    const double c = 2.0 * k * k;
    const double a = c * sq, a_lo = std::fma(c, sq, -a) + c * sq_lo;
    const double term = exp_neg(a, a_lo);
    if (k == 1) first = term;
    sum += (k % 2 == 1) ? term : -term;
    if (term <= first * 0x1p-60) break;
  }
  return 2.0 * sum;
}

KsResult spark_ks_2samp(const engine::DataFrame& df1, const engine::DataFrame& df2) {
  const std::string var = first_column(df1, "first sample");
  // Each sample reduced to the compared column under its own fixed name, so that no column name of the user's
  // (say "cdf_1") can collide with the working columns below.
  const engine::DataFrame s1 = df1.select(std::vector<engine::Column>{df1[sql_identifier(var)].alias("value_1")});
  const engine::DataFrame s2 = df2.select(std::vector<engine::Column>{df2[sql_identifier(var)].alias("value_2")});
  const std::int64_t n1 = s1.na().drop().count();
  const std::int64_t n2 = s2.na().drop().count();
  if (n1 + n2 == 0)
    throw norq::ValueError("Cannot compare the distributions of column " + var +
                           ": neither sample has a value (both are empty or all null).");
  KsResult result;
  // An empty sample has no distribution function to compare: no statistic, and no evidence of a difference.
  if (n1 == 0 || n2 == 0) return result;

  // Both samples in one column, each row counting for its own sample, counted per distinct value: one sort
  // of those values then gives both empirical distribution functions as running counts over the ascending
  // values (each 0 below its sample's smallest value). At every value of either sample the running count
  // over the sample's size is the share of the sample at or below it, so the largest distance over these
  // values is the two-sample statistic, whatever order the engine delivers the rows in.
  const engine::DataFrame both =
      s1.na().drop().select(F::col("value_1").alias("value"), F::lit(std::int64_t{1}).alias("in_1"),
                            F::lit(std::int64_t{0}).alias("in_2"))
          .unionAll(s2.na().drop().select(F::col("value_2").alias("value"), F::lit(std::int64_t{0}).alias("in_1"),
                                          F::lit(std::int64_t{1}).alias("in_2")));
  const engine::WindowSpec running = engine::Window::orderBy({F::col("value")})
                                         .rowsBetween(engine::Window::unboundedPreceding, engine::Window::currentRow);
  const engine::DataFrame filled =
      both.groupBy({F::col("value")})
          .agg({F::sum(F::col("in_1")).alias("count_1"), F::sum(F::col("in_2")).alias("count_2")})
          .select(F::sum(F::col("count_1")).over(running).alias("at_or_below_1"),
                  F::sum(F::col("count_2")).over(running).alias("at_or_below_2"));
  // The shares as the distribution function's cume_dist computes them: the count over the size, in doubles.
  const std::optional<engine::Row> row =
      filled
          .select(F::max(F::abs(F::col("at_or_below_1") / F::lit(static_cast<double>(n1)) -
                                F::col("at_or_below_2") / F::lit(static_cast<double>(n2)))))
          .first();
  if (!row || row->size() == 0 || row->values().front().isNull()) return result;
  const double d = row->values().front().toDouble();
  result.statistic = d;

  const double a = static_cast<double>(n1), b = static_cast<double>(n2);
  const double en = std::sqrt(a * b / (a + b));
  const double prob = kolmogorov_survival((en + 0.12 + 0.11 / en) * d);
  result.pvalue = std::isnan(prob) ? 1.0 : prob;
  return result;
}

KsResult spark_ks_2samp(const norq::CalculationParams& p) {
  const auto* a = std::any_cast<engine::DataFrame>(&p.data);
  const auto* b = std::any_cast<engine::DataFrame>(&p.data2);
  if (!a || !b) {
    const std::any& bad = a ? p.data2 : p.data;
    const std::string got = bad.has_value() ? "data of type " + norq::type_name(bad.type()) : "no data";
    throw norq::ValueError(std::string("The calculation ks_2samp needs two engine DataFrames (data and data2), got ") +
                           got + " as " + (a ? "data2" : "data") + ".");
  }
  return spark_ks_2samp(*a, *b);
}

void register_ks_2samp() {
  static std::once_flag once;
  std::call_once(once, [] {
    KsResult (*fn)(const norq::CalculationParams&) = &spark_ks_2samp;
    norq::proxy_calculation_for_type("ks_2samp", typeid(engine::DataFrame))(fn);
  });
}

}  // namespace spark
