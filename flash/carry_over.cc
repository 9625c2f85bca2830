#include "flash/carry_over.h"

#include <sys/stat.h>

#include <cstdio>

#include "flash/package_states.h"
#include "init/console.h"

namespace deployboot {

namespace {

// The preferred tree counts only when it resolves; the fallback counts as
// soon as the name exists, so a dangling link there is reported as a tree
// that could not be kept.
std::string findStore(const std::string& root) {
  struct stat st;
  std::string path = root + PREFERRED_STORE_PATH;
  if (::stat(path.c_str(), &st) == 0) return path;
  path = root + FALLBACK_STORE_PATH;
  if (::lstat(path.c_str(), &st) == 0) return path;
  return {};
}

void show(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void printLine(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

KeptConfiguration readKeptConfiguration(PackageStateMap& states, const std::string& root) {
  KeptConfiguration kept;
  kept.branding = packTree(root + BRANDING_IMAGE_PATH);  // none is no news

  const std::string store = findStore(root);
  if (store.empty()) return kept;

  show("Reading old configuration...");
  startProgressDots();
  kept.tree = packTree(store);
  stopProgressDots();
  // The usual cause; an unreadable file or a dangling link ends here too.
  if (!kept.tree) printLine("ERROR: couldn't keep config - probably not enough memory");

  readPackageStates(states, root + PACKAGE_DATABASE_DIR);
  return kept;
}

void writeKeptConfiguration(KeptConfiguration kept, const std::string& root) {
  if (kept.branding) {
    // The database directory is fresh; the branding package comes later.
    ::mkdir((root + BRANDING_DIR).c_str(), 0755);
    unpackArchive(std::move(kept.branding));
  }
  if (kept.tree) {
    show("Writing back old configuration...");
    startProgressDots();
    const int written = unpackArchive(std::move(kept.tree));
    stopProgressDots();
    if (!written)
      printLine("ERROR: couldn't write old configuration - proboably not enough space on the disk");
  }
}

}  // namespace deployboot
