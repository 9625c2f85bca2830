// A file tree packed into memory, so that the router's configuration can be
// carried across the reformatting of its flash without any file in between.
//
// The packed stream is a sequence of entries in depth-first order (a
// directory before its contents, contents in directory-listing order):
//   path          absolute, NUL-terminated, never split across blocks
//   status        ENTRY_STATUS_SIZE bytes, little-endian; may be split
//   contents      regular files only: exactly `size` bytes; may be split
// Symbolic links are followed (a link is packed as what it points to);
// devices, pipes and sockets are left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "flash/package_states.h"  // readPackageStates travels with the archive

namespace deployboot {

constexpr uint32_t MAGIC_ARCHIVE_BLOCK = 0x5A0937EB;
// Data capacity of an ordinary block; a path that does not fit into the
// free space of the current block gets a block sized exactly to it.
constexpr uint32_t ARCHIVE_BLOCK_CAPACITY = 16000;

// Status record: mode u32, uid u32, gid u32, size u64,
// atime seconds s64, atime nanoseconds u32, mtime seconds s64, mtime ns u32.
constexpr size_t ENTRY_STATUS_SIZE = 44;

// One link of the chain, allocated together with its data bytes.
struct ArchiveBlock {
  uint32_t magic;
  uint32_t length;    // while filling: data capacity; once sealed: bytes held
  uint32_t position;  // while filling: bytes used; once sealed: read position
  ArchiveBlock* next;

  uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// Owns a sealed chain of blocks. Destroying it frees every block.
class ConfigArchive {
 public:
  explicit ConfigArchive(ArchiveBlock* first) : first_(first) {}
  ~ConfigArchive();
  ConfigArchive(const ConfigArchive&) = delete;
  ConfigArchive& operator=(const ConfigArchive&) = delete;

  ArchiveBlock* firstBlock() const { return first_; }
  size_t blockCount() const;
  // Length of the packed stream: the data bytes of all blocks.
  size_t packedBytes() const;

 private:
  ArchiveBlock* first_;
};

// Frees a chain of blocks, clearing each header before its memory goes.
void freeArchiveChain(ArchiveBlock* first);

// Packs the tree at `path` (a file or a directory). Null when any entry
// cannot be read, a link dangles, or memory runs out.
std::unique_ptr<ConfigArchive> packTree(const std::string& path);

// Recreates every entry at its recorded path and frees the archive.
// 1 on success; 0 when an entry cannot be created or written (a directory
// that already exists counts as failure) or the archive is damaged. What
// was written before a failure stays.
int unpackArchive(std::unique_ptr<ConfigArchive> archive);

}  // namespace deployboot
