// Window definitions (PySpark's Window and WindowSpec).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "engine/column.h"
#include "engine/expression.h"

namespace engine {

class WindowSpec {
 public:
  WindowSpec() : data_(std::make_shared<WindowSpecData>()) {}
  WindowSpec partitionBy(const std::vector<ColumnOrName>& cols) const;
  WindowSpec orderBy(const std::vector<ColumnOrName>& cols) const;
  WindowSpec rowsBetween(std::int64_t start, std::int64_t end) const;
  WindowSpec rangeBetween(std::int64_t start, std::int64_t end) const;
  const std::shared_ptr<const WindowSpecData>& data() const { return data_; }

 private:
  explicit WindowSpec(std::shared_ptr<const WindowSpecData> d) : data_(std::move(d)) {}
  std::shared_ptr<const WindowSpecData> data_;
};

struct Window {
  static constexpr std::int64_t unboundedPreceding = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t unboundedFollowing = std::numeric_limits<std::int64_t>::max();
  static constexpr std::int64_t currentRow = 0;

  static WindowSpec partitionBy(const std::vector<ColumnOrName>& cols) { return WindowSpec().partitionBy(cols); }
  static WindowSpec orderBy(const std::vector<ColumnOrName>& cols) { return WindowSpec().orderBy(cols); }
  static WindowSpec rowsBetween(std::int64_t start, std::int64_t end) { return WindowSpec().rowsBetween(start, end); }
  static WindowSpec rangeBetween(std::int64_t start, std::int64_t end) {
    return WindowSpec().rangeBetween(start, end);
  }
};

}  // namespace engine
