// The seam between the installer and the kernel facilities that a board
// provides. Two implementations exist and a program links exactly one:
// board_linux.cc (the real system calls: the production `deployboot`) and
// lab/vboard (the virtual board of the lab: `deployboot-vboard`).
//
// Nothing outside these implementations may call init_module, mount,
// umount, mknod, reboot, or issue control requests on the board's devices
// (/dev/flash, /dev/ubi_ctrl, /dev/ubiN, /dev/mtd0, /dev/panics). Every
// call answers like the system call it stands for: 0 or a descriptor on
// success, -1 with errno set on failure.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace deployboot::board {

// init_module with an image already in memory; `path` is the module's path
// relative to the module directory, for the virtual board's log.
int loadModule(const char* path, const void* image, size_t size, const char* parameters);

int mount(const char* source, const char* target, const char* type, unsigned long flags,
          const void* data);
int umount(const char* target);
int makeNode(const char* path, mode_t mode, dev_t device);

// Board devices are opened, controlled and closed only through these.
int openDevice(const char* path, int flags);
int controlDevice(int handle, unsigned long request, void* argument);
int closeDevice(int handle);

// reboot(LINUX_REBOOT_CMD_RESTART). Does not return when it succeeds.
int restart();

}  // namespace deployboot::board
