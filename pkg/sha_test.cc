#include <string>

#include <gtest/gtest.h>

#include "pkg/sha1.h"
#include "pkg/sha256.h"

namespace deployboot {
namespace {

template <class Digest>
std::string hex(const Digest& d) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

struct Vector {
  std::string message;
  size_t repeat;
  const char* sha1;
  const char* sha256;
};

// FIPS 180 examples, plus lengths around the padding boundary (55, 56 and
// 64 bytes) where the length field moves to a second block.
const Vector VECTORS[] = {
    {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"a", 55, "c1c8bbdc22796e28c0e15163d20899b65621d65a",
     "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {"a", 56, "c2db330f6083854c99d4b5bfb6e8f29f201be699",
     "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {"a", 64, "0098ba824b5c16427bd7a1122a5a442a25ec644d",
     "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
};

TEST(ShaTest, KnownAnswersFedWholeAndInUnevenPieces) {
  for (const Vector& v : VECTORS) {
    std::string message;
    for (size_t i = 0; i < v.repeat; ++i) message += v.message;
    for (size_t piece : {message.size() + 1, size_t{1}, size_t{63}, size_t{65}, size_t{4096}}) {
      Sha1 sha1;
      Sha256 sha256;
      for (size_t at = 0; at < message.size(); at += piece) {
        const size_t n = std::min(piece, message.size() - at);
        sha1.update(message.data() + at, n);
        sha256.update(message.data() + at, n);
      }
      EXPECT_EQ(hex(sha1.finish()), v.sha1) << message.size() << " bytes in pieces of " << piece;
      EXPECT_EQ(hex(sha256.finish()), v.sha256) << message.size() << " bytes in pieces of " << piece;
    }
  }
}

TEST(ShaTest, FinishingStartsAFreshDigest) {
  Sha1 sha1;
  sha1.update("xyz", 3);
  sha1.finish();
  sha1.update("abc", 3);
  EXPECT_EQ(hex(sha1.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
  Sha256 sha256;
  sha256.update("xyz", 3);
  sha256.finish();
  sha256.update("abc", 3);
  EXPECT_EQ(hex(sha256.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace deployboot
