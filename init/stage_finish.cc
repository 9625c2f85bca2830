// Stages 11 and 12: the marker files for the first boot, the
// post-installation program, and the final handshake with the server.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "init/console.h"
#include "init/driver.h"
#include "init/globals.h"
#include "init/kernel_modules.h"
#include "net/file_transfer.h"
#include "net/server_link.h"
#include "support/board.h"
#include "support/system_utils.h"

namespace deployboot {
namespace {

// The panic device's request 'P' 3 without data, as the board's (MIPS)
// kernel numbers it: there the no-data direction is bit 29.
constexpr unsigned long PANICS_REQUEST_INSTALLED = 0x20005003;

const char POSTINSTALL_SCRIPT[] = "/flash/etc/rc.d/rc.postinstall";

void writeMarkers(const InstallSession& s) {
  // Without any configuration the first boot resets to the defaults.
  if (!s.configWritten && !s.keepConfig) writeTextFile("/flash/rw/RESET", ". /vela/lib/reset/reset");
  const int fd = ::open("/flash/rw/REBOOT", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) ::close(fd);
}

void runPostInstallation() {
  struct stat st;
  if (stat(POSTINSTALL_SCRIPT, &st) == 0)
    spawnProgram("/flash", "/bin/bash", "-c", "/etc/rc.d/rc.postinstall");
  else
    spawnProgram("/flash", "/bin/kivo", "kivo");
}

}  // namespace

void stageMarkers(InstallSession& s) {
  writeMarkers(s);
  loadKernelModule("misc/panics.ko", "");
  const int panics = board::openDevice("/dev/panics", O_RDWR);
  if (panics < 0) {
    std::puts("open /dev/panics failed");
  } else {
    board::controlDevice(panics, PANICS_REQUEST_INSTALLED, nullptr);
    board::closeDevice(panics);
    runPostInstallation();
    sync();
    board::umount("/flash/boot");
    board::umount("/flash");
  }
  abortDisabled = 1;
  std::puts("");
  std::puts("Software installed.");
  std::puts("Press ENTER to reboot");
  std::fflush(stdout);
}

void stageHandshake(InstallSession& s) {
  if (NetInterface* iface = s.link->selectedInterface())
    waitForTermination(*iface, s.link->exchangeState, STDIN_FILENO);
}

}  // namespace deployboot
