#include "host/dataprofile.h"

namespace norq {

const FeatureDataProfile* DataProfile::feature_profile(const std::string& feature) const {
  for (const auto& p : features_)
    if (p.feature == feature) return &p;
  return nullptr;
}

}  // namespace norq
