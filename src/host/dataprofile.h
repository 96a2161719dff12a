// Data profile records: one FeatureDataProfile per column of a dataset, gathered in a DataProfile under the
// dataset's name and checksum.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/enums.h"

namespace norq {

struct FeatureDataProfile {
  std::string feature;
  std::optional<std::string> condition;
  FeatureType type = FeatureType::Continuous;
  double minimum = std::nan("");
  double maximum = std::nan("");
  std::int64_t distinct_values = 0;
  std::int64_t missing_values = 0;
  double missing_values_percentage = 0.0;  // a fraction in [0, 1]
};

class DataProfile {
 public:
  DataProfile(std::string name, std::string hash) : name_(std::move(name)), hash_(std::move(hash)) {}
  void add_feature_profile(FeatureDataProfile p) { features_.push_back(std::move(p)); }
  const std::string& name() const { return name_; }
  const std::string& hash() const { return hash_; }
  const std::vector<FeatureDataProfile>& feature_profiles() const { return features_; }
  // The profile of one feature, or nullptr.
  const FeatureDataProfile* feature_profile(const std::string& feature) const;

 private:
  std::string name_;
  std::string hash_;
  std::vector<FeatureDataProfile> features_;
};

}  // namespace norq
