#include "scan_run.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli_error.h"
#include "engine/functions.h"
#include "host/calculations.h"
#include "host/errors.h"
#include "host/events.h"
#include "output_json.h"
#include "sql_command.h"
#include "spark/calculation_handlers.h"
#include "spark/datasets/bias_spark_dataset.h"
#include "spark/histograms.h"
#include "spark/ks_2samp.h"
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

void printTiming(const std::string& what, double wall, double cpu) {
  char line[96];
  std::snprintf(line, sizeof line, "\t%.3f s\tcpu %.3f s\t%.0f%%\n", wall, cpu, wall > 0 ? 100 * cpu / wall : 0.0);
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

double populationStabilityIndex(const std::vector<double>& expected, const std::vector<double>& actual) {
  if (expected.empty() || actual.empty() || expected.size() != actual.size()) return std::nan("");
  constexpr double kEmpty = 1e-4;
  double psi = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const double e = expected[i] > 0 ? expected[i] : kEmpty;
    const double a = actual[i] > 0 ? actual[i] : kEmpty;
    psi += (a - e) * std::log(a / e);
  }
  return psi;
}

namespace {

const char* const kMetrics[] = {"accuracy",       "true_pos_rate",  "true_neg_rate",    "demographic_parity",
                                "equal_odds_tpr", "equal_odds_tnr", "equal_opportunity"};

// JSON has no NaN: a value that cannot be computed is null.
json number(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

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

std::string historyPath(const ScanOptions& o) {
  if (o.history) return *o.history;
  if (const char* env = std::getenv("NORQ_EVENT_DB")) return env;
  const char* home = std::getenv("HOME");
  std::filesystem::path dir = std::filesystem::path(home ? home : ".") / ".local" / "share" / "norq-spark";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return ":memory:";
  return (dir / "history.sqlite").string();
}

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

json profileJson(const spark::BaseSparkDatasetMixin& ds, Progress& progress) {
  progress.step("profile");
  json out = json::array();
  const norq::DataProfile profile = ds.generate_data_profile();
  for (const norq::FeatureDataProfile& f : profile.feature_profiles())
    out.push_back({{"feature", f.feature},
                   {"type", norq::to_string(f.type)},
                   {"minimum", number(f.minimum)},
                   {"maximum", number(f.maximum)},
                   {"distinct_values", f.distinct_values},
                   {"missing_values", f.missing_values},
                   {"missing_fraction", number(f.missing_values_percentage)}});
  return out;
}

json histogramsJson(const spark::BaseSparkDatasetMixin& ds, const ScanOptions& o, Progress& progress) {
  json out = json::object();
  std::vector<std::string> columns = ds.feature_names();
  columns.push_back(ds.target_name());
  if (ds.prediction_name()) columns.push_back(*ds.prediction_name());
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
    json h = {{"binned", binned}, {"labels", labels}, {"counts", counts}, {"other", 0}};
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
                 std::vector<std::string>& crossed) {
  json q = json::object();
  auto check = [&](const std::string& what, const json& result) {
    if (o.failViolationsAbove && result["count"].get<std::int64_t>() > *o.failViolationsAbove)
      crossed.push_back(what + ": " + std::to_string(result["count"].get<std::int64_t>()) + " violating rows (limit " +
                        std::to_string(*o.failViolationsAbove) + ")");
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

json metricsJson(const spark::BaseSparkDatasetMixin& ds, const ScanOptions& o, Progress& progress,
                 std::vector<std::string>& crossed) {
  if (!ds.prediction_name()) throw CliError("metrics need the prediction column: give --prediction");
  spark::MetricCalculationParams mp = ds.get_metric_calculation_params();
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

  json m = {{"segment", "validation"}, {"rows", mp.frame.count()}, {"values", json::object()}, {"fairness", nullptr}};
  for (const char* name : kMetrics) {
    progress.step(std::string("metrics: ") + name);
    m["values"][name] = number(metricValue(name, p));
  }
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
    if (!m["values"].contains(name)) throw CliError("--fail-metric-below: no metric named " + name);
    double limit = 0;
    try {
      limit = std::stod(t.substr(eq + 1));
    } catch (const std::exception&) {
      throw CliError("--fail-metric-below: '" + t.substr(eq + 1) + "' is not a number");
    }
    const json& v = m["values"][name];
    if (v.is_null())
      // A gate must not pass on a figure it could not check (no row with a label, no prediction).
      crossed.push_back(name + " cannot be computed on this data, so it cannot be checked against " + t.substr(eq + 1));
    else if (v.get<double>() < limit)
      crossed.push_back(name + " " + v.dump() + " is below " + t.substr(eq + 1));
  }
  return m;
}

json driftJson(const spark::BaseSparkDatasetMixin& ds, const engine::DataFrame& reference, const ScanOptions& o,
               Progress& progress, std::vector<std::string>& crossed) {
  const std::vector<std::string> refColumns = reference.columns();
  json features = json::array();
  const std::vector<std::string> names = ds.feature_names();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    progress.step("drift [" + std::to_string(i + 1) + "/" + std::to_string(names.size()) + "] " + name);
    if (std::find(refColumns.begin(), refColumns.end(), name) == refColumns.end())
      throw CliError("the reference data has no column " + name);
    const bool categorical = ds.is_categorical_feature(name);
    {
      // Numbers compare with numbers (an integer reference column for a floating one is fine), text with text.
      const engine::DataType refType = reference.schema()[name].dataType;
      const engine::DataType curType = ds.feature(name).schema().fields().at(0).dataType;
      const bool refNumeric = refType.isNumeric(), curNumeric = curType.isNumeric();
      if (refNumeric != curNumeric || (!refNumeric && refType != curType))
        throw CliError("the reference column " + name + " holds " + refType.simpleString() + " values but the data's " +
                       curType.simpleString() + " values: " + *o.reference + " and " + o.data +
                       " must have the same columns of the same kinds");
    }
    // Missing values (null, NaN) are no part of a distribution: both samples are compared on their values.
    engine::DataFrame ref = reference.select(F::col(sql_identifier(name))).na().drop();
    engine::DataFrame cur = ds.feature(name).na().drop();
    json f = {{"feature", name}, {"kind", categorical ? "categorical" : "continuous"}, {"ks", nullptr}};
    try {
      spark::DriftHistogram h = spark::drift_histogram(ref, cur, o.driftBins, "bins", categorical);
      const double psi = populationStabilityIndex(h.expected, h.actual);
      f["labels"] = h.labels;
      f["expected"] = h.expected;
      f["actual"] = h.actual;
      f["expected_counts"] = h.expected_counts;
      f["actual_counts"] = h.actual_counts;
      f["psi"] = number(psi);
      if (o.failPsiAbove && std::isfinite(psi) && psi > *o.failPsiAbove)
        crossed.push_back("drift of " + name + ": population stability index " + std::to_string(psi) + " above " +
                          std::to_string(*o.failPsiAbove));
      if (!categorical) {
        spark::KsResult ks = spark::spark_ks_2samp(ref, cur);
        f["ks"] = {{"statistic", ks.statistic ? number(*ks.statistic) : json(nullptr)}, {"pvalue", number(ks.pvalue)}};
        if (o.failPvalueBelow && ks.pvalue < *o.failPvalueBelow)
          crossed.push_back("drift of " + name + ": KS p-value " + std::to_string(ks.pvalue) + " below " +
                            std::to_string(*o.failPvalueBelow));
      }
    } catch (const norq::ValueError& e) {
      // A feature without values in either sample cannot be compared; the others still are.
      f["error"] = e.what();
    }
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

}  // namespace

ScanOutcome runScan(const ScanOptions& o, Progress& progress) {
  spark::metrics::load();
  spark::calculation_handlers::load();
  const std::string& cmd = o.command;
  const bool all = cmd == "scan";
  if (o.label && o.prediction && *o.label == *o.prediction)
    throw CliError("the label and the prediction are the same column (" + *o.label + ")");
  validateOptionRanges(o);

  auto session = engine::SparkSession::builder().appName("norq-spark").getOrCreate();
  progress.step("reading " + o.data);
  // Each input is read and parsed once: every later query of the data, its segments and the reference reads
  // the persisted columns (within the persisted-frame budget; beyond it they are read again, as without).
  engine::DataFrame data = readInput(*session, o.data, o).persist();
  std::optional<engine::DataFrame> reference;
  if (o.reference) reference = readInput(*session, *o.reference, o).persist();

  norq::set_event_database(historyPath(o));
  norq::event_history();  // opened now: an unusable history file is an error before any work
  progress.step("building the dataset");
  std::shared_ptr<spark::BaseSparkDatasetMixin> ds = buildDataset(data, o);

  ScanOutcome out;
  json& r = out.report;
  r["format"] = "norq-spark-report";
  r["version"] = 1;
  r["command"] = cmd;
  r["dataset"] = datasetJson(*ds, o);
  std::optional<norq::EventRecord> last = norq::event_history().last(ds->name(), norq::Events::DATASET_SCANNED);
  r["history"] = {{"previous_scan", last ? json(last->time) : json(nullptr)},
                  {"previous_checksum", last ? json(last->overall_checksum) : json(nullptr)},
                  {"checksums_match", last ? json(last->overall_checksum == ds->overall_checksum()) : json(nullptr)}};

  if (all || cmd == "profile") {
    r["profile"] = profileJson(*ds, progress);
    r["histograms"] = histogramsJson(*ds, o, progress);
  }
  if (all || cmd == "quality") r["quality"] = qualityJson(*ds, o, progress, out.crossed);
  if ((all && ds->prediction_name()) || cmd == "metrics") r["metrics"] = metricsJson(*ds, o, progress, out.crossed);
  if (reference && (all || cmd == "drift")) r["drift"] = driftJson(*ds, *reference, o, progress, out.crossed);
  r["thresholds_crossed"] = out.crossed;
  replaceInvalidUtf8(r, "", out.warnings);
  progress.done();
  out.dataset = ds;
  return out;
}

void recordScan(const ScanOutcome& outcome) {
  if (!outcome.dataset) return;
  norq::handle_event(norq::Events::DATASET_CREATED, *outcome.dataset);
  norq::handle_event(norq::Events::DATASET_SCANNED, *outcome.dataset);
}

}  // namespace cli
