// /sbin/nandfix of the virtual ramdisk: erases the virtual board's flash
// partitions. "-ea" erases every partition, "-e0" the first one. The board
// file's nandfix-status makes it fail, for testing the installer's errors.
#include <cstdio>
#include <cstring>
#include <string>

#include "lab/vboard/board_state.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "usage: nandfix -ea | -e0\n"
      "Erases the virtual board's flash: -ea every MTD partition, -e0 the first.\n"
      "The board directory is $DEPLOYBOOT_VBOARD (default /vboard).\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace deployboot::vboard;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  if (argc != 2 || (std::strcmp(argv[1], "-ea") != 0 && std::strcmp(argv[1], "-e0") != 0)) {
    usage(stderr);
    return 2;
  }
  const std::string mode = argv[1];
  BoardSpec spec;
  std::string error;
  if (!loadBoard(&spec, &error)) {
    std::fprintf(stderr, "nandfix: %s\n", error.c_str());
    logLine("nandfix " + mode + " -> " + error);
    return 1;
  }
  if (spec.nandfixStatus != 0) {
    logLine("nandfix " + mode + " -> exit " + std::to_string(spec.nandfixStatus));
    return spec.nandfixStatus;
  }
  const unsigned count = mode == "-ea" ? static_cast<unsigned>(spec.partitionSizes.size()) : 1;
  for (unsigned mtd = 0; mtd < count; ++mtd) {
    if (!erasePartition(mtd)) {
      std::fprintf(stderr, "nandfix: cannot erase partition %u\n", mtd);
      logLine("nandfix " + mode + " -> cannot erase mtd" + std::to_string(mtd));
      return 1;
    }
  }
  logLine("nandfix " + mode + " -> erased " + std::to_string(count));
  return 0;
}
