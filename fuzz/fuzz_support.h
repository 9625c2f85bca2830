// Shared by the fuzz targets: a private scratch root for the files that an
// archive would write, and a check that stops the run loudly.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace deployboot::fuzzing {

// A directory of this process's own, created once and removed at exit.
inline const std::string& scratchRoot() {
  static const std::string root = [] {
    const char* base = std::getenv("DEPLOYBOOT_FUZZ_SCRATCH");
    if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/deployboot-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
      std::perror("fuzz scratch directory");
      std::abort();
    }
    static std::string removal;
    removal = tmpl;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removal, ignored);
    });
    return tmpl;
  }();
  return root;
}

// An invariant of the code under test was broken: a crash for the fuzzer.
[[noreturn]] inline void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace deployboot::fuzzing
