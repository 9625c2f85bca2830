#include "pkg/signature.h"

#include <cstring>

#include "pkg/package_stream.h"
#include "pkg/sha256.h"
#include "verification_key.h"

namespace deployboot {
namespace {

using curve25519::Bytes32;

constexpr size_t DIGEST_OFFSET = 0;
constexpr size_t R_OFFSET = 20;
constexpr size_t R_SIZE = 16;
constexpr size_t S_OFFSET = 36;

// The scalar e the verifier forms from the digest and r.
Bytes32 challenge(const Sha1::Digest& digest, const uint8_t r[R_SIZE]) {
  Bytes32 e = Sha256::of(digest.data(), digest.size());
  for (size_t i = 0; i < R_SIZE; ++i) e[8 + i] ^= r[i];
  e[0] &= 0xF8;
  e[31] = static_cast<uint8_t>((e[31] & 0x7F) | 0x40);
  return e;
}

bool commitmentMatches(const Bytes32& u, const uint8_t r[R_SIZE]) {
  const Sha256::Digest h = Sha256::of(u.data(), u.size());
  return std::memcmp(h.data(), r, R_SIZE) == 0;
}

}  // namespace

bool checkSignature(const Sha1::Digest& digest, const uint8_t signature[SIGNATURE_SIZE],
                    const uint8_t key[32]) {
  if (std::memcmp(signature + DIGEST_OFFSET, digest.data(), digest.size()) != 0) return false;
  const uint8_t* r = signature + R_OFFSET;
  Bytes32 s, q;
  std::memcpy(s.data(), signature + S_OFFSET, s.size());
  std::memcpy(q.data(), key, q.size());
  Bytes32 w;
  if (!curve25519::jointScalarMult(s, q, challenge(digest, r), &w)) return false;
  return commitmentMatches(w, r);
}

bool verifySignature(PackageStream& stream, const uint8_t key[32]) {
  if (!stream.hashing()) return false;
  PartBuffer& buffer = stream.partBuffer();
  const Sha1::Digest digest = buffer.finishDigest();
  if (buffer.remaining() < SIGNATURE_SIZE) return false;
  uint8_t signature[SIGNATURE_SIZE];
  if (!buffer.readUnhashed(signature, sizeof signature)) return false;
  return checkSignature(digest, signature, key);
}

bool verifySignature(PackageStream& stream) {
  if (!kHaveVerificationKey) return false;
  return verifySignature(stream, kVerificationKey);
}

bool signingKeyFromSecret(const Bytes32& secret, SigningKey* key) {
  Bytes32 x = curve25519::scalar::reduce(secret);
  if (curve25519::scalar::isZero(x)) return false;
  key->secret = x;
  key->publicKey = curve25519::scalarMultBase(x);
  // The verifier lifts the key to the point with odd v: x must be the
  // scalar of that point, else -x is. A trial signature tells which.
  const Sha1::Digest probe{};
  const Bytes32 nonce = Sha256::of(x.data(), x.size());
  uint8_t signature[SIGNATURE_SIZE];
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (signDigest(*key, probe, nonce, signature)) return true;
    key->secret = curve25519::scalar::sub(Bytes32{}, key->secret);
  }
  return false;
}

bool makeSigningKey(const Bytes32& random, SigningKey* key) { return signingKeyFromSecret(random, key); }

bool signDigest(const SigningKey& key, const Sha1::Digest& digest, const Bytes32& nonce,
                uint8_t signature[SIGNATURE_SIZE]) {
  namespace sc = curve25519::scalar;
  const Bytes32 k = sc::reduce(nonce);
  if (sc::isZero(k)) return false;
  const Bytes32 commitment = curve25519::scalarMultBase(k);
  uint8_t r[R_SIZE];
  std::memcpy(r, Sha256::of(commitment.data(), commitment.size()).data(), R_SIZE);
  // [s]Q + [e]B = [(k - e) / x][x]B + [e]B = [k]B.
  const Bytes32 s = sc::mul(sc::sub(k, challenge(digest, r)), sc::invert(key.secret));
  std::memcpy(signature + DIGEST_OFFSET, digest.data(), digest.size());
  std::memcpy(signature + R_OFFSET, r, R_SIZE);
  std::memcpy(signature + S_OFFSET, s.data(), s.size());
  return checkSignature(digest, signature, key.publicKey.data());
}

}  // namespace deployboot
