// A subcommand of the norq-spark program. Each one lives in its own file, declares its options on the
// CLI11 subcommand it is given and runs once the command line has been parsed. Adding a subcommand
// means writing one such class and listing its factory in main.cpp.
#pragma once

#include <memory>
#include <ostream>

#include <CLI/CLI.hpp>

namespace cli {

class Command {
 public:
  virtual ~Command() = default;
  // Declares options and positionals on `sub`; bound variables must live in the command object.
  virtual void configure(CLI::App& sub) = 0;
  // Runs after a successful parse. Returns the process exit status: 0 on success, kUsageErrorStatus
  // after printing one line on `err` for a user error.
  virtual int run(std::ostream& out, std::ostream& err) = 0;
};

struct CommandInfo {
  const char* name;
  const char* description;
  std::unique_ptr<Command> (*make)();
};

std::unique_ptr<Command> makeSqlCommand();
std::unique_ptr<Command> makeScanCommand();
std::unique_ptr<Command> makeProfileCommand();
std::unique_ptr<Command> makeQualityCommand();
std::unique_ptr<Command> makeDriftCommand();
std::unique_ptr<Command> makeMetricsCommand();
std::unique_ptr<Command> makePredictCommand();
std::unique_ptr<Command> makeHistoryCommand();

}  // namespace cli
