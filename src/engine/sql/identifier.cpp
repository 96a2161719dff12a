#include "engine/sql/identifier.h"

#include <optional>

namespace engine::sql {

namespace {

// Spark's UnresolvedAttribute.parseAttributeName: nullopt where Spark reports a syntax error.
std::optional<std::vector<std::string>> splitAttributeName(const std::string& name) {
  std::vector<std::string> parts;
  std::string current;
  bool inBacktick = false;
  const std::size_t n = name.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = name[i];
    if (inBacktick) {
      if (c == '`') {
        if (i + 1 < n && name[i + 1] == '`') {
          current += '`';
          ++i;
        } else {
          inBacktick = false;
          if (i + 1 < n && name[i + 1] != '.') return std::nullopt;
        }
      } else {
        current += c;
      }
    } else if (c == '`') {
      if (!current.empty()) return std::nullopt;
      inBacktick = true;
    } else if (c == '.') {
      if (i == 0 || name[i - 1] == '.' || i == n - 1) return std::nullopt;
      parts.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (inBacktick) return std::nullopt;
  parts.push_back(std::move(current));
  return parts;
}

}  // namespace

std::vector<std::string> parseMultipartIdentifier(const std::string& text) {
  if (auto parts = splitAttributeName(text)) return std::move(*parts);
  return {text};
}

}  // namespace engine::sql
