// Enumerations shared by the framework and its dataset backends.
#pragma once

#include <string>

namespace norq {

// Which frame of a dataset an operation reads; ALL means the frame of all rows.
enum class DatasetSegment { ALL, TRAINING, VALIDATION, TESTING };

// Where a dataset keeps its rows.
enum class DataBackend { PANDAS, SPARK };

// The kind of a column in a data profile.
enum class FeatureType { Continuous, Categorical, Date, ID };

std::string to_string(DatasetSegment s);
std::string to_string(DataBackend b);
std::string to_string(FeatureType t);

}  // namespace norq
