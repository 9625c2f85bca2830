// Loading the database: stored package files first (so that bundle members
// come with their bundle), then the text files of every package directory,
// then directories that no stored file accounted for.
#include <dirent.h>

#include <fstream>
#include <memory>
#include <vector>

#include "pkg/database_text.h"
#include "pkg/package_stream.h"
#include "pkg/pending_actions.h"
#include "pkg/repository.h"

namespace deployboot {
namespace {

// Entry names of a directory that do not begin with "."; false when it
// cannot be listed.
bool listEntries(const std::string& dir, std::vector<std::string>* names) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') names->push_back(e->d_name);
  closedir(d);
  return true;
}

std::unique_ptr<InstalledPackage> parseRecord(PackageStream& stream) {
  auto record = std::make_unique<InstalledPackage>();
  if (!parseHeader(stream, *record)) return nullptr;
  return record;
}

}  // namespace

void Repository::open(bool quiet, const std::string& architecture) {
  quiet_ = quiet;
  architecture_ = architecture;
  load();
}

// A stored package file: a package, or a bundle and its members. Members go
// before the bundle's own record.
void Repository::loadImage(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return;
  PackageStream stream(file, false);
  for (int type : {PART_BUNDLE, PART_PACKAGE, PART_TEXT24, PART_NOTE, PART_DEPENDS,
                   PART_PROVIDES, PART_CONFLICTS})
    stream.wantPart(type);
  if (stream.nextPart() < 0) return;
  std::unique_ptr<InstalledPackage> own = parseRecord(stream);
  if (!own) return;
  if (own->isBundle) {
    const PackageDependency ref{own->name, own->version, own->version, 0};
    while (stream.currentType() == PART_PACKAGE) {
      std::unique_ptr<InstalledPackage> member = parseRecord(stream);
      if (!member) break;
      member->bundle = ref;
      append(std::move(member));
    }
  }
  append(std::move(own));
}

void Repository::load() {
  std::vector<std::string> names;
  if (!listEntries(PACKAGE_DATABASE_DIR, &names)) {
    warning("could not open repo");
    return;
  }
  for (const std::string& name : names) loadImage(PACKAGE_DATABASE_DIR + name + "/image");
  std::vector<std::string> stored;
  listEntries(STORED_IMAGES_DIR, &stored);
  for (const std::string& name : stored) loadImage(STORED_IMAGES_DIR + name);

  for (const auto& record : packages_) readRecord(*record);

  names.clear();
  listEntries(PACKAGE_DATABASE_DIR, &names);
  for (const std::string& name : names) {
    if (find(name) >= 0) continue;
    auto record = std::make_unique<InstalledPackage>();
    record->name = name;
    readRecord(*record);
    append(std::move(record));
  }
}

void Repository::readRecord(InstalledPackage& record) {
  const std::string dir = packageDirectory(record.name);
  if (record.version == 0) {
    std::ifstream version(dir + "version");
    if (!readVersionText(version, &record.version, &record.buildTime))
      record.action = PendingAction::Uninstall;
    const struct {
      const char* file;
      bool withExtra;
      std::vector<PackageDependency>* list;
    } lists[] = {{"deps", false, &record.dependencies},
                 {"provides", true, &record.provides},
                 {"conflicts", false, &record.conflicts}};
    for (const auto& l : lists) {
      std::ifstream in(dir + l.file);
      if (in && !readDependencyText(in, l.withExtra, l.list))
        record.action = PendingAction::Uninstall;
    }
    // A member whose bundle's image did not name it is stale.
    std::ifstream bundle(dir + "bundle");
    std::string bundleName;
    if (bundle >> bundleName) {
      record.bundle = PackageDependency{bundleName, 0, 0, 0};
      record.action = PendingAction::Uninstall;
    }
    std::ifstream files(dir + "files");
    if (!files)
      record.isBundle = true;
    else
      readFilesText(files, &record.files);
  }

  record.userForced = false;
  std::ifstream disabled(dir + "disabled");
  if (disabled) {
    record.disabled = true;
    std::string line;
    std::getline(disabled, line);
    record.userForced = line != "auto";
  } else {
    record.disabled = false;
    if (std::ifstream(dir + "enabled")) record.userForced = true;
  }

  if (record.isPlaceholder()) return;
  if (std::optional<PendingAction> scheduled = readPendingAction(record.name)) {
    record.action = *scheduled;
    if (*scheduled != PendingAction::Uninstall) record.userForced = true;
  }
}

}  // namespace deployboot
