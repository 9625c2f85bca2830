// SHA-1 (FIPS 180-1), incremental. Finishing resets the context, so the
// next byte fed starts a new digest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pkg/block_hash.h"

namespace deployboot {

struct Sha1Rounds {
  static constexpr size_t WORDS = 5;
  static const uint32_t INITIAL[WORDS];
  static void compress(uint32_t state[WORDS], const uint8_t block[64]);
};

using Sha1 = BlockHash<Sha1Rounds>;

}  // namespace deployboot
