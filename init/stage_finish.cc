// Stages 11 and 12: markers, post-installation, final handshake.
// (Placeholder until file transfer lands.)
#include "init/driver.h"

namespace deployboot {

void stageMarkers(InstallSession&) {}
void stageHandshake(InstallSession&) {}

}  // namespace deployboot
