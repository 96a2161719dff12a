// Conversion between the engine's column types and Spark Connect's (spark.connect.DataType), and the
// JSON schema text that Spark's readers take as a user schema.
#pragma once

#include <string>

#include "engine/types.h"
#include "spark/connect/types.pb.h"

namespace engine::connect {

// Engine type -> Spark Connect type.
spark::connect::DataType toProtoType(const DataType& type);
spark::connect::DataType toProtoType(const StructType& schema);

// Spark Connect type -> engine type. Types the engine has no counterpart for (binary, maps, structs as
// column types, intervals, timestamp_ntz, variant, user-defined types) raise AnalysisException naming the
// type. Char and varchar are strings, as Spark reads them.
DataType fromProtoType(const spark::connect::DataType& type);
// A struct type (a relation's schema, as AnalyzePlan returns it) -> the engine's schema. Throws
// AnalysisException when `type` is not a struct or holds a field of an unsupported type (naming the field).
StructType fromProtoSchema(const spark::connect::DataType& type);

// Spark's JSON form of a schema (StructType.json()): what DataFrameReader.schema(StructType) sends.
std::string schemaToJson(const StructType& schema);

}  // namespace engine::connect
