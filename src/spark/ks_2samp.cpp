#include "spark/ks_2samp.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <numbers>
#include <typeindex>

#include <fmt/format.h>

#include "engine/functions.h"
#include "engine/window.h"
#include "host/errors.h"

namespace spark {

namespace F = engine::functions;

engine::DataFrame get_cdf(const engine::DataFrame& df, const std::string& col_name) {
  const engine::StructType schema = df.schema();
  if (schema.size() == 0) throw norq::ValueError("The sample has no column to compare");
  const std::string variable = schema.fields()[0].name;
  return df.select(std::vector<std::string>{variable})
      .na()
      .drop()
      .withColumn(col_name, F::cume_dist().over(engine::Window::orderBy({F::col(variable)})))
      .distinct();
}

double kolmogorov_survival(double x) {
  if (std::isnan(x)) return x;
  if (x <= 0) return 1.0;
  if (std::isinf(x)) return 0.0;
  if (x < 0.8) {
    // For small x the alternating series converges slowly; the Jacobi-transformed form of the distribution
    // function converges fast there: P(x) = sqrt(2 pi) / x * sum_{k>=1} exp(-(2k-1)^2 pi^2 / (8 x^2)).
    const double w = std::numbers::pi * std::numbers::pi / (8 * x * x);
    double sum = 0;
    for (int k = 1; k < 100; ++k) {
      const double odd = 2.0 * k - 1;
      const double term = std::exp(-odd * odd * w);
      sum += term;
      if (term <= sum * 1e-18) break;
    }
    return 1.0 - std::sqrt(2 * std::numbers::pi) / x * sum;
  }
  double sum = 0;
  for (int k = 1; k < 100; ++k) {
    const double term = std::exp(-2.0 * k * k * x * x);
    sum += (k % 2 ? term : -term);
    if (term <= std::abs(sum) * 1e-18) break;
  }
  return std::max(0.0, std::min(1.0, 2 * sum));
}

KsResult spark_ks_2samp(const engine::DataFrame& df1, const engine::DataFrame& df2) {
  const engine::StructType schema = df1.schema();
  if (schema.size() == 0) throw norq::ValueError("The first sample has no column to compare");
  const std::string var = schema.fields()[0].name;
  const auto n1 = static_cast<double>(df1.select(std::vector<std::string>{var}).na().drop().count());
  const auto n2 = static_cast<double>(df2.select(std::vector<std::string>{var}).na().drop().count());
  if (n1 + n2 == 0)
    throw norq::ValueError(fmt::format("Cannot compare the distributions of column \"{}\": neither sample has a value", var));
  KsResult result;
  // A sample without values has no distribution to compare: no statistic, and no evidence of a difference.
  if (n1 == 0 || n2 == 0) return result;
  engine::DataFrame cdf1 = get_cdf(df1, "cdf_1");
  engine::DataFrame cdf2 = get_cdf(df2.select(std::vector<std::string>{var}), "cdf_2");
  const engine::Column v1 = cdf1[var], v2 = cdf2[var];
  // The joined rows are filled in ascending order of their value, so that the running distributions are
  // the empirical distribution functions; below a sample's smallest value its distribution is 0, not
  // unknown. The statistic is then the true two-sample one: samples that do not overlap are 1 apart.
  const engine::WindowSpec running = engine::Window::orderBy({F::coalesce({v1, v2})})
                                         .rowsBetween(engine::Window::unboundedPreceding, engine::Window::currentRow);
  engine::DataFrame joined =
      cdf1.join(cdf2, v1 == v2, "outer")
          .withColumn("filled_cdf_1", F::coalesce({F::last(F::col("cdf_1"), true).over(running), F::lit(0.0)}))
          .withColumn("filled_cdf_2", F::coalesce({F::last(F::col("cdf_2"), true).over(running), F::lit(0.0)}));
  std::optional<engine::Row> row =
      joined.select(F::max(F::abs(F::col("filled_cdf_1") - F::col("filled_cdf_2")))).first();
  if (row && !row->values().at(0).isNull()) result.statistic = row->values().at(0).toDouble();

  const double en = std::sqrt(n1 * n2 / (n1 + n2));
  result.pvalue = result.statistic ? kolmogorov_survival((en + 0.12 + 0.11 / en) * *result.statistic) : 1.0;
  if (std::isnan(result.pvalue)) result.pvalue = 1.0;
  return result;
}

KsResult spark_ks_2samp(const norq::CalculationParams& p) {
  const auto* a = std::any_cast<engine::DataFrame>(&p.data);
  const auto* b = std::any_cast<engine::DataFrame>(&p.data2);
  if (!a || !b) throw norq::ValueError("ks_2samp needs two engine data frames (data and data2)");
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
