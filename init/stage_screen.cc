// Stage 1: the welcome screen and the front panel.
#include <unistd.h>

#include <cstdio>

#include "init/console.h"
#include "init/driver.h"
#include "init/globals.h"

namespace deployboot {
namespace {
const char PRODUCT_EDITION[] = "remote installation";
const char PRODUCT_VERSION[] = "6.47";
const char PANEL_TEXT[] = "deployboot";
}  // namespace

bool stageScreen(InstallSession&) {
  setInstallerTerminalMode(terminalState);
  std::fputs("\e[?25l", stdout);
  std::fputs("\e[2J\e[H", stdout);
  std::printf("Welcome to Kestrova Router Software %s %s\n", PRODUCT_EDITION, PRODUCT_VERSION);
  std::puts("Press Ctrl-Alt-Delete to abort");
  std::fflush(stdout);
  if (lcdHandle != -1) {
    const ssize_t ignored = ::write(lcdHandle, PANEL_TEXT, sizeof PANEL_TEXT - 1);
    (void)ignored;
  }
  return true;
}

}  // namespace deployboot
