// Field elements are ten signed limbs of alternately 26 and 25 bits
// (value = sum h[i] * 2^ceil(25.5 i)), multiplied with 64-bit products and
// folded with 2^255 = 19. A "carried" element has |h[i]| <= 2^25 (even i)
// or 2^24 (odd i); multiplication accepts sums or differences of two.
#include "pkg/curve25519.h"

#include <cstring>

namespace deployboot::curve25519 {
namespace {

struct Fe {
  int32_t v[10];
};

constexpr int LIMB_BITS[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int LIMB_OFFSET[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

constexpr Fe feConstant(int32_t c) { return Fe{{c, 0, 0, 0, 0, 0, 0, 0, 0, 0}}; }

// Inlined into its callers, so that h stays in registers.
[[gnu::always_inline]] inline Fe carry(int64_t h[10]) {
  auto c26 = [](int64_t& a, int64_t& b) {
    const int64_t c = (a + (int64_t{1} << 25)) >> 26;
    b += c;
    a -= c * (int64_t{1} << 26);
  };
  auto c25 = [](int64_t& a, int64_t& b) {
    const int64_t c = (a + (int64_t{1} << 24)) >> 25;
    b += c;
    a -= c * (int64_t{1} << 25);
  };
  c26(h[0], h[1]);
  c26(h[4], h[5]);
  c25(h[1], h[2]);
  c25(h[5], h[6]);
  c26(h[2], h[3]);
  c26(h[6], h[7]);
  c25(h[3], h[4]);
  c25(h[7], h[8]);
  c26(h[4], h[5]);
  c26(h[8], h[9]);
  const int64_t c = (h[9] + (int64_t{1} << 24)) >> 25;
  h[0] += c * 19;
  h[9] -= c * (int64_t{1} << 25);
  c26(h[0], h[1]);
  Fe r;
  for (int i = 0; i < 10; ++i) r.v[i] = static_cast<int32_t>(h[i]);
  return r;
}

Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 10; ++i) r.v[i] = a.v[i] + b.v[i];
  return r;
}

Fe sub(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 10; ++i) r.v[i] = a.v[i] - b.v[i];
  return r;
}

Fe mul(const Fe& f, const Fe& g) {
  // f[i] g[j] has weight 2^(w_i + w_j): twice the weight of limb i + j
  // when both are odd, and i + j >= 10 wraps around with a factor 19.
  int32_t g19[10], f2[10];
  for (int i = 0; i < 10; ++i) {
    g19[i] = 19 * g.v[i];
    f2[i] = (i & 1) ? 2 * f.v[i] : f.v[i];
  }
  int64_t h[10] = {};
  // Unrolled, the limb tests below fold away at compile time.
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
    const int64_t fi = f.v[i];
    const int64_t fi2 = f2[i];
#pragma GCC unroll 10
    for (int j = 0; j < 10; ++j) {
      const int64_t fij = (j & 1) ? fi2 : fi;
      const int k = i + j;
      if (k < 10) h[k] += fij * g.v[j];
      else h[k - 10] += fij * g19[j];
    }
  }
  return carry(h);
}

// mul(f, f) with each pair of equal cross products taken once, doubled.
// Every product is of two 32-bit values (one 32 x 32 -> 64 multiply on a
// 32-bit CPU): the doublings go into an operand beforehand, the factor 19
// of the wrapped limbs is applied once per limb at the end.
Fe sq(const Fe& f) {
  int32_t f2[10], f4[10];
  for (int i = 0; i < 10; ++i) {
    f2[i] = 2 * f.v[i];
    f4[i] = 4 * f.v[i];
  }
  int64_t h[10] = {}, wrapped[10] = {};
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
#pragma GCC unroll 10
    for (int j = i; j < 10; ++j) {
      const int factor = (i == j ? 1 : 2) * ((i & j & 1) ? 2 : 1);
      const int32_t a = factor == 1 ? f.v[i] : factor == 2 ? f2[i] : f4[i];
      const int64_t product = int64_t{a} * f.v[j];
      if (i + j < 10) h[i + j] += product;
      else wrapped[i + j - 10] += product;
    }
  }
  for (int k = 0; k < 10; ++k) h[k] += 19 * wrapped[k];
  return carry(h);
}

Fe sqTimes(Fe f, int n) {
  while (n-- > 0) f = sq(f);
  return f;
}

Fe mulSmall(const Fe& f, int32_t c) {
  int64_t h[10];
  for (int i = 0; i < 10; ++i) h[i] = int64_t{f.v[i]} * c;
  return carry(h);
}

Fe normalise(const Fe& f) {
  int64_t h[10];
  for (int i = 0; i < 10; ++i) h[i] = f.v[i];
  return carry(h);
}

