#include "flash/package_states.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace deployboot {

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

File openForReading(const std::string& path) { return File(std::fopen(path.c_str(), "re")); }

// The database writes "user" or "auto" and a newline; only the first word
// matters, so anything that begins with "user" was the user's choice.
bool disabledByUser(FILE* disabled) {
  char line[16];
  if (!std::fgets(line, sizeof line, disabled)) return false;
  return std::strncmp(line, "user", 4) == 0;
}

}  // namespace

void readPackageStates(PackageStateMap& states, const std::string& databaseDir) {
  states.clear();
  std::unique_ptr<DIR, DirCloser> listing(opendir(databaseDir.c_str()));
  if (!listing) return;
  while (const dirent* entry = readdir(listing.get())) {
    if (entry->d_name[0] == '.') continue;
    const std::string package = entry->d_name;
    const std::string dir = databaseDir + "/" + package;
    if (openForReading(dir + "/enabled")) {
      states[package] = 0;
      continue;
    }
    File disabled = openForReading(dir + "/disabled");
    if (disabled && disabledByUser(disabled.get())) states[package] = 1;
  }
}

}  // namespace deployboot
