// Configuration carry-over points of stages 5 and 8.
// (Placeholder until the configuration archive lands: nothing is kept.)
#include "init/driver.h"

namespace deployboot {

void readOldConfiguration(InstallSession&) {}
void writeBackConfiguration(InstallSession&) {}
void releaseArchives(InstallSession&) {}

}  // namespace deployboot
