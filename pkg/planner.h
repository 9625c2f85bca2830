// Deciding whether a package or bundle may join the database, having it
// written, and settling the database afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "pkg/package_states.h"
#include "pkg/repository.h"

namespace deployboot {

class FileTransaction;
class PackageStream;

// Result codes of installBundle (0 is success).
enum BundleResult : int { BundleInstalled = 0, BundleBroken = 1, BundleRefused = 2, BundleEmpty = 3 };

// The rules of the system packages ("system", "zentrail*") against the
// board, on plain values: the board's minimum version (tag 37, 0 = none)
// and the erase size of the first MTD device (0 = unknown).
enum class Compatibility { Compatible, BelowBoardMinimum, UnsupportedFileSystem };
Compatibility systemCompatibility(Version version, uint32_t boardMinimum, uint32_t mtdEraseSize);
bool isSystemPackage(const std::string& name);
// The erase size of /dev/mtd0, 0 when it cannot be asked.
uint32_t firstMtdEraseSize();

bool checkCompatibility(Repository& repository, const InstalledPackage& record, bool report);
// Result bits (Newer, Older, Incompatible, Conflicting, Same) of installing
// record beside the database; every refusal is printed once unless allowed.
uint32_t checkInstall(Repository& repository, const InstalledPackage& record, uint32_t allow);

// One package from reader's current header part. bundleRef names the bundle
// it belongs to (or is null); packageDir and bootImage, when given, are
// filled for the caller that stores the package file.
InstalledPackage* installSingle(Repository& repository, FileTransaction& transaction,
                                PackageStream& reader, uint32_t flags,
                                const PackageStateMap& choices,
                                const PackageDependency* bundleRef, std::string* packageDir,
                                bool* bootImage);
// 0 installed, 1 broken, 2 refused (or a member failed), 3 no members;
// label (when given) receives the bundle's label on success.
int installBundle(Repository& repository, FileTransaction& transaction, PackageStream& reader,
                  uint32_t flags, const PackageStateMap& choices, std::string* packageDir,
                  bool* bootImage, std::string* label = nullptr);

}  // namespace deployboot
