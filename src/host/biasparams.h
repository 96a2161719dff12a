// Bias parameters: the protected attribute, its privileged and unprivileged values and the outcome labels.
// `protected` is a C++ keyword, so the field is `protected_`.
#pragma once

#include <string>
#include <vector>

#include "engine/value.h"

namespace norq {

struct BiasParams {
  std::string protected_;
  std::vector<engine::Value> privileged;
  std::vector<engine::Value> unprivileged;
  engine::Value positive_outcome_label;
  engine::Value negative_outcome_label;
};

}  // namespace norq
