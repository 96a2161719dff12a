// The type of one column of a frame, found without building the frame's whole schema.
#pragma once

#include <optional>
#include <string>

#include "engine/dataframe.h"
#include "engine/types.h"

namespace spark {

// The type of the column named exactly `name` (a name, never a path), or nullopt when the frame has none.
std::optional<engine::DataType> column_type(const engine::DataFrame& frame, const std::string& name);

}  // namespace spark
