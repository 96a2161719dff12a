#include "view_args.h"

#include <algorithm>
#include <cctype>

#include "cli_error.h"

namespace cli {

namespace {

bool isIdentifier(const std::string& s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

ViewArg parseViewArg(const std::string& text, const std::string& option) {
  const auto eq = text.find('=');
  if (eq == std::string::npos) {
    throw CliError(option + " expects NAME=PATH, got '" + text + "'");
  }
  ViewArg arg{text.substr(0, eq), text.substr(eq + 1)};
  if (!isIdentifier(arg.name)) {
    throw CliError(option + " '" + text + "': view name '" + arg.name +
                   "' must be letters, digits and underscores, not starting with a digit");
  }
  if (arg.path.empty()) throw CliError(option + " '" + text + "': the path is empty");
  return arg;
}

std::vector<ViewArg> parseViewArgs(const std::vector<std::string>& texts, const std::string& option,
                                   std::vector<ViewArg> alreadyTaken) {
  std::vector<ViewArg> out;
  for (const auto& text : texts) {
    ViewArg arg = parseViewArg(text, option);
    for (const auto* list : {&alreadyTaken, &out}) {
      for (const auto& other : *list) {
        if (lower(other.name) == lower(arg.name)) {
          throw CliError("view name '" + arg.name + "' is given twice (" + other.path + " and " + arg.path + ")");
        }
      }
    }
    out.push_back(std::move(arg));
  }
  return out;
}

}  // namespace cli
