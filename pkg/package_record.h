// What a package file's header parts say about a package: the record the
// header parser fills and the package database builds on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace deployboot {

// File magics (little-endian in the file).
inline constexpr uint32_t MAGIC_PACKAGE = 0xBAD0F11E;
// Files installed, but the package gets no record in the database.
inline constexpr uint32_t MAGIC_UNRECORDED = 0xA1100FFB;

// Part types. Any other type is legal and passed over unread.
inline constexpr int PART_PACKAGE = 1;
inline constexpr int PART_TEXT2 = 2;
inline constexpr int PART_DEPENDS = 3;
inline constexpr int PART_FILES = 4;
inline constexpr int PART_SIGNATURE = 9;
inline constexpr int PART_ARCH = 16;
inline constexpr int PART_CONFLICTS = 17;
inline constexpr int PART_BUNDLE = 18;
inline constexpr int PART_PROVIDES = 19;
inline constexpr int PART_BUNDLE_MEMBERS = 20;
inline constexpr int PART_IMAGE = 21;
inline constexpr int PART_NOTE = 23;
inline constexpr int PART_TEXT24 = 24;

// Layout sizes.
inline constexpr size_t FILE_HEADER_SIZE = 8;
inline constexpr size_t PART_HEADER_SIZE = 6;
inline constexpr size_t PACKAGE_NAME_SIZE = 16;
inline constexpr size_t PACKAGE_HEADER_SIZE = 32;     // without the optional flags
inline constexpr size_t PACKAGE_HEADER_FLAGS_SIZE = 4;
inline constexpr size_t LIST_RECORD_SIZE = 32;
inline constexpr size_t SIGNATURE_SIZE = 68;          // digest 20, r 16, s 32
inline constexpr size_t ARCHIVE_ENTRY_HEADER_SIZE = 30;

// Header flags.
inline constexpr uint32_t PACKAGE_FLAG_BOOT_IMAGE = 1u << 0;   // upgrade marker, boot image
inline constexpr uint32_t PACKAGE_FLAG_NO_METADATA = 1u << 1;  // no metadata files in the database

// The architecture of a package without an architecture part.
inline constexpr const char* DEFAULT_ARCHITECTURE = "i386";

// An entry of a dependency, provides or conflicts list, or a bundle
// reference. A version bound of 0 is open.
struct PackageDependency {
  std::string name;
  uint32_t minVersion = 0;
  uint32_t maxVersion = 0;
  uint32_t extra = 0;  // provides entries: a signed precedence

  bool operator==(const PackageDependency&) const = default;
};

struct PackageRecord {
  virtual ~PackageRecord() = default;

  std::string name;
  uint32_t version = 0;
  uint32_t buildTime = 0;
  uint32_t flags = 0;
  std::string text24;  // part 24, not interpreted
  std::string text2;   // part 2, not interpreted
  std::string note;    // part 23
  std::string architecture = DEFAULT_ARCHITECTURE;
  bool hasImage = false;   // an image part followed the header parts
  bool isBundle = false;   // the header came from a bundle header part
  std::vector<PackageDependency> dependencies;
  std::vector<PackageDependency> provides;
  std::vector<PackageDependency> conflicts;

  // Full target paths of the regular files the archive wrote.
  std::set<std::string> files;
};

}  // namespace deployboot
