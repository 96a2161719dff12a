#include "engine/local/expr/expr_decimal.h"

#include "engine/local/expr/expr_common.h"

namespace engine::local {

namespace {

using u128 = unsigned __int128;

// Unsigned 256-bit magnitude.
struct U256 {
  u128 hi = 0, lo = 0;
};

bool operator<(const U256& a, const U256& b) { return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo; }
bool operator>=(const U256& a, const U256& b) { return !(a < b); }

U256 add(const U256& a, const U256& b) {
  U256 r;
  r.lo = a.lo + b.lo;
  r.hi = a.hi + b.hi + (r.lo < a.lo ? 1 : 0);
  return r;
}

U256 sub(const U256& a, const U256& b) {  // requires a >= b
  U256 r;
  r.lo = a.lo - b.lo;
  r.hi = a.hi - b.hi - (a.lo < b.lo ? 1 : 0);
  return r;
}

U256 mul128(u128 a, u128 b) {
  const u128 mask = ~std::uint64_t{0};
  u128 a0 = a & mask, a1 = a >> 64, b0 = b & mask, b1 = b >> 64;
  u128 p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  u128 mid = (p00 >> 64) + (p01 & mask) + (p10 & mask);
  U256 r;
  r.lo = (p00 & mask) | (mid << 64);
  r.hi = p11 + (p01 >> 64) + (p10 >> 64) + (mid >> 64);
  return r;
}

// a * b where the product is known to fit 256 bits; returns false if it does not.
bool mulSmall(const U256& a, u128 b, U256& out) {
  U256 lo = mul128(a.lo, b);
  U256 hi = mul128(a.hi, b);
  if (hi.hi != 0) return false;
  out.lo = lo.lo;
  out.hi = lo.hi + hi.lo;
  return out.hi >= lo.hi;
}

bool mulPow10(const U256& a, int k, U256& out) {
  out = a;
  while (k > 0) {
    int step = k > 38 ? 38 : k;
    if (!mulSmall(out, static_cast<u128>(pow10i128(step)), out)) return false;
    k -= step;
  }
  return true;
}

U256 shl1(const U256& a) { return U256{(a.hi << 1) | (a.lo >> 127), a.lo << 1}; }

// Quotient and remainder by long division.
void divmod(const U256& num, const U256& den, U256& q, U256& r) {
  q = U256{};
  r = U256{};
  for (int bit = 255; bit >= 0; --bit) {
    r = shl1(r);
    u128 b = bit >= 128 ? (num.hi >> (bit - 128)) & 1 : (num.lo >> bit) & 1;
    r.lo |= b;
    if (r >= den) {
      r = sub(r, den);
      if (bit >= 128) {
        q.hi |= u128{1} << (bit - 128);
      } else {
        q.lo |= u128{1} << bit;
      }
    }
  }
}

u128 magnitude(int128_t v) { return v < 0 ? static_cast<u128>(0) - static_cast<u128>(v) : static_cast<u128>(v); }

// num / den rounded HALF_UP (magnitudes).
U256 divRound(const U256& num, const U256& den) {
  U256 q, r;
  if (num.hi == 0 && den.hi == 0) {
    q.lo = num.lo / den.lo;
    r.lo = num.lo % den.lo;
  } else {
    divmod(num, den, q, r);
  }
  // HALF_UP: round away from zero when 2r >= den.
  if (r >= sub(den, r)) q = add(q, U256{0, 1});
  return q;
}

// Signed result from a magnitude; false when it does not fit `precision` digits.
bool finish(bool negative, const U256& mag, int precision, int128_t& out) {
  if (mag.hi != 0 || mag.lo > static_cast<u128>(pow10i128(38))) return false;
  int128_t v = static_cast<int128_t>(mag.lo);
  out = negative ? -v : v;
  return fitsPrecision(out, precision);
}

// Magnitude rescaled from scale `from` to `to` (HALF_UP when shrinking).
bool rescaleMag(const U256& mag, int from, int to, U256& out) {
  if (to >= from) return mulPow10(mag, to - from, out);
  U256 den;
  if (!mulPow10(U256{0, 1}, from - to, den)) {
    out = U256{};
    return true;
  }
  out = divRound(mag, den);
  return true;
}

}  // namespace

bool decimalAdd(int128_t a, int sa, int128_t b, int sb, bool subtract, int rp, int rs, int128_t& out) {
  if (subtract) b = -b;
  int s = sa > sb ? sa : sb;
  // Fast path: aligned operands and the sum fit 128 bits.
  int128_t x, y, sum;
  if (sa == sb) {
    if (!__builtin_add_overflow(a, b, &sum)) return rescaleDecimal(sum, s, rs, rp, out);
  } else if (rescaleDecimal(a, sa, s, 38, x) && rescaleDecimal(b, sb, s, 38, y) && !__builtin_add_overflow(x, y, &sum)) {
    return rescaleDecimal(sum, s, rs, rp, out);
  }
  U256 ma, mb;
  if (!mulPow10(U256{0, magnitude(a)}, s - sa, ma) || !mulPow10(U256{0, magnitude(b)}, s - sb, mb)) return false;
  bool na = a < 0, nb = b < 0;
  U256 mag;
  bool neg;
  if (na == nb) {
    mag = add(ma, mb);
    neg = na;
  } else if (ma >= mb) {
    mag = sub(ma, mb);
    neg = na;
  } else {
    mag = sub(mb, ma);
    neg = nb;
  }
  U256 scaled;
  if (!rescaleMag(mag, s, rs, scaled)) return false;
  return finish(neg, scaled, rp, out);
}

bool decimalMultiply(int128_t a, int sa, int128_t b, int sb, int rp, int rs, int128_t& out) {
  int128_t p;
  if (!__builtin_mul_overflow(a, b, &p)) return rescaleDecimal(p, sa + sb, rs, rp, out);
  U256 mag = mul128(magnitude(a), magnitude(b)), scaled;
  if (!rescaleMag(mag, sa + sb, rs, scaled)) return false;
  return finish((a < 0) != (b < 0), scaled, rp, out);
}

bool decimalDivide(int128_t a, int sa, int128_t b, int sb, int rp, int rs, int128_t& out) {
  if (b == 0) return false;
  // unscaled result = a * 10^(rs - sa + sb) / b, rounded HALF_UP.
  int e = rs - sa + sb;
  U256 num{0, magnitude(a)}, den{0, magnitude(b)};
  if (e >= 0) {
    if (!mulPow10(num, e, num)) return false;  // beyond 2^256 the quotient cannot fit 38 digits
  } else {
    if (!mulPow10(den, -e, den)) {
      out = 0;
      return true;
    }
  }
  return finish((a < 0) != (b < 0), divRound(num, den), rp, out);
}

bool decimalRemainder(int128_t a, int sa, int128_t b, int sb, int rp, int rs, int128_t& out) {
  if (b == 0) return false;
  int s = sa > sb ? sa : sb;
  U256 ma, mb;
  if (!mulPow10(U256{0, magnitude(a)}, s - sa, ma) || !mulPow10(U256{0, magnitude(b)}, s - sb, mb)) return false;
  U256 q, r;
  divmod(ma, mb, q, r);
  U256 scaled;
  if (!rescaleMag(r, s, rs, scaled)) return false;
  return finish(a < 0, scaled, rp, out);
}

bool decimalIntegralDivide(int128_t a, int sa, int128_t b, int sb, std::int64_t& out) {
  if (b == 0) return false;
  int s = sa > sb ? sa : sb;
  U256 ma, mb;
  if (!mulPow10(U256{0, magnitude(a)}, s - sa, ma) || !mulPow10(U256{0, magnitude(b)}, s - sb, mb)) return false;
  U256 q, r;
  divmod(ma, mb, q, r);
  std::uint64_t low = static_cast<std::uint64_t>(q.lo);
  if ((a < 0) != (b < 0)) low = ~low + 1;
  out = static_cast<std::int64_t>(low);
  return true;
}

}  // namespace engine::local
