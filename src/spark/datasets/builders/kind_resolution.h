// How the builders sort a frame's columns into kinds when the caller gave some kinds or none.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/dataframe.h"

namespace spark {

struct KindResolution {
  std::vector<std::string> categorical;  // the categorical list handed to the builder
  bool target_guessed_categorical = true;  // false makes the target continuous
};

// Categorical list and target kind for frame `frame` with target `target`:
// - with `cat_features`: a copy of it; a target listed there is removed and stays categorical, otherwise
//   the target's kind is guessed from its column alone;
// - without: the guess over the whole frame, or, when `cont_features` is given, every other column; the
//   target (and `prediction`, when given) is removed;
// - then identifier and date features are removed (the list becomes sorted and free of repeats).
KindResolution resolve_kinds(const engine::DataFrame& frame, const std::string& target,
                             const std::optional<std::vector<std::string>>& cat_features,
                             const std::optional<std::vector<std::string>>& cont_features,
                             const std::optional<std::vector<std::string>>& id_features,
                             const std::optional<std::vector<std::string>>& date_features,
                             const std::optional<std::string>& prediction);

}  // namespace spark
