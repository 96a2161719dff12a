#include "spark/uuid.h"

#include <array>
#include <chrono>
#include <mutex>
#include <cstdint>
#include <random>

#include <fmt/format.h>

namespace spark {

namespace {

std::mt19937_64& generator() {
  // One engine per thread, seeded from the operating system's entropy source.
  thread_local std::mt19937_64 gen = [] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }();
  return gen;
}

std::string canonical(const std::array<std::uint8_t, 16>& b) {
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out += fmt::format("{:02x}", b[i]);
  }
  return out;
}

}  // namespace

std::string uuid4() {
  std::array<std::uint8_t, 16> b{};
  for (int i = 0; i < 2; ++i) {
    std::uint64_t r = generator()();
    for (int j = 0; j < 8; ++j) b[i * 8 + j] = static_cast<std::uint8_t>(r >> (8 * j));
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return canonical(b);
}

std::string uuid1() {
  static std::mutex mutex;
  static std::uint64_t last = 0;
  static std::uint16_t clock_seq = static_cast<std::uint16_t>(generator()());
  static const std::uint64_t node = (generator()() & 0xFFFFFFFFFFFFull) | 0x010000000000ull;  // multicast bit
  std::uint64_t ts;
  std::uint16_t seq;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    // 100 ns intervals between 1582-10-15 and 1970-01-01.
    ts = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100) +
         0x01B21DD213814000ull;
    if (ts <= last) ++clock_seq;  // same tick (or the clock went back): keep identifiers unique
    last = ts;
    seq = clock_seq;
  }
  std::array<std::uint8_t, 16> b{};
  const std::uint32_t time_low = static_cast<std::uint32_t>(ts);
  const std::uint16_t time_mid = static_cast<std::uint16_t>(ts >> 32);
  const std::uint16_t time_hi = static_cast<std::uint16_t>(((ts >> 48) & 0x0FFF) | 0x1000);  // version 1
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(time_low >> (24 - 8 * i));
  b[4] = static_cast<std::uint8_t>(time_mid >> 8);
  b[5] = static_cast<std::uint8_t>(time_mid);
  b[6] = static_cast<std::uint8_t>(time_hi >> 8);
  b[7] = static_cast<std::uint8_t>(time_hi);
  b[8] = static_cast<std::uint8_t>(((seq >> 8) & 0x3F) | 0x80);  // RFC 4122 variant
  b[9] = static_cast<std::uint8_t>(seq);
  for (int i = 0; i < 6; ++i) b[10 + i] = static_cast<std::uint8_t>(node >> (40 - 8 * i));
  return canonical(b);
}

}  // namespace spark
