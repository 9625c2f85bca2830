// The 64-byte block buffering and length padding that SHA-1 and SHA-256
// share; `Rounds` brings the initial state and the compression function.
// Finishing resets the context, so the next byte fed starts a new digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace deployboot {

template <typename Rounds>
class BlockHash {
 public:
  static constexpr size_t WORDS = Rounds::WORDS;
  static constexpr size_t DIGEST_SIZE = 4 * WORDS;
  using Digest = std::array<uint8_t, DIGEST_SIZE>;

  BlockHash() { reset(); }

  void reset() {
    std::memcpy(h_, Rounds::INITIAL, sizeof h_);
    length_ = 0;
    used_ = 0;
  }

  void update(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    length_ += n;
    if (used_ > 0) {
      const size_t take = n < 64 - used_ ? n : 64 - used_;
      std::memcpy(block_ + used_, p, take);
      used_ += take;
      p += take;
      n -= take;
      if (used_ < 64) return;
      Rounds::compress(h_, block_);
      used_ = 0;
    }
    for (; n >= 64; p += 64, n -= 64) Rounds::compress(h_, p);
    std::memcpy(block_, p, n);
    used_ = n;
  }

  Digest finish() {
    const uint64_t bits = length_ * 8;
    const uint8_t pad = 0x80;
    update(&pad, 1);
    const uint8_t zero[64] = {};
    update(zero, (used_ <= 56 ? 56 : 120) - used_);
    uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    update(tail, 8);
    Digest out;
    for (size_t i = 0; i < WORDS; ++i)
      for (size_t j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    reset();
    return out;
  }

  static Digest of(const void* data, size_t n) {
    BlockHash hash;
    hash.update(data, n);
    return hash.finish();
  }

 private:
  uint32_t h_[WORDS];
  uint64_t length_;  // bytes fed
  uint8_t block_[64];
  size_t used_;
};

// Big-endian word of a message block.
inline uint32_t loadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace deployboot
