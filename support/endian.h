// Little-endian field access for wire and file formats. Every field goes
// through memcpy so that unaligned offsets never fault on MIPS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace deployboot {

inline uint16_t loadLe16(const void* p) {
  uint8_t b[2];
  std::memcpy(b, p, 2);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t loadLe32(const void* p) {
  uint8_t b[4];
  std::memcpy(b, p, 4);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

inline uint64_t loadLe64(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint64_t>(loadLe32(b)) | (static_cast<uint64_t>(loadLe32(b + 4)) << 32);
}

inline void storeLe16(void* p, uint16_t v) {
  const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  std::memcpy(p, b, 2);
}

inline void storeLe32(void* p, uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  std::memcpy(p, b, 4);
}

inline void storeLe64(void* p, uint64_t v) {
  auto* b = static_cast<uint8_t*>(p);
  storeLe32(b, static_cast<uint32_t>(v));
  storeLe32(b + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace deployboot
