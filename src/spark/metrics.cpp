#include "spark/metrics.h"

#include <cmath>
#include <cstdint>
#include <any>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "engine/dataframe.h"
#include "engine/functions.h"
#include "engine/row.h"
#include "host/errors.h"
#include "spark/histograms.h"

namespace spark {

namespace F = engine::functions;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const engine::DataFrame& frame_of(const norq::CalculationParams& p, const std::string& calculation) {
  if (const auto* df = std::any_cast<engine::DataFrame>(&p.data)) return *df;
  const std::string got = p.data.has_value() ? "data of type " + norq::type_name(p.data.type()) : "no data";
  throw norq::ValueError("The calculation " + calculation + " needs an engine DataFrame as its data, got " + got + ".");
}

// The mean of the indicator over the rows of `s`, rounded; NaN when `s` has no row, or when no row meets
// `computable` (a figure that cannot be computed rather than 0, which would read as "every prediction wrong").
// when/otherwise turns a null comparison into 0, so such a row is a miss rather than a row left out of the mean.
// One query answers both.
double indicator_mean(const engine::DataFrame& s, const engine::Column& indicator,
                      const std::optional<engine::Column>& computable = std::nullopt) {
  std::vector<engine::Column> figures = {F::avg(F::when(indicator, F::lit(1)).otherwise(F::lit(0)))};
  if (computable) figures.push_back(F::count(F::when(*computable, F::lit(1))));
  const std::optional<engine::Row> row = s.select(figures).first();
  if (!row || row->size() == 0) return kNaN;
  const engine::Value& mean = row->values().front();
  if (mean.isNull()) return kNaN;
  if (computable && row->values()[1].toInt64() == 0) return kNaN;
  return round_to_hundredths(mean.toDouble());
}

double true_rate(const norq::CalculationParams& p, const std::string& calculation, const engine::Value& outcome) {
  const engine::DataFrame s = frame_of(p, calculation).filter(F::col(sql_identifier(p.label)) == F::lit(outcome));
  return indicator_mean(s, s[sql_identifier(p.pred)] == s[sql_identifier(p.label)]);
}

// The value a metric returned, as a number: metrics of this module return doubles, other registered ones may
// return any arithmetic type or an engine value.
double metric_value(const std::any& v, const std::string& metric) {
  if (const auto* d = std::any_cast<double>(&v)) return *d;
  if (const auto* f = std::any_cast<float>(&v)) return *f;
  if (const auto* i = std::any_cast<int>(&v)) return *i;
  if (const auto* l = std::any_cast<std::int64_t>(&v)) return static_cast<double>(*l);
  if (const auto* o = std::any_cast<std::optional<double>>(&v)) return o->value_or(kNaN);
  if (const auto* e = std::any_cast<engine::Value>(&v)) {
    if (e->isNull()) return kNaN;
    if (e->isNumeric()) return e->toDouble();
  }
  throw norq::ValueError("The metric " + metric + " returned a " + norq::type_name(v.type()) +
                         ", not a number; metric_diff needs a number for each group.");
}

}  // namespace

double round_to_hundredths(double x) {
  if (!std::isfinite(x) || x == 0) return x;
  const double ax = std::fabs(x);
  // From 2^46 on a double's spacing exceeds 0.01, so the decimal nearest to x rounds back to x itself.
  if (ax >= 0x1p46) return x;
  // ax = m * 2^-shift exactly, with m an integer below 2^53; 100 * ax = m * 100 / 2^shift, and m * 100 < 2^60
  // fits 64 bits, so the quotient and remainder below are exact.
  int e = 0;
  const double frac = std::frexp(ax, &e);  // ax = frac * 2^e, frac in [0.5, 1)
  const auto m = static_cast<std::uint64_t>(std::ldexp(frac, 53));
  const int shift = 53 - e;  // >= 7, since ax < 2^46
  const std::uint64_t n = m * 100;
  std::uint64_t k = 0;
  // With shift >= 61, n < 2^60 <= half a unit: the value is below 0.005 and rounds to zero.
  if (shift < 61) {
    const std::uint64_t q = n >> shift, r = n & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    k = q + ((r > half || (r == half && (q & 1))) ? 1 : 0);
  }
  // k < 2^53 and 100 are exact doubles; IEEE division gives the double nearest to k / 100.
  return std::copysign(static_cast<double>(k) / 100.0, x);
}

