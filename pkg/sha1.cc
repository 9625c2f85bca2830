#include "pkg/sha1.h"

#include <cstring>

namespace deployboot {
namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t loadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

void Sha1::reset() {
  h_[0] = 0x67452301;
  h_[1] = 0xEFCDAB89;
  h_[2] = 0x98BADCFE;
  h_[3] = 0x10325476;
  h_[4] = 0xC3D2E1F0;
  length_ = 0;
  used_ = 0;
}

void Sha1::compress(const uint8_t block[64]) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = loadBe32(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = t;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
  h_[4] += e;
}

void Sha1::update(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  length_ += n;
  if (used_ > 0) {
    const size_t take = n < 64 - used_ ? n : 64 - used_;
    std::memcpy(block_ + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
    if (used_ < 64) return;
    compress(block_);
    used_ = 0;
  }
  for (; n >= 64; p += 64, n -= 64) compress(p);
  std::memcpy(block_, p, n);
  used_ = n;
}

Sha1::Digest Sha1::finish() {
  const uint64_t bits = length_ * 8;
  const uint8_t pad = 0x80;
  update(&pad, 1);
  const uint8_t zero[64] = {};
  update(zero, (used_ <= 56 ? 56 : 120) - used_);
  uint8_t tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  update(tail, 8);
  Digest out;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
  reset();
  return out;
}

}  // namespace deployboot
