// The files a server offers and the order in which each client gets them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace deployboot::serve {

struct ServedFile {
  std::string path;  // on this machine
  std::string name;  // as sent: the file's base name
  uint64_t size = 0;
  bool isScript = false;  // name ends in ".scr"

  // From the package header; empty when the file has none.
  std::string packageName;
  std::string architecture;
  std::vector<std::string> provides;  // the package's own name included
  std::vector<std::string> needs;     // names it depends on
};

// Collects the files named on the command line: each FILE, and the regular
// files of each DIR in name order. False with `error` set for a missing or
// unreadable argument; `warnings` gets files that will be served without a
// package header, or whose names the installer cuts.
bool buildCatalog(const std::vector<std::string>& arguments, std::vector<ServedFile>* files,
                  std::string* error, std::vector<std::string>* warnings);

// What one client gets, in order: the packages for its architecture
// (files without a package header go to everyone), those that others
// depend on first and otherwise in command-line order, then the scripts.
std::vector<const ServedFile*> filesForClient(const std::vector<ServedFile>& catalog,
                                              const std::string& architecture);

}  // namespace deployboot::serve
