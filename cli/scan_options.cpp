#include "scan_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_error.h"
#include "suggest.h"
#include "host/biasparams.h"
#include "host/config.h"
#include "spark/datasets/builders/bias_dataset_builder.h"
#include "spark/datasets/builders/simple_dataset_builder.h"

namespace cli {

namespace {

std::vector<std::string> splitList(const std::vector<std::string>& items) {
  // Lists may be given as repeated options or comma-separated (or both).
  std::vector<std::string> out;
  for (const std::string& item : items) {
    std::stringstream ss(item);
    std::string part;
    while (std::getline(ss, part, ','))
      if (!part.empty()) out.push_back(part);
  }
  return out;
}

std::optional<std::vector<std::string>> listOrNone(const std::vector<std::string>& items) {
  if (items.empty()) return std::nullopt;
  return splitList(items);
}

spark::Splits parseSplits(const std::string& text) {
  std::vector<double> v;
  std::stringstream ss(text);
  std::string part;
  while (std::getline(ss, part, ',')) {
    // strtod rather than stod: a value too small for a normal double (1e-320) is still a number, judged below.
    const char* begin = part.c_str();
    char* end = nullptr;
    const double value = part.empty() || std::isspace(static_cast<unsigned char>(part[0])) ? 0 : std::strtod(begin, &end);
    if (end == nullptr || end == begin || *end != '\0') {
      throw CliError("--splits: '" + part + "' is not a number (expected three proportions such as 0.8,0.2,0)");
    }
    v.push_back(value);
  }
  if (v.size() != 3) throw CliError("--splits needs three proportions (training, validation, testing), got " + text);
  for (double p : v) {
    if (std::isnan(p) || std::isinf(p))
      throw CliError("--splits: proportions must be finite numbers, got " + text);
    if (p < 0) throw CliError("--splits: proportions must not be negative, got " + text);
  }
  // The proportions are weights, normalised by their sum: it must be a positive, finite number, and a
  // weight too small to matter next to it (1e-320) is no use either.
  const double sum = v[0] + v[1] + v[2];
  if (!(sum > 0)) throw CliError("--splits: at least one proportion must be above 0, got " + text);
  if (!std::isfinite(sum))
    throw CliError("--splits: proportions are too large (their sum is not a finite number), got " + text);
  if (sum < 1e-9) throw CliError("--splits: proportions are too small (they sum to less than 1e-9), got " + text);
  return {v[0], v[1], v[2]};
}

}  // namespace

void configureScanOptions(CLI::App& sub, ScanOptions& o) {
  const bool all = o.command == "scan";
  sub.add_option("data", o.data, "CSV or Parquet file, or folder of part files, holding the data")->required();
  if (all || o.command == "drift")
    sub.add_option("--reference", o.reference, "Reference CSV or Parquet file (or folder) to measure drift against")
        ->type_name("PATH")
        ->required(o.command == "drift");
  sub.add_flag("--no-header", o.noHeader, "CSV files have no header line");
  sub.add_option("--where", o.where, "Row condition (SQL expression) applied to the data before every check")
      ->type_name("COND");
  sub.add_option("--name", o.name, "Dataset name (default: the data file's name)");
  sub.add_option("--label", o.label, "Target column (required with --prediction; otherwise the last column)");
  sub.add_option("--prediction", o.prediction, "Column holding a model's predictions");
  sub.add_option("--id", o.ids, "Identifier columns (repeatable or comma-separated)")->type_name("COLS");
  sub.add_option("--date", o.dates, "Date columns (repeatable or comma-separated)")->type_name("COLS");
  sub.add_flag("--convert-dates", o.convertDates, "Convert the date columns to timestamps");
  addCsvOptions(sub, o.csv,
                "Datetime pattern of dates in the CSV files and of the --date columns (Spark's patterns, such as "
                "dd/MM/yyyy)");
  sub.add_option("--categorical", o.cats, "Categorical columns (default: guessed)")->type_name("COLS");
  sub.add_option("--continuous", o.conts, "Continuous columns (default: guessed)")->type_name("COLS");
  sub.add_option("--splits", o.splits, "Training, validation and testing proportions (default 0.8,0.2,0)")
      ->type_name("T,V,T");
  sub.add_option("--seed", o.seed, "Seed of the random split (default 2)");
  sub.add_option("--config", o.config, "JSON configuration file filling omitted dataset arguments (or NORQ_CONFIG)")
      ->type_name("FILE");
  if (all || o.command == "metrics") {
    sub.add_option("--protected", o.protectedAttr, "Protected attribute column (fairness metrics)");
    sub.add_option("--privileged", o.privileged, "Privileged values of the protected column (repeatable)")
        ->type_name("VALUES");
    sub.add_option("--unprivileged", o.unprivileged, "Unprivileged values of the protected column (repeatable)")
        ->type_name("VALUES");
    sub.add_option("--positive", o.positive, "Label value of the positive outcome (default 1)");
    sub.add_option("--negative", o.negative, "Label value of the negative outcome (default 0)");
    sub.add_option("--score", o.score, "Column holding the model's score for the positive outcome (ROC AUC)")
        ->type_name("COL");
    sub.add_option("--metrics-segment", o.metricsSegment,
                   "Rows the model metrics cover: all (default) or validation (the split's validation rows)")
        ->type_name("all|validation");
    sub.add_flag("--keep-protected", o.keepProtected, "Keep the protected column among the features");
    sub.add_option("--fail-metric-below", o.failMetricBelow, "Exit with status 1 when a metric is below VALUE")
        ->type_name("NAME=VALUE");
  }
  if (all || o.command == "quality") {
    sub.add_flag("--no-duplicates", o.noDuplicates, "Skip the duplicate-row check");
    sub.add_option("--order", o.orderPairs, "Check that column GT >= column LT on every row (repeatable)")
        ->type_name("GT:LT");
    sub.add_option("--missing-id", o.missingIds, "Report rows whose identifier column is missing (repeatable)")
        ->type_name("COL");
    sub.add_option("--fail-violations-above", o.failViolationsAbove,
                   "Exit with status 1 when a check finds more than N violating rows")
        ->type_name("N");
    sub.add_option("--sample-rows", o.sampleRows, "Violating rows kept per check in the reports (default 10)");
  }
  if (all || o.command == "profile")
    sub.add_option("--histogram-bins", o.histogramBins, "Bins of numeric feature histograms (default 15)");
  if (all || o.command == "drift") {
    sub.add_option("--drift-bins", o.driftBins, "Bins of drift histograms (default: from the row count)");
    sub.add_option("--fail-pvalue-below", o.failPvalueBelow, "Exit with status 1 when a KS p-value is below P")
        ->type_name("P");
    sub.add_option("--fail-psi-above", o.failPsiAbove,
                   "Exit with status 1 when a population stability index is above X")
        ->type_name("X");
  }
  sub.add_option("--json", o.json, "Write every computed number as JSON to FILE ('-' for standard output)")
      ->type_name("FILE");
  sub.add_option("--html", o.html, "Write a self-contained HTML report to FILE")->type_name("FILE");
  sub.add_option("--history", o.history, "Event history database (default: NORQ_EVENT_DB or ~/.local/share/norq-spark)")
      ->type_name("FILE");
  sub.add_flag("--quiet", o.quiet, "No summary on standard output");
  sub.add_flag("--profile-steps", o.profileSteps,
               "Print each step's wall and CPU time on standard error (also NORQ_PROFILE_STEPS=1)");
}

namespace {

std::vector<std::string> stringList(const nlohmann::json& v, const std::string& key) {
  if (v.is_string()) return {v.get<std::string>()};
  if (!v.is_array()) throw CliError("configuration key '" + key + "': expected a name or a list of names");
  std::vector<std::string> out;
  for (const auto& x : v) {
    if (!x.is_string()) throw CliError("configuration key '" + key + "': expected a list of names");
    out.push_back(x.get<std::string>());
  }
  return out;
}

}  // namespace

void applyConfigFile(ScanOptions& o) {
  std::optional<std::string> path = o.config;
  if (!path)
    if (const char* env = std::getenv("NORQ_CONFIG"); env && *env) path = env;
  if (!path) return;
  std::ifstream in(*path);
  if (!in) throw CliError("cannot read the configuration file " + *path);
  nlohmann::json c;
  try {
    c = nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception& e) {
    throw CliError("the configuration file " + *path + " is not JSON: " + e.what());
  }
  if (!c.is_object()) throw CliError("the configuration file " + *path + " is not a JSON object");
  // The keys are the options' names with underscores; "dataset" holds the library's dataset arguments.
  static const std::vector<std::string> kKeys = {
      "name", "label", "prediction", "id", "date", "categorical", "continuous", "convert_dates", "date_format",
      "splits", "seed", "where", "no_header", "delimiter", "quote", "escape", "null_value", "timestamp_format",
      "encoding", "protected", "privileged", "unprivileged", "positive", "negative",
      "keep_protected", "score", "metrics_segment", "no_duplicates", "order", "missing_id", "drift_bins",
      "histogram_bins", "sample_rows", "fail_pvalue_below", "fail_psi_above", "fail_metric_below",
      "fail_violations_above", "drift", "dataset"};
  auto where = [&](const std::string& key) { return "configuration file " + *path + ": key '" + key + "'"; };
  for (const auto& [key, value] : c.items()) {
    if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end())
      throw CliError("configuration file " + *path + ": unknown key '" + key + "'" + nearestHint(key, kKeys));
    try {
      auto text = [&](std::optional<std::string>& field) {
        if (!field) field = value.is_string() ? value.get<std::string>() : value.dump();
      };
      auto list = [&](std::vector<std::string>& field) {
        if (field.empty()) field = stringList(value, key);
      };
      auto flag = [&](bool& field) { field = field || value.get<bool>(); };
      if (key == "name") text(o.name);
      else if (key == "label") text(o.label);
      else if (key == "prediction") text(o.prediction);
      else if (key == "id") list(o.ids);
      else if (key == "date") list(o.dates);
      else if (key == "categorical") list(o.cats);
      else if (key == "continuous") list(o.conts);
      else if (key == "convert_dates") flag(o.convertDates);
      else if (key == "date_format") text(o.csv.dateFormat);
      else if (key == "delimiter") text(o.csv.delimiter);
      else if (key == "quote") text(o.csv.quote);
      else if (key == "escape") text(o.csv.escape);
      else if (key == "null_value") text(o.csv.nullValue);
      else if (key == "timestamp_format") text(o.csv.timestampFormat);
      else if (key == "encoding") text(o.csv.encoding);
      else if (key == "splits") {
        if (!o.splits) {
          if (value.is_array()) {
            std::string joined;
            for (const auto& x : value) joined += (joined.empty() ? "" : ",") + x.dump();
            o.splits = joined;
          } else {
            text(o.splits);
          }
        }
      } else if (key == "seed") { if (!o.seed) o.seed = value.get<std::int64_t>(); }
      else if (key == "where") text(o.where);
      else if (key == "no_header") flag(o.noHeader);
      else if (key == "protected") text(o.protectedAttr);
      else if (key == "privileged") { if (o.privileged.empty()) for (const auto& v : value.is_array() ? value : nlohmann::json::array({value})) o.privileged.push_back(v.is_string() ? v.get<std::string>() : v.dump()); }
      else if (key == "unprivileged") { if (o.unprivileged.empty()) for (const auto& v : value.is_array() ? value : nlohmann::json::array({value})) o.unprivileged.push_back(v.is_string() ? v.get<std::string>() : v.dump()); }
      else if (key == "positive") text(o.positive);
      else if (key == "negative") text(o.negative);
      else if (key == "keep_protected") flag(o.keepProtected);
      else if (key == "score") text(o.score);
      else if (key == "metrics_segment") { if (o.metricsSegment == "all") o.metricsSegment = value.get<std::string>(); }
      else if (key == "no_duplicates") flag(o.noDuplicates);
      else if (key == "order") list(o.orderPairs);
      else if (key == "missing_id") list(o.missingIds);
      else if (key == "drift_bins") { if (!o.driftBins) o.driftBins = value.get<std::int64_t>(); }
      else if (key == "histogram_bins") { if (o.histogramBins == 15) o.histogramBins = value.get<std::int64_t>(); }
      else if (key == "sample_rows") { if (o.sampleRows == 10) o.sampleRows = value.get<std::int64_t>(); }
      else if (key == "fail_pvalue_below") { if (!o.failPvalueBelow) o.failPvalueBelow = value.get<double>(); }
      else if (key == "fail_psi_above") { if (!o.failPsiAbove) o.failPsiAbove = value.get<double>(); }
      else if (key == "fail_violations_above") { if (!o.failViolationsAbove) o.failViolationsAbove = value.get<std::int64_t>(); }
      else if (key == "fail_metric_below") {
        if (!value.is_object()) throw CliError(where(key) + ": expected an object of metric limits ({\"accuracy\": 0.7})");
        std::vector<std::string> given;
        for (const std::string& t : o.failMetricBelow) given.push_back(t.substr(0, t.find('=')));
        for (const auto& [metric, limit] : value.items())
          if (std::find(given.begin(), given.end(), metric) == given.end())
            // The limit's shortest exact text (std::to_string would round 0.9999999 to 1.000000).
            o.failMetricBelow.push_back(metric + "=" + nlohmann::json(limit.get<double>()).dump());
      } else if (key == "drift") {
        if (!value.is_object()) throw CliError(where(key) + ": expected per-column limits ({\"income\": {\"psi_above\": 0.1}})");
        static const std::vector<std::string> kLimits = {"psi_above", "pvalue_below"};
        for (const auto& [column, limits] : value.items()) {
          if (!limits.is_object()) throw CliError(where("drift." + column) + ": expected an object of limits");
          spark::DriftLimits& l = o.driftLimits[column];
          for (const auto& [name, limit] : limits.items()) {
            if (name == "psi_above") l.psi_above = limit.get<double>();
            else if (name == "pvalue_below") l.pvalue_below = limit.get<double>();
            else throw CliError("configuration file " + *path + ": unknown key 'drift." + column + "." + name + "'" +
                                nearestHint(name, kLimits));
          }
        }
      }
    } catch (const nlohmann::json::exception&) {
      throw CliError(where(key) + " has the wrong type (" + std::string(value.type_name()) + ")");
    }
  }
}

