// Stage 1: welcome screen. (Placeholder until start-up and console land.)
#include "init/driver.h"

namespace deployboot {

bool stageScreen(InstallSession&) { return true; }

}  // namespace deployboot
