// For tests that drive deploylab: the programs it needs, and reading back
// what a run left in a kept board directory.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace deployboot::testing {

// The first of the lab's programs (and `alsoNeeded`) that is not built in
// the build tree, or "" when all are.
inline std::string missingLabProgram(std::initializer_list<const char*> alsoNeeded = {}) {
  std::vector<const char*> programs = {"deploylab", "deployserve", "deployboot-vboard", "nandfix"};
  programs.insert(programs.end(), alsoNeeded);
  for (const char* program : programs) {
    if (access((std::string(DEPLOYBOOT_BINARY_DIR "/") + program).c_str(), X_OK) != 0) return program;
  }
  return "";
}

// The names in a directory; none when it cannot be listed.
inline std::set<std::string> directoryNames(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    names.insert(e.path().filename().string());
  return names;
}

// The saved partition that the board mounted at /flash, as its summary
// names it; empty when the summary does not.
inline std::string keptFlashOf(const std::string& boardDir) {
  std::ifstream in(boardDir + "/summary.txt");
  const std::string summary(std::istreambuf_iterator<char>(in), {});
  std::smatch m;
  if (!std::regex_search(summary, m, std::regex("/flash was mtd([0-9]+)"))) return "";
  return boardDir + "/saved/" + m[1].str();
}

}  // namespace deployboot::testing
