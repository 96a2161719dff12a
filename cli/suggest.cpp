#include "suggest.h"

#include <algorithm>
#include <cctype>

namespace cli {

namespace {

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::optional<std::string> nearestName(const std::string& name, const std::vector<std::string>& candidates) {
  std::optional<std::string> best;
  std::size_t bestDistance = 0;
  for (const std::string& c : candidates) {
    const std::size_t d = editDistance(name, c);
    const std::size_t limit = std::min<std::size_t>(3, std::max<std::size_t>(1, std::max(name.size(), c.size()) / 3));
    if (d <= limit && (!best || d < bestDistance)) {
      best = c;
      bestDistance = d;
    }
  }
  return best;
}

std::string nearestHint(const std::string& name, const std::vector<std::string>& candidates) {
  const std::optional<std::string> n = nearestName(name, candidates);
  return n ? " (did you mean '" + *n + "'?)" : "";
}

}  // namespace cli
