// The board's identity device "/dev/flash", read through the board seam.
// Nothing is ever written to it.
#pragma once

#include <cstdint>

namespace deployboot {

// Tag 37: the lowest system version the board accepts, a Version.
inline constexpr uint16_t HARDWARE_TAG_MIN_VERSION = 37;

// The device's control requests (type 'F').
inline constexpr unsigned long FLASH_REQUEST_BOARD_NAME = 0x40204605;  // read 32 bytes, nr 5
inline constexpr unsigned long FLASH_REQUEST_TAG = 0xC0044626;         // read/write, nr 38

// The record of a tag request, in the processor's byte order.
struct HardwareTagRequest {
  uint16_t length;  // always 4
  uint16_t tag;
  uint32_t value;   // filled by the device
};
static_assert(sizeof(HardwareTagRequest) == 8);

// Fills boardName from the device unless it already holds a name. A missing
// device or a refused request leaves it empty; nothing is reported.
void readBoardName();

// The value of hardware tag `tag`; 0 when the device is missing or refuses.
uint32_t readHardwareTag(uint32_t tag);

}  // namespace deployboot
