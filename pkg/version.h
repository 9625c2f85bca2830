// Version numbers: one 32-bit encoding shared by packages, dependency
// bounds and bundle references, compared as a plain unsigned integer.
//
//   bits 31-24 major, 23-16 minor, 15-8 kind letter, 7-0 number
//
// Kind 'f' is a final release whose number is the third component
// (0 = none); 'a', 'b' and 'c' are alpha, beta and release candidate with
// their pre-release number (0 = none). Because the kind sits above the
// number, 1.2alpha3 < 1.2beta1 < 1.2rc1 < 1.2 < 1.2.1 < 1.3alpha1.
#pragma once

#include <cstdint>
#include <string>

namespace deployboot {

using Version = uint32_t;

inline constexpr uint8_t VERSION_KIND_ALPHA = 'a';
inline constexpr uint8_t VERSION_KIND_BETA = 'b';
inline constexpr uint8_t VERSION_KIND_RC = 'c';
inline constexpr uint8_t VERSION_KIND_FINAL = 'f';

constexpr Version makeVersion(uint8_t major, uint8_t minor, uint8_t kind, uint8_t number) {
  return (Version{major} << 24) | (Version{minor} << 16) | (Version{kind} << 8) | number;
}

// "4.14", "4.14.2", "5.0rc4", "6.1beta2", "5.0rc"; a kind letter other than
// a, b, c and f prints no kind text ("3.22", "3.22255").
std::string formatVersion(Version version);

// The reverse of formatVersion for the four known kinds: "6.47",
// "4.14.2", "6.48rc3", "7.1beta2", "2.0alpha", "5.0rc". Every number must
// fit in 0-255; anything else (empty text, a missing minor, trailing text,
// blanks, signs) is rejected and *out is left untouched.
bool parseVersion(const std::string& text, Version* out);

// "system-4.14": the name, "-" and the printed version.
std::string packageLabel(const std::string& name, Version version);

// The rules behind satisfies and rangesOverlap, on plain values. A bound of
// 0 is open.
bool versionInRange(Version version, Version minVersion, Version maxVersion);
bool versionRangesOverlap(Version providedMin, Version providedMax, Version wantedMin,
                          Version wantedMax);
// 1 when a is newer, -1 when older, 0 when equal; the build time breaks
// ties between equal versions.
int compareVersionAndBuild(Version versionA, uint32_t buildTimeA, Version versionB,
                           uint32_t buildTimeB);

// The following take any dependency type with `name`, `minVersion` and
// `maxVersion` members (PackageDependency), and any record type with
// `name`, `version` and `buildTime` members (PackageRecord), so that this
// header stays below the package file reader.

// The name alone when minVersion is 0, else "name-minVersion".
template <class Dependency>
std::string dependencyLabel(const Dependency& dependency) {
  if (dependency.minVersion == 0) return dependency.name;
  return packageLabel(dependency.name, dependency.minVersion);
}

// An installed package `name` of `version` meets the dependency: same name
// (byte-wise) and the version within [minVersion, maxVersion].
template <class Dependency>
bool satisfies(const std::string& name, Version version, const Dependency& dependency) {
  return name == dependency.name &&
         versionInRange(version, dependency.minVersion, dependency.maxVersion);
}

// A provided range and a wanted range of the same name have a version in
// common.
template <class Dependency>
bool rangesOverlap(const Dependency& provided, const Dependency& wanted) {
  return provided.name == wanted.name &&
         versionRangesOverlap(provided.minVersion, provided.maxVersion, wanted.minVersion,
                              wanted.maxVersion);
}

// Records of different names are unrelated (0); otherwise version, then
// build time, decide.
template <class Record>
int compareVersions(const Record& a, const Record& b) {
  if (a.name != b.name) return 0;
  return compareVersionAndBuild(a.version, a.buildTime, b.version, b.buildTime);
}

}  // namespace deployboot
