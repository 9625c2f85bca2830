// The regular files below a directory, as they go into a package archive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pkg/package_writer.h"

namespace deployboot::pkgtool {

struct RootFile {
  std::string path;  // on this machine
  std::string name;  // in the archive: relative to the root, "/"-separated
  uint16_t mode;
  uint64_t size;
};

// In name order. False (error set) when the tree cannot be read.
bool listRootFiles(const std::string& root, std::vector<RootFile>* files, std::string* error);

// Adds every file, read in pieces, to the archive.
bool archiveRootFiles(const std::vector<RootFile>& files, ArchiveWriter& archive, std::string* error);

}  // namespace deployboot::pkgtool
