// File contents for the package benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace deployboot::bench {

// Half incompressible, half text-like, so that inflating costs something.
inline std::string contentOf(uint64_t seed, size_t size) {
  std::string out(size, '\0');
  uint64_t x = seed * 6364136223846793005ull + 1442695040888963407ull;
  for (size_t i = 0; i < size; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    out[i] = i < size / 2 ? static_cast<char>(x >> 56) : "abcdefgh \n"[(x >> 60) % 10];
  }
  return out;
}

}  // namespace deployboot::bench
