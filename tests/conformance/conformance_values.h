// Conversions between the conformance files' JSON encoding and engine values, and the comparison of
// results with Spark's recorded answers.
//
// Encoding (shared with scripts/spark_conformance.py): integers and booleans as JSON numbers/booleans,
// doubles and floats as text that round-trips ("0.1", "1e+20", "NaN", "Infinity", "-0.0"; inputs may also
// use plain JSON numbers), decimals as plain text ("1.50"), dates as "yyyy-mm-dd", timestamps as
// "yyyy-mm-dd hh:mm:ss[.ffffff]" (UTC; a "T" separator is accepted), arrays as JSON arrays, null as null.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/types.h"
#include "engine/value.h"

namespace conformance {

using json = nlohmann::json;

// Parses a type as written in the scenario files (Spark simpleString / DDL names). Throws
// std::invalid_argument naming the text for an unknown type.
engine::DataType parseTypeName(std::string_view text);

// The engine value for an input cell of the given type. Throws std::invalid_argument when the cell does
// not fit the type (a broken scenario file, not an engine fault).
engine::Value inputValue(const json& cell, const engine::DataType& type);

// The canonical JSON of an engine value: the golden files' encoding, doubles in shortest round-trip text.
json outputJson(const engine::Value& v);

// Whether an actual cell (canonical JSON) equals the expected one, read with the expected column type:
// doubles and floats compare numerically (NaN equals NaN, -0.0 differs from 0.0 unless `tolerance` > 0,
// which allows a relative difference), everything else exactly.
bool cellEquals(const json& expected, const json& actual, const engine::DataType& expectedType, double tolerance);

// Rows equal cell by cell (types per column of the expected schema).
bool rowEquals(const json& expected, const json& actual, const std::vector<engine::DataType>& types,
               double tolerance);

// Matches rows as multisets; returns a description of the rows missing on either side, or "" when they
// match. With ordered = true rows must also appear in the same order.
std::string compareRows(const json& expected, const json& actual, const std::vector<engine::DataType>& types,
                        double tolerance, bool ordered);

// Text helpers shared with the runner.
std::string formatDays(std::int64_t days);
std::string formatMicros(std::int64_t micros);

}  // namespace conformance
