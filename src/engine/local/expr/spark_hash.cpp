#include "engine/local/expr/spark_hash.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace engine::local {

std::int64_t sparkHashBytes(const void* data, std::size_t len, std::int64_t seed) {
  return static_cast<std::int64_t>(XXH64(data, len, static_cast<XXH64_hash_t>(seed)));
}

namespace {

// Java's BigInteger.toByteArray(): minimal big-endian two's complement.
std::size_t bigIntegerBytes(int128_t v, unsigned char* out) {
  unsigned char full[16];
  auto u = static_cast<unsigned __int128>(v);
  for (int i = 0; i < 16; ++i) full[15 - i] = static_cast<unsigned char>(u >> (8 * i));
  int start = 0;
  // Drop leading bytes that only repeat the sign.
  while (start < 15) {
    bool redundant = (full[start] == 0x00 && !(full[start + 1] & 0x80)) || (full[start] == 0xff && (full[start + 1] & 0x80));
    if (!redundant) break;
    ++start;
  }
  std::size_t n = static_cast<std::size_t>(16 - start);
  std::memcpy(out, full + start, n);
  return n;
}

// Calls f(i, row) for the valid rows row = begin + i of [begin, begin + n).
template <class F>
void forValid(const Vector& v, std::size_t begin, std::size_t n, F&& f) {
  if (v.validity().allValid()) {
    for (std::size_t i = 0; i < n; ++i) f(i, begin + i);
  } else {
    for (std::size_t i = 0; i < n; ++i)
      if (v.isValid(begin + i)) f(i, begin + i);
  }
}

}  // namespace

void sparkHashRows(const Vector& v, std::size_t begin, std::size_t n, std::int64_t* h) {
  const DataType& t = v.type();
  switch (t.id()) {
    case TypeId::Null: return;
    case TypeId::Boolean: {
      const auto* d = v.data<std::uint8_t>();
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) { h[i] = sparkHashInt(d[r] ? 1 : 0, h[i]); });
      return;
    }
    case TypeId::Byte: {
      const auto* d = v.data<std::int8_t>();
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) { h[i] = sparkHashInt(d[r], h[i]); });
      return;
    }
    case TypeId::Short: {
      const auto* d = v.data<std::int16_t>();
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) { h[i] = sparkHashInt(d[r], h[i]); });
      return;
    }
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval: {
      const auto* d = v.data<std::int32_t>();
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) { h[i] = sparkHashInt(d[r], h[i]); });
      return;
    }
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval: {
      const auto* d = v.data<std::int64_t>();
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) { h[i] = sparkHashLong(d[r], h[i]); });
      return;
    }
    case TypeId::Float: {
      const auto* d = v.data<float>();
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) {
        float x = d[r];
        std::int32_t bits;
        if (x == 0.0f) {
          bits = 0;  // -0.0 hashes like 0.0
        } else if (std::isnan(x)) {
          bits = 0x7fc00000;  // Java's canonical NaN
        } else {
          std::memcpy(&bits, &x, 4);
        }
        h[i] = sparkHashInt(bits, h[i]);
      });
      return;
    }
    case TypeId::Double: {
      const auto* d = v.data<double>();
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) {
        double x = d[r];
        std::int64_t bits;
        if (x == 0.0) {
          bits = 0;
        } else if (std::isnan(x)) {
          bits = 0x7ff8000000000000LL;
        } else {
          std::memcpy(&bits, &x, 8);
        }
        h[i] = sparkHashLong(bits, h[i]);
      });
      return;
    }
    case TypeId::Decimal: {
      const auto* d = v.data<int128_t>();
      if (t.precision() <= 18) {
        forValid(v, begin, n, [&](std::size_t i, std::size_t r) { h[i] = sparkHashLong(static_cast<std::int64_t>(d[r]), h[i]); });
      } else {
        forValid(v, begin, n, [&](std::size_t i, std::size_t r) {
          unsigned char bytes[16];
          std::size_t len = bigIntegerBytes(d[r], bytes);
          h[i] = sparkHashBytes(bytes, len, h[i]);
        });
      }
      return;
    }
    case TypeId::String: {
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) {
        auto s = v.str(r);
        h[i] = sparkHashBytes(s.data(), s.size(), h[i]);
      });
      return;
    }
    case TypeId::Array: {
      const Vector& child = *v.child();
      const std::int64_t* off = v.offsets();
      // Elements are folded in order with the row's running hash; null elements are skipped.
      forValid(v, begin, n, [&](std::size_t i, std::size_t r) {
        for (std::int64_t j = off[r]; j < off[r + 1]; ++j) sparkHashRows(child, static_cast<std::size_t>(j), 1, &h[i]);
      });
      return;
    }
  }
  throw std::logic_error("xxhash64: unsupported type " + t.simpleString());
}

void sparkHashColumn(const Vector& v, std::int64_t* h) { sparkHashRows(v, 0, v.size(), h); }

void sparkXxhash64(const std::vector<const Vector*>& columns, std::size_t rows, std::int64_t* out, std::int64_t seed) {
  for (std::size_t i = 0; i < rows; ++i) out[i] = seed;
  for (const Vector* c : columns) sparkHashColumn(*c, out);
}

}  // namespace engine::local
