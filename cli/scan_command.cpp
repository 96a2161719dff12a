// `norq-spark scan` and its focused subcommands (profile, quality, drift, metrics): one command class, the
// parts it runs chosen by name.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <new>

#include "cli_error.h"
#include "command.h"
#include "engine/errors.h"
#include "host/errors.h"
#include "output_files.h"
#include "scan_options.h"
#include "scan_output.h"
#include "scan_run.h"
#include "sql_command.h"

namespace cli {

namespace {

class ScanCommand final : public Command {
 public:
  explicit ScanCommand(std::string name) { options_.command = std::move(name); }

  void configure(CLI::App& sub) override { configureScanOptions(sub, options_); }

  int run(std::ostream& out, std::ostream& err) override {
    try {
      // Every output is checked before the work starts, so that a wrong path costs no scan.
      if (options_.json) checkOutputPath(*options_.json, "--json");
      if (options_.html) checkOutputPath(*options_.html, "--html");
      const char* profileEnv = std::getenv("NORQ_PROFILE_STEPS");
      const bool profile = options_.profileSteps || (profileEnv && *profileEnv && std::string(profileEnv) != "0");
      Progress progress(!options_.quiet && ::isatty(2), profile);
      ScanOutcome result = runScan(options_, progress);
      const bool jsonToStdout = options_.json && *options_.json == "-";
      std::vector<std::pair<std::string, std::string>> files;
      std::string text;
      if (options_.json) {
        // Invalid UTF-8 from the data was replaced (with a warning) when the report was assembled.
        std::string dumped = result.report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        if (jsonToStdout)
          text = std::move(dumped);
        else
          files.emplace_back(*options_.json, std::move(dumped));
      }
      if (options_.html) files.emplace_back(*options_.html, renderHtml(result.report));
      if (!jsonToStdout && !options_.quiet) text += renderSummary(result.report, &out == &std::cout && ::isatty(1));
      // All reports or none; then standard output; the scan is recorded in the history only once all of it
      // has been delivered.
      writeFilesAtomically(files, [&] { writeStream(out, text); });
      recordScan(result);
      for (const std::string& w : result.warnings) err << "warning: " << singleLine(w) << "\n";
      return result.crossed.empty() ? 0 : kThresholdCrossedStatus;
    } catch (const engine::ParseException& e) {
      std::string msg = e.what();
      err << "error: " << singleLine(msg.substr(0, msg.find('\n'))) << "\n";
    } catch (const std::bad_alloc&) {
      err << "error: out of memory\n";
    } catch (const std::exception& e) {
      err << "error: " << singleLine(e.what()) << "\n";
    }
    return kUsageErrorStatus;
  }

 private:
  ScanOptions options_;
};

}  // namespace

std::unique_ptr<Command> makeScanCommand() { return std::make_unique<ScanCommand>("scan"); }
std::unique_ptr<Command> makeProfileCommand() { return std::make_unique<ScanCommand>("profile"); }
std::unique_ptr<Command> makeQualityCommand() { return std::make_unique<ScanCommand>("quality"); }
std::unique_ptr<Command> makeDriftCommand() { return std::make_unique<ScanCommand>("drift"); }
std::unique_ptr<Command> makeMetricsCommand() { return std::make_unique<ScanCommand>("metrics"); }

}  // namespace cli
