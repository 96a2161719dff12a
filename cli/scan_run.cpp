#include "scan_run.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "cli_error.h"
#include "engine/functions.h"
#include "engine/local/plan/persist_cache.h"
#include "host/calculations.h"
#include "host/errors.h"
#include "host/events.h"
#include "output_json.h"
#include "scan_history.h"
#include "sql_command.h"
#include "suggest.h"
#include "version.h"
#include "spark/calculation_handlers.h"
#include "spark/datasets/bias_spark_dataset.h"
#include "spark/drift_report.h"
#include "spark/histograms.h"
#include "spark/ks_2samp.h"
#include "spark/model_report.h"
#include "spark/metrics.h"

namespace cli {

namespace F = engine::functions;
using spark::sql_identifier;
using json = nlohmann::json;

namespace {

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// User and system time of the whole process (every thread).
double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// One line per step: its wall and CPU time, then the memory the process holds at its end: the rows kept by
// persisted frames and the peak resident size so far.
void printTiming(const std::string& what, double wall, double cpu) {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const double mib = 1024.0 * 1024.0;
  char line[160];
  std::snprintf(line, sizeof line, "\t%.3f s\tcpu %.3f s\t%.0f%%\tkept %.0f MiB\tpeak %.0f MiB\n", wall, cpu,
                wall > 0 ? 100 * cpu / wall : 0.0, static_cast<double>(engine::local::persistCacheBytes()) / mib,
                static_cast<double>(u.ru_maxrss) * 1024.0 / mib);
  std::cerr << "step " << what << line;
}

}  // namespace

void Progress::endStep() {
  const double wall = wallSeconds(), cpu = cpuSeconds();
  if (startWall_ < 0) {
    startWall_ = wall;
    startCpu_ = cpu;
  } else {
    if (enabled_ && pending_) std::cerr << "\r\033[K";
    printTiming(current_, wall - stepWall_, cpu - stepCpu_);
    pending_ = false;
  }
  stepWall_ = wall;
  stepCpu_ = cpu;
}

void Progress::step(const std::string& what) {
  if (profile_) {
    endStep();
    current_ = what;
  }
  if (!enabled_) return;
  std::cerr << "\r\033[K" << what << std::flush;
  pending_ = true;
}

void Progress::done() {
  if (enabled_ && pending_) std::cerr << "\r\033[K" << std::flush;
  pending_ = false;
  if (profile_ && startWall_ >= 0) {
    endStep();
    printTiming("total", stepWall_ - startWall_, stepCpu_ - startCpu_);
    startWall_ = -1;
  }
}

namespace {

const char* const kMetrics[] = {"accuracy",       "true_pos_rate",  "true_neg_rate",    "demographic_parity",
                                "equal_odds_tpr", "equal_odds_tnr", "equal_opportunity"};

// JSON has no NaN: a value that cannot be computed is null. Figures keep 15 significant digits, so that a
// difference of two two-decimal metrics reads 0.02 rather than 0.020000000000000018.
json number(double v) {
  if (!std::isfinite(v)) return json(nullptr);
  if (v == 0) return json(0.0);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return json(std::strtod(buf, nullptr));
}

json crossedJson(const spark::ThresholdCrossed& t) {
  return json{{"check", t.check}, {"feature", t.feature}, {"value", number(t.value)}, {"limit", number(t.limit)}};
}

json valueJson(const engine::Value& v) {
  std::string text;
  appendJsonValue(text, v);
  return json::parse(text);
}

json rowJson(const engine::Row& row) {
  json o = json::object();
  const std::vector<std::string> names = row.names();
  for (std::size_t i = 0; i < row.size(); ++i) o[i < names.size() ? names[i] : std::to_string(i)] = valueJson(row[i]);
  return o;
}

// Count and the first rows of a violation check's result.
json violations(engine::LocalTable::RowRange rows, std::int64_t sampleRows) {
  json sample = json::array();
  std::int64_t count = 0;
  for (auto it = rows.begin(); it != rows.end(); ++it, ++count)
    if (count < sampleRows) sample.push_back(rowJson((*it).second));
  return json{{"count", count}, {"sample", sample}};
}

std::string historyPath(const ScanOptions& o) { return historyFile(o.history); }

json datasetJson(const spark::BaseSparkDatasetMixin& ds, const ScanOptions& o) {
  json checksums = json::object();
  for (const auto& [k, v] : ds.checksum().items()) checksums[k] = v;
  json d = {{"name", ds.name()},
            {"id", ds.id()},
            {"overall_checksum", ds.overall_checksum()},
            {"checksums", checksums},
            {"rows", ds.number_of_samples()},
            {"training_rows", ds.number_of_training_samples()},
            {"validation_rows", ds.number_of_validation_samples()},
            {"testing_rows", ds.number_of_testing_samples()},
            {"target", ds.target_name()},
            {"target_categorical", ds.target_categorical()},
            {"prediction", ds.prediction_name() ? json(*ds.prediction_name()) : json(nullptr)},
            {"protected", nullptr},
            {"source", o.data},
            {"where", o.where ? json(*o.where) : json(nullptr)},
            {"features",
             {{"categorical", ds.categorical_features()},
              {"continuous", ds.continuous_features()},
              {"id", ds.id_feature_names()},
              {"date", ds.date_feature_names()}}}};
  if (const auto* bias = dynamic_cast<const spark::BiasSparkDataset*>(&ds)) d["protected"] = bias->protected_name();
  return d;
}

// Which kind each feature got and where from: "given" (named by --categorical or --continuous), "rest" (left
// out of the one list given, so of the other kind) or "guessed" (by the row-count rule: an integer or
// decimal column is categorical when fewer than one row in a thousand brings a new value). A guessed integer
// column within a factor of ten of that limit is marked `near_limit`, with the row count at which the guess
// would change: the same data in a larger or smaller file may be judged otherwise.
json kindsJson(const spark::BaseSparkDatasetMixin& ds, const engine::DataFrame& data, const ScanOptions& o) {
  auto names = [](const std::vector<std::string>& items) {
    std::set<std::string> out;
    for (const std::string& item : items) {
      std::stringstream ss(item);
      for (std::string part; std::getline(ss, part, ',');)
        if (!part.empty()) out.insert(part);
    }
    return out;
  };
  const std::set<std::string> cats = names(o.cats), conts = names(o.conts);
  const bool listGiven = !cats.empty() || !conts.empty();
  json out = json::array();
  std::vector<std::string> measured;  // guessed integer or decimal columns, whose distinct counts decide
  // Columns whose guessed kind depends on their count of distinct values (integers and decimals).
  std::unordered_set<std::string> countable;
  const engine::StructType schema = data.schema();
  for (const auto& f : schema.fields())
    if (f.dataType.isIntegral() || f.dataType.isDecimal()) countable.insert(f.name);
  auto add = [&](const std::string& column, const char* kind) {
    // The prediction takes the target's kind; neither is a feature whose kind is chosen.
    if (column == ds.target_name() || (ds.prediction_name() && column == *ds.prediction_name())) return;
    const char* source = cats.count(column) || conts.count(column) ? "given" : listGiven ? "rest" : "guessed";
    out.push_back({{"column", column}, {"kind", kind}, {"source", source}});
    if (std::string(source) != "guessed") return;
    if (countable.count(column)) measured.push_back(column);
  };
  for (const std::string& c : ds.categorical_features()) add(c, "categorical");
  for (const std::string& c : ds.continuous_features()) add(c, "continuous");
  if (measured.empty()) return out;
  // One job: each column's distinct values (a null counts as one value, as in the guess) and the rows.
  std::vector<engine::Column> aggs{F::count("*")};
  for (const std::string& c : measured) {
    aggs.push_back(F::countDistinct({engine::ColumnOrName(F::col(sql_identifier(c)))}));
    aggs.push_back(F::max(F::col(sql_identifier(c)).isNull().cast(engine::IntegerType())));
  }
  const std::optional<engine::Row> row = data.agg(aggs).first();
  if (!row) return out;
  const auto rows = row->values().at(0).toInt64();
  if (rows == 0) return out;
  std::unordered_map<std::string, std::size_t> measuredAt;
  for (std::size_t m = 0; m < measured.size(); ++m) measuredAt.emplace(measured[m], m);
  for (json& k : out) {
    const auto at = measuredAt.find(k["column"].get<std::string>());
    if (at == measuredAt.end()) continue;
    const std::size_t i = 1 + 2 * at->second;
    const engine::Value& nulls = row->values().at(i + 1);
    const std::int64_t distinct = row->values().at(i).toInt64() + (!nulls.isNull() && nulls.toInt64() > 0 ? 1 : 0);
    const double share = static_cast<double>(distinct) / static_cast<double>(rows);
    k["distinct"] = distinct;
    k["rows"] = rows;
    k["near_limit"] = share >= 1e-4 && share < 1e-2;
    // The guess turns categorical once the rows exceed a thousand per distinct value.
    k["rows_at_limit"] = distinct * 1000;
  }
  return out;
}

json profileJson(const spark::BaseSparkDatasetMixin& ds, Progress& progress) {
  progress.step("profile");
  json out = json::array();
  norq::DataProfile profile = ds.generate_data_profile();
  // The protected column is kept out of the features (by default) but belongs in the profile.
  if (const auto* bias = dynamic_cast<const spark::BiasSparkDataset*>(&ds))
    if (!profile.feature_profile(bias->protected_name()))
      profile.add_feature_profile(ds.get_feature_profile(bias->protected_name(), ds.feature(bias->protected_name()),
                                                         norq::FeatureType::Categorical));
  for (const norq::FeatureDataProfile& f : profile.feature_profiles()) {
    json p = {{"feature", f.feature},
              {"type", norq::to_string(f.type)},
              {"minimum", number(f.minimum)},
              {"maximum", number(f.maximum)},
              {"distinct_values", f.distinct_values},
              {"missing_values", f.missing_values},
              {"missing_fraction", number(f.missing_values_percentage)},
              {"nan_values", 0}};
    // NaN sorts above every number, so a floating column holding NaN has NaN for its maximum: the range is
    // shown over the numbers, and the NaN count apart from the nulls.
    const engine::DataFrame column = ds.feature(f.feature);
    bool floating = false;
    const engine::StructType columnSchema = column.schema();
    for (const auto& field : columnSchema.fields()) floating = floating || field.dataType.isFloating();
    if (floating) {
      const engine::Column c = F::col(f.feature);
      std::optional<engine::Row> row =
          column.filter(!F::isnan(c)).select(F::min(f.feature), F::max(f.feature)).first();
      const std::int64_t nans = column.filter(F::isnan(c)).count();
      p["nan_values"] = nans;
      if (row && f.type == norq::FeatureType::Continuous && nans > 0) {
        if (!row->values().at(0).isNull()) p["minimum"] = number(row->values().at(0).toDouble());
        if (!row->values().at(1).isNull()) p["maximum"] = number(row->values().at(1).toDouble());
      }
    }
    p["null_values"] = f.missing_values - p["nan_values"].get<std::int64_t>();
    // The framework's profile gives a continuous column the row count for its distinct values; the reports
    // show the values actually distinct beside it (nulls left out).
    if (f.type == norq::FeatureType::Continuous) {
      const std::optional<engine::Row> row =
          column.select(F::countDistinct({engine::ColumnOrName(F::col(sql_identifier(f.feature)))})).first();
      if (row && !row->values().at(0).isNull()) p["distinct_count"] = row->values().at(0).toInt64();
    }
    out.push_back(p);
  }
  return out;
}

json histogramsJson(const spark::BaseSparkDatasetMixin& ds, const ScanOptions& o, Progress& progress) {
  json out = json::object();
  std::vector<std::string> columns = ds.feature_names();
  columns.push_back(ds.target_name());
  if (ds.prediction_name()) columns.push_back(*ds.prediction_name());
  if (const auto* bias = dynamic_cast<const spark::BiasSparkDataset*>(&ds))
    if (std::find(columns.begin(), columns.end(), bias->protected_name()) == columns.end())
      columns.push_back(bias->protected_name());
  constexpr std::size_t kMaxBars = 30;  // the most frequent categories; the rest are summed into one bar
  for (std::size_t i = 0; i < columns.size(); ++i) {
    progress.step("histograms [" + std::to_string(i + 1) + "/" + std::to_string(columns.size()) + "] " + columns[i]);
    std::vector<std::string> labels;
    std::vector<std::int64_t> counts;
    try {
      std::tie(labels, counts) = ds.histogram(columns[i], o.histogramBins);
    } catch (const norq::ValueError& e) {
      // One column that cannot be binned (an infinity leaves no finite range) does not stop the others.
      out[columns[i]] = {{"binned", false}, {"labels", json::array()}, {"counts", json::array()}, {"other", 0},
                         {"error", e.what()}};
      continue;
    }
    const bool binned = labels.size() == counts.size() + 1;
    // Missing values (null, and NaN in a floating column) are counted apart from the values.
    engine::Column missing = F::col(columns[i]).isNull();
    const engine::StructType columnSchema = ds.feature(columns[i]).schema();
    for (const auto& f : columnSchema.fields())
      if (f.dataType.isFloating()) missing = missing | F::isnan(F::col(columns[i]));
    const std::int64_t missingCount = ds.feature(columns[i]).filter(missing).count();
    json h = {{"binned", binned}, {"labels", labels}, {"counts", counts}, {"other", 0}, {"missing", missingCount}};
    // Categories come most frequent first, so the tail can be summed; numeric bins (at most 100 for an
    // integer-coded column) are all kept.
    if (!binned && !ds.is_numerical(columns[i]) && labels.size() > kMaxBars) {
      std::int64_t other = 0;
      for (std::size_t k = kMaxBars; k < counts.size(); ++k) other += counts[k];
      labels.resize(kMaxBars);
      counts.resize(kMaxBars);
      h["labels"] = labels;
      h["counts"] = counts;
      h["other"] = other;
    }
    out[columns[i]] = h;
  }
  return out;
}

json qualityJson(const spark::BaseSparkDatasetMixin& ds, const ScanOptions& o, Progress& progress,
                 std::vector<spark::ThresholdCrossed>& crossed) {
  json q = json::object();
  auto check = [&](const std::string& what, const json& result) {
    const auto count = result["count"].get<std::int64_t>();
    if (o.failViolationsAbove && count > *o.failViolationsAbove)
      crossed.push_back({"violations_above", what, static_cast<double>(count),
                         static_cast<double>(*o.failViolationsAbove)});
  };
  if (!o.noDuplicates) {
    progress.step("quality: duplicate rows");
    q["duplicates"] = violations(ds.check_duplicate_row_violations(), o.sampleRows);
    check("duplicate rows", q["duplicates"]);
  }
  q["ordering"] = json::array();
  for (const std::string& pair : o.orderPairs) {
    const auto colon = pair.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == pair.size())
      throw CliError("--order expects GT:LT (two column names), got '" + pair + "'");
    const std::string gt = pair.substr(0, colon), lt = pair.substr(colon + 1);
    progress.step("quality: order " + gt + " >= " + lt);
    json r = violations(ds.check_column_ordering_violations(gt, lt), o.sampleRows);
    r["gt"] = gt;
    r["lt"] = lt;
    check("order " + gt + " >= " + lt, r);
    q["ordering"].push_back(r);
  }
  q["missing_ids"] = json::array();
  for (const std::string& id : o.missingIds) {
    progress.step("quality: missing " + id);
    json r = violations(ds.check_missing_ids(id), o.sampleRows);
    r["id"] = id;
    check("missing " + id, r);
    q["missing_ids"].push_back(r);
  }
  return q;
}

double metricValue(const std::string& name, const norq::CalculationParams& p) {
  return std::any_cast<double>(norq::calculate(name, p));
}

// Columns by their names as they stand: a name holding a dot (y.true) is a column, not a field of a struct.
std::vector<engine::Column> quotedColumns(const std::vector<std::string>& names) {
  std::vector<engine::Column> out;
  out.reserve(names.size());
  for (const auto& n : names) out.push_back(engine::functions::col(spark::sql_identifier(n)));
  return out;
}

json metricsJson(const spark::BaseSparkDatasetMixin& ds, const engine::DataFrame& data, const ScanOptions& o,
                 Progress& progress, std::vector<spark::ThresholdCrossed>& crossed) {
  if (!ds.prediction_name()) throw CliError("metrics need the prediction column: give --prediction");
  if (o.metricsSegment != "all" && o.metricsSegment != "validation")
    throw CliError("--metrics-segment: '" + o.metricsSegment + "' is neither all nor validation");
  spark::MetricCalculationParams mp = ds.get_metric_calculation_params();
  if (o.metricsSegment == "all") {
    // Every row of the input: the label, prediction, protected and score columns are the input's own.
    std::vector<std::string> columns{mp.target_name, *mp.prediction_name};
    if (mp.protected_) columns.push_back(mp.protected_->at(0));
    mp.frame = data.select(quotedColumns(columns));
  }
  if (o.score) {
    const std::vector<std::string> inputColumns = data.columns();
    if (std::find(inputColumns.begin(), inputColumns.end(), *o.score) == inputColumns.end())
      throw CliError("--score: no column " + *o.score + " in the data" + nearestHint(*o.score, inputColumns));
    std::vector<std::string> columns = mp.frame.columns();
    if (o.metricsSegment == "all") {
      columns.push_back(*o.score);
      mp.frame = data.select(quotedColumns(columns));
    }
  }
  const engine::StructType schema = mp.frame.schema();
  auto typeOf = [&](const std::string& column) {
    for (const auto& f : schema.fields())
      if (f.name == column) return f.dataType;
    throw CliError("no column " + column + " in the data");
  };
  norq::CalculationParams p;
  p.data = mp.frame;
  p.pred = *mp.prediction_name;
  p.label = mp.target_name;
  const engine::DataType labelType = typeOf(p.label);
  p.positive_outcome_label = typedValue(o.positive.value_or("1"), labelType, "--positive");
  p.negative_outcome_label = typedValue(o.negative.value_or("0"), labelType, "--negative");

  json m = {{"segment", o.metricsSegment}, {"rows", mp.frame.count()}, {"values", json::object()}, {"fairness", nullptr}};
  if (spark::is_regression_label(mp.frame, p.label)) {
    // A numeric label with values besides 0 and 1: the errors of a regression model, not an accuracy of 0.
    progress.step("metrics: regression errors");
    const spark::RegressionSummary rs = spark::regression_summary(mp.frame, p.label, p.pred);
    m["task"] = "regression";
    m["values"] = {{"mae", number(rs.mae)}, {"rmse", number(rs.rmse)}, {"r2", number(rs.r2)}};
    m["rows_compared"] = rs.rows;
  } else {
    m["task"] = "classification";
    for (const char* name : kMetrics) {
      progress.step(std::string("metrics: ") + name);
      m["values"][name] = number(metricValue(name, p));
    }
    progress.step("metrics: confusion matrix");
    // The validation rows carry the score when it is one of the features.
    std::optional<std::string> score;
    const std::vector<std::string> frameColumns = mp.frame.columns();
    if (o.score && std::find(frameColumns.begin(), frameColumns.end(), *o.score) != frameColumns.end()) score = o.score;
    const spark::ClassificationSummary cs = spark::classification_summary(
        mp.frame, p.label, p.pred, p.positive_outcome_label,
        p.negative_outcome_label, score);
    m["values"]["precision"] = number(cs.precision);
    m["values"]["recall"] = number(cs.recall);
    m["values"]["f1"] = number(cs.f1);
    if (o.score) m["values"]["roc_auc"] = cs.roc_auc ? number(*cs.roc_auc) : json(nullptr);
    m["confusion_matrix"] = {{"true_positive", cs.matrix.true_positive},
                             {"false_positive", cs.matrix.false_positive},
                             {"true_negative", cs.matrix.true_negative},
                             {"false_negative", cs.matrix.false_negative},
                             {"other", cs.matrix.other}};
  }
  if (m["task"] == "regression" && mp.protected_) mp.protected_.reset();
  if (mp.protected_) {
    const std::string prot = mp.protected_->at(0);
    if (o.privileged.empty() || o.unprivileged.empty())
      throw CliError("fairness metrics need the groups: give --privileged and --unprivileged values of " + prot);
    const engine::DataType protType = typeOf(prot);
    std::vector<engine::Value> priv, unpriv;
    for (const auto& v : o.privileged) priv.push_back(typedValue(v, protType, "--privileged"));
    for (const auto& v : o.unprivileged) unpriv.push_back(typedValue(v, protType, "--unprivileged"));
    p.protected_ = prot;
    p.privileged = priv;
    p.unprivileged = unpriv;
    norq::CalculationParams privP = p, unprivP = p;
    privP.data = mp.frame.filter(F::col(sql_identifier(prot)).isin(priv));
    unprivP.data = mp.frame.filter(F::col(sql_identifier(prot)).isin(unpriv));
    json f = {{"protected", prot},
              {"privileged", o.privileged},
              {"unprivileged", o.unprivileged},
              {"privileged_rows", std::any_cast<engine::DataFrame>(privP.data).count()},
              {"unprivileged_rows", std::any_cast<engine::DataFrame>(unprivP.data).count()},
              {"privileged_values", json::object()},
              {"unprivileged_values", json::object()},
              {"metric_diff", json::object()}};
    for (const char* name : kMetrics) {
      progress.step(std::string("fairness: ") + name);
      f["privileged_values"][name] = number(metricValue(name, privP));
      f["unprivileged_values"][name] = number(metricValue(name, unprivP));
      norq::CalculationParams d = p;
      d.metric = std::make_shared<norq::Calculation>(name);
      f["metric_diff"][name] = number(metricValue("metric_diff", d));
    }
    m["fairness"] = f;
  }
  for (const std::string& t : o.failMetricBelow) {
    const auto eq = t.find('=');
    if (eq == std::string::npos) throw CliError("--fail-metric-below expects NAME=VALUE, got '" + t + "'");
    const std::string name = t.substr(0, eq);
    if (!m["values"].contains(name)) {
      std::vector<std::string> names;
      for (const auto& [k, v] : m["values"].items()) names.push_back(k);
      throw CliError("--fail-metric-below: no metric named " + name + nearestHint(name, names));
    }
    // The whole value must be a finite number: "0.7x" is a typo, and a NaN limit would let every figure pass.
    const std::string text = t.substr(eq + 1);
    double limit = 0;
    std::size_t used = 0;
    try {
      limit = std::stod(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size() || !std::isfinite(limit))
      throw CliError("--fail-metric-below: '" + text + "' is not a finite number");
    const json& v = m["values"][name];
    if (v.is_null())
      // A gate must not pass on a figure it could not check (no row with a label, no prediction).
      crossed.push_back({"metric_below", name, std::numeric_limits<double>::quiet_NaN(), limit});
    else if (v.get<double>() < limit)
      crossed.push_back({"metric_below", name, v.get<double>(), limit});
  }
  return m;
}

json driftJson(const spark::BaseSparkDatasetMixin& ds, const engine::DataFrame& reference, const ScanOptions& o,
               Progress& progress, std::vector<spark::ThresholdCrossed>& crossed) {
  const std::vector<std::string> refColumns = reference.columns();
  const engine::StructType refSchema = reference.schema();
  for (const spark::DriftColumn& c : spark::drift_columns(ds)) {
    const auto at = std::find(refColumns.begin(), refColumns.end(), c.name);
    if (at == refColumns.end()) throw CliError("the reference data has no column " + c.name);
    // Numbers are compared with numbers: a reference column read as text cannot be binned with the data's.
    const engine::DataType& refType = refSchema.fields()[static_cast<std::size_t>(at - refColumns.begin())].dataType;
    const engine::DataType dataType = ds.feature(c.name).schema().fields().at(0).dataType;
    if (dataType.isNumeric() && !refType.isNumeric())
      throw CliError("the reference " + *o.reference + ": column " + c.name + " holds " + refType.simpleString() +
                     " values where the data holds numbers (" + dataType.simpleString() + ")");
  }
  {
    std::vector<std::string> names;
    for (const spark::DriftColumn& c : spark::drift_columns(ds)) names.push_back(c.name);
    for (const auto& [column, l] : o.driftLimits)
      if (std::find(names.begin(), names.end(), column) == names.end())
        throw CliError("configuration key 'drift': no compared column " + column + nearestHint(column, names));
  }
  spark::DriftLimits limits{o.failPsiAbove, o.failPvalueBelow};
  const std::vector<spark::FeatureDrift> drift = spark::dataset_drift(
      ds, reference, o.driftBins, limits, o.driftLimits, [&](std::size_t i, std::size_t n, const std::string& name) {
        progress.step("drift [" + std::to_string(i + 1) + "/" + std::to_string(n) + "] " + name);
      });
  json features = json::array();
  for (const spark::FeatureDrift& d : drift) {
    json f = {{"feature", d.feature},
              {"kind", spark::to_string(d.kind)},
              {"role", d.role},
              {"ks", nullptr},
              {"verdict", spark::to_string(d.verdict)},
              {"drifted", d.verdict == spark::DriftVerdict::drifted}};
    if (d.error) {
      f["error"] = *d.error;
    } else {
      f["labels"] = d.histogram.labels;
      f["expected"] = d.histogram.expected;
      f["actual"] = d.histogram.actual;
      f["expected_counts"] = d.histogram.expected_counts;
      f["actual_counts"] = d.histogram.actual_counts;
      f["psi"] = number(d.psi);
      if (d.ks)
        f["ks"] = {{"statistic", d.ks->statistic ? number(*d.ks->statistic) : json(nullptr)},
                   {"pvalue", number(d.ks->pvalue)}};
    }
    crossed.insert(crossed.end(), d.crossed.begin(), d.crossed.end());
    features.push_back(f);
  }
  return json{{"reference", {{"source", *o.reference}, {"rows", reference.count()}}}, {"features", features}};
}

std::string fmtNumber(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

// Upper bounds of the user-set sizes: each is far above any useful value and far below what would exhaust
// memory (a histogram allocates its bins at once).
constexpr std::int64_t kMaxHistogramBins = 10'000;
constexpr std::int64_t kMaxSampleRows = 100'000;

void validateOptionRanges(const ScanOptions& o) {
  if (o.histogramBins < 1 || o.histogramBins > kMaxHistogramBins)
    throw CliError("--histogram-bins must be between 1 and " + std::to_string(kMaxHistogramBins) + ", got " +
                   std::to_string(o.histogramBins));
  if (o.driftBins && (*o.driftBins < 1 || *o.driftBins > kMaxHistogramBins))
    throw CliError("--drift-bins must be between 1 and " + std::to_string(kMaxHistogramBins) + ", got " +
                   std::to_string(*o.driftBins));
  if (o.sampleRows < 0 || o.sampleRows > kMaxSampleRows)
    throw CliError("--sample-rows must be between 0 and " + std::to_string(kMaxSampleRows) + ", got " +
                   std::to_string(o.sampleRows));
  if (o.failViolationsAbove && *o.failViolationsAbove < 0)
    throw CliError("--fail-violations-above must not be negative, got " + std::to_string(*o.failViolationsAbove));
  if (o.failPvalueBelow && !(*o.failPvalueBelow >= 0 && *o.failPvalueBelow <= 1))
    throw CliError("--fail-pvalue-below is a p-value between 0 and 1, got " + fmtNumber(*o.failPvalueBelow));
  if (o.failPsiAbove && !(*o.failPsiAbove >= 0 && std::isfinite(*o.failPsiAbove)))
    throw CliError("--fail-psi-above must be a finite number of at least 0, got " + fmtNumber(*o.failPsiAbove));
}

// JSON text must be UTF-8: a string of the data that is not (a Latin-1 file, a broken byte) has its invalid
// bytes replaced by U+FFFD in every output, with one warning naming where.
void replaceInvalidUtf8(json& j, const std::string& where, std::vector<std::string>& warnings) {
  if (j.is_string()) {
    const std::string& s = j.get_ref<const std::string&>();
    const std::string fixed = validUtf8(s);
    if (fixed != s) {
      const std::string w = "text that is not UTF-8 in " + (where.empty() ? std::string("the report") : where) +
                            ": invalid bytes replaced by U+FFFD";
      if (warnings.empty() || warnings.back() != w) warnings.push_back(w);
      j = fixed;
    }
  } else if (j.is_array()) {
    for (auto& e : j) replaceInvalidUtf8(e, where, warnings);
  } else if (j.is_object()) {
    json fixedObject = json::object();
    bool renamed = false;
    for (auto it = j.begin(); it != j.end(); ++it) {
      const std::string key = validUtf8(it.key());
      const std::string path = where.empty() ? key : where + "." + key;
      if (key != it.key()) {
        renamed = true;
        warnings.push_back("a name that is not UTF-8 in " + (where.empty() ? std::string("the report") : where) +
                           ": invalid bytes replaced by U+FFFD");
      }
      replaceInvalidUtf8(it.value(), path, warnings);
      fixedObject[key] = it.value();
    }
    if (renamed) j = std::move(fixedObject);
  }
}

// Counts behind the report's status: columns drifted or moderately shifted, violating rows, metrics below
// their limits.
json summaryJson(const json& r, std::size_t crossed) {
  std::size_t drifted = 0, moderate = 0;
  if (r.contains("drift"))
    for (const json& f : r["drift"]["features"]) {
      drifted += f["verdict"] == "drifted";
      moderate += f["verdict"] == "moderate";
    }
  std::int64_t violations = 0;
  if (r.contains("quality")) {
    const json& q = r["quality"];
    if (q.contains("duplicates")) violations += q["duplicates"]["count"].get<std::int64_t>();
    for (const char* k : {"ordering", "missing_ids"})
      for (const json& c : q[k]) violations += c["count"].get<std::int64_t>();
  }
  std::size_t metricsBelow = 0;
  for (const json& t : r["thresholds_crossed"]) metricsBelow += t["check"] == "metric_below";
  const spark::ReportStatus status = spark::report_status(crossed, drifted, violations);
  return json{{"status", spark::to_string(status)},
              {"thresholds_crossed", crossed},
              {"features_drifted", drifted},
              {"features_moderate", moderate},
              {"violations", violations},
              {"metrics_below", metricsBelow}};
}

}  // namespace

ScanOutcome runScan(const ScanOptions& given, Progress& progress) {
  ScanOptions o = given;
  applyConfigFile(o);
  spark::metrics::load();
  spark::calculation_handlers::load();
  const std::string& cmd = o.command;
  const bool all = cmd == "scan";
  if (!o.label && (cmd == "metrics" || (all && o.prediction)))
    throw CliError("model metrics need the label column: give --label (the column the model predicts)");
  if (o.label && o.prediction && *o.label == *o.prediction)
    throw CliError("the label and the prediction are the same column (" + *o.label + ")");
  validateOptionRanges(o);

  auto session = engine::SparkSession::builder().appName("norq-spark").getOrCreate();
  progress.step("reading " + o.data);
  // Each input is read and parsed once: every later query of the data, its segments and the reference reads
  // the persisted columns (within the persisted-frame budget; beyond it they are read again, as without).
  std::vector<std::string> dataWarnings, readWarnings;
  engine::DataFrame data = readInput(*session, o.data, o, &dataWarnings).persist();
  std::optional<engine::DataFrame> reference;
  if (o.reference) reference = readInput(*session, *o.reference, o, &readWarnings).persist();
  readWarnings.insert(readWarnings.begin(), dataWarnings.begin(), dataWarnings.end());

  // Every column named by an option exists, or the error names the nearest one.
  {
    const std::vector<std::string> columns = data.columns();
    auto known = [&](const std::string& option, const std::string& name) {
      if (std::find(columns.begin(), columns.end(), name) == columns.end())
        throw CliError(option + ": no column " + name + " in " + o.data + nearestHint(name, columns) +
                       (dataWarnings.empty() ? "" : "; " + dataWarnings.front()));
    };
    auto knownAll = [&](const std::string& option, const std::vector<std::string>& names) {
      for (const std::string& item : names) {
        std::stringstream ss(item);
        for (std::string part; std::getline(ss, part, ',');)
          if (!part.empty()) known(option, part);
      }
    };
    if (o.label) known("--label", *o.label);
    if (o.prediction) known("--prediction", *o.prediction);
    if (o.protectedAttr) known("--protected", *o.protectedAttr);
    knownAll("--id", o.ids);
    knownAll("--date", o.dates);
    knownAll("--categorical", o.cats);
    knownAll("--continuous", o.conts);
    knownAll("--missing-id", o.missingIds);
  }
  norq::set_event_database(historyPath(o));  // the same path for the figures of each scan
  norq::event_history();  // opened now: an unusable history file is an error before any work
  progress.step("building the dataset");
  std::shared_ptr<spark::BaseSparkDatasetMixin> ds = buildDataset(data, o);

  ScanOutcome out;
  out.warnings = readWarnings;
  json& r = out.report;
  r["format"] = "norq-spark-report";
  r["version"] = 1;
  r["command"] = cmd;
  r["tool_version"] = kVersion;
  {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    r["generated"] = buf;
  }
  r["dataset"] = datasetJson(*ds, o);
  progress.step("feature kinds");
  r["dataset"]["kinds"] = kindsJson(*ds, data, o);
  progress.step("input checksum");
  // "Unchanged since the last scan" compares the rows as read, so that other identifier or date options do
  // not make the same data look changed.
  std::string inputChecksum;
  {
    std::vector<engine::ColumnOrName> cols;
    for (const std::string& c : data.columns()) cols.emplace_back(c);
    std::optional<engine::Row> row = data.select(F::sum(F::xxhash64(cols))).first();
    const std::int64_t sum = row && !row->values().at(0).isNull() ? row->values().at(0).toInt64() : 0;
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(sum));
    inputChecksum = buf;
  }
  const std::string history = historyPath(o);
  const std::vector<ScanRecord> previous = scanRecords(history, ds->name(), 10);
  std::optional<norq::EventRecord> last = norq::event_history().last(ds->name(), norq::Events::DATASET_SCANNED);
  r["history"] = {{"previous_scan", last ? json(last->time) : json(nullptr)},
                  {"previous_checksum", last ? json(last->overall_checksum) : json(nullptr)},
                  {"checksums_match", last ? json(last->overall_checksum == ds->overall_checksum()) : json(nullptr)},
                  {"input_checksum", inputChecksum},
                  {"data_unchanged", previous.empty() ? json(nullptr) : json(previous.back().input_checksum == inputChecksum)},
                  {"trend", json::array()}};
  for (const ScanRecord& p : previous) {
    json t = p.figures;
    t["time"] = p.time;
    t["command"] = p.command;
    r["history"]["trend"].push_back(t);
  }

  // The model metrics read the input as read, so they run while it is kept; the limits they cross are listed
  // after the quality checks', as the report orders its sections.
  std::vector<spark::ThresholdCrossed> metricsCrossed;
  if ((all && ds->prediction_name()) || cmd == "metrics")
    r["metrics"] = metricsJson(*ds, data, o, progress, metricsCrossed);
  // From here on every check reads the dataset's segments (kept copies of the drawn rows), so the input's own
  // copy is released: the file is then held once, not twice. A query that still needed it would read it again.
  data.unpersist();

  if (all || cmd == "profile") {
    r["profile"] = profileJson(*ds, progress);
    r["histograms"] = histogramsJson(*ds, o, progress);
  }
  if (all || cmd == "quality") r["quality"] = qualityJson(*ds, o, progress, out.crossed);
  out.crossed.insert(out.crossed.end(), metricsCrossed.begin(), metricsCrossed.end());
  if (reference && (all || cmd == "drift")) r["drift"] = driftJson(*ds, *reference, o, progress, out.crossed);
  r["thresholds_crossed"] = json::array();
  for (const spark::ThresholdCrossed& t : out.crossed) r["thresholds_crossed"].push_back(crossedJson(t));
  r["summary"] = summaryJson(r, out.crossed.size());
  r["status"] = r["summary"]["status"];
  replaceInvalidUtf8(r, "", out.warnings);
  // The figures join the history with the scan's events, once every output is delivered (recordScan).
  out.historyFile = history;
  out.figures = ScanRecord{r["generated"].get<std::string>(), ds->name(), cmd, inputChecksum, keyFigures(r)};
  progress.done();
  out.dataset = ds;
  return out;
}

void recordScan(const ScanOutcome& outcome) {
  if (!outcome.dataset) return;
  norq::handle_event(norq::Events::DATASET_CREATED, *outcome.dataset);
  norq::handle_event(norq::Events::DATASET_SCANNED, *outcome.dataset);
  if (outcome.figures) recordScan(outcome.historyFile, *outcome.figures);
}

}  // namespace cli
