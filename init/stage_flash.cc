// Stages 5 to 8: the old file system, formatting, the new file system.
#include <cstdio>

#include "flash/flash_layout.h"
#include "init/command_line.h"
#include "init/driver.h"
#include "support/board.h"

namespace deployboot {

bool stageReadOldFileSystem(InstallSession& s) {
  if (!mountFlash(false)) {
    if (s.keepConfig) std::puts("WARNING: couldn't keep config - couldn't mount file system");
    return false;
  }
  if (s.keepConfig) readOldConfiguration(s);
  return true;
}

void stageReleaseOldFileSystem(InstallSession&) {
  board::umount("/flash/boot");
  board::umount("/flash");
  if (kernelCommandLineHas("ubifs_support")) {
    detachUbi(0);
    detachUbi(1);
  }
}

bool stageFormat(InstallSession&) {
  if (formatFlash()) return true;
  std::puts("ERROR: could not format partitions");
  return false;
}

int stageNewFileSystem(InstallSession& s) {
  const int result = mountFlash(true);
  if (result == 0) {
    std::puts("ERROR: could not mount filesystem");
    return 0;
  }
  createBaseDirectories();
  writeBackConfiguration(s);
  std::puts("");
  return result;
}

}  // namespace deployboot
