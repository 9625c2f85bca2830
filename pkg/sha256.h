// SHA-256 (FIPS 180-4), incremental. Also the signature hash of packages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pkg/block_hash.h"

namespace deployboot {

struct Sha256Rounds {
  static constexpr size_t WORDS = 8;
  static const uint32_t INITIAL[WORDS];
  static void compress(uint32_t state[WORDS], const uint8_t block[64]);
};

using Sha256 = BlockHash<Sha256Rounds>;

}  // namespace deployboot
