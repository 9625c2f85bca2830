// The signature check of a package and its signing counterpart.
#pragma once

#include <array>
#include <cstdint>

#include "pkg/curve25519.h"
#include "pkg/sha1.h"

namespace deployboot {

class PackageStream;

// Checks the signature part the stream stands on against the running
// digest and the verification key built into the installer. Reads the
// first 68 bytes of the part (unhashed). False when hashing is off, the part
// is shorter than 68 bytes, the digest differs or the curve check fails.
bool verifySignature(PackageStream& stream);
// The same against a given 32-byte verification key.
bool verifySignature(PackageStream& stream, const uint8_t key[32]);

// The check of the 68-byte signature content alone, for a known digest.
bool checkSignature(const Sha1::Digest& digest, const uint8_t signature[68], const uint8_t key[32]);

// A key pair: the private scalar x, normalised so that [x]B has an odd
// v-coordinate, and the verification key u([x]B).
struct SigningKey {
  curve25519::Bytes32 secret;
  curve25519::Bytes32 publicKey;
};

// Makes a key pair from 32 random bytes.
bool makeSigningKey(const curve25519::Bytes32& random, SigningKey* key);
// Completes a key from its private scalar (normalising it). False for a
// scalar that is 0 modulo the group order.
bool signingKeyFromSecret(const curve25519::Bytes32& secret, SigningKey* key);

// The 68-byte signature content for digest, with nonce k (fresh random bytes,
// reduced modulo the group order). False when k is unusable; take another.
bool signDigest(const SigningKey& key, const Sha1::Digest& digest, const curve25519::Bytes32& k,
                uint8_t signature[68]);

}  // namespace deployboot
