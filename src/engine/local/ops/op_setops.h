// Set operations beyond those in operators.h.
#pragma once

#include <vector>

#include "engine/local/ops/operators.h"

namespace engine::local {

// Multiset intersection (INTERSECT ALL): each distinct row kept min(left count, right count) times (nulls
// equal).
Partitions intersectAll(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                        const ExecContext& ctx);

}  // namespace engine::local
