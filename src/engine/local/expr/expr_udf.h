// Binding of vectorised user functions (engine/udf.h): evaluated in batches of at most maxBatchRows rows on
// the worker thread that evaluates the partition.
#pragma once

#include <memory>
#include <vector>

#include "engine/local/expr/bound_expr.h"
#include "engine/udf.h"

namespace engine::local {

BoundExprPtr bindUdf(std::shared_ptr<const UdfInfo> info, std::vector<BoundExprPtr> args);

}  // namespace engine::local
