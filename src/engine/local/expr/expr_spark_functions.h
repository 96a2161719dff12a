// Registration hook of the Spark functions whose exact results the system depends on: xxhash64,
// width_bucket, format_string and to_timestamp.
#pragma once

#include "engine/local/expr/expr_registry.h"

namespace engine::local {

void registerSparkFunctions(ScalarFunctionRegistry& r);

}  // namespace engine::local
