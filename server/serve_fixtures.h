// Files to serve for deployserve's tests: a temporary directory with
// package files (real headers, no signature needed) and scripts.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "pkg/package_record.h"
#include "pkg/package_writer.h"

namespace deployboot::serve::testing {

class ServeDirectory {
 public:
  ServeDirectory() {
    char pattern[] = "/tmp/deployserve-test-XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "";
  }
  ~ServeDirectory() {
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }
  const std::string& path() const { return dir_; }

  std::string add(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // A package file `name` for `architecture` that depends on `needs`.
  std::string addPackage(const std::string& file, const std::string& name,
                         const std::string& architecture, std::vector<std::string> needs = {},
                         size_t padding = 0) {
    PackageContents c;
    c.record.name = name;
    c.record.version = 0x01006600;
    c.record.architecture = architecture;
    c.withArchitecture = true;
    for (const auto& n : needs) c.record.dependencies.push_back({n, 0, 0, 0});
    c.withImage = padding > 0;
    c.image = std::string(padding, 'i');
    const std::string parts = packageParts(c);
    return add(file, fileHeader(MAGIC_PACKAGE, parts.size()) + parts);
  }

 private:
  std::string dir_;
};

}  // namespace deployboot::serve::testing
