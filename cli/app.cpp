#include "app.h"

#include <memory>

#include <CLI/CLI.hpp>

#include "cli_error.h"
#include "command.h"
#include "sql_command.h"
#include "version.h"

namespace cli {

namespace {

const CommandInfo kCommands[] = {
    {"scan", "Run every check on a data file: profile, data quality, model metrics and drift against a reference",
     &makeScanCommand},
    {"profile", "Profile a data file: per-column statistics and histograms", &makeProfileCommand},
    {"quality", "Data-quality checks: duplicate rows, column ordering, missing identifiers", &makeQualityCommand},
    {"drift", "Drift of every feature against a reference file: KS test and population stability", &makeDriftCommand},
    {"metrics", "Model performance and fairness metrics of a prediction column", &makeMetricsCommand},
    {"predict", "Add a scikit-learn model's predictions to a data file and write it as CSV", &makePredictCommand},
    {"sql", "Run a SQL query over CSV files and inline tables on the local engine", &makeSqlCommand},
};

}  // namespace

int runApp(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app{"norq-spark: data checks and SQL over CSV data on an embedded Spark-compatible engine", "norq-spark"};
  app.set_version_flag("--version", std::string("norq-spark ") + kVersion);
  app.require_subcommand(1);

  struct Registered {
    CLI::App* app;
    std::unique_ptr<Command> command;
  };
  std::vector<Registered> registered;
  for (const auto& info : kCommands) {
    Registered r{app.add_subcommand(info.name, info.description), info.make()};
    r.command->configure(*r.app);
    registered.push_back(std::move(r));
  }

  try {
    // CLI11 takes the arguments in reverse order.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    // --help and --version arrive as "errors" with exit code 0; CLI11 prints them.
    if (e.get_exit_code() == 0) return app.exit(e, out, err);
    err << "error: " << singleLine(e.what()) << " (see norq-spark --help)\n";
    return kUsageErrorStatus;
  }
  for (auto& r : registered)
    if (r.app->parsed()) return r.command->run(out, err);
  return kUsageErrorStatus;  // unreachable: a subcommand is required
}

}  // namespace cli
