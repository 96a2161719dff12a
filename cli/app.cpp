#include "app.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli_error.h"
#include "engine/connect/connection.h"
#include "engine/session.h"
#include "command.h"
#include "sql_command.h"
#include "suggest.h"
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
    {"history", "Past scans from the event history, and the trends of a dataset's key figures", &makeHistoryCommand},
    {"sql", "Run a SQL query over CSV and Parquet files and inline tables on the local engine", &makeSqlCommand},
};

}  // namespace

int runApp(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app{"norq-spark: data checks and SQL over CSV and Parquet data on an embedded Spark-compatible engine", "norq-spark"};
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
    // A mistyped subcommand or option gets the nearest valid name.
    std::string hint;
    std::vector<std::string> names;
    for (const auto& info : kCommands) names.push_back(info.name);
    const CLI::App* chosen = nullptr;
    for (const auto& r : registered)
      if (!args.empty() && args[0] == r.app->get_name()) chosen = r.app;
    if (!args.empty() && !chosen && args[0].rfind('-', 0) != 0) {
      // CLI11 reports a mistyped subcommand as a missing one: name the word it did not know.
      err << "error: unknown subcommand '" << singleLine(args[0]) << "'" << nearestHint(args[0], names)
          << " (see norq-spark --help)\n";
      return kUsageErrorStatus;
    }
    if (chosen) {
      std::vector<std::string> options;
      for (const CLI::Option* opt : chosen->get_options())
        for (const std::string& n : opt->get_lnames()) options.push_back("--" + n);
      for (std::size_t i = 1; i < args.size() && hint.empty(); ++i) {
        const std::string flag = args[i].substr(0, args[i].find('='));
        if (flag.rfind("--", 0) == 0 && std::find(options.begin(), options.end(), flag) == options.end())
          hint = nearestHint(flag, options);
      }
    }
    err << "error: " << singleLine(e.what()) << hint << " (see norq-spark --help)\n";
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
