// A row of a collected result: values by position and by column name (or alias).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/value.h"

namespace engine {

class Row {
 public:
  Row() = default;
  Row(std::shared_ptr<const std::vector<std::string>> names, std::vector<Value> values)
      : names_(std::move(names)), values_(std::move(values)) {}
  // A row without names (as given to createDataFrame).
  Row(std::initializer_list<Value> values) : values_(values) {}  // NOLINT
  explicit Row(std::vector<Value> values) : values_(std::move(values)) {}

  std::size_t size() const { return values_.size(); }
  const Value& operator[](std::size_t i) const { return values_.at(i); }
  // First field of that exact name; throws std::out_of_range naming the field and listing the fields.
  const Value& operator[](std::string_view name) const;
  const Value& operator[](const char* name) const { return (*this)[std::string_view(name)]; }
  const Value& operator[](const std::string& name) const { return (*this)[std::string_view(name)]; }
  const std::vector<Value>& values() const { return values_; }
  std::vector<std::string> names() const { return names_ ? *names_ : std::vector<std::string>{}; }
  // Row(a=1, b='x')
  std::string toString() const;

  bool operator==(const Row& o) const { return values_ == o.values_; }

 private:
  std::shared_ptr<const std::vector<std::string>> names_;
  std::vector<Value> values_;
};

}  // namespace engine
