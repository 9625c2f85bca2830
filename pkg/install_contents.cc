#include "pkg/install_contents.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "pkg/file_transaction.h"
#include "pkg/package_stream.h"
#include "pkg/repository.h"
#include "pkg/signature.h"
#include "pkg/version.h"

namespace deployboot {
namespace {

constexpr size_t IMAGE_PIECE = 4096;
constexpr int BAR_END = 76;

class ContentsObserver : public ExtractObserver {
 public:
  ContentsObserver(Repository& repository, const InstalledPackage& record)
      : repository_(repository), record_(record) {}
  void progress(const PackageStream& reader) override {
    showProgress(repository_, record_, reader);
  }
  void broken() override { reportBroken(repository_, record_); }
  void writeFailed(const std::string& entryName) override {
    reportWriteFailure(repository_, record_, entryName);
  }

 private:
  Repository& repository_;
  const InstalledPackage& record_;
};

bool passOverImage(Repository& repository, const InstalledPackage& record,
                   PackageStream& reader) {
  char piece[IMAGE_PIECE];
  while (reader.remaining() > 0) {
    showProgress(repository, record, reader);
    const uint32_t n = std::min<uint32_t>(reader.remaining(), sizeof piece);
    if (!reader.read(piece, n)) return false;
  }
  return true;
}

// The nearest existing path at or above path ("" when there is none).
std::string nearestExisting(std::string path, struct stat* st) {
  for (;;) {
    if (stat(path.c_str(), st) == 0) return path;
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || path == "/") return "";
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

}  // namespace

bool stagedFilesFit(const FileTransaction& transaction) {
  struct Need {
    std::string probe;  // a path on the target file system
    uint64_t bytes = 0;
  };
  std::map<dev_t, Need> needs;
  for (const auto& [target, entry] : transaction.entries()) {
    if (entry.op != FileTransaction::MoveTemp) continue;
    struct stat source, parent;
    if (stat(entry.source.c_str(), &source) != 0) continue;
    const std::string probe = nearestExisting(target, &parent);
    if (probe.empty() || source.st_dev == parent.st_dev) continue;  // a rename needs no room
    Need& need = needs[parent.st_dev];
    const uint64_t block = parent.st_blksize ? parent.st_blksize : 4096;
    need.bytes += (uint64_t(source.st_size) + block - 1) / block * block;
    need.probe = probe;
  }
  for (const auto& [device, need] : needs) {
    struct statvfs fs;
    if (statvfs(need.probe.c_str(), &fs) != 0) continue;
    if (need.bytes > uint64_t(fs.f_bavail) * fs.f_frsize) return false;
  }
  return true;
}

bool bootedForBootImage() { return std::getenv("bootimage") != nullptr; }

std::string installRoot(const InstalledPackage& record) {
  return record.disabled ? "/flash/x/" + record.name : "/flash";
}

std::string progressBar(const InstalledPackage& record, const PackageStream& reader) {
  std::string label = "installing ";
  if (record.disabled && !record.inBundle()) label += " (disabled) ";
  label += displayLabel(record) + " [";
  const uint64_t width = label.size() < BAR_END ? BAR_END - label.size() : 0;
  const uint64_t consumed = uint64_t{reader.partOffset()} + reader.position();
  const uint64_t size = reader.declaredSize();
  uint64_t done = size ? consumed * width / size : 0;
  if (done > width) done = width;
  return label + std::string(done, '#') + std::string(width - done, ' ') + "]";
}

void showProgress(Repository& repository, const InstalledPackage& record,
                  const PackageStream& reader) {
  repository.status(progressBar(record, reader));
}

void reportWriteFailure(Repository& repository, const InstalledPackage& record,
                        const std::string& path) {
  const int error = errno;
  const std::string label = displayLabel(record);
  if (error == ENOSPC)
    repository.error("installation of %s failed: disk is too small", label.c_str());
  else if (error == EIO)
    repository.error("installation of %s failed: disk error", label.c_str());
  else
    repository.error("installation of %s failed: could not create %s: %s", label.c_str(),
                     path.c_str(), std::strerror(error));
}

void reportBroken(Repository& repository, const InstalledPackage& record) {
  repository.error("installation of %s failed: broken package", displayLabel(record).c_str());
}

bool installContents(Repository& repository, InstalledPackage& record,
                     FileTransaction& transaction, PackageStream& reader) {
  const bool recorded = reader.magic() == MAGIC_PACKAGE;
  showProgress(repository, record, reader);
  if (recorded && !repository.claimDirectory(record, transaction)) return false;

  if (reader.currentType() == PART_IMAGE) {
    if (!passOverImage(repository, record, reader)) {
      reportBroken(repository, record);
      return false;
    }
    reader.nextPart();
  }
  if (reader.currentType() == PART_FILES) {
    const bool unpack = !((record.flags & PACKAGE_FLAG_BOOT_IMAGE) && bootedForBootImage());
    ContentsObserver observer(repository, record);
    if (unpack && !extractFiles(reader, record, transaction, installRoot(record), &observer))
      return false;
    reader.nextPart();
  }
  if (reader.currentType() != PART_SIGNATURE || !verifySignature(reader)) {
    reportBroken(repository, record);
    return false;
  }
  reader.nextPart();

  if (!record.inBundle()) {
    if (reader.currentType() == PART_ARCH) reader.nextPart();
    if (reader.currentType() == PART_DEPENDS && reader.partLength() == 0) reader.nextPart();
    if (reader.currentType() != -1) {
      reportBroken(repository, record);
      return false;
    }
  }
  if (recorded && !repository.writeMetadata(record, transaction)) return false;
  // Files staged in RAM for want of room on the flash must still fit there
  // at commit, or the commit would stop half-way with the disk full.
  if (!stagedFilesFit(transaction)) {
    repository.error("installation of %s failed: disk is too small", displayLabel(record).c_str());
    return false;
  }
  if (record.flags & PACKAGE_FLAG_BOOT_IMAGE) transaction.createFile("/flash/UPGRADED", 1, 0);
  if (!record.inBundle()) {
    repository.status("");
    repository.info("installed %s%s", record.disabled ? "(disabled) " : "",
                    packageLabel(record.name, record.version).c_str());
  }
  return true;
}

}  // namespace deployboot
