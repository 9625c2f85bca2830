#include "pkgtool/root_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace deployboot::pkgtool {
namespace {

bool walk(const std::string& dir, const std::string& prefix, std::vector<RootFile>* files,
          std::string* error) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    *error = "cannot read directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    const std::string path = dir + "/" + n;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!walk(path, prefix + n + "/", files, error)) return false;
    } else if (S_ISREG(st.st_mode)) {
      const std::string name = prefix + n;
      if (static_cast<uint64_t>(st.st_size) > UINT32_MAX || name.size() > UINT16_MAX) {
        *error = path + ": too large for a package archive";
        return false;
      }
      files->push_back({path, name, static_cast<uint16_t>(st.st_mode & 0177777),
                        static_cast<uint64_t>(st.st_size)});
    }
  }
  return true;
}

}  // namespace

bool listRootFiles(const std::string& root, std::vector<RootFile>* files, std::string* error) {
  struct stat st;
  if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "--root " + root + " is not a readable directory";
    return false;
  }
  files->clear();
  return walk(root, "", files, error);
}

bool archiveRootFiles(const std::vector<RootFile>& files, ArchiveWriter& archive, std::string* error) {
  std::string piece(65536, '\0');
  for (const RootFile& f : files) {
    const int fd = ::open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = "cannot read " + f.path + ": " + std::strerror(errno);
      return false;
    }
    archive.beginEntry(f.mode, f.name, static_cast<uint32_t>(f.size));
    uint64_t left = f.size;
    while (left > 0) {
      const ssize_t n = ::read(fd, piece.data(), std::min<uint64_t>(left, piece.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = "cannot read " + f.path + (n < 0 ? std::string(": ") + std::strerror(errno)
                                                  : std::string(": it shrank while being read"));
        ::close(fd);
        return false;
      }
      archive.addRaw(piece.data(), static_cast<size_t>(n));
      left -= static_cast<uint64_t>(n);
    }
    ::close(fd);
  }
  return true;
}

}  // namespace deployboot::pkgtool
