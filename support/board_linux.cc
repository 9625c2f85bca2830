// The board seam on a real Linux kernel: each call is the system call.
#include "support/board.h"

#include <fcntl.h>
#include <linux/reboot.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static_assert(LINUX_REBOOT_CMD_RESTART == 0x01234567);

namespace deployboot::board {

int loadModule(const char*, const void* image, size_t size, const char* parameters) {
  return static_cast<int>(syscall(SYS_init_module, image, size, parameters));
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

int restart() { return ::reboot(LINUX_REBOOT_CMD_RESTART); }

}  // namespace deployboot::board
