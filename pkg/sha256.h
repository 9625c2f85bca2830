// SHA-256 (FIPS 180-4), incremental. Also the signature hash of packages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace deployboot {

class Sha256 {
 public:
  static constexpr size_t DIGEST_SIZE = 32;
  using Digest = std::array<uint8_t, DIGEST_SIZE>;

  Sha256() { reset(); }
  void reset();
  void update(const void* data, size_t n);
  Digest finish();

  static Digest of(const void* data, size_t n);

 private:
  void compress(const uint8_t block[64]);

  uint32_t h_[8];
  uint64_t length_;
  uint8_t block_[64];
  size_t used_;
};

}  // namespace deployboot
