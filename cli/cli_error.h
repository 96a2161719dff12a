// An error in what the user asked for (bad argument, missing file, malformed table file). The command
// prints its message as one line on stderr and exits with kUsageErrorStatus; engine errors (parse and
// analysis exceptions) are reported the same way.
#pragma once

#include <stdexcept>
#include <string>

namespace cli {

inline constexpr int kUsageErrorStatus = 2;

class CliError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace cli
