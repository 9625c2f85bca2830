// Curve25519 (v^2 = u^3 + 486662 u^2 + u over 2^255 - 19) as far as the
// package signature needs it. Points travel as 32-byte little-endian
// u-coordinates; scalars as 32-byte little-endian integers, used unclamped.
#pragma once

#include <array>
#include <cstdint>

namespace deployboot::curve25519 {

using Bytes32 = std::array<uint8_t, 32>;

// u([s]Q + [e]B), where B is the base point (u = 9, odd v) and Q is lifted
// from its u-coordinate to the point with odd v. False when q is not the
// u-coordinate of a curve point.
bool jointScalarMult(const Bytes32& s, const Bytes32& q, const Bytes32& e, Bytes32* out);

// u([k]B).
Bytes32 scalarMultBase(const Bytes32& k);

// The v-coordinate (fully reduced) of the point with u-coordinate u whose v
// is odd. False when u is not on the curve.
bool liftOdd(const Bytes32& u, Bytes32* v);

// Arithmetic modulo the group order L = 2^252 + 27742317777372353535851937790883648493.
namespace scalar {
Bytes32 reduce(const Bytes32& a);            // a mod L
Bytes32 add(const Bytes32& a, const Bytes32& b);
Bytes32 sub(const Bytes32& a, const Bytes32& b);
Bytes32 mul(const Bytes32& a, const Bytes32& b);
Bytes32 invert(const Bytes32& a);            // a^(L-2) mod L
bool isZero(const Bytes32& a);
}  // namespace scalar

}  // namespace deployboot::curve25519
