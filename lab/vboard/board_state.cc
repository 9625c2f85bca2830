#include "lab/vboard/board_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace deployboot::vboard {
namespace {

std::string statePath(unsigned mtd) {
  return boardDirectory() + "/mtd" + std::to_string(mtd) + ".state";
}

// Removes everything below `dir` (not `dir` itself) without following links.
bool clearDirectory(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool ok = true;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      ok = clearDirectory(path) && ok;
      if (::rmdir(path.c_str()) != 0) ok = false;
    } else if (::unlink(path.c_str()) != 0) {
      ok = false;
    }
  }
  ::closedir(d);
  return ok;
}

}  // namespace

std::string boardDirectory() {
  const char* dir = std::getenv("DEPLOYBOOT_VBOARD");
  return dir && *dir ? dir : "/vboard";
}

std::string storePath(unsigned mtd) { return boardDirectory() + "/store/" + std::to_string(mtd); }

bool loadBoard(BoardSpec* spec, std::string* error) {
  return readBoardFile(boardDirectory() + "/board.conf", spec, error);
}

void logLine(const std::string& line) {
  const std::string path = boardDirectory() + "/board.log";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::close(fd);
}

bool loadPartitionState(unsigned mtd, PartitionState* state) {
  *state = PartitionState{};
  std::ifstream in(statePath(mtd));
  if (!in) return true;
  std::string line;
  bool sawFormat = false;
  while (std::getline(in, line)) {
    std::stringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    if (key == "format") {
      std::string f;
      words >> f;
      if (f == "erased") state->format = PartitionState::Erased;
      else if (f == "yaffs") state->format = PartitionState::Yaffs;
      else if (f == "ubi") state->format = PartitionState::Ubi;
      else return false;
      sawFormat = true;
    } else if (key == "volume") {
      UbiVolume v;
      if (!(words >> v.name >> v.lebs)) return false;
      state->volumes.push_back(v);
    } else {
      return false;
    }
  }
  return sawFormat;
}

bool savePartitionState(unsigned mtd, const PartitionState& state) {
  const std::string path = statePath(mtd);
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    if (!out) return false;
    out << "format "
        << (state.format == PartitionState::Ubi     ? "ubi"
            : state.format == PartitionState::Yaffs ? "yaffs"
                                                    : "erased")
        << "\n";
    for (const UbiVolume& v : state.volumes) out << "volume " << v.name << " " << v.lebs << "\n";
    out.flush();
    if (!out) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

bool erasePartition(unsigned mtd) {
  if (!clearDirectory(storePath(mtd))) return false;
  return savePartitionState(mtd, PartitionState{});
}

uint32_t ubiLebSize(const BoardSpec& spec) { return spec.eraseSize - 2 * 2048; }

uint64_t ubiUsableLebs(const BoardSpec& spec, unsigned mtd) {
  if (mtd >= spec.partitionSizes.size()) return 0;
  const uint64_t pebs = spec.partitionSizes[mtd] / spec.eraseSize;
  // Two for the volume table, one for wear-levelling, one for atomic LEB
  // change, and 20 per 1024 kept for bad blocks.
  const uint64_t reserved = 4 + (pebs * 20 + 1023) / 1024;
  return pebs > reserved ? pebs - reserved : 0;
}

}  // namespace deployboot::vboard
