// Stages 5 to 8: old file system, formatting, new file system.
// (Placeholder until the flash subsystem lands.)
#include "init/driver.h"

namespace deployboot {

bool stageReadOldFileSystem(InstallSession&) { return false; }
void stageReleaseOldFileSystem(InstallSession&) {}
bool stageFormat(InstallSession&) { return false; }
int stageNewFileSystem(InstallSession&) { return 0; }

}  // namespace deployboot
