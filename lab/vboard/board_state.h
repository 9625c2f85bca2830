// The board directory and the state of the board's flash that survives a
// reboot of the board:
//
//   board.conf         the board file
//   board.log          module loads, mounts, UBI requests, reboots
//   mtdN.state         what partition N holds: erased, yaffs, or ubi with
//                      its volumes ("volume NAME LEBS" lines)
//   store/N/           partition N's contents: a size-limited file system
//                      mounted there by whoever set the board up
//   run/               files made for the current boot (cmdline, stat)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lab/vboard/board_file.h"

namespace deployboot::vboard {

// $DEPLOYBOOT_VBOARD, or "/vboard" on the lab's ramdisk.
std::string boardDirectory();
std::string storePath(unsigned mtd);

bool loadBoard(BoardSpec* spec, std::string* error);

// Appends one line to board.log.
void logLine(const std::string& line);

struct UbiVolume {
  std::string name;
  uint64_t lebs = 0;
};

struct PartitionState {
  enum Format { Erased, Yaffs, Ubi } format = Erased;
  std::vector<UbiVolume> volumes;
};

// A missing state file is an erased partition. false on a corrupt file.
bool loadPartitionState(unsigned mtd, PartitionState* state);
// Written to a temporary file and renamed into place.
bool savePartitionState(unsigned mtd, const PartitionState& state);

// Empties the partition's store and marks it erased.
bool erasePartition(unsigned mtd);

// UBI geometry of a partition: logical eraseblock size (the erase block less
// two 2 KiB pages of headers) and the blocks left for volumes once UBI has
// reserved its own and those for bad-block handling.
uint32_t ubiLebSize(const BoardSpec& spec);
uint64_t ubiUsableLebs(const BoardSpec& spec, unsigned mtd);

}  // namespace deployboot::vboard
