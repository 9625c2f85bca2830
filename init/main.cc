// The installer: the first process of the installation ramdisk.
#include <cstdio>
#include <cstring>

#include "init/startup.h"

namespace {

// The kernel hands init only its unknown command-line words, never these;
// answering them keeps a mistaken run on a workstation from going on to
// format flash and restart the machine.
bool asksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (asksForHelp(argc, argv)) {
    std::fputs(
        "deployboot: the network installer, the /init of an installation ramdisk.\n"
        "It takes no options: started by the kernel, it finds an installation server\n"
        "on the Ethernet, erases and re-creates the flash, installs what the server\n"
        "sends and restarts the machine. Do not run it on a workstation; the lab\n"
        "(deploylab run) runs it on a virtual board.\n",
        stdout);
    return 0;
  }
  return deployboot::runStartup(argc, argv);
}
