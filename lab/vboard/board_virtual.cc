// The board seam on the lab's virtual board: kernel facilities are recorded
// in the board log (and, where the lab needs them, emulated) instead of
// reaching the host kernel.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/board.h"

namespace deployboot::board {
namespace {

// The board directory: where the lab keeps this board's state and log.
std::string boardDirectory() {
  const char* dir = std::getenv("DEPLOYBOOT_VBOARD");
  return dir && *dir ? dir : "/vboard";
}

void logLine(const std::string& line) {
  const std::string path = boardDirectory() + "/board.log";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::close(fd);
}

}  // namespace

int loadModule(const char* path, const void*, size_t size, const char* parameters) {
  logLine("module " + std::string(path) + " size=" + std::to_string(size) + " params=" +
          (parameters ? parameters : ""));
  return 0;
}

int mount(const char* source, const char* target, const char* type, unsigned long flags,
          const void* data) {
  return ::mount(source, target, type, flags, data);
}

int umount(const char* target) { return ::umount(target); }

int makeNode(const char* path, mode_t mode, dev_t device) { return ::mknod(path, mode, device); }

int openDevice(const char* path, int flags) { return ::open(path, flags); }

int controlDevice(int handle, unsigned long request, void* argument) {
  return ::ioctl(handle, request, argument);
}

int closeDevice(int handle) { return ::close(handle); }

int restart() {
  logLine("reboot");
  // The board is switched off: the process ends as a successful reboot would.
  _exit(0);
}

}  // namespace deployboot::board
