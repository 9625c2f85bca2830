// Architecture name and one-call text files.
#pragma once

#include <string>

namespace deployboot {

// CPUs listed in /proc/stat ("cpuN" lines), at least 1; computed once.
unsigned cpuCount();

// The architecture a machine with `cpus` CPUs reports: "mipsle" for one,
// "mmips" for more.
inline std::string architectureForCpus(unsigned cpus) { return cpus < 2 ? "mipsle" : "mmips"; }

// architectureForCpus(cpuCount()).
std::string systemArchitecture();

// Creates or truncates `path` and writes `text`; true when the stream was
// still good after the write.
bool writeTextFile(const std::string& path, const std::string& text);

namespace testing {
// Counts CPUs in a /proc/stat image read from `path`, without the cache.
unsigned countCpusIn(const char* path);
}  // namespace testing

}  // namespace deployboot
