// The package database of the router being installed: one directory per
// package under "/flash/var/pdb/", loaded into records on open, changed
// only through the caller's FileTransaction. The repository also owns the
// console's status line (the progress bar) and every package message.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "pkg/package_states.h"
#include "pkg/relations.h"

namespace deployboot {

class FileTransaction;

inline constexpr const char* PACKAGE_DATABASE_DIR = "/flash/var/pdb/";
inline constexpr const char* STORED_IMAGES_DIR = "/rw/pckg/.images/";

// Permission bits of checkInstall and installPackage.
enum InstallAllow : uint32_t {
  AllowUpgrade = 0x01,
  AllowDowngrade = 0x02,
  Quiet = 0x08,
  AllowConflicts = 0x10,
  AllowReinstall = 0x20,
};

// Result bits of checkInstall.
enum InstallCheck : uint32_t {
  Newer = 0x01,
  Older = 0x02,
  Incompatible = 0x08,
  Conflicting = 0x10,
  Same = 0x20,
};

class Repository {
 public:
  // The process-wide repository: created on first use, never destroyed.
  static Repository& instance();

  Repository();
  ~Repository();
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  // Sets quiet and the router's architecture and loads the database.
  void open(bool quiet, const std::string& architecture);

  // Reads one package file from `in` and installs it (or the bundle it
  // holds). Every byte read is copied to `copy` when given; packageDir and
  // bootImage tell the caller where the package file itself belongs.
  // 0 on success.
  int installPackage(FileTransaction& transaction, std::istream& in, uint32_t flags,
                     const PackageStateMap& choices, std::ostream* copy,
                     std::string* packageDir, bool* bootImage);

  // Records, in load and insertion order (the order of every scan).
  PackageList& packages() { return packages_; }
  const PackageList& packages() const { return packages_; }
  const std::string& architecture() const { return architecture_; }
  bool quiet() const { return quiet_; }

  int find(const std::string& name) const;
  InstalledPackage* byName(const std::string& name) const;
  InstalledPackage* append(std::unique_ptr<InstalledPackage> record);
  // Takes the record out of the vector and destroys it.
  void destroy(InstalledPackage* record);
  // Schedules the removal of the named package's files and directory and
  // destroys its record; false when there is none.
  bool removeInstalled(FileTransaction& transaction, const std::string& name);

  // Reads the text files of the record's package directory.
  void readRecord(InstalledPackage& record);
  bool claimDirectory(const InstalledPackage& record, FileTransaction& transaction);
  // Writes the record's text files; a failure is reported and answers false.
  bool writeMetadata(InstalledPackage& record, FileTransaction& transaction);
  void applyEnable(InstalledPackage& record, FileTransaction& transaction);
  void applyDisable(InstalledPackage& record, FileTransaction& transaction);
  void uninstallFiles(InstalledPackage& record, FileTransaction& transaction);

  // The console's last line; redrawn only when it changes.
  void status(const std::string& text);
  const std::string& statusLine() const { return statusLine_; }
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void info(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Where messages go (standard output unless a test says otherwise).
  void setOutput(std::ostream& out) { out_ = &out; }

 private:
  void load();
  void loadImage(const std::string& path);
  void print(const char* prefix, const char* format, va_list args);

  std::string architecture_;
  PackageList packages_;
  std::string statusLine_;
  bool quiet_ = false;
  std::ostream* out_;
};

}  // namespace deployboot
