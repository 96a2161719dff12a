#include "engine/row.h"

#include <stdexcept>

namespace engine {

const Value& Row::operator[](std::string_view name) const {
  if (names_) {
    for (std::size_t i = 0; i < names_->size(); ++i)
      if ((*names_)[i] == name) return values_.at(i);
  }
  std::string fields;
  for (const auto& n : names()) fields += (fields.empty() ? "" : ", ") + n;
  throw std::out_of_range("no field '" + std::string(name) + "' in row with fields [" + fields + "]");
}

std::string Row::toString() const {
  std::string s = "Row(";
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (i) s += ", ";
    if (names_ && i < names_->size()) s += (*names_)[i] + "=";
    const Value& v = values_[i];
    s += v.is<std::string>() ? "'" + v.str() + "'" : (v.isNull() ? "None" : v.toString());
  }
  return s + ")";
}

}  // namespace engine
