// The data checks of `norq-spark scan` and its focused subcommands, run with the system's own operations
// (builders, datasets, statistics, metrics) on the local engine. The result is one JSON document whose
// field names are documented in the README and kept stable; the terminal summary and the HTML report are
// rendered from it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scan_options.h"
#include "spark/drift_report.h"

namespace cli {

// Reports progress of long work ("[3/7] drift: income"); a no-op when standard error is not a terminal.
class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled) {}
  void step(const std::string& what);
  void done();

 private:
  bool enabled_;
  bool pending_ = false;
};

struct ScanOutcome {
  nlohmann::json report;
  std::vector<spark::ThresholdCrossed> crossed;  // the limits set by the user that the figures crossed
};

// Runs the parts of `options.command` and returns the report. CliError, engine and framework errors for bad
// input propagate to the caller.
ScanOutcome runScan(const ScanOptions& options, Progress& progress);

}  // namespace cli
