// Conversion between the engine's columnar tables and Arrow IPC streams (Spark Connect's result and
// local-relation format), through the Apache Arrow C++ library.
#pragma once

#include <string>
#include <vector>

#include "engine/local_table.h"
#include "engine/types.h"

namespace engine::connect {

// Decodes the Arrow IPC stream chunks of one result (each ArrowBatch.data of an ExecutePlan response, in
// order) into one table with the given Spark schema (from the plan's analysis; used for types Arrow does not
// carry exactly, and for a result without batches).
LocalTable arrowIpcToLocalTable(const std::vector<std::string>& ipcStreams, const StructType& schema);

// Encodes a table as one Arrow IPC stream (schema + record batches), as LocalRelation.data expects.
std::string localTableToArrowIpc(const LocalTable& table);

}  // namespace engine::connect
