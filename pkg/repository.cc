#include "pkg/repository.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>

#include "pkg/database_text.h"
#include "pkg/file_transaction.h"
#include "pkg/install_contents.h"
#include "pkg/version.h"

namespace deployboot {

std::string packageDirectory(const std::string& name) { return PACKAGE_DATABASE_DIR + name + "/"; }

std::string displayLabel(const InstalledPackage& record) {
  if (record.inBundle()) return dependencyLabel(record.bundle);
  return packageLabel(record.name, record.version);
}

Repository& Repository::instance() {
  static Repository* repository = new Repository;
  return *repository;
}

Repository::Repository() : out_(&std::cout) {}
Repository::~Repository() = default;

int Repository::find(const std::string& name) const {
  for (size_t i = 0; i < packages_.size(); ++i)
    if (packages_[i]->name == name) return static_cast<int>(i);
  return -1;
}

InstalledPackage* Repository::byName(const std::string& name) const {
  const int i = find(name);
  return i < 0 ? nullptr : packages_[i].get();
}

InstalledPackage* Repository::append(std::unique_ptr<InstalledPackage> record) {
  packages_.push_back(std::move(record));
  return packages_.back().get();
}

void Repository::destroy(InstalledPackage* record) {
  auto it = std::find_if(packages_.begin(), packages_.end(),
                         [record](const auto& r) { return r.get() == record; });
  if (it != packages_.end()) packages_.erase(it);
}

}  // namespace deployboot

namespace deployboot {
namespace {

// Creates one database file through the transaction; false when it could
// not be created, written or closed (errno tells why).
bool createText(FileTransaction& transaction, const std::string& path, uint64_t sizeHint,
                const std::function<void(std::ostream&)>& write) {
  std::unique_ptr<std::ofstream> out = transaction.createFile(path, sizeHint, 0);
  if (!*out) return false;
  write(*out);
  out->close();
  return !out->fail();
}

void writeWord(FileTransaction& transaction, const std::string& path, const char* word) {
  createText(transaction, path, 8, [word](std::ostream& out) { out << word << '\n'; });
}

// Where a recorded file lives: paths recorded by the installer already
// name the flash ("/flash/..."); others are relative to it.
std::string flashPathOf(const std::string& recorded) {
  if (recorded.starts_with("/flash/")) return recorded;
  return recorded.starts_with('/') ? "/flash" + recorded : "/flash/" + recorded;
}

}  // namespace

bool Repository::removeInstalled(FileTransaction& transaction, const std::string& name) {
  InstalledPackage* record = byName(name);
  if (!record) return false;
  uninstallFiles(*record, transaction);
  destroy(record);
  return true;
}

bool Repository::claimDirectory(const InstalledPackage& record, FileTransaction& transaction) {
  return transaction.claimDirectory(packageDirectory(record.name));
}

bool Repository::writeMetadata(InstalledPackage& record, FileTransaction& transaction) {
  const std::string dir = packageDirectory(record.name);
  auto fail = [&](const char* shownAs) {
    reportWriteFailure(*this, record, shownAs);
    return false;
  };
  if (!record.hasImage && !(record.flags & PACKAGE_FLAG_NO_METADATA)) {
    if (!createText(transaction, dir + "version", 32, [&](std::ostream& out) {
          writeVersionText(out, record.version, record.buildTime);
        }))
      return fail("meta/version");
    if (!createText(transaction, dir + "deps", 1024, [&](std::ostream& out) {
          writeDependencyText(out, record.dependencies, false);
        }))
      return fail("meta/deps");
    // An earlier version's list would otherwise outlive it, since claiming
    // the directory cancels its removal.
    if (record.provides.empty()) {
      transaction.remove(dir + "provides");
    } else if (!createText(transaction, dir + "provides", 1024, [&](std::ostream& out) {
                 writeDependencyText(out, record.provides, true);
               })) {
      return fail("meta/provides");
    }
    if (record.conflicts.empty()) {
      transaction.remove(dir + "conflicts");
    } else if (!createText(transaction, dir + "conflicts", 1024, [&](std::ostream& out) {
                 writeDependencyText(out, record.conflicts, false);
               })) {
      return fail("meta/conflicts");
    }
    if (record.inBundle()) {
      if (!createText(transaction, dir + "bundle", 16,
                      [&](std::ostream& out) { out << record.bundle.name << '\n'; }))
        return fail("meta/bundle");
    } else {
      transaction.remove(dir + "bundle");
    }
    if (!record.isBundle &&
        !createText(transaction, dir + "files", 4096,
                    [&](std::ostream& out) { writeFilesText(out, record.files); }))
      return fail("meta/files");
  }
  if (record.disabled)
    writeWord(transaction, dir + "disabled", record.userForced ? "user" : "auto");
  else
    transaction.remove(dir + "disabled");
  if (!record.disabled && record.userForced)
    writeWord(transaction, dir + "enabled", "user");
  else
    transaction.remove(dir + "enabled");
  return true;
}

void Repository::applyDisable(InstalledPackage& record, FileTransaction& transaction) {
  const std::string dir = packageDirectory(record.name);
  transaction.remove(dir + "enabled");
  writeWord(transaction, dir + "disabled", record.userForced ? "user" : "auto");
  record.disabled = true;
  record.action = PendingAction::None;
}

void Repository::applyEnable(InstalledPackage& record, FileTransaction& transaction) {
  const std::string dir = packageDirectory(record.name);
  transaction.remove(dir + "disabled");
  if (record.userForced)
    writeWord(transaction, dir + "enabled", "user");
  else
    transaction.remove(dir + "enabled");
  record.disabled = false;
  record.action = PendingAction::None;
}

void Repository::uninstallFiles(InstalledPackage& record, FileTransaction& transaction) {
  for (const std::string& path : record.files) transaction.remove(flashPathOf(path));
  record.files.clear();
  const std::string dir = packageDirectory(record.name);
  transaction.remove(dir);
  transaction.remove(dir + "image");
  struct stat st;
  if ((record.flags & PACKAGE_FLAG_BOOT_IMAGE) && stat("/flash/bootimage", &st) == 0 &&
      st.st_nlink == 1)
    transaction.remove("/flash/bootimage");
  record.action = PendingAction::None;
}

}  // namespace deployboot
