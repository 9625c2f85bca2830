#include "flash/board_device.h"
#include "net/discovery.h"
#include "pkg/version.h"

namespace deployboot {

std::string minimumSystemVersionText() {
  // 0: the device cannot tell.
  const Version minimum = readHardwareTag(HARDWARE_TAG_MIN_VERSION);
  return minimum == 0 ? "0.0" : formatVersion(minimum);
}

}  // namespace deployboot
