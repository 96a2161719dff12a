#include "spark/metrics.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <typeindex>

#include "engine/dataframe.h"
#include "engine/functions.h"
#include "host/errors.h"
#include "spark/rounding.h"

namespace spark {

namespace F = engine::functions;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

const engine::DataFrame& frame_of(const norq::CalculationParams& p, const char* calculation) {
  const auto* df = std::any_cast<engine::DataFrame>(&p.data);
  if (!df) throw norq::ValueError(std::string(calculation) + " needs an engine data frame as its data");
  return *df;
}

// The share of rows of `s` where `indicator` holds (a null comparison counts as a miss), rounded; NaN for
// no rows.
double indicator_mean(const engine::DataFrame& s, const engine::Column& indicator) {
  std::optional<engine::Row> row =
      s.select(F::avg(F::when(indicator, F::lit(1)).otherwise(F::lit(0)))).first();
  if (!row) return kNaN;
  const engine::Value& v = row->values().at(0);
  if (v.isNull()) return kNaN;
  return round_decimal(v.toDouble(), 2);
}

}  // namespace

double spark_accuracy(const norq::CalculationParams& p) {
  const engine::DataFrame& data = frame_of(p, "accuracy");
  return indicator_mean(data, data[p.pred] == data[p.label]);
}

double spark_true_pos_rate(const norq::CalculationParams& p) {
  const engine::DataFrame s = frame_of(p, "true_pos_rate").filter(F::col(p.label) == F::lit(p.positive_outcome_label));
  return indicator_mean(s, s[p.pred] == s[p.label]);
}

double spark_true_neg_rate(const norq::CalculationParams& p) {
  const engine::DataFrame s = frame_of(p, "true_neg_rate").filter(F::col(p.label) == F::lit(p.negative_outcome_label));
  return indicator_mean(s, s[p.pred] == s[p.label]);
}

double spark_demographic_parity(const norq::CalculationParams& p) {
  const engine::DataFrame& data = frame_of(p, "demographic_parity");
  return indicator_mean(data, data[p.pred] == F::lit(p.positive_outcome_label));
}

double spark_equal_odds_tpr(const norq::CalculationParams& p) { return spark_true_pos_rate(p); }
double spark_equal_odds_tnr(const norq::CalculationParams& p) { return spark_true_neg_rate(p); }
double spark_equal_opportunity(const norq::CalculationParams& p) { return spark_true_pos_rate(p); }

double spark_individual_fairness(const norq::CalculationParams&) {
  throw norq::NotImplementedError("Individual fairness not implemented for spark datasets.");
}

double spark_metric_diff(const norq::CalculationParams& p) {
  if (!p.metric) throw norq::ValueError("metric_diff needs the metric to compare");
  if (p.metric->name() == "individual_fairness_cf") return kNaN;
  const engine::DataFrame& data = frame_of(p, "metric_diff");
  norq::CalculationParams priv = p, unpriv = p;
  priv.data = data.filter(F::col(p.protected_).isin(p.privileged));
  unpriv.data = data.filter(F::col(p.protected_).isin(p.unprivileged));
  auto value = [&](const norq::CalculationParams& group) {
    std::map<std::string, std::any> result = (*p.metric)(group);
    auto it = result.find(p.metric->name());
    if (it == result.end()) throw norq::ValueError("metric " + p.metric->name() + " returned no value under its name");
    if (const auto* d = std::any_cast<double>(&it->second)) return *d;
    throw norq::ValueError("metric " + p.metric->name() + " did not return a number");
  };
  const double res_priv = value(priv);
  const double res_unpriv = value(unpriv);
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
