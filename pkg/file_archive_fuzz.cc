// The file archive decoder on arbitrary archive contents: the input is the
// decompressed archive, packed here into the files part of a package, so
// that the fuzzer works on entry headers and names rather than on zlib's
// bit stream. Files go into temporary files of a transaction below a
// scratch root, and are rolled back.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "pkg/file_archive.h"
#include "pkg/file_transaction.h"
#include "pkg/package_record.h"
#include "pkg/package_stream.h"
#include "pkg/package_writer.h"

namespace deployboot {
namespace {

std::string packageAround(const uint8_t* data, size_t size) {
  ArchiveWriter writer(Z_BEST_SPEED);
  writer.addRaw(data, size);
  std::string parts = partBytes(PART_PACKAGE, headerContent("fuzz", 1, 1, 0));
  appendPart(parts, PART_FILES, writer.finish());
  appendPart(parts, PART_SIGNATURE, std::string(SIGNATURE_SIZE, '\0'));
  return fileHeader(MAGIC_PACKAGE, parts.size()) + parts;
}

bool hasDotDot(const std::string& path) {
  return path.find("/../") != std::string::npos || path.ends_with("/..");
}

}  // namespace
}  // namespace deployboot

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace deployboot;
  const std::string& scratch = fuzzing::scratchRoot();
  const std::string root = scratch + "/flash";
  std::istringstream source(packageAround(data, size));
  PackageStream stream(source, true);
  for (int type : {PART_PACKAGE, PART_FILES, PART_SIGNATURE}) stream.wantPart(type);
  if (stream.nextPart() != PART_PACKAGE) fuzzing::violated("package header part not found");
  if (stream.nextPart() != PART_FILES) fuzzing::violated("files part not found");

  PackageRecord record;
  FileTransaction transaction(scratch);
  const bool ok = extractFiles(stream, record, transaction, root);
  for (const std::string& target : record.files) {
    if (!target.starts_with(root + "/") || hasDotDot(target))
      fuzzing::violated("an entry escaped the installation root");
    const FileTransaction::Entry* entry = transaction.find(target);
    if (!entry || entry->op != FileTransaction::MoveTemp)
      fuzzing::violated("a written file has no pending move");
    if (!entry->source.starts_with(scratch + "/"))
      fuzzing::violated("a temporary file outside the scratch root");
  }
  // A well-formed archive is read to the end of its part; the signature
  // part must follow whatever the archive held.
  if (ok && stream.nextPart() != PART_SIGNATURE) fuzzing::violated("lost the part after the archive");
  transaction.rollback();
  return 0;
}
