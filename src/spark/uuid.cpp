#include "spark/uuid.h"

#include <array>
#include <cstdint>
#include <random>

#include <fmt/format.h>

namespace spark {

std::string uuid4() {
  // One engine per thread, seeded from the operating system's entropy source.
  thread_local std::mt19937_64 gen = [] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }();
  std::array<std::uint8_t, 16> b{};
  for (int i = 0; i < 2; ++i) {
    std::uint64_t r = gen();
    for (int j = 0; j < 8; ++j) b[i * 8 + j] = static_cast<std::uint8_t>(r >> (8 * j));
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out += fmt::format("{:02x}", b[i]);
  }
  return out;
}

}  // namespace spark
