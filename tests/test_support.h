// Helpers shared by the tests.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace deployboot::testing {

inline bool runningInCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool writeWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

inline bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// A directory of its own for one test under /tmp, removed with everything
// in it at the end of the test.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "deployboot-test") {
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace deployboot::testing

// Tests that need root skip with a reason on a developer's machine, and
// fail instead of skipping under CI=true, where they must run.
#define DEPLOYBOOT_REQUIRE_ROOT()                                                    \
  do {                                                                               \
    if (geteuid() != 0) {                                                            \
      if (::deployboot::testing::runningInCi()) FAIL() << "needs root (CI=true)";   \
      GTEST_SKIP() << "needs root";                                                 \
    }                                                                                \
  } while (0)
