#include "engine/local/plan/memory_budget.h"

#include "engine/errors.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace engine::local {

std::size_t parseByteSize(const std::string& text) {
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(number) || number <= 0) return 0;
  double scale = 1;
  std::string unit(end);
  while (!unit.empty() && std::isspace(static_cast<unsigned char>(unit.back()))) unit.pop_back();
  if (!unit.empty()) {
    switch (std::toupper(static_cast<unsigned char>(unit[0]))) {
      case 'K': scale = 1024.0; break;
      case 'M': scale = 1024.0 * 1024; break;
      case 'G': scale = 1024.0 * 1024 * 1024; break;
      case 'T': scale = 1024.0 * 1024 * 1024 * 1024; break;
      default: return 0;
    }
    if (unit.size() > 1 && !(unit.size() == 2 && std::toupper(static_cast<unsigned char>(unit[1])) == 'B')) return 0;
  }
  const double bytes = number * scale;
  if (bytes < 1 || bytes > 1e18) return 0;
  return static_cast<std::size_t>(bytes);
}

namespace {
std::atomic<std::size_t> budgetOverride{0};
}  // namespace

void setQueryMemoryBudget(std::size_t bytes) { budgetOverride.store(bytes); }

void checkQueryMemory(double bytes, const std::string& what) {
  const std::size_t budget = queryMemoryBudget();
  if (bytes <= static_cast<double>(budget)) return;
  throw ExecutionException("The query exceeds its memory budget of " + formatBytes(budget) + ": " + what +
                           " needs about " + formatBytes(bytes >= 1e18 ? std::size_t{1} << 60 : static_cast<std::size_t>(bytes)) +
                           ". Narrow it (a filter, fewer columns, a smaller frame) or raise the budget with "
                           "NORQ_QUERY_MEMORY (e.g. NORQ_QUERY_MEMORY=16G).");
}

std::size_t queryMemoryBudget() {
  if (const std::size_t o = budgetOverride.load(std::memory_order_relaxed)) return o;
  static const std::size_t budget = [] {
    if (const char* env = std::getenv("NORQ_QUERY_MEMORY"))
      if (const std::size_t b = parseByteSize(env); b > 0) return b;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return std::size_t{4} << 30;
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize) / 4;
  }();
  return budget;
}

std::string formatBytes(std::size_t bytes) {
  char buf[32];
  const double b = static_cast<double>(bytes);
  if (b >= 1024.0 * 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f GB", b / (1024.0 * 1024 * 1024));
  else
    std::snprintf(buf, sizeof buf, "%.1f MB", b / (1024.0 * 1024));
  return buf;
}

}  // namespace engine::local
