// Configuration carry-over points of stages 5 and 8: the session holds the
// kept archives from the moment they are read until they are written back.
#include "flash/carry_over.h"
#include "flash/config_archive.h"
#include "init/driver.h"

namespace deployboot {

void readOldConfiguration(InstallSession& s) {
  if (!s.keepConfig) return;
  releaseArchives(s);  // a second reading replaces the first
  KeptConfiguration kept = readKeptConfiguration(s.packageStates);
  s.branding = kept.branding.release();
  s.oldConfig = kept.tree.release();
}

void writeBackConfiguration(InstallSession& s) {
  KeptConfiguration kept{std::unique_ptr<ConfigArchive>(s.branding),
                         std::unique_ptr<ConfigArchive>(s.oldConfig)};
  s.branding = nullptr;
  s.oldConfig = nullptr;
  writeKeptConfiguration(std::move(kept));
}

void releaseArchives(InstallSession& s) {
  delete s.branding;
  delete s.oldConfig;
  s.branding = nullptr;
  s.oldConfig = nullptr;
}

}  // namespace deployboot
