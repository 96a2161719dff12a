// The data checks of `norq-spark scan` and its focused subcommands, run with the system's own operations
// (builders, datasets, statistics, metrics) on the local engine. The result is one JSON document whose
// field names are documented in the README and kept stable; the terminal summary and the HTML report are
// rendered from it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scan_history.h"
#include "scan_options.h"
#include "spark/drift_report.h"

namespace cli {

// Reports progress of long work ("[3/7] drift: income"); a no-op when standard error is not a terminal.
// With `profile` set, each step's wall and CPU time is written to standard error when the next step begins
// ("step\t1.234 s\tcpu 2.101 s\t170%"), and the totals at done(): the per-step profile of a scan.
class Progress {
 public:
  explicit Progress(bool enabled, bool profile = false) : enabled_(enabled), profile_(profile) {}
  void step(const std::string& what);
  void done();

 private:
  void endStep();

  bool enabled_;
  bool profile_;
  bool pending_ = false;
  std::string current_;
  double stepWall_ = 0, stepCpu_ = 0, startWall_ = -1, startCpu_ = 0;
};

struct ScanOutcome {
  nlohmann::json report;
  std::vector<spark::ThresholdCrossed> crossed;  // the limits set by the user that the figures crossed
  std::vector<std::string> warnings;  // e.g. text that is not UTF-8, replaced in the reports
  std::shared_ptr<spark::BaseSparkDatasetMixin> dataset;
  std::string historyFile;                // where the scan's figures are recorded
  std::optional<ScanRecord> figures;      // the scan's key figures, recorded with its events
};

// Runs the parts of `options.command` and returns the report. CliError, engine and framework errors for bad
// input propagate to the caller.
// Nothing is recorded in the event history: see recordScan.
ScanOutcome runScan(const ScanOptions& options, Progress& progress);

// Records the dataset's creation and scan, and the scan's key figures, in the event history once the scan's
// outputs are delivered (a failed run must not become the "last scan" the next one compares with).
void recordScan(const ScanOutcome& outcome);

}  // namespace cli
