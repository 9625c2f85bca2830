// Turning an accepted package into files: the walk over the rest of the
// package file after its header parts, with the progress bar.
#pragma once

#include <string>

#include "pkg/database_record.h"

namespace deployboot {

class FileTransaction;
class PackageStream;
class Repository;

// Passes over the image part, unpacks the file archive (unless booted for
// a boot image), verifies the signature, checks what follows and writes
// the database files. false once a step failed; it has been reported
// (except a package directory that could not be claimed).
bool installContents(Repository& repository, InstalledPackage& record,
                     FileTransaction& transaction, PackageStream& reader);

// "installing foo-1.0 [####      ]", 77 characters, filled by how far the
// reader has come through the file.
std::string progressBar(const InstalledPackage& record, const PackageStream& reader);
void showProgress(Repository& repository, const InstalledPackage& record,
                  const PackageStream& reader);

// A file that could not be created, written or closed, worded by errno.
void reportWriteFailure(Repository& repository, const InstalledPackage& record,
                        const std::string& path);
// "installation of %s failed: broken package".
void reportBroken(Repository& repository, const InstalledPackage& record);

// Whether the staged files that wait outside their target's file system
// (in RAM, because the target had no room when they were made) still fit
// there, so that the commit will not run out of space half-way.
bool stagedFilesFit(const FileTransaction& transaction);

// The process was booted to install a boot image ("bootimage" is set).
bool bootedForBootImage();

// Root of a package's files: "/flash", or "/flash/x/<name>" while disabled.
std::string installRoot(const InstalledPackage& record);

}  // namespace deployboot