Fe fromBytes(const Bytes32& s) {
  uint64_t w[4];
  for (int i = 0; i < 4; ++i) {
    w[i] = 0;
    for (int j = 7; j >= 0; --j) w[i] = (w[i] << 8) | s[8 * i + j];
  }
  w[3] &= 0x7FFFFFFFFFFFFFFFull;  // the top bit of a u-coordinate is ignored
  int64_t h[10];
  for (int i = 0; i < 10; ++i) {
    const int off = LIMB_OFFSET[i];
    const int idx = off / 64, shift = off % 64;
    uint64_t bits = w[idx] >> shift;
    if (shift + LIMB_BITS[i] > 64 && idx + 1 < 4) bits |= w[idx + 1] << (64 - shift);
    h[i] = static_cast<int64_t>(bits & ((uint64_t{1} << LIMB_BITS[i]) - 1));
  }
  return carry(h);
}

// The unique representative in [0, p), little-endian.
Bytes32 toBytes(const Fe& f) {
  int64_t h[10];
  for (int i = 0; i < 10; ++i) h[i] = f.v[i];
  // q = 1 exactly when the carried value is >= p.
  int64_t q = (19 * h[9] + (int64_t{1} << 24)) >> 25;
  for (int i = 0; i < 10; ++i) q = (h[i] + q) >> LIMB_BITS[i];
  h[0] += 19 * q;
  for (int i = 0; i < 9; ++i) {
    const int64_t c = h[i] >> LIMB_BITS[i];
    h[i + 1] += c;
    h[i] -= c * (int64_t{1} << LIMB_BITS[i]);
  }
  h[9] &= (int64_t{1} << 25) - 1;
  Bytes32 out{};
  uint64_t acc = 0;
  int bits = 0, pos = 0;
  for (int i = 0; i < 10; ++i) {
    acc |= static_cast<uint64_t>(h[i]) << bits;
    bits += LIMB_BITS[i];
    while (bits >= 8) {
      out[pos++] = static_cast<uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
  if (pos < 32) out[pos] = static_cast<uint8_t>(acc);
  return out;
}

bool equal(const Fe& a, const Fe& b) { return toBytes(a) == toBytes(b); }
bool isOdd(const Fe& a) { return toBytes(a)[0] & 1; }

// z^(2^250 - 1), and z^11 on the side; the common stem of the powers below.
Fe pow2250m1(const Fe& z, Fe* z11) {
  const Fe z2 = sq(z);
  const Fe z9 = mul(sqTimes(z2, 2), z);
  *z11 = mul(z9, z2);
  const Fe z5 = mul(sq(*z11), z9);                // 2^5 - 1
  const Fe z10 = mul(sqTimes(z5, 5), z5);         // 2^10 - 1
  const Fe z20 = mul(sqTimes(z10, 10), z10);      // 2^20 - 1
  const Fe z40 = mul(sqTimes(z20, 20), z20);      // 2^40 - 1
  const Fe z50 = mul(sqTimes(z40, 10), z10);      // 2^50 - 1
  const Fe z100 = mul(sqTimes(z50, 50), z50);     // 2^100 - 1
  const Fe z200 = mul(sqTimes(z100, 100), z100);  // 2^200 - 1
  return mul(sqTimes(z200, 50), z50);             // 2^250 - 1
}

// z^(p - 2) = 1/z; 0 for z = 0.
Fe invert(const Fe& z) {
  Fe z11;
  const Fe t = pow2250m1(z, &z11);
  return mul(sqTimes(t, 5), z11);
}

const Fe& sqrtMinusOne() {
  // 2^((p - 1) / 4), with (p - 1) / 4 = (2^250 - 1) * 8 + 3.
  static const Fe root = [] {
    const Fe two = feConstant(2);
    Fe unused;
    return mul(sqTimes(pow2250m1(two, &unused), 3), feConstant(8));
  }();
  return root;
}

// A square root of a (p = 5 mod 8); false when a is not a square.
bool squareRoot(const Fe& a, Fe* root) {
  Fe unused;
  // a^((p + 3) / 8) = a * a^(2^252 - 3)
  Fe r = mul(a, mul(sqTimes(pow2250m1(a, &unused), 2), a));
  const Fe r2 = sq(r);
  if (!equal(r2, a)) {
    if (!equal(r2, normalise(sub(feConstant(0), a)))) return false;
    r = mul(r, sqrtMinusOne());
  }
  *root = r;
  return true;
}

constexpr int32_t CURVE_A = 486662;
constexpr int32_t A24 = 121665;  // (A - 2) / 4

// The v of the point with u-coordinate u whose v is odd.
bool liftFe(const Fe& u, Fe* v) {
  const Fe rhs = mul(u, add(mul(u, add(u, feConstant(CURVE_A))), feConstant(1)));
  Fe root;
  if (!squareRoot(normalise(rhs), &root)) return false;
  if (!isOdd(root)) root = normalise(sub(feConstant(0), root));
  *v = root;
  return true;
}

struct Projective {
  Fe x, z;
};

Projective doubled(const Projective& p) {
  const Fe a = sq(add(p.x, p.z));
  const Fe b = sq(sub(p.x, p.z));
  // e, a difference of two carried values, is within what mul takes.
  const Fe e = sub(a, b);
  return {mul(a, b), mul(e, add(a, mulSmall(e, A24)))};
}

// p + q, given the affine u-coordinate of p - q.
Projective sum(const Projective& p, const Projective& q, const Fe& uDifference) {
  const Fe da = mul(sub(q.x, q.z), add(p.x, p.z));
  const Fe cb = mul(add(q.x, q.z), sub(p.x, p.z));
  return {sq(add(da, cb)), mul(uDifference, sq(sub(da, cb)))};
}

// The same when p - q is the base point (u = 9): a small multiple instead
// of a product.
Projective sumWithBaseDifference(const Projective& p, const Projective& q) {
  const Fe da = mul(sub(q.x, q.z), add(p.x, p.z));
  const Fe cb = mul(add(q.x, q.z), sub(p.x, p.z));
  return {sq(add(da, cb)), mulSmall(sq(sub(da, cb)), 9)};
}

void conditionalSwap(Projective& a, Projective& b, int swap) {
  const int32_t mask = -static_cast<int32_t>(swap);
  for (int i = 0; i < 10; ++i) {
    const int32_t dx = (a.x.v[i] ^ b.x.v[i]) & mask;
    const int32_t dz = (a.z.v[i] ^ b.z.v[i]) & mask;
    a.x.v[i] ^= dx;
    b.x.v[i] ^= dx;
    a.z.v[i] ^= dz;
    b.z.v[i] ^= dz;
  }
}

Bytes32 affineU(const Projective& p) { return toBytes(mul(p.x, invert(p.z))); }

int bitOf(const Bytes32& k, int i) { return (k[i >> 3] >> (i & 7)) & 1; }

const Fe& baseU() {
  static const Fe u = feConstant(9);
  return u;
}

}  // namespace

bool liftOdd(const Bytes32& u, Bytes32* v) {
  Fe fv;
  if (!liftFe(fromBytes(u), &fv)) return false;
  *v = toBytes(fv);
  return true;
}

Bytes32 scalarMultBase(const Bytes32& k) {
  // (r0, r1) = ([n]B, [n+1]B): their difference is always B. The pair is
  // swapped by mask rather than by branch, as k is a signer's secret.
  Projective r0{feConstant(1), feConstant(0)};
  Projective r1{baseU(), feConstant(1)};
  int swapped = 0;
  for (int i = 255; i >= 0; --i) {
    const int bit = bitOf(k, i);
    conditionalSwap(r0, r1, swapped ^ bit);
    swapped = bit;
    r1 = sumWithBaseDifference(r0, r1);
    r0 = doubled(r0);
  }
  conditionalSwap(r0, r1, swapped);
  return affineU(r0);
}

bool jointScalarMult(const Bytes32& s, const Bytes32& q, const Bytes32& e, Bytes32* out) {
  // Affine Q (odd v) and B, then the u of Q + B and Q - B.
  const Fe uq = fromBytes(q);
  static const Fe vb = [] {
    Fe v;
    liftFe(baseU(), &v);
    return v;
  }();
  Fe vq;
  if (!liftFe(uq, &vq)) return false;
  const Fe inverseDu = invert(normalise(sub(uq, baseU())));
  auto chordU = [&](const Fe& vDifference) {
    const Fe lambda = mul(normalise(vDifference), inverseDu);
    return normalise(sub(sub(sq(lambda), feConstant(CURVE_A)), add(uq, baseU())));
  };
  const Fe uSum = chordU(sub(vq, vb));      // Q + B
  const Fe uDiff = chordU(add(vq, vb));     // Q - B = Q + (9, -vb)

  // p[i][j] = [a + i]Q + [b + j]B for the scalar prefixes a of s and b of e.
  Projective p[2][2] = {{{feConstant(1), feConstant(0)}, {baseU(), feConstant(1)}},
                        {{uq, feConstant(1)}, {uSum, feConstant(1)}}};
  for (int bit = 255; bit >= 0; --bit) {
    const int si = bitOf(s, bit), ei = bitOf(e, bit);
    Projective next[2][2];
    for (int di = 0; di < 2; ++di) {
      for (int dj = 0; dj < 2; ++dj) {
        // [2a + t]Q + [2b + w]B as the sum of two old points.
        const int t = si + di, w = ei + dj;
        if (t % 2 == 0 && w % 2 == 0) {
          next[di][dj] = doubled(p[t / 2][w / 2]);
        } else if (t == 1 && w == 1) {
          next[di][dj] = sum(p[1][0], p[0][1], uDiff);
        } else if (t == 1) {
          next[di][dj] = sum(p[1][w / 2], p[0][w / 2], uq);
        } else {
          next[di][dj] = sumWithBaseDifference(p[t / 2][1], p[t / 2][0]);
        }
      }
    }
    std::memcpy(p, next, sizeof p);
  }
  *out = affineU(p[0][0]);
  return true;
}

// ---------------------------------------------------------------------------
// Scalars modulo L, as eight 32-bit words. Slow and simple: only signing
// uses them.
namespace scalar {
namespace {

using Words = std::array<uint32_t, 9>;  // one spare word for carries

constexpr Bytes32 ORDER = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                           0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                           0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

Words toWords(const Bytes32& b) {
  Words w{};
  for (int i = 0; i < 32; ++i) w[i / 4] |= static_cast<uint32_t>(b[i]) << (8 * (i % 4));
  return w;
}

Bytes32 fromWords(const Words& w) {
  Bytes32 b;
  for (int i = 0; i < 32; ++i) b[i] = static_cast<uint8_t>(w[i / 4] >> (8 * (i % 4)));
  return b;
}

bool atLeast(const Words& a, const Words& b) {
  for (int i = 8; i >= 0; --i)
    if (a[i] != b[i]) return a[i] > b[i];
  return true;
}

void subtractInPlace(Words& a, const Words& b) {
  int64_t borrow = 0;
  for (int i = 0; i < 9; ++i) {
    const int64_t d = int64_t{a[i]} - b[i] - borrow;
    borrow = d < 0;
    a[i] = static_cast<uint32_t>(d);
  }
}

// The value of the little-endian words mod L, one bit at a time.
Bytes32 reduceWords(const uint32_t* words, int count) {
  const Words order = toWords(ORDER);
  Words r{};
  for (int bit = count * 32 - 1; bit >= 0; --bit) {
    uint32_t in = (words[bit / 32] >> (bit % 32)) & 1;
    for (int i = 0; i < 9; ++i) {
      const uint32_t out = r[i] >> 31;
      r[i] = (r[i] << 1) | in;
      in = out;
    }
    if (atLeast(r, order)) subtractInPlace(r, order);
  }
  return fromWords(r);
}

}  // namespace

Bytes32 reduce(const Bytes32& a) {
  const Words w = toWords(a);
  return reduceWords(w.data(), 8);
}

Bytes32 add(const Bytes32& a, const Bytes32& b) {
  const Words x = toWords(reduce(a)), y = toWords(reduce(b));
  uint32_t r[9];
  uint64_t c = 0;
  for (int i = 0; i < 9; ++i) {
    c += uint64_t{x[i]} + y[i];
    r[i] = static_cast<uint32_t>(c);
    c >>= 32;
  }
  return reduceWords(r, 9);
}

Bytes32 sub(const Bytes32& a, const Bytes32& b) {
  Words negated = toWords(ORDER);
  subtractInPlace(negated, toWords(reduce(b)));  // L - b, in (0, L]
  return add(a, fromWords(negated));
}

Bytes32 mul(const Bytes32& a, const Bytes32& b) {
  const Words x = toWords(a), y = toWords(b);
  uint32_t r[16] = {};
  for (int i = 0; i < 8; ++i) {
    uint64_t c = 0;
    for (int j = 0; j < 8; ++j) {
      c += uint64_t{x[i]} * y[j] + r[i + j];
      r[i + j] = static_cast<uint32_t>(c);
      c >>= 32;
    }
    r[i + 8] = static_cast<uint32_t>(c);
  }
  return reduceWords(r, 16);
}

Bytes32 invert(const Bytes32& a) {
  Words exponent = toWords(ORDER);
  Words two{};
  two[0] = 2;
  subtractInPlace(exponent, two);
  const Bytes32 e = fromWords(exponent);
  Bytes32 result{};
  result[0] = 1;
  const Bytes32 base = reduce(a);
  for (int bit = 252; bit >= 0; --bit) {
    result = mul(result, result);
    if (bitOf(e, bit)) result = mul(result, base);
  }
  return result;
}

bool isZero(const Bytes32& a) {
  const Bytes32 r = reduce(a);
  for (uint8_t b : r)
    if (b) return false;
  return true;
}

}  // namespace scalar
}  // namespace deployboot::curve25519
