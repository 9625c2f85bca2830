#include <cstring>

#include "pkg/package_stream.h"
#include "support/endian.h"

namespace deployboot {
namespace {

std::string fixedName(const uint8_t* field) {
  const void* nul = std::memchr(field, 0, PACKAGE_NAME_SIZE);
  const size_t n = nul ? static_cast<const uint8_t*>(nul) - field : PACKAGE_NAME_SIZE;
  return std::string(reinterpret_cast<const char*>(field), n);
}

// Grows the text only as bytes really arrive, so a lying length costs nothing.
bool readText(PackageStream& stream, std::string* text) {
  text->clear();
  char piece[4096];
  uint32_t left = stream.partLength();
  while (left > 0) {
    const uint32_t want = left < sizeof piece ? left : sizeof piece;
    if (!stream.read(piece, want)) return false;
    text->append(piece, want);
    left -= want;
  }
  return true;
}

bool readList(PackageStream& stream, std::vector<PackageDependency>* list) {
  list->clear();
  uint8_t count[2];
  if (!stream.read(reinterpret_cast<char*>(count), 2)) return false;
  for (unsigned n = loadLe16(count); n > 0; --n) {
    uint8_t r[LIST_RECORD_SIZE];
    if (!stream.read(reinterpret_cast<char*>(r), sizeof r)) return false;
    list->push_back({fixedName(r), loadLe32(r + 16), loadLe32(r + 24), loadLe32(r + 28)});
  }
  return true;
}

}  // namespace

bool parseHeader(PackageStream& stream, PackageRecord& record) {
  const int type = stream.currentType();
  if (type != PART_PACKAGE && type != PART_BUNDLE) return false;
  record.isBundle = type == PART_BUNDLE;
  uint8_t h[PACKAGE_HEADER_SIZE];
  if (!stream.read(reinterpret_cast<char*>(h), sizeof h)) return false;
  record.name = fixedName(h);
  record.version = loadLe32(h + 16);
  record.buildTime = loadLe32(h + 20);

  uint8_t flags[PACKAGE_HEADER_FLAGS_SIZE];
  stream.read(reinterpret_cast<char*>(flags), sizeof flags);
  record.flags = stream.gcount() == sizeof flags ? loadLe32(flags) : 0;
  if (!stream.bad()) stream.clear();  // a 32-byte header simply has no flags
  stream.nextPart();

  record.text24.clear();
  record.text2.clear();
  record.note.clear();
  record.architecture = DEFAULT_ARCHITECTURE;
  record.dependencies.clear();
  record.provides.clear();
  record.conflicts.clear();
  record.hasImage = false;

  // Each optional part is taken only in this order; the first one out of
  // order stays current for the caller.
  struct Optional {
    int type;
    std::string* text;
    std::vector<PackageDependency>* list;
  };
  const Optional order[] = {
      {PART_TEXT24, &record.text24, nullptr},    {PART_ARCH, &record.architecture, nullptr},
      {PART_TEXT2, &record.text2, nullptr},      {PART_NOTE, &record.note, nullptr},
      {PART_DEPENDS, nullptr, &record.dependencies}, {PART_PROVIDES, nullptr, &record.provides},
      {PART_CONFLICTS, nullptr, &record.conflicts},
  };
  for (const Optional& part : order) {
    if (stream.currentType() != part.type) continue;
    if (part.text ? !readText(stream, part.text) : !readList(stream, part.list)) return false;
    stream.nextPart();
  }
  if (stream.currentType() == PART_IMAGE) record.hasImage = true;
  return true;
}

}  // namespace deployboot
