#include "scan_options.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "cli_error.h"
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
    try {
      std::size_t used = 0;
      v.push_back(std::stod(part, &used));
      if (used != part.size()) throw std::invalid_argument(part);
    } catch (const std::exception&) {
      throw CliError("--splits: '" + part + "' is not a number (expected three proportions such as 0.8,0.2,0)");
    }
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
  sub.add_option("data", o.data, "CSV file, or folder of CSV part files, holding the data")->required();
  if (all || o.command == "drift")
    sub.add_option("--reference", o.reference, "Reference CSV file (or folder) to measure drift against")
        ->type_name("PATH")
        ->required(o.command == "drift");
  sub.add_flag("--no-header", o.noHeader, "CSV files have no header line");
  sub.add_option("--where", o.where, "Row condition (SQL expression) applied to the data before every check")
      ->type_name("COND");
  sub.add_option("--name", o.name, "Dataset name (default: the data file's name)");
  sub.add_option("--label", o.label, "Target column (default: the last column)");
  sub.add_option("--prediction", o.prediction, "Column holding a model's predictions");
  sub.add_option("--id", o.ids, "Identifier columns (repeatable or comma-separated)")->type_name("COLS");
  sub.add_option("--date", o.dates, "Date columns (repeatable or comma-separated)")->type_name("COLS");
  sub.add_flag("--convert-dates", o.convertDates, "Convert the date columns to timestamps");
  sub.add_option("--date-format", o.dateFormat, "Datetime pattern of the date columns (Spark's patterns)");
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

engine::DataFrame readInput(engine::SparkSession& session, const std::string& path, const ScanOptions& o) {
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
      if (!anyFile) throw CliError("the folder " + path + " holds no data files");
    } else if (!fs::is_regular_file(status)) {
      throw CliError(path + " is not a file or a folder of CSV files (a device, pipe or socket cannot be read twice)");
    }
  }
  // Malformed records (rows with too few or too many fields) are errors, not silently padded rows.
  engine::DataFrame df = session.read().option("mode", "FAILFAST").csv(path, !o.noHeader, true);
  if (df.columns().empty()) throw CliError("no columns found in " + path);
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
    a.datetime_format = o.dateFormat;
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
  a.datetime_format = o.dateFormat;
  a.name = name;
  a.register_creation = false;  // recorded once the scan completed (see recordScan)
  return spark::SimpleSparkDatasetBuilder::dataset(a);
}

}  // namespace cli
