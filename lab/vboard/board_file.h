// The board file: a small text description of one virtual board.
//
//   # comment
//   name = Tesmarel 5 Z9          board model name behind /dev/flash
//   layout = ubi                  ubi | nand | single
//   partitions = 8M 8M 8M 8M      MTD partition sizes (K, M, G suffixes)
//   min-version = 6.40            hardware tag 37 (dotted, or a 0x number)
//   cpus = 2                      CPU lines in /proc/stat
//   cmdline = console=ttyS0       kernel command line; the layout's flag
//                                 (ubifs_support, no-nand) is added to it
//   activepart = 1                environment of the installer (optional)
//   bootimage = 1                 environment of the installer (optional)
//   erase-size = 128K             erase size of /dev/mtd0
//   interfaces = 1                network interfaces of the board
//   nandfix-status = 0            exit status of /sbin/nandfix
//   unmountable = 1               MTD partitions whose file system is corrupt
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace deployboot::vboard {

enum class FlashLayout { Ubi, Nand, Single };

struct BoardSpec {
  std::string name;
  FlashLayout layout = FlashLayout::Nand;
  std::vector<uint64_t> partitionSizes;
  uint32_t minVersion = 0;
  unsigned cpus = 1;
  std::string cmdline;
  std::optional<std::string> activepart;
  std::optional<std::string> bootimage;
  uint32_t eraseSize = 128 * 1024;
  unsigned interfaces = 1;
  int nandfixStatus = 0;
  std::set<unsigned> unmountable;
};

// Parses board file text. On failure returns false with "line N: ..." in
// *error and leaves *spec unspecified.
bool parseBoardText(const std::string& text, BoardSpec* spec, std::string* error);
bool readBoardFile(const std::string& path, BoardSpec* spec, std::string* error);

// The command line the board's kernel reports: the configured one plus the
// layout's flag when it is not already there.
std::string kernelCommandLine(const BoardSpec& spec);

// The /proc/stat image of a board with `cpus` CPUs.
std::string procStatText(unsigned cpus);

const char* layoutName(FlashLayout layout);

}  // namespace deployboot::vboard
