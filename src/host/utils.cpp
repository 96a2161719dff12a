#include "host/utils.h"

#include <algorithm>
#include <set>

namespace norq {

void ensure_mutual_exclusion(const std::vector<std::string>& names, const std::vector<std::vector<std::string>*>& others) {
  const std::set<std::string> remove(names.begin(), names.end());
  for (std::vector<std::string>* list : others) {
    if (list == nullptr || list == &names) continue;
    list->erase(std::remove_if(list->begin(), list->end(), [&](const std::string& n) { return remove.count(n) > 0; }),
                list->end());
  }
}

namespace {
std::string quoted(const std::string& s) {
  // Python's repr of a str: single quotes unless the text holds a single quote and no double quote.
  const bool useDouble = s.find('\'') != std::string::npos && s.find('"') == std::string::npos;
  const char q = useDouble ? '"' : '\'';
  std::string out(1, q);
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == q) {
      out += std::string("\\") + q;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out.push_back(c);
    }
  }
  out.push_back(q);
  return out;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + quoted(names[i]);
  return out;
}
}  // namespace

std::string format_list(const std::vector<std::string>& names) { return "[" + joined(names) + "]"; }

std::string format_set(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  if (names.empty()) return "set()";
  return "{" + joined(names) + "}";
}

}  // namespace norq
