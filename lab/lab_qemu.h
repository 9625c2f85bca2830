// The qemu-malta lab board: the production mipsel installer as /init of a
// ramdisk on a real MIPS kernel under qemu, with UBI on block2mtd flash and
// a NIC on a tap beside deployserve (lab/qemu/run.sh does the boots).
#pragma once

#include <string>

#include "lab/lab_run.h"

namespace deployboot::lab {

// The name that `deploylab run --board` takes for this board.
bool isQemuMaltaBoard(const std::string& board);

// One installation and a read-back boot; the same summary and exit status
// as a run on the virtual board (0 installed, 1 failed or timed out,
// 2 not set up, 130 interrupted).
int runQemuMalta(const RunOptions& options);

}  // namespace deployboot::lab
