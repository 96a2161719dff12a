// Random identifiers in the canonical 36-character text form of RFC 4122 UUIDs.
#pragma once

#include <string>

namespace spark {

// A new version-4 (random) UUID, lower-case hexadecimal with hyphens.
std::string uuid4();
// A new version-1 (time-based) UUID: 100-nanosecond intervals since 1582-10-15, a clock sequence that
// keeps successive identifiers distinct even within one clock tick, and a random node with the multicast
// bit set (no hardware address is read).
std::string uuid1();

}  // namespace spark
