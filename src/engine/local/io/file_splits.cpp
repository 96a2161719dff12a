#include "engine/local/io/file_splits.h"

#include <algorithm>
#include <cstdint>

namespace engine::local {

std::vector<std::vector<Split>> sparkFilePartitions(const std::vector<std::size_t>& sizes, bool splittable,
                                                    const FileSplitConf& conf, int parallelism) {
  const std::int64_t openCost = std::max<std::int64_t>(0, conf.openCostInBytes);
  std::int64_t total = 0;
  for (std::size_t size : sizes) total += static_cast<std::int64_t>(size) + openCost;
  const std::int64_t minPartitions = std::max(1, conf.minPartitionNum > 0 ? conf.minPartitionNum : parallelism);
  const std::int64_t bytesPerCore = total / minPartitions;
  const std::int64_t maxSplit = std::max<std::int64_t>(1, std::min(conf.maxPartitionBytes, std::max(openCost, bytesPerCore)));
  std::vector<Split> splits;
  for (std::size_t f = 0; f < sizes.size(); ++f) {
    const auto len = static_cast<std::int64_t>(sizes[f]);
    if (!splittable) {
      if (len > 0) splits.push_back({f, 0, sizes[f]});
      continue;
    }
    for (std::int64_t off = 0; off < len; off += maxSplit)
      splits.push_back({f, static_cast<std::size_t>(off), static_cast<std::size_t>(std::min(maxSplit, len - off))});
  }
  std::stable_sort(splits.begin(), splits.end(), [](const Split& a, const Split& b) { return a.length > b.length; });
  std::vector<std::vector<Split>> parts;
  std::vector<Split> current;
  std::int64_t currentSize = 0;
  for (const Split& sp : splits) {
    if (currentSize + static_cast<std::int64_t>(sp.length) > maxSplit && !current.empty()) {
      parts.push_back(std::move(current));
      current.clear();
      currentSize = 0;
    }
    currentSize += static_cast<std::int64_t>(sp.length) + openCost;
    current.push_back(sp);
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

}  // namespace engine::local
