// The package reader on arbitrary bytes, both ways the installer reads a
// package file: as a stored image (hashing off, a seekable source) and as
// a download (hashing on, copy sink), walked like an installation with the
// archive unpacked into temporary files that are rolled back. Walked part
// by part, both ways must also see the same parts: passing over by seeking
// and by reading must land on the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "pkg/file_transaction.h"
#include "pkg/package_record.h"
#include "pkg/package_stream.h"
#include "pkg/signature.h"

namespace deployboot {
namespace {

void readStored(const std::string& bytes) {
  std::istringstream file(bytes);
  PackageStream stream(file, false);
  for (int type : {PART_BUNDLE, PART_PACKAGE, PART_TEXT24, PART_NOTE, PART_DEPENDS,
                   PART_PROVIDES, PART_CONFLICTS})
    stream.wantPart(type);
  if (stream.nextPart() < 0) return;
  PackageRecord own;
  if (!parseHeader(stream, own) || !own.isBundle) return;
  while (stream.currentType() == PART_PACKAGE) {
    PackageRecord member;
    if (!parseHeader(stream, member)) break;
  }
  // A stored file is never verified: hashing is off.
  if (stream.currentType() == PART_SIGNATURE && verifySignature(stream))
    fuzzing::violated("signature accepted with hashing off");
}

bool passOver(PackageStream& stream) {
  char piece[4096];
  while (stream.remaining() > 0) {
    const uint32_t n = stream.remaining() < sizeof piece ? stream.remaining() : sizeof piece;
    if (!stream.read(piece, n)) return false;
  }
  return true;
}

// One package from its header to its signature, as the installation walk
// reads it; goes on past failures that would end a real installation, so
// that the reader meets the rest of the file too.
void walkPackage(PackageStream& stream, FileTransaction& transaction, const std::string& root) {
  PackageRecord record;
  if (!parseHeader(stream, record)) return;
  if (stream.currentType() == PART_IMAGE) {
    passOver(stream);
    stream.nextPart();
  }
  if (stream.currentType() == PART_FILES) {
    extractFiles(stream, record, transaction, root);
    stream.nextPart();
  }
  if (stream.currentType() == PART_SIGNATURE) {
    verifySignature(stream);
    stream.nextPart();
  }
}

const int INSTALL_PARTS[] = {PART_PACKAGE, PART_BUNDLE, PART_BUNDLE_MEMBERS, PART_ARCH,
                             PART_DEPENDS, PART_PROVIDES, PART_CONFLICTS, PART_IMAGE,
                             PART_FILES, PART_SIGNATURE};

struct PartSeen {
  int type;
  uint32_t offset;
  uint32_t length;
  std::string head;  // up to 8 bytes, read after a byte was taken and put back
  bool operator==(const PartSeen&) const = default;
};

std::vector<PartSeen> walkParts(const std::string& bytes, bool tracking, std::string* copied) {
  std::istringstream file(bytes);
  std::ostringstream copy;
  PackageStream stream(file, tracking, tracking ? &copy : nullptr);
  for (int type : INSTALL_PARTS) stream.wantPart(type);
  std::vector<PartSeen> seen;
  for (int type; seen.size() < 4096 && (type = stream.nextPart()) >= 0;) {
    PartSeen part{type, stream.partOffset(), stream.partLength(), ""};
    if (stream.get() != std::char_traits<char>::eof()) stream.unget();
    char head[8];
    stream.read(head, std::min<uint32_t>(sizeof head, part.length));
    part.head.assign(head, static_cast<size_t>(stream.gcount()));
    seen.push_back(part);
  }
  *copied = copy.str();
  return seen;
}

void compareWalks(const std::string& bytes) {
  std::string seekCopy, readCopy;
  if (walkParts(bytes, false, &seekCopy) != walkParts(bytes, true, &readCopy))
    fuzzing::violated("seeking and reading over parts disagree");
  if (readCopy.size() > bytes.size() || bytes.compare(0, readCopy.size(), readCopy) != 0)
    fuzzing::violated("a byte handed back was copied twice, or one was lost");
}

void readDownload(const std::string& bytes) {
  const std::string& root = fuzzing::scratchRoot();
  std::istringstream pipe(bytes);
  std::ostringstream copy;
  {
    PackageStream stream(pipe, true, &copy);
    for (int type : INSTALL_PARTS) stream.wantPart(type);
    FileTransaction transaction(root);
    const std::string flash = root + "/flash";
    if (stream.nextPart() == PART_BUNDLE) {
      PackageRecord bundle;
      if (parseHeader(stream, bundle)) {
        if (stream.currentType() == PART_IMAGE) {
          passOver(stream);
          stream.nextPart();
        }
        if (stream.currentType() == PART_BUNDLE_MEMBERS) stream.nextPart();
        for (int members = 0; stream.currentType() == PART_PACKAGE && members < 64; ++members)
          walkPackage(stream, transaction, flash);
      }
    } else {
      walkPackage(stream, transaction, flash);
    }
    // The rest of the file, as the trailing-part check reads it.
    while (stream.nextPart() >= 0) {
    }
    transaction.rollback();
  }
  // The copy sink holds exactly the bytes consumed, in file order.
  const std::string& copied = copy.str();
  if (copied.size() > bytes.size() || bytes.compare(0, copied.size(), copied) != 0)
    fuzzing::violated("copy sink differs from the bytes read");
}

}  // namespace
}  // namespace deployboot

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  deployboot::readStored(bytes);
  deployboot::readDownload(bytes);
  deployboot::compareWalks(bytes);
  return 0;
}
