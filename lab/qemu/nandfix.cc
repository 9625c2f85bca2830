// nandfix for the qemu-malta lab board: erases MTD devices so that the
// installer can lay fresh UBI devices or file systems on them.
//
//   nandfix -ea     erase every MTD device listed in /proc/mtd
//   nandfix -e<N>   erase MTD device N only
//
// Exit status 0 only when every requested device was erased completely;
// bad NAND blocks are skipped (they stay bad whatever is written to them).
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: nandfix -ea | -e<N>\n"
    "  -ea    erase every MTD device listed in /proc/mtd\n"
    "  -e<N>  erase MTD device N only\n";

// The device numbers named by /proc/mtd lines of the form
// "mtd3: 00400000 00020000 \"name\"" (the first line is a header).
std::vector<int> listedDevices() {
  std::vector<int> devices;
  std::ifstream in("/proc/mtd");
  std::string line;
  while (std::getline(in, line)) {
    int number = -1;
    if (std::sscanf(line.c_str(), "mtd%d:", &number) == 1 && number >= 0) devices.push_back(number);
  }
  return devices;
}

bool parseDevice(const char* text, int* number) {
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 0 || value > 255) return false;
  *number = static_cast<int>(value);
  return true;
}

bool eraseDevice(int number) {
  std::string path = "/dev/mtd" + std::to_string(number);
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "nandfix: %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) != 0 || info.erasesize == 0) {
    std::fprintf(stderr, "nandfix: %s: cannot read its geometry: %s\n", path.c_str(),
                 std::strerror(errno));
    close(fd);
    return false;
  }
  bool ok = true;
  unsigned skipped = 0;
  for (uint32_t offset = 0; offset < info.size; offset += info.erasesize) {
    loff_t where = offset;
    // Only NAND answers this; elsewhere the ioctl fails and no block is bad.
    if (info.type == MTD_NANDFLASH || info.type == MTD_MLCNANDFLASH) {
      if (ioctl(fd, MEMGETBADBLOCK, &where) > 0) {
        ++skipped;
        continue;
      }
    }
    erase_info_user block{offset, info.erasesize};
    if (ioctl(fd, MEMERASE, &block) != 0) {
      std::fprintf(stderr, "nandfix: %s: erasing block at 0x%x failed: %s\n", path.c_str(),
                   static_cast<unsigned>(offset), std::strerror(errno));
      ok = false;
      break;
    }
  }
  close(fd);
  if (ok) {
    std::printf("nandfix: erased %s (%u blocks of %u bytes, %u bad)\n", path.c_str(),
                info.size / info.erasesize - skipped, info.erasesize, skipped);
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 2 || std::strncmp(argv[1], "-e", 2) != 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::vector<int> devices;
  const char* which = argv[1] + 2;
  if (std::strcmp(which, "a") == 0) {
    devices = listedDevices();
    if (devices.empty()) {
      std::fputs("nandfix: no MTD devices in /proc/mtd\n", stderr);
      return 1;
    }
  } else {
    int number = 0;
    if (!parseDevice(which, &number)) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    devices.push_back(number);
  }
  bool ok = true;
  for (int number : devices) ok = eraseDevice(number) && ok;
  std::fflush(stdout);
  return ok ? 0 : 1;
}
