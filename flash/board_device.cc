#include "flash/board_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cstring>

#include "init/globals.h"
#include "support/board.h"

// The request numbers are the board's, encoded the MIPS way (direction
// bits 31-29: 1 none, 2 read, 4 write). The virtual board on other hosts
// answers the same numbers.
#if defined(__mips__)
static_assert(deployboot::FLASH_REQUEST_BOARD_NAME == _IOR('F', 5, char[32]));
static_assert(deployboot::FLASH_REQUEST_TAG == _IOWR('F', 38, uint32_t));
#endif
namespace {
constexpr unsigned long mipsRequest(unsigned direction, char type, unsigned number,
                                    unsigned size) {
  return (static_cast<unsigned long>(direction) << 29) | (size << 16) |
         (static_cast<unsigned>(type) << 8) | number;
}
}  // namespace
static_assert(deployboot::FLASH_REQUEST_BOARD_NAME == mipsRequest(2, 'F', 5, 32));
static_assert(deployboot::FLASH_REQUEST_TAG == mipsRequest(2 | 4, 'F', 38, 4));
static_assert(sizeof(deployboot::boardName) == 32);

namespace deployboot {
namespace {
const char FLASH_DEVICE[] = "/dev/flash";
}

void readBoardName() {
  if (boardName[0] != '\0') return;
  const int handle = board::openDevice(FLASH_DEVICE, O_RDWR | O_CLOEXEC);
  if (handle < 0) return;
  if (board::controlDevice(handle, FLASH_REQUEST_BOARD_NAME, boardName) < 0)
    std::memset(boardName, 0, sizeof boardName);
  board::closeDevice(handle);
  // A name that fills the whole field keeps its last byte as terminator.
  boardName[sizeof boardName - 1] = '\0';
}

uint32_t readHardwareTag(uint32_t tag) {
  const int handle = board::openDevice(FLASH_DEVICE, O_RDWR | O_CLOEXEC);
  if (handle < 0) return 0;
  HardwareTagRequest request{4, static_cast<uint16_t>(tag), 0};
  const int result = board::controlDevice(handle, FLASH_REQUEST_TAG, &request);
  board::closeDevice(handle);
  return result < 0 ? 0 : request.value;
}

}  // namespace deployboot
