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
      const char* profileEnv = std::getenv("NORQ_PROFILE_STEPS");
      const bool profile = options_.profileSteps || (profileEnv && *profileEnv && std::string(profileEnv) != "0");
      Progress progress(!options_.quiet && ::isatty(2), profile);
      ScanOutcome result = runScan(options_, progress);
      const bool jsonToStdout = options_.json && *options_.json == "-";
      if (options_.json) {
        const std::string text = result.report.dump(2) + "\n";
        if (jsonToStdout)
          out << text;
        else
          writeFileAtomically(*options_.json, text);
      }
      if (options_.html) writeFileAtomically(*options_.html, renderHtml(result.report));
      if (!jsonToStdout && !options_.quiet) out << renderSummary(result.report, &out == &std::cout && ::isatty(1));
      out.flush();
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