double spark_accuracy(const norq::CalculationParams& p) {
  const engine::DataFrame& data = frame_of(p, "accuracy");
  // Without one row holding both a label and a prediction there is nothing to be accurate about: the figure
  // cannot be computed (rather than 0, which reads as "every prediction wrong").
  return indicator_mean(data, data[sql_identifier(p.pred)] == data[sql_identifier(p.label)],
                        data[sql_identifier(p.pred)].isNotNull() & data[sql_identifier(p.label)].isNotNull());
}

double spark_true_pos_rate(const norq::CalculationParams& p) {
  return true_rate(p, "true_pos_rate", p.positive_outcome_label);
}

double spark_true_neg_rate(const norq::CalculationParams& p) {
  return true_rate(p, "true_neg_rate", p.negative_outcome_label);
}

double spark_demographic_parity(const norq::CalculationParams& p) {
  const engine::DataFrame& data = frame_of(p, "demographic_parity");
  return indicator_mean(data, data[sql_identifier(p.pred)] == F::lit(p.positive_outcome_label),
                        data[sql_identifier(p.pred)].isNotNull());
}

// The aliases pass on only what the rate reads, as the framework's own aliases do.
double spark_equal_odds_tpr(const norq::CalculationParams& p) {
  return true_rate(p, "equal_odds_tpr", p.positive_outcome_label);
}

double spark_equal_opportunity(const norq::CalculationParams& p) {
  return true_rate(p, "equal_opportunity", p.positive_outcome_label);
}

double spark_equal_odds_tnr(const norq::CalculationParams& p) {
  return true_rate(p, "equal_odds_tnr", p.negative_outcome_label);
}

double spark_individual_fairness(const norq::CalculationParams&) {
  throw norq::NotImplementedError("Individual fairness not implemented for spark datasets.");
}

double spark_metric_diff(const norq::CalculationParams& p) {
  if (!p.metric) throw norq::ValueError("The calculation metric_diff needs a metric to compare the groups with.");
  const std::string& name = p.metric->name();
  // The counterfactual fairness of individuals has no group form; it is answered before any query.
  if (name == "individual_fairness_cf") return kNaN;
  const engine::DataFrame& data = frame_of(p, "metric_diff");
  // Each group is scored with exactly the arguments a metric takes, not with this call's own (a metric that
  // is itself a difference then fails on its missing metric instead of recursing).
  auto score = [&](const std::vector<engine::Value>& members) {
    norq::CalculationParams group;
    group.data = data.filter(F::col(sql_identifier(p.protected_)).isin(members));
    group.pred = p.pred;
    group.label = p.label;
    group.positive_outcome_label = p.positive_outcome_label;
    group.negative_outcome_label = p.negative_outcome_label;
    const std::map<std::string, std::any> result = (*p.metric)(group);
    const auto it = result.find(name);
    if (it == result.end())
      throw norq::ValueError("The metric " + name + " returned no value under its own name.");
    return metric_value(it->second, name);
  };
  const double res_priv = score(p.privileged);
  const double res_unpriv = score(p.unprivileged);
  if (res_unpriv == 0) return kNaN;
  return res_priv - res_unpriv;
}

namespace metrics {

void load() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::type_index frame = typeid(engine::DataFrame);
    norq::proxy_calculation_for_type("accuracy", frame)(&spark_accuracy);
    norq::proxy_calculation_for_type("true_pos_rate", frame)(&spark_true_pos_rate);
    norq::proxy_calculation_for_type("true_neg_rate", frame)(&spark_true_neg_rate);
    norq::proxy_calculation_for_type("demographic_parity", frame)(&spark_demographic_parity);
    norq::proxy_calculation_for_type("equal_odds_tpr", frame)(&spark_equal_odds_tpr);
    norq::proxy_calculation_for_type("equal_odds_tnr", frame)(&spark_equal_odds_tnr);
    norq::proxy_calculation_for_type("equal_opportunity", frame)(&spark_equal_opportunity);
    norq::proxy_calculation_for_type("individual_fairness", frame)(&spark_individual_fairness);
    norq::proxy_calculation_for_type("metric_diff", frame)(&spark_metric_diff);
  });
}

}  // namespace metrics

}  // namespace spark
