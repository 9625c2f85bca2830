// The board side of a lab run: the ramdisk tree, the board's namespaces
// and the flash summary after the board has rebooted.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "lab/vboard/board_file.h"

namespace deployboot::lab {

struct BoardPaths {
  std::string ramdisk;      // the board's root directory
  std::string boardDir;     // board.conf, board.log, state, stores
  std::string summaryFile;  // written by the board launcher at the end
  std::string linkPrefix;   // host names of the board's veth ends + N
  bool keepStores = false;  // save the stores into boardDir/saved
};

// Builds the ramdisk: /init (the installer on the virtual board),
// /sbin/nandfix, the module files, the mount points.
bool buildRamdisk(const std::string& root, const std::string& installer,
                  const std::string& nandfix, std::string* error);

// Prepares the board directory: board.conf, one store directory per
// partition. Keeps the state of a board used before.
bool prepareBoardDirectory(const std::string& dir, const std::string& boardText,
                           const vboard::BoardSpec& spec, std::string* error);

// Body of the board launcher process, which has already unshared its
// mount, network, PID, UTS and IPC namespaces: mounts the stores, brings
// the links up, starts the installer as PID 1 on the terminal `ttyPath`,
// reports its host pid on `reportFd`, waits for it and writes the summary.
[[noreturn]] void runBoardLauncher(const BoardPaths& paths, const vboard::BoardSpec& spec,
                                   const std::string& ttyPath, int reportFd);

}  // namespace deployboot::lab
