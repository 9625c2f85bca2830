// Architecture name and one-call text files.
#pragma once

#include <string>

namespace deployboot {

// CPUs listed in /proc/stat ("cpuN" lines), at least 1; computed once.
unsigned cpuCount();

// "mipsle" on a single-CPU machine, "mmips" otherwise.
std::string systemArchitecture();

// Creates or truncates `path` and writes `text`; true when the stream was
// still good after the write.
bool writeTextFile(const std::string& path, const std::string& text);

namespace testing {
// Counts CPUs in a /proc/stat image read from `path`, without the cache.
unsigned countCpusIn(const char* path);
}  // namespace testing

}  // namespace deployboot
