// Stages 2, 4 and 9: the interfaces, finding the server, starting the
// transfer; and releasing the link on the way out.
#include <cstdio>

#include "init/driver.h"
#include "net/discovery.h"
#include "net/file_transfer.h"
#include "net/interfaces.h"
#include "net/server_link.h"

namespace deployboot {
namespace {

// The two free-form lines of the discovery request: who asks, and which
// release of it.
const char DISCOVERY_CLIENT[] = "deployboot";
const char DISCOVERY_RELEASE[] = "6.47";

}  // namespace

bool stageNetworkInterfaces(InstallSession& s) {
  s.link = new ServerLink;
  if (!openInterfaces(*s.link)) {
    std::puts("\nFATAL ERROR: no network card found");
    return false;
  }
  std::puts("");
  for (const auto& iface : s.link->interfaces)
    std::printf("mac-address: %s\n", formatMac(iface->mac).c_str());
  std::puts("");
  std::fflush(stdout);
  return true;
}

void stageFindServer(InstallSession& s) {
  std::puts("");
  std::puts("Waiting for installation server...");
  std::fflush(stdout);
  discoverServer(*s.link, s.architecture, DISCOVERY_CLIENT, DISCOVERY_RELEASE, s.boardShortName,
                 s.offerText, &s.keepConfig);
  std::printf("Found server at %s\n", formatMac(s.link->exchangeState.peerMac).c_str());
  std::puts("");
  std::fflush(stdout);
}

bool stageStartTransfer(InstallSession& s) {
  if (!startTransfer(*s.link)) {
    std::puts("\nFATAL ERROR: server refused to install");
    return false;
  }
  return true;
}

void releaseNetwork(InstallSession& s) {
  delete s.link;  // closes every interface and frees the download
  s.link = nullptr;
}

}  // namespace deployboot
