#include "init/driver.h"

namespace deployboot {
namespace {

int runStages(InstallSession& s) {
  if (!stageScreen(s)) return 0;
  if (!stageNetworkInterfaces(s)) return 0;
  stageBoardIdentity(s);
  stageFindServer(s);
  if (stageReadOldFileSystem(s)) stageReleaseOldFileSystem(s);
  if (!stageFormat(s)) return 0;
  const int result = stageNewFileSystem(s);
  if (result == 0) return 0;
  if (!stageStartTransfer(s)) return 0;
  if (!stageFetchFiles(s)) return 0;
  stageMarkers(s);
  stageHandshake(s);
  return result;
}

}  // namespace

int runInstallation(PackageStateMap& packageStates, const std::string& architecture) {
  InstallSession session(packageStates, architecture);
  const int result = runStages(session);
  releaseNetwork(session);
  releaseArchives(session);
  return result;
}

}  // namespace deployboot
