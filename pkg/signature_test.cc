#include "pkg/signature.h"

#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "pkg/package_fixtures.h"
#include "pkg/package_stream.h"
#include "pkg/package_writer.h"
#include "support/endian.h"

namespace deployboot {
namespace {

using fixtures::testKey;

// Walks a file as the installation does and checks each signature part.
std::vector<bool> verifyAll(const std::string& file, const uint8_t* key, bool hashing = true) {
  std::istringstream source(file);
  PackageStream s(source, hashing);
  for (int t : {1, 18, 20, 16, 3, 19, 17, 21, 4, 9}) s.wantPart(t);
  std::vector<bool> results;
  for (int type = s.nextPart(); type >= 0;) {
    if (type == PART_PACKAGE || type == PART_BUNDLE) {
      PackageRecord r;
      if (!parseHeader(s, r)) break;
      type = s.currentType();
      continue;
    }
    if (type == PART_SIGNATURE) results.push_back(verifySignature(s, key));
    type = s.nextPart();
  }
  return results;
}

std::string member(const std::string& name, size_t padding = 0) {
  std::string parts = partBytes(PART_PACKAGE, headerContent(name, 0x01006600, 1, 0));
  appendPart(parts, 77, "a part no reader wants");
  appendPart(parts, PART_FILES, fixtures::compressed({{0100644, "f", name, false}}));
  appendSignature(parts, 0, testKey(), fixtures::nonce(static_cast<uint8_t>(name.size())), padding);
  return parts;
}

struct Layout {
  std::string file;
  size_t bundleHeader, unknownPart, firstSignature, secondMember, secondSignature;
};

// A bundle of two members, the first with 10 bytes after its signature.
Layout bundleLayout() {
  Layout l;
  std::string parts = partBytes(PART_BUNDLE, headerContent("bundle", 0x02006600, 1, 0));
  appendPart(parts, PART_BUNDLE_MEMBERS, listContent({{"one", 0x01006600, 0x01006600, 0}, {"two", 0, 0, 0}}));
  const size_t firstAt = parts.size();
  parts += member("one", 10);
  const size_t secondAt = parts.size();
  parts += member("two");
  l.file = fixtures::fileOf(parts);
  l.bundleHeader = FILE_HEADER_SIZE + PART_HEADER_SIZE;
  l.unknownPart = FILE_HEADER_SIZE + firstAt + PART_HEADER_SIZE + 36 + PART_HEADER_SIZE;
  l.secondMember = FILE_HEADER_SIZE + secondAt;
  l.firstSignature = l.secondMember - 10 - SIGNATURE_SIZE;
  l.secondSignature = l.file.size() - SIGNATURE_SIZE;
  return l;
}

TEST(SignatureTest, SignedSpanOfEachMember) {
  const Layout l = bundleLayout();
  struct Case {
    const char* what;
    size_t offset;  // of the byte flipped; npos: none
    std::vector<bool> expected;
  } cases[] = {
      {"untouched", std::string::npos, {true, true}},
      {"a byte of the bundle's own header", l.bundleHeader + 3, {true, true}},
      {"a byte of a part no reader wants", l.unknownPart + 2, {false, true}},
      {"a byte after the first 68 of a signature", l.firstSignature + SIGNATURE_SIZE + 4, {true, true}},
      {"the stored digest", l.firstSignature + 5, {false, true}},
      {"r", l.firstSignature + 20, {false, true}},
      {"s", l.firstSignature + 40, {false, true}},
      {"the second member's header", l.secondMember + PART_HEADER_SIZE + 1, {true, false}},
      {"the second signature's part header", l.secondSignature - 2, {true, false}},
  };
  for (const Case& c : cases) {
    std::string file = l.file;
    if (c.offset != std::string::npos) file[c.offset] ^= 0x20;
    EXPECT_EQ(verifyAll(file, testKey().publicKey.data()), c.expected) << c.what;
  }
}

TEST(SignatureTest, RefusedWithoutHashingOrWithAnotherKey) {
  const std::string file = fixtures::fileOf(member("solo"));
  EXPECT_EQ(verifyAll(file, testKey().publicKey.data()), std::vector<bool>{true});
  EXPECT_EQ(verifyAll(file, testKey().publicKey.data(), false), std::vector<bool>{false});
  SigningKey other;
  curve25519::Bytes32 secret{};
  secret[0] = 99;
  ASSERT_TRUE(signingKeyFromSecret(secret, &other));
  EXPECT_EQ(verifyAll(file, other.publicKey.data()), std::vector<bool>{false});
}

TEST(SignatureTest, ShortSignaturePartFailsWithoutBeingRead) {
  std::string parts = member("solo");
  // Cut the signature to 67 bytes and fix its part length.
  parts.resize(parts.size() - 1);
  storeLe32(parts.data() + parts.size() - 67 - 4, 67);
  std::istringstream source(fixtures::fileOf(parts));
  PackageStream s(source, true);
  for (int t : {1, 9}) s.wantPart(t);
  ASSERT_EQ(s.nextPart(), PART_PACKAGE);
  ASSERT_EQ(s.nextPart(), PART_SIGNATURE);
  EXPECT_FALSE(verifySignature(s, testKey().publicKey.data()));
  EXPECT_EQ(s.position(), 0u);
}

TEST(SignatureTest, KeysAreNormalisedToTheOddLift) {
  // Whatever side the raw scalar lands on, the key pair signs verifiably,
  // and x and -x give the same key pair.
  for (uint8_t seed = 1; seed <= 6; ++seed) {
    curve25519::Bytes32 secret{};
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(seed * (i + 7));
    SigningKey a, b;
    ASSERT_TRUE(signingKeyFromSecret(secret, &a));
    ASSERT_TRUE(signingKeyFromSecret(curve25519::scalar::sub(curve25519::Bytes32{}, secret), &b));
    EXPECT_EQ(a.secret, b.secret);
    EXPECT_EQ(a.publicKey, b.publicKey);
    Sha1::Digest digest{};
    digest[0] = seed;
    uint8_t signature[SIGNATURE_SIZE];
    ASSERT_TRUE(signDigest(a, digest, fixtures::nonce(seed), signature));
    EXPECT_TRUE(checkSignature(digest, signature, a.publicKey.data()));
    digest[1] ^= 1;
    EXPECT_FALSE(checkSignature(digest, signature, a.publicKey.data()));
  }
  SigningKey unused;
  EXPECT_FALSE(signingKeyFromSecret(curve25519::Bytes32{}, &unused)) << "0 is no private scalar";
}

}  // namespace
}  // namespace deployboot
