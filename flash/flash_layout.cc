#include "flash/flash_layout.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "init/command_line.h"
#include "init/console.h"
#include "support/board.h"

namespace deployboot {
namespace {

constexpr unsigned long YAFFS_FLAGS = MS_NOATIME | MS_NODIRATIME;
static_assert(YAFFS_FLAGS == 0xC00);
constexpr mode_t NODE_MODE = S_IFBLK | 0777;
static_assert(NODE_MODE == 0x61FF);

bool ubiBoard() { return kernelCommandLineHas("ubifs_support"); }
bool noNand() { return kernelCommandLineHas("no-nand"); }

void makeBlockNode(const char* path, int mtd) {
  board::makeNode(path, NODE_MODE, makedev(MTD_BLOCK_MAJOR, static_cast<unsigned>(mtd)));
}

int mountYaffs(const char* device, const char* target) {
  return board::mount(device, target, "yaffs", YAFFS_FLAGS, nullptr);
}

// Tells yaffs not to write checkpoints; absent on kernels without yaffs.
void disableYaffsCheckpoints() {
  int fd = ::open("/proc/yaffs", O_WRONLY);
  if (fd < 0) return;
  ssize_t ignored = ::write(fd, "disable_cp", 10);
  (void)ignored;
  ::close(fd);
}

int mountUbiFlash(int p, bool withBoot) {
  attachUbi(2 * p, 0);
  attachUbi(2 * p + 1, 1);
  if (board::mount("ubi1:Zentrail", "/flash", "ubifs", 0, nullptr) != 0) {
    detachUbi(0);
    detachUbi(1);
    return 0;
  }
  if (!withBoot) return 1;
  ::mkdir("/flash/boot", 0755);
  if (board::mount("ubi0:Kernel", "/flash/boot", "ubifs", 0, "compr=none") == 0) return 1;
  board::umount("/flash");
  detachUbi(0);
  detachUbi(1);
  return 0;
}

int mountNandFlash(int p, bool withBoot) {
  makeBlockNode("/dev/mtdBoot", 2 * p);
  if (!noNand()) {
    makeBlockNode("/dev/mtdRoot", 2 * p + 1);
    if (mountYaffs("/dev/mtdRoot", "/flash") == 0) {
      if (!withBoot) return 1;
      ::mkdir("/flash/boot", 0755);
      if (mountYaffs("/dev/mtdBoot", "/flash/boot") != 0) {
        board::umount("/flash");
        return 0;
      }
      disableYaffsCheckpoints();
      return 1;
    }
  }
  // A single partition, or a pair whose system side does not mount: the
  // boot partition carries the whole file system.
  if (mountYaffs("/dev/mtdBoot", "/flash") == 0) return 1;
  board::umount("/flash");
  return 0;
}

bool runNandfix(const char* argument) {
  return spawnProgram(nullptr, "/sbin/nandfix", argument) == 0;
}

bool formatUbi() {
  const int p = activePartition();
  if (!runNandfix("-ea")) return false;
  if (attachUbi(2 * p, 0) == -1) return false;
  const int kernel = createUbiVolume(0, "Kernel");
  detachUbi(0);
  if (kernel == -1) return false;
  if (attachUbi(2 * p + 1, 1) == -1) return false;
  const int system = createUbiVolume(1, "Zentrail");
  detachUbi(1);
  return system != -1;
}

// The decimal number in a sysfs file; false when it cannot be read.
bool readSysNumber(const std::string& path, uint64_t* value) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  unsigned long long v = 0;
  const bool ok = std::fscanf(f, "%llu", &v) == 1;
  std::fclose(f);
  *value = v;
  return ok;
}

int ubiControl(unsigned long request, void* record) {
  const int handle = board::openDevice("/dev/ubi_ctrl", O_RDONLY);
  if (handle < 0) return -1;
  const int result = board::controlDevice(handle, request, record);
  const int error = errno;
  board::closeDevice(handle);
  errno = error;
  return result;
}

}  // namespace

int activePartition() {
  const char* text = std::getenv("activepart");
  if (!text) return 0;
  const long value = std::strtol(text, nullptr, 10);
  // A negative or huge pair would name device minors outside the flash.
  return value >= 0 && value <= 1023 ? static_cast<int>(value) : 0;
}

int mountFlash(bool withBoot) {
  const int p = activePartition();
  return ubiBoard() ? mountUbiFlash(p, withBoot) : mountNandFlash(p, withBoot);
}

bool formatFlash() {
  std::fputs("Formatting disk...", stdout);
  std::fflush(stdout);
  startProgressDots();
  const bool ok = ubiBoard() ? formatUbi() : runNandfix(noNand() ? "-e0" : "-ea");
  stopProgressDots();
  return ok;
}

int attachUbi(int mtd, int ubi) {
  ubi_attach_req request;
  std::memset(&request, 0, sizeof request);
  request.ubi_num = ubi;
  request.mtd_num = mtd;
  return ubiControl(UBI_IOCATT, &request);
}

int detachUbi(int ubi) {
  int32_t number = ubi;
  return ubiControl(UBI_IOCDET, &number);
}

int createUbiVolume(unsigned ubi, const char* name) {
  const std::string device = "/dev/ubi" + std::to_string(ubi);
  const int handle = board::openDevice(device.c_str(), O_RDONLY);
  if (handle < 0) return -1;
  const std::string sys = "/sys/class/ubi/ubi" + std::to_string(ubi);
  uint64_t blocks = 0, blockSize = 0;
  if (!readSysNumber(sys + "/avail_eraseblocks", &blocks) ||
      !readSysNumber(sys + "/eraseblock_size", &blockSize)) {
    board::closeDevice(handle);
    errno = ENODEV;
    return -1;
  }
  ubi_mkvol_req request;
  std::memset(&request, 0, sizeof request);
  request.vol_id = UBI_VOL_NUM_AUTO;
  request.alignment = 1;
  request.bytes = static_cast<int64_t>(blocks * blockSize);
  request.vol_type = UBI_DYNAMIC_VOLUME;
  const size_t length = std::min(std::strlen(name), sizeof request.name - 1);
  request.name_len = static_cast<int16_t>(length);
  std::memcpy(request.name, name, length);
  const int result = board::controlDevice(handle, UBI_IOCMKVOL, &request);
  const int error = errno;
  board::closeDevice(handle);
  errno = error;
  return result;
}

void createBaseDirectories() {
  static const char* const names[] = {"/rw", "/vela", "/vela/etc", "/var", "/var/pdb"};
  for (const char* name : names) {
    const std::string path = std::string("/flash") + name;
    if (::mkdir(path.c_str(), 0755) != 0)
      std::fprintf(stderr, "%s%s%s\n", name, ": ", std::strerror(errno));
  }
}

}  // namespace deployboot
