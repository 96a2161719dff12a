// NAME=PATH arguments that register a file under a view name (`--csv loans=data/loans.csv`).
#pragma once

#include <string>
#include <vector>

namespace cli {

struct ViewArg {
  std::string name;  // view name, a SQL identifier
  std::string path;  // as given (relative paths resolve against the working directory)
};

// Splits "NAME=PATH" at the first '='. The name must be a plain SQL identifier (letters, digits and
// underscores, not starting with a digit) so that queries can refer to it unquoted; the path must not be
// empty. `option` names the flag in error messages. Throws CliError.
ViewArg parseViewArg(const std::string& text, const std::string& option);

// Parses every argument and rejects a view name given twice (names compare case-insensitively, as
// view lookup does).
std::vector<ViewArg> parseViewArgs(const std::vector<std::string>& texts, const std::string& option,
                                   std::vector<ViewArg> alreadyTaken = {});

}  // namespace cli