bool isParquetPath(const std::string& path) {
  namespace fs = std::filesystem;
  auto named = [](const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".parquet" || ext == ".parq";
  };
  auto magic = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    char head[4] = {};
    return in.read(head, 4) && std::string_view(head, 4) == "PAR1";
  };
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) return named(path) || magic(path);
  if (fs::is_directory(path, ec)) {
    std::vector<fs::path> files;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (!name.empty() && name[0] != '.' && name[0] != '_' && it->is_regular_file(ec)) files.push_back(it->path());
    }
    if (files.empty()) return false;
    std::sort(files.begin(), files.end());
    return named(files.front()) || magic(files.front());
  }
  // A path only a Spark server sees: its name tells.
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return named(p);
}

engine::DataFrame readInput(engine::SparkSession& session, const std::string& path, const ScanOptions& o,
                            std::vector<std::string>* warnings) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // On a Spark server the path names a file the server reads: the server checks it.
  if (!session.isRemote()) {
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) throw CliError("no such file or directory: " + path);
    if (fs::is_regular_file(status) && fs::file_size(path, ec) == 0) throw CliError("the file is empty: " + path);
    if (fs::is_directory(status)) {
      // The reader takes every visible file of a folder as a part file.
      bool anyFile = false;
      for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.empty() && name[0] != '.' && name[0] != '_' && it->is_regular_file(ec)) anyFile = true;
      }
      if (ec) throw CliError("cannot read the folder " + path + ": " + ec.message());
      if (!anyFile) {
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
          if (it->path().filename().string().find('=') != std::string::npos && it->is_directory(ec))
            throw CliError("the folder " + path + " holds partition folders (such as " +
                           it->path().filename().string() +
                           "), which are not read: give one partition folder, or a folder of part files");
        throw CliError("the folder " + path + " holds no data files");
      }
    } else if (!fs::is_regular_file(status)) {
      throw CliError(path +
                     " is not a file or a folder of CSV or Parquet files (a device, pipe or socket cannot be read twice)");
    }
  }
  // Malformed CSV records (rows with too few or too many fields) are errors, not silently padded rows.
  const bool parquet = isParquetPath(path);
  if (!parquet && !session.isRemote() && fs::is_regular_file(path, ec)) {
    // Text never holds NUL bytes: a spreadsheet, archive or image given by mistake would otherwise be read as
    // one column of garbled text and scanned as if it were data.
    std::ifstream in(path, std::ios::binary);
    std::string head(64 * 1024, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (const auto nul = head.find('\0'); nul != std::string::npos)
      throw CliError(path + " is not a text file (a NUL byte at offset " + std::to_string(nul) +
                     "): give a CSV file or a Parquet file");
  }
  engine::DataFrame df = parquet ? session.read().parquet(path)
                                 : csvReader(session, o.csv).option("mode", "FAILFAST").csv(path, !o.noHeader, true);
  if (df.columns().empty()) throw CliError("no columns found in " + path);
  if (warnings && !parquet && !session.isRemote())
    if (auto w = likelyDelimiterWarning(path, df.columns(), o.csv)) warnings->push_back(*w);
  if (df.limit(1).count() == 0)
    throw CliError("no data rows in " + path + (o.noHeader ? "" : " (a header line only)"));
  if (o.where) {
    df = df.filter(*o.where);
    df.schema();  // resolve the condition now: an unknown column is a usage error, reported before any work
  }
  return df;
}

