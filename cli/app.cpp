#include "app.h"

#include <cstdlib>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli_error.h"
#include "engine/connect/connection.h"
#include "engine/session.h"
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
  std::string remote;
  for (const auto& info : kCommands) {
    Registered r{app.add_subcommand(info.name, info.description), info.make()};
    r.command->configure(*r.app);
    r.app->add_option("--remote", remote,
                      "Run on a Spark server through Spark Connect (sc://host:port[/;token=...;use_ssl=true]; or "
                      "SPARK_REMOTE); file paths then name files the server reads")
        ->type_name("URL");
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
  // A remote session is made before the command runs (the command's getOrCreate() then returns it), so an
  // unreachable server is one line before any work starts. Without --remote, SPARK_REMOTE is read as
  // pyspark reads it.
  std::shared_ptr<engine::SparkSession> remoteSession;
  if (!remote.empty() || std::getenv("SPARK_REMOTE") != nullptr) {
    try {
      auto builder = engine::SparkSession::builder().appName("norq-spark");
      if (!remote.empty()) builder.remote(remote);
      remoteSession = builder.create();
    } catch (const std::exception& e) {
      err << "error: " << engine::connect::redactConnectionText(e.what()) << "\n";
      return kUsageErrorStatus;
    }
  }
  for (auto& r : registered) {
    if (!r.app->parsed()) continue;
    int status = r.command->run(out, err);
    if (remoteSession) remoteSession->stop();  // ends the server-side session
    return status;
  }
  return kUsageErrorStatus;  // unreachable: a subcommand is required
}

}  // namespace cli
