#include "pkgtool/package_inspect.h"

#include <sstream>

#include "pkg/file_archive.h"
#include "pkg/package_stream.h"
#include "pkg/signature.h"
#include "support/endian.h"

namespace deployboot::pkgtool {
namespace {

std::vector<PartSummary> scanParts(const std::string& file, std::vector<std::string>* problems) {
  std::vector<PartSummary> parts;
  size_t at = FILE_HEADER_SIZE;
  while (at + PART_HEADER_SIZE <= file.size()) {
    const uint32_t length = loadLe32(file.data() + at + 2);
    parts.push_back({loadLe16(file.data() + at), static_cast<uint32_t>(at + PART_HEADER_SIZE), length});
    at += PART_HEADER_SIZE + static_cast<uint64_t>(length);
  }
  if (at != file.size()) problems->push_back("the file ends inside a part");
  return parts;
}

bool readList(PackageStream& stream, std::vector<PackageDependency>* list) {
  uint8_t count[2];
  if (!stream.read(reinterpret_cast<char*>(count), 2)) return false;
  for (unsigned n = loadLe16(count); n > 0; --n) {
    uint8_t r[LIST_RECORD_SIZE];
    if (!stream.read(reinterpret_cast<char*>(r), sizeof r)) return false;
    size_t len = 0;
    while (len < PACKAGE_NAME_SIZE && r[len]) ++len;
    list->push_back({std::string(reinterpret_cast<char*>(r), len), loadLe32(r + 16), loadLe32(r + 24),
                     loadLe32(r + 28)});
  }
  return true;
}

void listArchive(PackageStream& stream, MemberSummary* m) {
  ArchiveInflater archive(stream);
  for (;;) {
    uint8_t h[ARCHIVE_ENTRY_HEADER_SIZE];
    if (!archive.read(h, sizeof h)) break;
    ArchiveFile f{loadLe16(h), std::string(loadLe16(h + 28), '\0'), loadLe32(h + 24), h[23] != 0};
    if (!archive.read(f.name.data(), f.name.size()) || !archive.skip(f.size)) {
      m->archiveComplete = false;
      break;
    }
    m->filesUnpacked += ARCHIVE_ENTRY_HEADER_SIZE + f.name.size() + f.size;
    m->files.push_back(std::move(f));
  }
  if (!stream.bad()) stream.clear();
}

}  // namespace

const char* partTypeName(int type) {
  switch (type) {
    case PART_PACKAGE: return "package";
    case PART_TEXT2: return "text2";
    case PART_DEPENDS: return "depends";
    case PART_FILES: return "files";
    case PART_SIGNATURE: return "signature";
    case PART_ARCH: return "arch";
    case PART_CONFLICTS: return "conflicts";
    case PART_BUNDLE: return "bundle";
    case PART_PROVIDES: return "provides";
    case PART_BUNDLE_MEMBERS: return "members";
    case PART_IMAGE: return "image";
    case PART_NOTE: return "note";
    case PART_TEXT24: return "text24";
    default: return "unknown";
  }
}

PackageSummary inspectPackage(const std::string& file, const curve25519::Bytes32* key) {
  PackageSummary s;
  s.fileSize = file.size();
  std::istringstream source(file);
  PackageStream stream(source, true);
  s.magic = stream.magic();
  s.declaredSize = stream.declaredSize();
  if (stream.bad()) {
    s.problems.push_back("not a package file (wrong magic or shorter than 8 bytes)");
    return s;
  }
  if (s.declaredSize != s.fileSize) s.problems.push_back("the file header's length does not match the file");
  s.parts = scanParts(file, &s.problems);
  for (int t : {PART_PACKAGE, PART_BUNDLE, PART_BUNDLE_MEMBERS, PART_ARCH, PART_DEPENDS, PART_PROVIDES,
                PART_CONFLICTS, PART_IMAGE, PART_FILES, PART_SIGNATURE, PART_TEXT24, PART_TEXT2, PART_NOTE})
    stream.wantPart(t);

  MemberSummary* open = nullptr;   // a member whose signature is still to come
  bool afterSignature = false;     // of a stand-alone package
  int trailing = 0;                // 1 after an arch part, 2 after an empty depends part
  int type = stream.nextPart();
  while (type >= 0) {
    if (type == PART_PACKAGE) {
      if (open) s.problems.push_back("package " + open->record.name + " has no signature");
      if (afterSignature) s.problems.push_back("a second package follows without a bundle header");
      s.members.emplace_back();
      open = &s.members.back();
      if (!parseHeader(stream, open->record)) {
        s.problems.push_back("a package header is broken");
        break;
      }
      type = stream.currentType();
      continue;
    }
    if (type == PART_BUNDLE) {
      if (s.isBundle || !s.members.empty()) s.problems.push_back("a bundle header stands out of place");
      s.isBundle = true;
      if (!parseHeader(stream, s.bundle)) {
        s.problems.push_back("the bundle header is broken");
        break;
      }
      type = stream.currentType();
      continue;
    }
    if (afterSignature) {
      // Only an architecture part and an empty dependency part may follow.
      if (type == PART_ARCH && trailing == 0) trailing = 1;
      else if (type == PART_DEPENDS && trailing < 2 && stream.partLength() == 0) trailing = 2;
      else s.problems.push_back(std::string("unexpected ") + partTypeName(type) + " part after the signature");
    } else if (open == nullptr) {
      if (type == PART_BUNDLE_MEMBERS && s.isBundle) {
        if (!readList(stream, &s.bundleMembers)) s.problems.push_back("the member list is broken");
      } else if (type == PART_IMAGE && s.isBundle) {
        s.bundle.hasImage = true;
      } else if (!(type == PART_ARCH && s.isBundle)) {
        s.problems.push_back(std::string("unexpected ") + partTypeName(type) + " part outside a package");
      }
    } else if (type == PART_IMAGE) {
      open->hasImage = true;
      open->imageSize = stream.partLength();
    } else if (type == PART_FILES) {
      open->hasFiles = true;
      open->filesCompressed = stream.partLength();
      listArchive(stream, open);
    } else if (type == PART_SIGNATURE) {
      open->hasSignature = true;
      if (key) {
        open->signatureChecked = true;
        open->signatureValid = verifySignature(stream, key->data());
      }
      open = nullptr;
      afterSignature = !s.isBundle;
    } else {
      s.problems.push_back(std::string("unexpected ") + partTypeName(type) + " part inside package " +
                           open->record.name);
    }
    type = stream.nextPart();
  }
  if (open) s.problems.push_back("package " + open->record.name + " has no signature");
  if (s.members.empty()) s.problems.push_back("the file holds no package");
  return s;
}

}  // namespace deployboot::pkgtool
