// The package installer child of stage 10. (Placeholder until the package
// database lands: drains the package and exits.)
#include <unistd.h>

#include "init/driver.h"

namespace deployboot {

void runPackageInstallerChild(const InstallSession&) {
  char buf[4096];
  while (read(0, buf, sizeof buf) > 0) {
  }
  _exit(0);
}

}  // namespace deployboot
