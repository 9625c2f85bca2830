// Walks a whole package file for `info` and `verify`: the records of the
// bundle and its members, their file lists, sizes and signatures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pkg/curve25519.h"
#include "pkg/package_record.h"

namespace deployboot::pkgtool {

struct PartSummary {
  int type;
  uint32_t offset;  // of the content, from the start of the file
  uint32_t length;
};

struct ArchiveFile {
  uint16_t mode;
  std::string name;
  uint32_t size;
  bool skip;
};

struct MemberSummary {
  PackageRecord record;
  bool hasImage = false;
  uint32_t imageSize = 0;
  bool hasFiles = false;
  uint32_t filesCompressed = 0;
  uint64_t filesUnpacked = 0;
  std::vector<ArchiveFile> files;
  bool archiveComplete = true;
  bool hasSignature = false;
  bool signatureChecked = false;
  bool signatureValid = false;
};

struct PackageSummary {
  uint32_t magic = 0;
  uint64_t declaredSize = 0;
  uint64_t fileSize = 0;
  bool isBundle = false;
  PackageRecord bundle;
  std::vector<PackageDependency> bundleMembers;
  std::vector<MemberSummary> members;
  std::vector<PartSummary> parts;
  // Layout faults the installer would reject, in words for the user.
  std::vector<std::string> problems;
};

// key: check every member's signature against it (null: do not check).
PackageSummary inspectPackage(const std::string& file, const curve25519::Bytes32* key);

const char* partTypeName(int type);

}  // namespace deployboot::pkgtool
