#include "pkg/version.h"

#include <cstdio>
#include <cstring>

namespace deployboot {
namespace {

const char* kindText(uint8_t kind) {
  switch (kind) {
    case VERSION_KIND_ALPHA: return "alpha";
    case VERSION_KIND_BETA: return "beta";
    case VERSION_KIND_RC: return "rc";
    default: return "";
  }
}

// Reads a decimal number of at most 255 at `*p`; at least one digit.
bool readComponent(const char** p, uint8_t* out) {
  const char* s = *p;
  unsigned value = 0;
  int digits = 0;
  while (*s >= '0' && *s <= '9') {
    value = value * 10 + static_cast<unsigned>(*s - '0');
    if (value > 255) return false;
    ++s;
    ++digits;
  }
  if (digits == 0) return false;
  *p = s;
  *out = static_cast<uint8_t>(value);
  return true;
}

}  // namespace

std::string formatVersion(Version version) {
  const unsigned major = version >> 24;
  const unsigned minor = (version >> 16) & 0xFF;
  const uint8_t kind = static_cast<uint8_t>(version >> 8);
  const unsigned number = version & 0xFF;
  char text[80];
  if (kind == VERSION_KIND_FINAL) {
    if (number == 0)
      std::snprintf(text, sizeof text, "%u.%u", major, minor);
    else
      std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, number);
  } else if (number == 0) {
    std::snprintf(text, sizeof text, "%u.%u%s", major, minor, kindText(kind));
  } else {
    std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, kindText(kind), number);
  }
  return text;
}

bool parseVersion(const std::string& text, Version* out) {
  if (text.size() != std::strlen(text.c_str())) return false;  // embedded NUL
  const char* p = text.c_str();
  uint8_t major, minor, number = 0;
  uint8_t kind = VERSION_KIND_FINAL;
  if (!readComponent(&p, &major) || *p++ != '.' || !readComponent(&p, &minor)) return false;
  if (*p == '.') {
    ++p;
    if (!readComponent(&p, &number)) return false;
  } else if (*p != '\0') {
    static const struct { const char* word; uint8_t kind; } kinds[] = {
        {"alpha", VERSION_KIND_ALPHA}, {"beta", VERSION_KIND_BETA}, {"rc", VERSION_KIND_RC}};
    bool known = false;
    for (const auto& k : kinds) {
      const size_t n = std::strlen(k.word);
      if (std::strncmp(p, k.word, n) == 0) {
        kind = k.kind;
        p += n;
        known = true;
        break;
      }
    }
    if (!known) return false;
    if (*p != '\0' && !readComponent(&p, &number)) return false;
  }
  if (*p != '\0') return false;
  *out = makeVersion(major, minor, kind, number);
  return true;
}

std::string packageLabel(const std::string& name, Version version) {
  return name + "-" + formatVersion(version);
}

bool versionInRange(Version version, Version minVersion, Version maxVersion) {
  return version >= minVersion && (maxVersion == 0 || version <= maxVersion);
}

bool versionRangesOverlap(Version providedMin, Version providedMax, Version wantedMin,
                          Version wantedMax) {
  if (providedMin != 0 && wantedMax != 0 && wantedMax < providedMin) return false;
  if (providedMax != 0 && wantedMin != 0 && providedMax < wantedMin) return false;
  return true;
}

int compareVersionAndBuild(Version versionA, uint32_t buildTimeA, Version versionB,
                           uint32_t buildTimeB) {
  if (versionA != versionB) return versionA > versionB ? 1 : -1;
  if (buildTimeA != buildTimeB) return buildTimeA > buildTimeB ? 1 : -1;
  return 0;
}

}  // namespace deployboot
