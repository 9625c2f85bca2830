// Stage 10: the fetch loop. (Placeholder until file transfer lands.)
#include "init/driver.h"

namespace deployboot {

bool stageFetchFiles(InstallSession&) { return true; }

}  // namespace deployboot
