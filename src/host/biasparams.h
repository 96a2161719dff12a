// Bias parameters: the protected attribute, its privileged and unprivileged values and the outcome labels.
// Every field may be unset (none). `protected` is a C++ keyword, so the field is `protected_`.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/value.h"

namespace norq {

struct BiasParams {
  std::optional<std::string> protected_;
  std::optional<std::vector<engine::Value>> privileged;
  std::optional<std::vector<engine::Value>> unprivileged;
  engine::Value positive_outcome_label;  // null when unset
  engine::Value negative_outcome_label;  // null when unset
};

}  // namespace norq