engine::Value typedValue(const std::string& text, const engine::DataType& type, const std::string& what) {
  try {
    std::size_t used = 0;
    if (type.isIntegral()) {
      long long v = std::stoll(text, &used);
      // The engine widens the literal to the column's type when it compares them.
      if (used == text.size()) return engine::Value(static_cast<std::int64_t>(v));
    } else if (type.isFloating() || type.isDecimal()) {
      double v = std::stod(text, &used);
      if (used == text.size()) return engine::Value(v);
    } else if (type.isBoolean()) {
      if (text == "true" || text == "1") return engine::Value(true);
      if (text == "false" || text == "0") return engine::Value(false);
    } else {
      return engine::Value(text);
    }
  } catch (const std::exception&) {
  }
  throw CliError(what + ": '" + text + "' is not a value of type " + type.simpleString());
}

std::shared_ptr<spark::BaseSparkDatasetMixin> buildDataset(const engine::DataFrame& frame, const ScanOptions& o) {
  if (o.config) norq::set_config_file(*o.config);
  std::optional<std::string> name = o.name;
  if (!name) name = std::filesystem::path(o.data).filename().string();
  std::optional<spark::Splits> splits;
  if (o.splits) splits = parseSplits(*o.splits);
  {
    // Every column named on the command line must exist: a misspelt --continuous would otherwise be ignored.
    const std::vector<std::string> columns = frame.columns();
    auto check = [&](const std::string& option, const std::vector<std::string>& names) {
      for (const std::string& n : names)
        if (std::find(columns.begin(), columns.end(), n) == columns.end()) {
          std::string available;
          for (std::size_t i = 0; i < columns.size() && i < 50; ++i) available += (i ? ", " : "") + columns[i];
          if (columns.size() > 50) available += ", ...";
          throw CliError(option + ": no column " + n + " in the data (columns: " + available + ")");
        }
    };
    check("--categorical", splitList(o.cats));
    check("--continuous", splitList(o.conts));
    check("--id", splitList(o.ids));
    check("--date", splitList(o.dates));
    if (o.label) check("--label", {*o.label});
    if (o.prediction) check("--prediction", {*o.prediction});
    if (o.protectedAttr) check("--protected", {*o.protectedAttr});
  }
  if (o.protectedAttr) {
    norq::BiasParams params;
    params.protected_ = o.protectedAttr;
    spark::BiasSparkDatasetBuilder::DatasetArgs a;
    a.features = frame;
    a.label = o.label;
    a.prediction = o.prediction;
    a.cat_col = listOrNone(o.cats);
    a.cont_col = listOrNone(o.conts);
    a.train_valid_test_splits = splits;
    a.id_col = listOrNone(o.ids);
    a.date_col = listOrNone(o.dates);
    a.bias_params = params;
    if (o.convertDates) a.convert_date_cols = true;
    a.datetime_format = o.csv.dateFormat;
    if (o.keepProtected) a.remove_protected_from_features = false;
    a.random_seed = o.seed;
    a.name = name;
    a.register_creation = false;  // recorded once the scan completed (see recordScan)
    return spark::BiasSparkDatasetBuilder::dataset(a);
  }
  spark::SimpleSparkDatasetBuilder::DatasetArgs a;
  a.features = frame;
  a.label = o.label;
  a.prediction = o.prediction;
  a.cat_col = listOrNone(o.cats);
  a.cont_col = listOrNone(o.conts);
  a.id_col = listOrNone(o.ids);
  a.date_col = listOrNone(o.dates);
  a.train_valid_test_splits = splits;
  a.random_seed = o.seed;
  if (o.convertDates) a.convert_date_cols = true;
  a.datetime_format = o.csv.dateFormat;
  a.name = name;
  a.register_creation = false;  // recorded once the scan completed (see recordScan)
  return spark::SimpleSparkDatasetBuilder::dataset(a);
}

}  // namespace cli
