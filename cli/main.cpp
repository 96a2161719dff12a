// norq-spark: the command-line front end of the data-frame engine. Each subcommand lives in its own
// file (see command.h); this file only wires them into one CLI11 application.
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli_error.h"
#include "command.h"
#include "version.h"

namespace {

const cli::CommandInfo kCommands[] = {
    {"sql", "Run a SQL query over CSV files and inline tables on the local engine", &cli::makeSqlCommand},
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"norq-spark: data checks and SQL over CSV data on an embedded Spark-compatible engine", "norq-spark"};
  app.set_version_flag("--version", std::string("norq-spark ") + cli::kVersion);
  app.require_subcommand(1);

  struct Registered {
    CLI::App* app;
    std::unique_ptr<cli::Command> command;
  };
  std::vector<Registered> registered;
  for (const auto& info : kCommands) {
    Registered r{app.add_subcommand(info.name, info.description), info.make()};
    r.command->configure(*r.app);
    registered.push_back(std::move(r));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version arrive as "errors" with exit code 0; CLI11 prints them itself.
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "error: " << e.what() << " (see norq-spark --help)\n";
    return cli::kUsageErrorStatus;
  }

  for (auto& r : registered) {
    if (r.app->parsed()) return r.command->run(std::cout, std::cerr);
  }
  return cli::kUsageErrorStatus;  // unreachable: a subcommand is required
}
