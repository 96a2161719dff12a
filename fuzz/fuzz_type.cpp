// Fuzz target: type strings (DataType::parse) and the simpleString of what they give, which must parse
// back to the same type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto type = engine::DataType::parse(text);
  if (type) {
    const auto again = engine::DataType::parse(type->simpleString());
    if (!again || *again != *type) std::abort();
  }
  return 0;
}
