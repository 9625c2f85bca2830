// Carrying the router's configuration across the reformatting of its flash:
// read into memory from the old file system, written back onto the new one.
//
// Every path is taken below `root`: "" on the board, a scratch directory in
// tests.
#pragma once

#include <memory>
#include <string>

#include "flash/config_archive.h"
#include "pkg/package_states.h"

namespace deployboot {

constexpr const char* BRANDING_IMAGE_PATH = "/flash/var/pdb/branding/image";
constexpr const char* BRANDING_DIR = "/flash/var/pdb/branding";
constexpr const char* PREFERRED_STORE_PATH = "/flash/vela/store";
constexpr const char* FALLBACK_STORE_PATH = "/flash/rw/store";

// What is held in memory between the two file systems.
struct KeptConfiguration {
  std::unique_ptr<ConfigArchive> branding;  // null: no image was found
  std::unique_ptr<ConfigArchive> tree;      // null: nothing to write back
};

// With the old file system mounted: packs the branding image (silently), and
// when a configuration tree exists packs it ("Reading old configuration..."
// with progress dots) and refills `states` from the package database. A
// tree that cannot be packed is reported; the states are read all the same.
// Without any tree, `states` is left alone and nothing is printed.
KeptConfiguration readKeptConfiguration(PackageStateMap& states, const std::string& root = "");

// With the new file system mounted and its base directories made: writes
// the branding image and the tree back to their old paths ("Writing back
// old configuration..."), reporting a tree that cannot be written. The
// archives are freed either way.
void writeKeptConfiguration(KeptConfiguration kept, const std::string& root = "");

}  // namespace deployboot
