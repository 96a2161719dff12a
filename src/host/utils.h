// Small helpers of the framework.
#pragma once

#include <string>
#include <vector>

namespace norq {

// Keeps the kind lists of a dataset disjoint: removes every name of `names` from each list of `others`
// (in place; the lists are the caller's own objects). A list that is `names` itself is left alone.
void ensure_mutual_exclusion(const std::vector<std::string>& names, const std::vector<std::vector<std::string>*>& others);

// Python's text forms used in messages: ['a', 'b'] for a list and {'a', 'b'} for a set (sorted, so that
// messages are deterministic).
std::string format_list(const std::vector<std::string>& names);
std::string format_set(std::vector<std::string> names);

}  // namespace norq
