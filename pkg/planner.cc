#include "pkg/planner.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include <cstring>
#include <set>

#include "flash/board_device.h"
#include "pkg/file_transaction.h"
#include "pkg/install_contents.h"
#include "pkg/package_stream.h"
#include "pkg/settle.h"
#include "pkg/version.h"
#include "support/board.h"
#include "support/endian.h"

namespace deployboot {
namespace {

constexpr Version FIRST_SUPPORTED_SYSTEM = 0x02096308;     // 2.9rc8
constexpr Version LAST_SMALL_BLOCK_ONLY_SYSTEM = 0x03146301;  // 3.20rc1
constexpr uint32_t LARGE_ERASE_BLOCK = 0x40000;
constexpr uint32_t ALL_ALLOWED = 0xFFFFFFFFu;

std::string labelOf(const InstalledPackage& record) {
  return packageLabel(record.name, record.version);
}

// A bundle's member list: a 16-bit count and 32-byte records laid out like
// dependency entries.
bool readMemberList(PackageStream& reader, std::vector<PackageDependency>* list) {
  uint8_t count[2];
  if (!reader.read(reinterpret_cast<char*>(count), sizeof count)) return false;
  for (uint16_t i = loadLe16(count); i > 0; --i) {
    uint8_t entry[LIST_RECORD_SIZE];
    if (!reader.read(reinterpret_cast<char*>(entry), sizeof entry)) return false;
    const char* name = reinterpret_cast<const char*>(entry);
    list->push_back(PackageDependency{std::string(name, strnlen(name, PACKAGE_NAME_SIZE)),
                                      loadLe32(entry + 16), loadLe32(entry + 24),
                                      loadLe32(entry + 28)});
  }
  return true;
}

}  // namespace

bool isSystemPackage(const std::string& name) {
  return name == "system" || name.starts_with("zentrail");
}

Compatibility systemCompatibility(Version version, uint32_t boardMinimum, uint32_t mtdEraseSize) {
  if (version < boardMinimum) return Compatibility::BelowBoardMinimum;
  if (version < FIRST_SUPPORTED_SYSTEM ||
      (version <= LAST_SMALL_BLOCK_ONLY_SYSTEM && mtdEraseSize == LARGE_ERASE_BLOCK))
    return Compatibility::UnsupportedFileSystem;
  return Compatibility::Compatible;
}

uint32_t firstMtdEraseSize() {
  const int handle = board::openDevice("/dev/mtd0", O_RDONLY);
  if (handle < 0) return 0;
  mtd_info_user info{};
  const int result = board::controlDevice(handle, MEMGETINFO, &info);
  board::closeDevice(handle);
  return result < 0 ? 0 : info.erasesize;
}

bool checkCompatibility(Repository& repository, const InstalledPackage& record, bool report) {
  if (!isSystemPackage(record.name)) return true;
  const uint32_t minimum = readHardwareTag(HARDWARE_TAG_MIN_VERSION);
  // The erase size matters only below the version that supports both.
  const uint32_t eraseSize =
      record.version <= LAST_SMALL_BLOCK_ONLY_SYSTEM ? firstMtdEraseSize() : 0;
  switch (systemCompatibility(record.version, minimum, eraseSize)) {
    case Compatibility::BelowBoardMinimum:
      if (report)
        repository.error("omitting package %s: min Zentrail version is %s",
                         labelOf(record).c_str(), formatVersion(minimum).c_str());
      return false;
    case Compatibility::UnsupportedFileSystem:
      if (report)
        repository.warning("omitting package %s: it does not support current file system",
                           labelOf(record).c_str());
      return false;
    case Compatibility::Compatible:
      break;
  }
  return true;
}

uint32_t checkInstall(Repository& repository, const InstalledPackage& record, uint32_t allow) {
  bool reported = false;
  uint32_t result = 0;
  const std::string label = labelOf(record);

  const InstalledPackage* old = repository.byName(record.name);
  if (old && old->name != "branding") {
    const int c = compareVersions(record, *old);
    if (c < 0) {
      result = Older;
      if (!(allow & AllowDowngrade)) {
        repository.warning("omitting package %s: newer package %s is already installed",
                           label.c_str(), labelOf(*old).c_str());
        reported = true;
      }
    } else if (c > 0) {
      result = Newer;
    } else {
      result = Same;
      if (!(allow & AllowReinstall)) {
        repository.warning("omitting package %s: it is already installed", label.c_str());
        reported = true;
      }
    }
  }

  const bool quiet = allow & Quiet;
  if (isSystemPackage(record.name) &&
      !checkCompatibility(repository, record, !reported && !quiet)) {
    result |= Incompatible;
    reported = reported || !quiet;
  }

  if (!record.architecture.empty() && record.architecture != repository.architecture()) {
    result |= Incompatible;
    if (!reported && !quiet) {
      repository.error("can not install %s: it is not made for %s, but for %s", label.c_str(),
                       repository.architecture().c_str(), record.architecture.c_str());
      reported = true;
    }
  }

  for (const PackageDependency& d : record.dependencies) {
    if (!candidates(repository.packages(), d, false).empty()) continue;
    result |= Incompatible;
    if (!reported && !quiet) {
      repository.error("can not install %s: %s is not installed, but is required",
                       label.c_str(), dependencyLabel(d).c_str());
      reported = true;
    }
    break;
  }

  for (const auto& r : repository.packages()) {
    if (r->disabled || !excludes(*r, record)) continue;
    if (!reported && !(allow & AllowConflicts))
      repository.error("can not install %s: it conflicts with %s", label.c_str(),
                       labelOf(*r).c_str());
    return result | Conflicting;
  }
  return result;
}

InstalledPackage* installSingle(Repository& repository, FileTransaction& transaction,
                                PackageStream& reader, uint32_t flags,
                                const PackageStateMap& choices,
                                const PackageDependency* bundleRef, std::string* packageDir,
                                bool* bootImage) {
  auto record = std::make_unique<InstalledPackage>();
  if (!parseHeader(reader, *record)) return nullptr;
  if (bundleRef && record->name == bundleRef->name) return nullptr;
  if (record->hasImage && packageDir) *packageDir = packageDirectory(record->name);

  uint32_t r = checkInstall(repository, *record, bundleRef ? ALL_ALLOWED : flags | AllowConflicts);
  const auto chosen = choices.find(record->name);
  if (chosen != choices.end()) {
    record->disabled = chosen->second != 0;
    record->userForced = true;
  } else {
    record->disabled = false;
  }
  // A conflicting package is installed, but disabled.
  if (r & Conflicting) {
    record->disabled = true;
    r &= ~uint32_t{Conflicting};
  }

  if ((r & ~flags) == 0 && !(r & Same)) {
    if (bundleRef) record->bundle = *bundleRef;
    if (reader.magic() != MAGIC_UNRECORDED) repository.removeInstalled(transaction, record->name);
    if (!installContents(repository, *record, transaction, reader)) return nullptr;
    InstalledPackage* installed = repository.append(std::move(record));
    settle(repository, transaction);
    if (bootImage)
      *bootImage = (installed->flags & PACKAGE_FLAG_BOOT_IMAGE) && bootedForBootImage();
    // Settling may have removed the record again.
    return repository.byName(installed->name) == installed ? installed : nullptr;
  }

  if (bundleRef) {
    while (reader.currentType() != PART_PACKAGE && reader.currentType() != -1) reader.nextPart();
    return repository.byName(record->name);
  }
  // Nothing of this file is installed, so nothing of it is to be stored.
  if (packageDir) packageDir->clear();
  if (r & Same) return repository.byName(record->name);
  return nullptr;
}

int installBundle(Repository& repository, FileTransaction& transaction, PackageStream& reader,
                  uint32_t flags, const PackageStateMap& choices, std::string* packageDir,
                  bool* bootImage, std::string* label) {
  if (bootImage) *bootImage = false;
  auto bundle = std::make_unique<InstalledPackage>();
  if (!parseHeader(reader, *bundle)) return BundleBroken;
  if (!bundle->dependencies.empty() || !bundle->provides.empty() || !bundle->conflicts.empty())
    return BundleBroken;
  if (reader.currentType() == PART_IMAGE) reader.nextPart();
  if (bundle->hasImage && packageDir) *packageDir = packageDirectory(bundle->name);

  if (checkInstall(repository, *bundle, flags) & ~flags) {
    if (packageDir) packageDir->clear();
    return BundleRefused;
  }

  repository.removeInstalled(transaction, bundle->name);
  if (!repository.claimDirectory(*bundle, transaction) ||
      !repository.writeMetadata(*bundle, transaction))
    return BundleBroken;

  const PackageDependency ref{bundle->name, bundle->version, bundle->version, 0};
  while (InstalledPackage* stale = repository.byName(bundle->name)) repository.destroy(stale);
  repository.append(std::move(bundle));
  std::set<std::string> previousMembers;
  for (const auto& r : repository.packages())
    if (r->bundle.name == ref.name) previousMembers.insert(r->name);

  if (reader.currentType() == PART_BUNDLE_MEMBERS) {
    std::vector<PackageDependency> listed;
    if (!readMemberList(reader, &listed)) return BundleBroken;
    for (const PackageDependency& m : listed) {
      if (choices.count(m.name)) continue;
      // Keeps a member the user has not chosen disabled when the plan runs.
      auto keeper = std::make_unique<InstalledPackage>();
      keeper->conflicts.push_back(PackageDependency{m.name, 0, 0, 0});
      repository.append(std::move(keeper));
    }
    reader.nextPart();
  }

  int installed = 0;
  while (reader.currentType() != -1) {
    if (reader.currentType() == PART_ARCH) {
      reader.nextPart();
      continue;
    }
    if (reader.currentType() != PART_PACKAGE) return BundleRefused;
    bool memberBootImage = false;
    InstalledPackage* member = installSingle(repository, transaction, reader, flags, choices,
                                             &ref, nullptr, &memberBootImage);
    if (!member) return BundleRefused;
    previousMembers.erase(member->name);
    ++installed;
    if (memberBootImage && bootImage) *bootImage = true;
  }
  if (installed == 0) return BundleEmpty;
  for (const auto& r : repository.packages())
    if (previousMembers.count(r->name) && r->bundle.name == ref.name)
      r->action = PendingAction::Uninstall;
  settle(repository, transaction);
  repository.status("");
  repository.info("installed %s", dependencyLabel(ref).c_str());
  if (label) *label = dependencyLabel(ref);
  return BundleInstalled;
}

// The package file itself is copied to the flash while it is read; when it
// is to be kept, that copy must be whole.
static bool copyIsWhole(Repository& repository, std::ostream* copy,
                        const std::string* packageDir, const std::string& label) {
  if (!copy || !packageDir || packageDir->empty() || copy->flush()) return true;
  repository.error("installation of %s failed: disk is too small", label.c_str());
  return false;
}

int Repository::installPackage(FileTransaction& transaction, std::istream& in, uint32_t flags,
                               const PackageStateMap& choices, std::ostream* copy,
                               std::string* packageDir, bool* bootImage) {
  PackageStream reader(in, true, copy);
  for (int type : {PART_PACKAGE, PART_BUNDLE, PART_BUNDLE_MEMBERS, PART_ARCH, PART_DEPENDS,
                   PART_PROVIDES, PART_CONFLICTS, PART_IMAGE, PART_FILES, PART_SIGNATURE})
    reader.wantPart(type);
  if (reader.nextPart() == PART_BUNDLE) {
    std::string label;
    const int result = installBundle(*this, transaction, reader, flags, choices, packageDir,
                                     bootImage, &label);
    if (result != BundleInstalled) return result;
    return copyIsWhole(*this, copy, packageDir, label) ? 0 : BundleBroken;
  }
  InstalledPackage* record =
      installSingle(*this, transaction, reader, flags, choices, nullptr, packageDir, bootImage);
  if (!record) return 1;
  return copyIsWhole(*this, copy, packageDir, displayLabel(*record)) ? 0 : 1;
}

}  // namespace deployboot
