// The decompressed side of a package's file archive: a zlib stream read
// through the package reader in bounded pieces.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace deployboot {

class PackageStream;

class ArchiveInflater {
 public:
  static constexpr size_t BUFFER_SIZE = 4096;

  explicit ArchiveInflater(PackageStream& stream);
  ~ArchiveInflater();
  ArchiveInflater(const ArchiveInflater&) = delete;
  ArchiveInflater& operator=(const ArchiveInflater&) = delete;

  // Reads exactly n decompressed bytes; false when the data ends first
  // (end of the zlib stream, corrupt data or the end of the part).
  bool read(void* out, size_t n);
  // Passes over n decompressed bytes in pieces of 1024.
  bool skip(uint64_t n);

 private:
  bool refill();

  PackageStream& stream_;
  z_stream z_{};
  bool ready_ = false;
  bool ended_ = false;
  unsigned char in_[BUFFER_SIZE];
  unsigned char out_[BUFFER_SIZE];
  size_t outPos_ = 0;
  size_t outEnd_ = 0;
};

// True when name, taken as a path, has a ".." component or a NUL byte:
// writing it would leave the installation root.
bool unsafeEntryName(const std::string& name);

}  // namespace deployboot
