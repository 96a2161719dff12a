// The norq-spark application: every subcommand wired into one CLI11 parser. main() only forwards to it, so
// tests run the whole command line in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace cli {

// Parses `args` (without the program name), runs the chosen subcommand and returns the exit status.
int runApp(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cli
