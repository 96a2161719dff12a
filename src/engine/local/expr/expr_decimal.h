// Exact decimal arithmetic on unscaled int128 values with Spark's rounding (HALF_UP to the result scale)
// and overflow rule (a result wider than the result precision is null: the functions return false).
// Intermediate values that do not fit 128 bits are carried in 256 bits.
#pragma once

#include <cstdint>

#include "engine/value.h"

namespace engine::local {

bool decimalAdd(int128_t a, int sa, int128_t b, int sb, bool subtract, int rp, int rs, int128_t& out);
bool decimalMultiply(int128_t a, int sa, int128_t b, int sb, int rp, int rs, int128_t& out);
bool decimalDivide(int128_t a, int sa, int128_t b, int sb, int rp, int rs, int128_t& out);
// Remainder with the sign of the dividend (BigDecimal.remainder).
bool decimalRemainder(int128_t a, int sa, int128_t b, int sb, int rp, int rs, int128_t& out);
// Quotient truncated toward zero, as a long (low 64 bits, like BigDecimal.longValue); false when b is 0.
bool decimalIntegralDivide(int128_t a, int sa, int128_t b, int sb, std::int64_t& out);

}  // namespace engine::local
