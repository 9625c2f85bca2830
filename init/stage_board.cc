// Stage 3: board identity. (Placeholder until the board device lands.)
#include "init/driver.h"

namespace deployboot {

void stageBoardIdentity(InstallSession& s) { s.boardShortName = "GB "; }

}  // namespace deployboot
