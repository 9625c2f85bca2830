// Measures packing a tree into a configuration archive and unpacking it.
//
//   carry_over_bench generate DIR FILES BYTES   make a tree of FILES files
//                                               holding BYTES bytes in all
//   carry_over_bench roundtrip DIR              pack DIR, move it aside to
//                                               DIR.orig, unpack into DIR
//
// roundtrip prints "name value" lines: seconds, the heap the archive took
// and the tree's size.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/config_archive.h"

namespace {

namespace fs = std::filesystem;
using deployboot::packTree;
using deployboot::unpackArchive;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Files of varied size spread over two levels of directories, contents a
// cheap deterministic pattern (the archive does not compress).
int generate(const std::string& dir, unsigned long files, unsigned long long bytes) {
  const unsigned long perDir = 100;
  const unsigned long long average = bytes / files;
  std::vector<char> buffer(2 * average + 1);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<char>('a' + i % 26);
  unsigned long long written = 0;
  for (unsigned long i = 0; i < files; ++i) {
    const fs::path sub = fs::path(dir) / ("group" + std::to_string(i / (perDir * 10))) /
                         ("dir" + std::to_string(i / perDir));
    if (i % perDir == 0) fs::create_directories(sub);
    // Sizes swing between 0 and twice the average; the last file takes up
    // the remainder so that the total is exact.
    unsigned long long size = (i * 2654435761ULL) % (2 * average + 1);
    if (i + 1 == files) size = bytes > written ? bytes - written : 0;
    if (size > buffer.size()) buffer.resize(size, 'z');
    const std::string path = (sub / ("file" + std::to_string(i) + ".conf")).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, buffer.data(), size) != static_cast<ssize_t>(size)) {
      std::perror(path.c_str());
      return 1;
    }
    ::close(fd);
    written += size;
  }
  std::printf("files %lu\nbytes %llu\n", files, written);
  return 0;
}

unsigned long long treeBytes(const std::string& dir, unsigned long* entries) {
  unsigned long long bytes = 0;
  *entries = 1;
  for (auto& e : fs::recursive_directory_iterator(dir)) {
    ++*entries;
    if (e.is_regular_file()) bytes += e.file_size();
  }
  return bytes;
}

int roundtrip(const std::string& dir) {
  unsigned long entries = 0;
  const unsigned long long bytes = treeBytes(dir, &entries);

  const size_t heapBefore = heapInUse();
  auto start = std::chrono::steady_clock::now();
  auto archive = packTree(dir);
  const double packSeconds = secondsSince(start);
  if (!archive) {
    std::fprintf(stderr, "packing %s failed\n", dir.c_str());
    return 1;
  }
  const size_t archiveHeap = heapInUse() - heapBefore;
  const size_t blocks = archive->blockCount();
  const size_t packed = archive->packedBytes();

  const std::string aside = dir + ".orig";
  if (::rename(dir.c_str(), aside.c_str()) != 0) {
    std::perror(aside.c_str());
    return 1;
  }
  start = std::chrono::steady_clock::now();
  const int unpacked = unpackArchive(std::move(archive));
  const double unpackSeconds = secondsSince(start);
  if (!unpacked) {
    std::fprintf(stderr, "unpacking into %s failed\n", dir.c_str());
    return 1;
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);

  std::printf("entries %lu\n", entries);
  std::printf("tree_bytes %llu\n", bytes);
  std::printf("archive_blocks %zu\n", blocks);
  std::printf("archive_stream_bytes %zu\n", packed);
  std::printf("archive_heap_bytes %zu\n", archiveHeap);
  std::printf("archive_overhead_percent %.2f\n", 100.0 * (double(archiveHeap) / double(bytes) - 1));
  std::printf("peak_rss_kib %ld\n", usage.ru_maxrss);
  std::printf("pack_seconds %.3f\n", packSeconds);
  std::printf("unpack_seconds %.3f\n", unpackSeconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "generate") == 0)
    return generate(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10));
  if (argc == 3 && std::strcmp(argv[1], "roundtrip") == 0) return roundtrip(argv[2]);
  std::fprintf(stderr,
               "usage: %s generate DIR FILES BYTES\n"
               "       %s roundtrip DIR\n",
               argv[0], argv[0]);
  return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
