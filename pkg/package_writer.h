// Writes package files: parts, header and list contents, the compressed
// file archive and the signature. Used by the package tool and by tests
// that need real package files.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pkg/curve25519.h"
#include "pkg/package_record.h"
#include "pkg/signature.h"

namespace deployboot {

// One archive entry. mode carries the st_mode file type and permissions.
struct ArchiveEntry {
  uint16_t mode = 0100644;
  std::string name;
  std::string data;
  bool skip = false;  // the skip marker: passed over even when a regular file
};

// The uncompressed bytes of one entry: 30-byte header, name, data.
std::string encodeArchiveEntry(const ArchiveEntry& entry);

// Builds the content of a files part: one zlib stream (15-bit window) of
// entries, fed piece by piece so that large files need not be held whole.
class ArchiveWriter {
 public:
  explicit ArchiveWriter(int level = Z_BEST_COMPRESSION);
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  void add(const ArchiveEntry& entry) { addRaw(encodeArchiveEntry(entry)); }
  // An entry header and name; its size bytes of data follow through addRaw.
  void beginEntry(uint16_t mode, const std::string& name, uint32_t size, bool skip = false);
  void addRaw(const void* data, size_t n);
  void addRaw(const std::string& bytes) { addRaw(bytes.data(), bytes.size()); }
  // The compressed content; the writer is spent afterwards.
  std::string finish();

 private:
  void pump(int flush);

  z_stream z_{};
  std::string out_;
  bool finished_ = false;
};

// A part: 2-byte type, 4-byte length, content.
void appendPart(std::string& out, int type, const std::string& content);
std::string partBytes(int type, const std::string& content);

// A 16-byte name field: NUL-padded, cut at 16 bytes.
std::string nameField(const std::string& name);
// Header content of types 1 and 18, with the 4 flag bytes.
std::string headerContent(const std::string& name, uint32_t version, uint32_t buildTime,
                          uint32_t flags);
// Content of types 3, 17, 19 and 20.
std::string listContent(const std::vector<PackageDependency>& list);

// The 8-byte file header in front of parts.
std::string fileHeader(uint32_t magic, uint64_t partsLength);

// Appends a signature part to parts. The signed span runs from
// parts[spanStart] (the package's type-1 header) to the end of the new
// part's 6-byte header. padding bytes follow the 68 signature bytes.
bool appendSignature(std::string& parts, size_t spanStart, const SigningKey& key,
                     const curve25519::Bytes32& nonce, size_t padding = 0);

// What a stand-alone package carries, laid out in the order the installer
// accepts: header, 24, 16, 2, 23, 3, 19, 17, image, files. Empty texts and
// lists are left out; the architecture part only when it is set.
struct PackageContents {
  PackageRecord record;
  bool withArchitecture = false;
  bool withImage = false;
  std::string image;
  bool withFiles = false;
  std::string files;  // compressed archive, as ArchiveWriter::finish gives it
};
std::string packageParts(const PackageContents& contents);

}  // namespace deployboot
