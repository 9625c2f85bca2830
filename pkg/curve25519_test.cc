#include "pkg/curve25519.h"

#include <string>

#include <gtest/gtest.h>

namespace deployboot::curve25519 {
namespace {

Bytes32 fromHex(const std::string& hex) {
  Bytes32 out{};
  for (size_t i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

Bytes32 clamp(Bytes32 k) {
  k[0] &= 248;
  k[31] = static_cast<uint8_t>((k[31] & 127) | 64);
  return k;
}

Bytes32 small(uint8_t v) {
  Bytes32 out{};
  out[0] = v;
  return out;
}

// RFC 7748, section 6.1: the two parties' public keys are [k]B of their
// clamped private keys.
TEST(Curve25519Test, BaseMultiplicationMatchesRfc7748) {
  struct Case {
    const char* scalar;
    const char* u;
  } cases[] = {
      {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
      {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
  };
  for (const Case& c : cases) EXPECT_EQ(scalarMultBase(clamp(fromHex(c.scalar))), fromHex(c.u)) << c.scalar;
  EXPECT_EQ(scalarMultBase(small(1)), small(9));
}

TEST(Curve25519Test, LiftOfTheBasePointIsTheRfcOddV) {
  Bytes32 v;
  ASSERT_TRUE(liftOdd(small(9), &v));
  // 14781619447589544791020593568409986887264606134616475288964881837755586237401
  EXPECT_EQ(v, fromHex("d9d3ce7ea2c5e929b2617c6d7e4d3d924cd148772cdd1ee0b486a0b8a119ae20"));
  // u = 2 gives u^3 + A u^2 + u = 1946658, not a square modulo p.
  EXPECT_FALSE(liftOdd(small(2), &v));
}

TEST(Curve25519Test, JointLadderAgreesWithSingleLadders) {
  const Bytes32 x = scalar::reduce(fromHex("1f2e3d4c5b6a798897a6b5c4d3e2f10112233445566778899aabbccddeeff00a"));
  const Bytes32 q = scalarMultBase(x);
  Bytes32 v;
  ASSERT_TRUE(liftOdd(q, &v));
  const Bytes32 s = fromHex("0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f00");
  const Bytes32 e = clamp(fromHex("a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f10"));

  // s = 0: only the base point term remains.
  Bytes32 w;
  ASSERT_TRUE(jointScalarMult(Bytes32{}, q, e, &w));
  EXPECT_EQ(w, scalarMultBase(e));
  // [s]Q + [e]B is [s x + e]B when Q was lifted to [x]B, else [-s x + e]B;
  // u alone cannot tell the two lifts apart, so two sums must agree on one.
  auto side = [&](const Bytes32& sk, const Bytes32& ek) {
    Bytes32 joint;
    EXPECT_TRUE(jointScalarMult(sk, q, ek, &joint));
    const Bytes32 sx = scalar::mul(sk, x);
    const bool plus = joint == scalarMultBase(scalar::add(sx, ek));
    const bool minus = joint == scalarMultBase(scalar::sub(ek, sx));
    EXPECT_NE(plus, minus) << "exactly one lift must match";
    return plus;
  };
  const Bytes32 s2 = fromHex("99887766554433221100ffeeddccbbaa99887766554433221100ffeeddccbb0a");
  const Bytes32 e2 = clamp(fromHex("00112233445566778899aabbccddeeff00112233445566778899aabbccddee7f"));
  EXPECT_EQ(side(s, e), side(s2, e2));
  // A u-coordinate that is no curve point is refused.
  EXPECT_FALSE(jointScalarMult(s, small(2), e, &w));
}

// Many scalars drive the limbs through many values: the field code's bounds
// must hold for all of them, not only for the vectors above. The lift of Q
// is the same for every pair, so every sum must agree on one sign.
TEST(Curve25519Test, JointLadderAgreesWithSingleLaddersOnManyScalars) {
  uint64_t seed = 0x9e3779b97f4a7c15ull;
  auto randomScalar = [&seed] {
    Bytes32 out;
    for (uint8_t& byte : out) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      byte = static_cast<uint8_t>(seed >> 56);
    }
    return out;
  };
  const Bytes32 x = scalar::reduce(randomScalar());
  const Bytes32 q = scalarMultBase(x);
  int plusCount = 0;
  constexpr int CASES = 48;
  for (int i = 0; i < CASES; ++i) {
    const Bytes32 s = scalar::reduce(randomScalar());
    const Bytes32 e = scalar::reduce(randomScalar());
    Bytes32 joint;
    ASSERT_TRUE(jointScalarMult(s, q, e, &joint));
    const Bytes32 sx = scalar::mul(s, x);
    const bool plus = joint == scalarMultBase(scalar::add(sx, e));
    const bool minus = joint == scalarMultBase(scalar::sub(e, sx));
    ASSERT_TRUE(plus != minus) << "case " << i;
    plusCount += plus;
  }
  EXPECT_TRUE(plusCount == 0 || plusCount == CASES) << plusCount;
}

TEST(Curve25519Test, ScalarArithmeticModuloTheGroupOrder) {
  const Bytes32 order = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  EXPECT_TRUE(scalar::isZero(order));
  Bytes32 orderMinusOne = order;
  orderMinusOne[0] -= 1;
  EXPECT_EQ(scalar::mul(orderMinusOne, orderMinusOne), small(1));  // (-1)^2
  EXPECT_EQ(scalar::add(orderMinusOne, small(3)), small(2));
  EXPECT_EQ(scalar::sub(small(2), small(3)), orderMinusOne);
  const Bytes32 a = fromHex("ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100");
  EXPECT_EQ(scalar::mul(scalar::invert(a), a), small(1));
  // [L]B is the neutral element, whose u-coordinate encodes as 0.
  EXPECT_EQ(scalarMultBase(order), Bytes32{});
}

}  // namespace
}  // namespace deployboot::curve25519
