// Nearest-name suggestions for unknown names given by the user (columns, metrics, keys, subcommands).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

// The candidate closest to `name` by edit distance (case-insensitive), when it is close enough to be a
// likely typo: at most a third of the longer name's length, and at most 3 edits.
std::optional<std::string> nearestName(const std::string& name, const std::vector<std::string>& candidates);

// " (did you mean 'X'?)" when a candidate is near, "" otherwise: to append to an error message.
std::string nearestHint(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace cli
