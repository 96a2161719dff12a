#include "spark/model_report.h"

#include <cmath>
#include <limits>

#include "engine/functions.h"

namespace spark {

namespace F = engine::functions;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::int64_t int_at(const engine::Row& r, std::size_t i) {
  const engine::Value& v = r.values().at(i);
  return v.isNull() ? 0 : v.toInt64();
}

double ratio(std::int64_t a, std::int64_t b) { return b == 0 ? kNaN : static_cast<double>(a) / static_cast<double>(b); }

}  // namespace

ClassificationSummary classification_summary(const engine::DataFrame& frame, const std::string& label,
                                             const std::string& prediction, const engine::Value& positive,
                                             const engine::Value& negative, const std::optional<std::string>& score) {
  const engine::Column l = F::col(label), p = F::col(prediction);
  const engine::Column lp = l == F::lit(positive), ln = l == F::lit(negative);
  const engine::Column pp = p == F::lit(positive), pn = p == F::lit(negative);
  auto countOf = [](const engine::Column& c) { return F::sum(F::when(c, engine::Value(1)).otherwise(engine::Value(0))); };
  std::optional<engine::Row> row =
      frame.select(countOf(lp & pp), countOf(ln & pp), countOf(ln & pn), countOf(lp & pn), F::count("*")).first();
  ClassificationSummary s;
  ConfusionMatrix& m = s.matrix;
  if (row) {
    m.true_positive = int_at(*row, 0);
    m.false_positive = int_at(*row, 1);
    m.true_negative = int_at(*row, 2);
    m.false_negative = int_at(*row, 3);
    m.other = int_at(*row, 4) - m.true_positive - m.false_positive - m.true_negative - m.false_negative;
  }
  s.precision = ratio(m.true_positive, m.true_positive + m.false_positive);
  s.recall = ratio(m.true_positive, m.true_positive + m.false_negative);
  s.f1 = std::isnan(s.precision) || std::isnan(s.recall) || s.precision + s.recall == 0
             ? (s.precision == 0 && s.recall == 0 ? 0.0 : kNaN)
             : 2 * s.precision * s.recall / (s.precision + s.recall);
  if (score) {
    const engine::Column sc = F::col(*score);
    const std::vector<engine::Row> groups =
        frame.filter((lp | ln) & sc.isNotNull() & !F::isnan(sc.cast(engine::DoubleType())))
            .groupBy(*score)
            .agg(countOf(lp).alias("pos"), countOf(ln).alias("neg"))
            .orderBy(F::col(*score))
            .collect();
    double positives = 0, negatives = 0, area = 0;
    for (const engine::Row& g : groups) {
      const double pos = static_cast<double>(int_at(g, 1)), neg = static_cast<double>(int_at(g, 2));
      area += pos * (negatives + 0.5 * neg);  // positives above the negatives scored lower, ties half
      positives += pos;
      negatives += neg;
    }
    if (positives > 0 && negatives > 0) s.roc_auc = area / (positives * negatives);
  }
  return s;
}

RegressionSummary regression_summary(const engine::DataFrame& frame, const std::string& label,
                                     const std::string& prediction) {
  const engine::Column l = F::col(label).cast(engine::DoubleType()), p = F::col(prediction).cast(engine::DoubleType());
  const engine::DataFrame both = frame.filter(l.isNotNull() & p.isNotNull() & !F::isnan(l) & !F::isnan(p));
  std::optional<engine::Row> row =
      both.select(F::count("*"), F::avg(F::abs(l - p)), F::avg((l - p) * (l - p)), F::avg(l)).first();
  RegressionSummary s;
  if (!row || int_at(*row, 0) == 0) {
    s.mae = s.rmse = s.r2 = kNaN;
    return s;
  }
  s.rows = int_at(*row, 0);
  s.mae = row->values().at(1).toDouble();
  const double mse = row->values().at(2).toDouble();
  s.rmse = std::sqrt(mse);
  // The labels' variance about their mean in a second pass (no cancellation of large squares).
  const double mean = row->values().at(3).toDouble();
  const engine::Column centred = l - F::lit(engine::Value(mean));
  const double variance = both.select(F::avg(centred * centred)).first()->values().at(0).toDouble();
  s.r2 = variance > 0 ? 1 - mse / variance : kNaN;
  return s;
}

bool is_regression_label(const engine::DataFrame& frame, const std::string& label) {
  const engine::StructType schema = frame.schema();
  for (const auto& f : schema.fields())
    if (f.name == label && !f.dataType.isNumeric()) return false;
  const engine::Column l = F::col(label).cast(engine::DoubleType());
  return frame.filter(l.isNotNull() & !F::isnan(l) & (l != F::lit(engine::Value(0.0))) & (l != F::lit(engine::Value(1.0))))
      .limit(1)
      .count() > 0;
}

}  // namespace spark
