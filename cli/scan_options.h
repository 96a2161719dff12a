// Options of the data-check subcommands (scan, profile, quality, drift, metrics) and the steps they share:
// reading the input files and building the dataset with the builders.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "engine/dataframe.h"
#include "engine/session.h"
#include "csv_flags.h"
#include "spark/datasets/base_spark_dataset.h"
#include "spark/drift_report.h"

namespace cli {

// Exit statuses of the data-check subcommands: every check ran and no threshold was crossed; a threshold set
// by the user was crossed; bad usage or input (kUsageErrorStatus, cli_error.h).
inline constexpr int kThresholdCrossedStatus = 1;

struct ScanOptions {
  std::string command = "scan";  // which parts run: scan, profile, quality, drift, metrics
  std::string data;
  std::optional<std::string> reference;
  bool noHeader = false;
  CsvFlags csv;  // how the CSV files are read; csv.dateFormat also converts the date columns
  std::optional<std::string> where;
  // Dataset.
  std::optional<std::string> name, label, prediction;
  std::vector<std::string> ids, dates, cats, conts;
  bool convertDates = false;
  std::optional<std::string> splits;  // "0.8,0.2,0"
  std::optional<std::int64_t> seed;
  std::optional<std::string> config;
  // Fairness.
  std::optional<std::string> protectedAttr;
  std::vector<std::string> privileged, unprivileged;
  std::optional<std::string> positive, negative;
  std::optional<std::string> score;       // a model's score (probability of the positive class): ROC AUC
  std::string metricsSegment = "all";     // rows the metrics cover: all, or the split's validation rows
  bool keepProtected = false;
  // Checks.
  bool noDuplicates = false;
  std::vector<std::string> orderPairs;  // GT:LT
  std::vector<std::string> missingIds;
  std::optional<std::int64_t> driftBins;
  std::int64_t histogramBins = 15;
  std::int64_t sampleRows = 10;
  // Thresholds.
  std::optional<double> failPvalueBelow, failPsiAbove;
  std::vector<std::string> failMetricBelow;  // NAME=VALUE
  std::optional<std::int64_t> failViolationsAbove;
  std::map<std::string, spark::DriftLimits> driftLimits;  // per column, from the configuration file
  // Output.
  std::optional<std::string> json, html, history;
  bool quiet = false;
  bool profileSteps = false;  // each step's time on standard error (also NORQ_PROFILE_STEPS=1)
};

// Declares the options of `command` on `sub` (the data file is a positional argument).
void configureScanOptions(CLI::App& sub, ScanOptions& o);

// Fills the options left out on the command line from the configuration file (--config or NORQ_CONFIG):
// its keys are the options' names with underscores ("label", "id", "fail_psi_above"), plus "drift" with
// per-column limits ({"income": {"psi_above": 0.1}}) and "dataset" with the library's dataset arguments.
// CliError naming the key (and the nearest valid one) for an unknown key or a value of the wrong type.
void applyConfigFile(ScanOptions& o);

// Whether a path names Parquet data: a file ending in .parquet or starting with Parquet's magic bytes, or a
// folder whose first visible file is one.
bool isParquetPath(const std::string& path);

// The input file (or folder of part files, CSV or Parquet) as a frame, with the --where condition applied.
// CliError for a missing or empty file; the engine's errors for a malformed condition or unknown column. A CSV
// file read as one column while another separator is likely adds a warning to `warnings` (when given).
engine::DataFrame readInput(engine::SparkSession& session, const std::string& path, const ScanOptions& o,
                            std::vector<std::string>* warnings = nullptr);

// A dataset over `frame` built with the builders (a bias dataset when a protected attribute is given).
std::shared_ptr<spark::BaseSparkDatasetMixin> buildDataset(const engine::DataFrame& frame, const ScanOptions& o);

// `text` as a value of the column's type (numbers, booleans, text); CliError when it does not fit.
engine::Value typedValue(const std::string& text, const engine::DataType& type, const std::string& what);

}  // namespace cli
