// SHA-1 (FIPS 180-1), incremental. Finishing resets the context, so the
// next byte fed starts a new digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace deployboot {

class Sha1 {
 public:
  static constexpr size_t DIGEST_SIZE = 20;
  using Digest = std::array<uint8_t, DIGEST_SIZE>;

  Sha1() { reset(); }
  void reset();
  void update(const void* data, size_t n);
  Digest finish();

 private:
  void compress(const uint8_t block[64]);

  uint32_t h_[5];
  uint64_t length_;  // bytes fed
  uint8_t block_[64];
  size_t used_;
};

}  // namespace deployboot
