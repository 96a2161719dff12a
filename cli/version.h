// Version reported by `norq-spark --version`.
#pragma once

namespace cli {

inline constexpr const char* kVersion = "0.1.0";

}  // namespace cli
