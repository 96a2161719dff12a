// The framework's dataset interfaces. A backend implements them over its own frame type (the engine's
// DataFrame for the Spark backend); the framework's scans read datasets only through these operations.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/enums.h"

namespace norq {

// A map of text to text that keeps insertion order (the per-segment checksums are reported in the order
// training, validation, testing).
class OrderedStringMap {
 public:
  void set(const std::string& key, const std::string& value);
  std::optional<std::string> get(const std::string& key) const;
  const std::vector<std::pair<std::string, std::string>>& items() const { return items_; }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }
  bool operator==(const OrderedStringMap& o) const { return items_ == o.items_; }

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

// One entry of a dataset's history: (event, time, details).
using HistoryEntry = std::tuple<std::string, std::string, std::map<std::string, std::string>>;
using History = std::vector<HistoryEntry>;

// What every dataset offers, whatever its backend and kind.
class AbstractDataset : public std::enable_shared_from_this<AbstractDataset> {
 public:
  virtual ~AbstractDataset() = default;
  virtual DataBackend data_backend() const = 0;
  virtual std::string name() const = 0;
  virtual std::string id() const = 0;
  virtual std::string overall_checksum() const = 0;
  virtual const OrderedStringMap& checksum() const = 0;
  virtual std::int64_t number_of_samples() const = 0;
  virtual std::string target_name() const = 0;
  virtual std::vector<std::string> feature_names() const = 0;
  virtual std::vector<std::string> all_feature_names() const = 0;
};

// A plain dataset whose frames are of type Frame.
template <class Frame>
class SimpleDataset : public virtual AbstractDataset {
 public:
  // The column `name` over all rows, filtered by `mask` when it is not empty.
  virtual Frame feature(const std::string& name, const std::string& mask = "") const = 0;
  virtual Frame target() const = 0;
  // One column (a feature or the target) of one segment, filtered by `mask` when it is not empty.
  virtual Frame get_segment_data(const std::string& name, DatasetSegment dataset_segment = DatasetSegment::ALL,
                                 const std::string& mask = "") const = 0;
};

// A dataset with a protected attribute (`protected` is a C++ keyword, hence protected_).
template <class Frame>
class BiasDataset : public SimpleDataset<Frame> {
 public:
  virtual std::string protected_name() const = 0;
  virtual Frame protected_() const = 0;
};

// A cache of a model's predictions over a table of frame type Frame.
template <class Frame>
class PredictionCache {
 public:
  virtual ~PredictionCache() = default;
  virtual Frame get_data(const std::string& condition = "") const = 0;
  virtual std::string get_target(const std::string& condition = "") const = 0;
  virtual std::optional<std::string> get_protected(const std::string& condition = "") const = 0;
  virtual std::string get_predicted(const std::string& condition = "") const = 0;
};

}  // namespace norq
