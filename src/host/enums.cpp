#include "host/enums.h"

namespace norq {

std::string to_string(DatasetSegment s) {
  switch (s) {
    case DatasetSegment::ALL: return "ALL";
    case DatasetSegment::TRAINING: return "TRAINING";
    case DatasetSegment::VALIDATION: return "VALIDATION";
    case DatasetSegment::TESTING: return "TESTING";
  }
  return "?";
}

std::string to_string(DataBackend b) { return b == DataBackend::SPARK ? "SPARK" : "PANDAS"; }

std::string to_string(FeatureType t) {
  switch (t) {
    case FeatureType::Continuous: return "Continuous";
    case FeatureType::Categorical: return "Categorical";
    case FeatureType::Date: return "Date";
    case FeatureType::ID: return "ID";
  }
  return "?";
}

}  // namespace norq
