#include "suggest.h"

#include <algorithm>
#include <cctype>

namespace cli {

namespace {

// Edits between two names, case-insensitive: insertions, deletions, substitutions and swaps of two
// neighbouring letters (the commonest typo: "lable" for "label" is one edit).
std::size_t editDistance(const std::string& a, const std::string& b) {
  auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  };
  const std::size_t w = b.size() + 1;
  std::vector<std::size_t> before(w), prev(w), row(w);
  for (std::size_t j = 0; j < w; ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      row[j] = std::min({prev[j] + 1, row[j - 1] + 1, prev[j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
        row[j] = std::min(row[j], before[j - 2] + 1);
    }
    std::swap(before, prev);
    std::swap(prev, row);
  }
  return prev[b.size()];
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
