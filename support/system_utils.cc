#include "support/system_utils.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace deployboot {

namespace testing {
unsigned countCpusIn(const char* path) {
  unsigned count = 0;
  if (FILE* f = std::fopen(path, "r")) {
    // A line longer than the buffer arrives in pieces; each is tested like
    // a line, as the one the kernel writes never is that long.
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (std::strncmp(line, "cpu", 3) == 0 && std::isdigit(static_cast<unsigned char>(line[3])))
        ++count;
    }
    std::fclose(f);
  }
  return count ? count : 1;
}
}  // namespace testing

unsigned cpuCount() {
  static unsigned cached = 0;
  if (cached == 0) cached = testing::countCpusIn("/proc/stat");
  return cached;
}

std::string systemArchitecture() { return architectureForCpus(cpuCount()); }

bool writeTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out.is_open()) return false;
  out << text;
  return !out.fail();
}

}  // namespace deployboot
