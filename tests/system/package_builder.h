// Builds package files for the package tests: headers, lists, a zlib file
// archive, an image part and a signature by a given key (the development
// key in keys/ for packages the installer must accept).
#pragma once

#include <zlib.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pkg/package_record.h"
#include "pkg/sha1.h"
#include "pkg/sha256.h"
#include "pkg/signature.h"
#include "support/endian.h"

namespace deployboot::testing {

struct TestFile {
  std::string name;
  std::string data;
  uint16_t mode = 0100644;
  uint8_t skipMarker = 0;
};

struct TestPackage {
  std::string name;
  uint32_t version = 0;
  uint32_t buildTime = 1000;
  uint32_t flags = 0;
  std::string architecture = "mmips";  // empty: no architecture part
  std::vector<PackageDependency> dependencies, provides, conflicts;
  std::string image;                   // non-empty: an image part
  bool hasFiles = true;
  std::vector<TestFile> files;
  bool badSignature = false;
  std::string afterSignature;          // raw parts after the signature
};

inline TestPackage testPackage(const std::string& name, uint32_t version,
                               const std::string& architecture = "mmips") {
  TestPackage p;
  p.name = name;
  p.version = version;
  p.architecture = architecture;
  return p;
}

inline std::string le16(uint16_t v) {
  char b[2];
  storeLe16(b, v);
  return std::string(b, 2);
}
inline std::string le32(uint32_t v) {
  char b[4];
  storeLe32(b, v);
  return std::string(b, 4);
}

inline std::string part(int type, const std::string& content) {
  return le16(static_cast<uint16_t>(type)) + le32(static_cast<uint32_t>(content.size())) +
         content;
}

inline std::string fixedName(const std::string& name) {
  std::string out = name.substr(0, PACKAGE_NAME_SIZE);
  out.resize(PACKAGE_NAME_SIZE, '\0');
  return out;
}

inline std::string headerContent(const std::string& name, uint32_t version, uint32_t buildTime,
                                 uint32_t flags) {
  return fixedName(name) + le32(version) + le32(buildTime) + std::string(8, '\0') + le32(flags);
}

inline std::string listContent(const std::vector<PackageDependency>& list) {
  std::string out = le16(static_cast<uint16_t>(list.size()));
  for (const PackageDependency& d : list)
    out += fixedName(d.name) + le32(d.minVersion) + le32(0) + le32(d.maxVersion) + le32(d.extra);
  return out;
}

inline std::string archiveContent(const std::vector<TestFile>& files) {
  std::string raw;
  for (const TestFile& f : files) {
    std::string header(ARCHIVE_ENTRY_HEADER_SIZE, '\0');
    storeLe16(header.data(), f.mode);
    header[23] = static_cast<char>(f.skipMarker);
    storeLe32(header.data() + 24, static_cast<uint32_t>(f.data.size()));
    storeLe16(header.data() + 28, static_cast<uint16_t>(f.name.size()));
    raw += header + f.name + f.data;
  }
  uLongf size = compressBound(raw.size());
  std::string packed(size, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
            reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 6);
  packed.resize(size);
  return packed;
}

// The development signing key of keys/ (32 raw bytes or 64 hex digits),
// or the one $DEPLOYBOOT_SIGNING_KEY names for a build made with another
// verification key.
inline bool developmentKey(SigningKey* key) {
  const char* path = std::getenv("DEPLOYBOOT_SIGNING_KEY");
  std::ifstream in(path && *path ? path : DEPLOYBOOT_SOURCE_DIR "/keys/development.key",
                   std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  curve25519::Bytes32 secret{};
  if (text.size() == 32) {
    std::memcpy(secret.data(), text.data(), 32);
  } else {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (text.size() != 64) return false;
    for (size_t i = 0; i < 32; ++i) secret[i] = std::stoi(text.substr(2 * i, 2), nullptr, 16);
  }
  return signingKeyFromSecret(secret, key);
}

// The parts of one package, from its header to its signature (and what
// the test puts after it).
inline std::string packageParts(const TestPackage& p, const SigningKey& key) {
  std::string signedSpan = part(PART_PACKAGE, headerContent(p.name, p.version, p.buildTime,
                                                            p.flags));
  if (!p.architecture.empty()) signedSpan += part(PART_ARCH, p.architecture);
  if (!p.dependencies.empty()) signedSpan += part(PART_DEPENDS, listContent(p.dependencies));
  if (!p.provides.empty()) signedSpan += part(PART_PROVIDES, listContent(p.provides));
  if (!p.conflicts.empty()) signedSpan += part(PART_CONFLICTS, listContent(p.conflicts));
  if (!p.image.empty()) signedSpan += part(PART_IMAGE, p.image);
  if (p.hasFiles) signedSpan += part(PART_FILES, archiveContent(p.files));
  signedSpan += le16(PART_SIGNATURE) + le32(SIGNATURE_SIZE);

  Sha1 sha;
  sha.update(signedSpan.data(), signedSpan.size());
  Sha1::Digest digest = sha.finish();
  uint8_t signature[SIGNATURE_SIZE] = {};
  curve25519::Bytes32 nonce = Sha256::of(signedSpan.data(), signedSpan.size());
  while (!signDigest(key, digest, nonce, signature)) nonce = Sha256::of(nonce.data(), 32);
  if (p.badSignature) signature[40] ^= 0x01;
  return signedSpan + std::string(reinterpret_cast<char*>(signature), SIGNATURE_SIZE) +
         p.afterSignature;
}

inline std::string fileOf(const std::string& parts, uint32_t magic = MAGIC_PACKAGE) {
  return le32(magic) + le32(static_cast<uint32_t>(parts.size())) + parts;
}

inline std::string packageFile(const TestPackage& p, const SigningKey& key,
                               uint32_t magic = MAGIC_PACKAGE) {
  return fileOf(packageParts(p, key), magic);
}

// A bundle: its header, optional image and member list, then members.
inline std::string bundleFile(const std::string& name, uint32_t version,
                              const std::vector<TestPackage>& members, const SigningKey& key,
                              const std::vector<PackageDependency>* memberList = nullptr,
                              const std::string& image = "",
                              const std::string& architecture = "mmips") {
  std::string parts = part(PART_BUNDLE, headerContent(name, version, 2000, 0));
  if (!architecture.empty()) parts += part(PART_ARCH, architecture);
  if (!image.empty()) parts += part(PART_IMAGE, image);
  if (memberList) parts += part(PART_BUNDLE_MEMBERS, listContent(*memberList));
  for (const TestPackage& m : members) parts += packageParts(m, key);
  return fileOf(parts);
}

}  // namespace deployboot::testing
