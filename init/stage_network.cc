// Stages 2, 4 and 9: interfaces, discovery, start of the transfer.
// (Placeholder until the network subsystem lands: no interfaces.)
#include <cstdio>

#include "init/driver.h"

namespace deployboot {

bool stageNetworkInterfaces(InstallSession&) {
  std::printf("\nFATAL ERROR: no network card found\n");
  return false;
}
void stageFindServer(InstallSession&) {}
bool stageStartTransfer(InstallSession&) { return false; }
void releaseNetwork(InstallSession&) {}

}  // namespace deployboot
