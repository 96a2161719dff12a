// Conversion between the engine's columnar tables and Arrow IPC streams (Spark Connect's result and
// local-relation format), through the Apache Arrow C++ library.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/local_table.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace arrow {
class Array;
}

namespace engine::connect {

// One column from Arrow arrays (its chunks, in order) as an engine vector of `type`, nulls kept. Takes the
// Arrow types Spark's types travel as: integers and floats of any width (unsigned ones included) into any
// numeric type, date32, timestamps of any unit (as microseconds), decimal128 of the type's scale, 64-bit
// integers into decimal(20,0), utf8 and large_utf8, lists into arrays. Throws ExecutionException naming both
// types for any other pairing.
VectorPtr arrowToVector(const DataType& type, const std::vector<std::shared_ptr<arrow::Array>>& chunks);

// Decodes the Arrow IPC stream chunks of one result (each ArrowBatch.data of an ExecutePlan response, in
// order) into one table with the given Spark schema (from the plan's analysis; used for types Arrow does not
// carry exactly, and for a result without batches).
LocalTable arrowIpcToLocalTable(const std::vector<std::string>& ipcStreams, const StructType& schema);

// Encodes a table as one Arrow IPC stream (schema + record batches), as LocalRelation.data expects.
std::string localTableToArrowIpc(const LocalTable& table);

}  // namespace engine::connect
