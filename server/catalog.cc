#include "server/catalog.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "pkg/package_record.h"
#include "pkg/package_stream.h"

namespace deployboot::serve {

namespace {

// The installer uses at most this much of a name.
constexpr size_t INSTALLER_NAME_LENGTH = 32;

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Reads the package header, if the file has one.
bool readPackageHeader(const std::string& path, PackageRecord* record) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  PackageStream stream(in, false);
  if (stream.bad()) return false;
  for (int t : {PART_PACKAGE, PART_BUNDLE, PART_TEXT24, PART_ARCH, PART_TEXT2, PART_NOTE,
                PART_DEPENDS, PART_PROVIDES, PART_CONFLICTS})
    stream.wantPart(t);
  const int type = stream.nextPart();
  if (type != PART_PACKAGE && type != PART_BUNDLE) return false;
  return parseHeader(stream, *record);
}

bool addFile(const std::string& path, std::vector<ServedFile>* files, std::string* error,
             std::vector<std::string>* warnings) {
  std::ifstream probe(path, std::ios::binary);
  if (!probe) {
    *error = path + ": cannot be read";
    return false;
  }
  ServedFile f;
  f.path = path;
  f.name = std::filesystem::path(path).filename().string();
  f.size = std::filesystem::file_size(path);
  f.isScript = f.name.size() >= 5 && endsWith(f.name, ".scr");
  if (f.name.size() > INSTALLER_NAME_LENGTH)
    warnings->push_back(path + ": the installer uses only the first 32 characters of its name");
  if (!f.isScript) {
    PackageRecord record;
    if (readPackageHeader(path, &record)) {
      f.packageName = record.name;
      f.architecture = record.architecture;
      f.provides.push_back(record.name);
      for (const auto& p : record.provides) f.provides.push_back(p.name);
      for (const auto& d : record.dependencies) f.needs.push_back(d.name);
    } else {
      warnings->push_back(path + ": no package header; sent to every client as it is");
    }
  }
  files->push_back(std::move(f));
  return true;
}

}  // namespace

bool buildCatalog(const std::vector<std::string>& arguments, std::vector<ServedFile>* files,
                  std::string* error, std::vector<std::string>* warnings) {
  files->clear();
  for (const std::string& argument : arguments) {
    std::error_code ec;
    const auto status = std::filesystem::status(argument, ec);
    if (ec || !std::filesystem::exists(status)) {
      *error = argument + ": no such file or directory";
      return false;
    }
    if (std::filesystem::is_directory(status)) {
      std::vector<std::string> entries;
      for (const auto& entry : std::filesystem::directory_iterator(argument, ec))
        if (entry.is_regular_file()) entries.push_back(entry.path().string());
      if (ec) {
        *error = argument + ": cannot be listed";
        return false;
      }
      std::sort(entries.begin(), entries.end());
      for (const auto& path : entries)
        if (!addFile(path, files, error, warnings)) return false;
    } else if (std::filesystem::is_regular_file(status)) {
      if (!addFile(argument, files, error, warnings)) return false;
    } else {
      *error = argument + ": not a regular file or directory";
      return false;
    }
  }
  if (files->empty()) {
    *error = "no files to serve";
    return false;
  }
  return true;
}

std::vector<const ServedFile*> filesForClient(const std::vector<ServedFile>& catalog,
                                              const std::string& architecture) {
  std::vector<const ServedFile*> packages;
  std::vector<const ServedFile*> scripts;
  for (const auto& f : catalog) {
    if (f.isScript)
      scripts.push_back(&f);
    else if (f.packageName.empty() || f.architecture == architecture)
      packages.push_back(&f);
  }

  // Repeatedly take the first package in command-line order whose needs
  // are not provided by a package still waiting; a cycle falls back to
  // command-line order.
  std::vector<const ServedFile*> ordered;
  while (!packages.empty()) {
    std::set<std::string> waiting;
    for (const ServedFile* p : packages) waiting.insert(p->provides.begin(), p->provides.end());
    auto ready = std::find_if(packages.begin(), packages.end(), [&](const ServedFile* p) {
      return std::none_of(p->needs.begin(), p->needs.end(), [&](const std::string& need) {
        const bool own = std::find(p->provides.begin(), p->provides.end(), need) != p->provides.end();
        return !own && waiting.count(need) != 0;
      });
    });
    if (ready == packages.end()) ready = packages.begin();
    ordered.push_back(*ready);
    packages.erase(ready);
  }
  ordered.insert(ordered.end(), scripts.begin(), scripts.end());
  return ordered;
}

}  // namespace deployboot::serve
