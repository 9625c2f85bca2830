#include "pkg/package_writer.h"

#include "support/endian.h"

namespace deployboot {

std::string encodeArchiveEntry(const ArchiveEntry& entry) {
  std::string out(ARCHIVE_ENTRY_HEADER_SIZE, '\0');
  storeLe16(out.data(), entry.mode);
  out[23] = entry.skip ? 1 : 0;
  storeLe32(out.data() + 24, static_cast<uint32_t>(entry.data.size()));
  storeLe16(out.data() + 28, static_cast<uint16_t>(entry.name.size()));
  out += entry.name;
  out += entry.data;
  return out;
}

ArchiveWriter::ArchiveWriter(int level) { deflateInit2(&z_, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY); }

ArchiveWriter::~ArchiveWriter() { deflateEnd(&z_); }

void ArchiveWriter::pump(int flush) {
  unsigned char piece[16384];
  do {
    z_.next_out = piece;
    z_.avail_out = sizeof piece;
    const int rc = deflate(&z_, flush);
    out_.append(reinterpret_cast<char*>(piece), sizeof piece - z_.avail_out);
    if (rc == Z_STREAM_END) return;
  } while (z_.avail_out == 0 || (flush == Z_FINISH));
}

void ArchiveWriter::beginEntry(uint16_t mode, const std::string& name, uint32_t size, bool skip) {
  char h[ARCHIVE_ENTRY_HEADER_SIZE] = {};
  storeLe16(h, mode);
  h[23] = skip ? 1 : 0;
  storeLe32(h + 24, size);
  storeLe16(h + 28, static_cast<uint16_t>(name.size()));
  addRaw(h, sizeof h);
  addRaw(name);
}

void ArchiveWriter::addRaw(const void* data, size_t n) {
  z_.next_in = static_cast<Bytef*>(const_cast<void*>(data));
  z_.avail_in = static_cast<uInt>(n);
  while (z_.avail_in > 0) pump(Z_NO_FLUSH);
}

std::string ArchiveWriter::finish() {
  if (!finished_) {
    z_.next_in = nullptr;
    z_.avail_in = 0;
    pump(Z_FINISH);
    finished_ = true;
  }
  return std::move(out_);
}

void appendPart(std::string& out, int type, const std::string& content) {
  char h[PART_HEADER_SIZE];
  storeLe16(h, static_cast<uint16_t>(type));
  storeLe32(h + 2, static_cast<uint32_t>(content.size()));
  out.append(h, sizeof h);
  out += content;
}

std::string partBytes(int type, const std::string& content) {
  std::string out;
  appendPart(out, type, content);
  return out;
}

std::string nameField(const std::string& name) {
  std::string field = name.substr(0, PACKAGE_NAME_SIZE);
  field.resize(PACKAGE_NAME_SIZE, '\0');
  return field;
}

std::string headerContent(const std::string& name, uint32_t version, uint32_t buildTime, uint32_t flags) {
  std::string out = nameField(name);
  out.resize(PACKAGE_HEADER_SIZE + PACKAGE_HEADER_FLAGS_SIZE, '\0');
  storeLe32(out.data() + 16, version);
  storeLe32(out.data() + 20, buildTime);
  storeLe32(out.data() + 32, flags);
  return out;
}

std::string listContent(const std::vector<PackageDependency>& list) {
  std::string out(2, '\0');
  storeLe16(out.data(), static_cast<uint16_t>(list.size()));
  for (const PackageDependency& d : list) {
    std::string r = nameField(d.name);
    r.resize(LIST_RECORD_SIZE, '\0');
    storeLe32(r.data() + 16, d.minVersion);
    storeLe32(r.data() + 24, d.maxVersion);
    storeLe32(r.data() + 28, d.extra);
    out += r;
  }
  return out;
}

std::string fileHeader(uint32_t magic, uint64_t partsLength) {
  std::string out(FILE_HEADER_SIZE, '\0');
  storeLe32(out.data(), magic);
  storeLe32(out.data() + 4, static_cast<uint32_t>(partsLength));
  return out;
}

bool appendSignature(std::string& parts, size_t spanStart, const SigningKey& key,
                     const curve25519::Bytes32& nonce, size_t padding) {
  const size_t headerAt = parts.size();
  appendPart(parts, PART_SIGNATURE, std::string(SIGNATURE_SIZE + padding, '\0'));
  Sha1 sha1;
  sha1.update(parts.data() + spanStart, headerAt + PART_HEADER_SIZE - spanStart);
  uint8_t signature[SIGNATURE_SIZE];
  if (!signDigest(key, sha1.finish(), nonce, signature)) {
    parts.resize(headerAt);
    return false;
  }
  parts.replace(headerAt + PART_HEADER_SIZE, SIGNATURE_SIZE, reinterpret_cast<char*>(signature),
                SIGNATURE_SIZE);
  return true;
}

std::string packageParts(const PackageContents& c) {
  const PackageRecord& r = c.record;
  std::string out;
  appendPart(out, r.isBundle ? PART_BUNDLE : PART_PACKAGE,
             headerContent(r.name, r.version, r.buildTime, r.flags));
  if (!r.text24.empty()) appendPart(out, PART_TEXT24, r.text24);
  if (c.withArchitecture) appendPart(out, PART_ARCH, r.architecture);
  if (!r.text2.empty()) appendPart(out, PART_TEXT2, r.text2);
  if (!r.note.empty()) appendPart(out, PART_NOTE, r.note);
  if (!r.dependencies.empty()) appendPart(out, PART_DEPENDS, listContent(r.dependencies));
  if (!r.provides.empty()) appendPart(out, PART_PROVIDES, listContent(r.provides));
  if (!r.conflicts.empty()) appendPart(out, PART_CONFLICTS, listContent(r.conflicts));
  if (c.withImage) appendPart(out, PART_IMAGE, c.image);
  if (c.withFiles) appendPart(out, PART_FILES, c.files);
  return out;
}

}  // namespace deployboot
