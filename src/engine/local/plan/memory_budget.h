// The memory a query may materialise in one operator's output before it fails with a clear error instead of
// exhausting the machine: NORQ_QUERY_MEMORY (bytes, or with a K, M, G or T suffix: "8G"), a quarter of the
// physical memory by default.
#pragma once

#include <cstddef>
#include <string>

namespace engine::local {

std::size_t queryMemoryBudget();
// Overrides the budget (0 restores NORQ_QUERY_MEMORY or the default); for tests and embedding programs.
void setQueryMemoryBudget(std::size_t bytes);

// Throws the budget's error when `bytes` (what an operator holds or is about to produce) exceed the budget;
// `what` says which work it is ("a sort of 3000000 rows").
void checkQueryMemory(double bytes, const std::string& what);

// "12.0 GB": a byte count for messages.
std::string formatBytes(std::size_t bytes);

// Parses a NORQ_QUERY_MEMORY value; 0 when it is not a positive size.
std::size_t parseByteSize(const std::string& text);

}  // namespace engine::local
