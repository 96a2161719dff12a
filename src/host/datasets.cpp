#include "host/datasets.h"

namespace norq {

void OrderedStringMap::set(const std::string& key, const std::string& value) {
  for (auto& [k, v] : items_) {
    if (k == key) {
      v = value;
      return;
    }
  }
  items_.emplace_back(key, value);
}

std::optional<std::string> OrderedStringMap::get(const std::string& key) const {
  for (const auto& [k, v] : items_)
    if (k == key) return v;
  return std::nullopt;
}

}  // namespace norq
