// Random identifiers in the canonical 36-character text form of RFC 4122 UUIDs.
#pragma once

#include <string>

namespace spark {

// A new version-4 (random) UUID, lower-case hexadecimal with hyphens.
std::string uuid4();

}  // namespace spark
