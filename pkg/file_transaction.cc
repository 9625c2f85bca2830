#include "pkg/file_transaction.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace deployboot {
namespace {

constexpr size_t COPY_BLOCK = 16384;
constexpr clock_t SPINNER_TICKS = 20;

// The directory part of path: "." for a bare name, "/" for a top-level one.
std::string parentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void makeDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return;
  const std::string parent = parentOf(dir);
  if (parent == dir) return;
  makeDirectory(parent);
  ::mkdir(dir.c_str(), 0777);
}

ssize_t readRetrying(int fd, char* buf, size_t n) {
  ssize_t r;
  do r = ::read(fd, buf, n);
  while (r < 0 && errno == EINTR);
  return r;
}

bool writeAll(int fd, const char* buf, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, buf, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    buf += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

class Spinner {
 public:
  explicit Spinner(bool on) : on_(on), last_(::times(nullptr)) {}
  void turn() {
    if (!on_) return;
    const clock_t now = ::times(nullptr);
    if (now - last_ < SPINNER_TICKS) return;
    last_ = now;
    static const char faces[] = "|/-\\";
    std::printf("%c\b", faces[face_++ % 4]);
    std::fflush(stdout);
  }

 private:
  bool on_;
  clock_t last_;
  unsigned face_ = 0;
};

}  // namespace

void createParentDirectories(const std::string& path) { makeDirectory(parentOf(path)); }

bool copyFile(const std::string& source, const std::string& path, bool progress) {
  struct stat st;
  if (::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) return false;
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = in >= 0;
  Spinner spinner(progress);
  std::vector<char> block(COPY_BLOCK);
  while (ok) {
    const ssize_t n = readRetrying(in, block.data(), block.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = writeAll(out, block.data(), static_cast<size_t>(n));
    spinner.turn();
  }
  if (in >= 0) ::close(in);
  if (::close(out) != 0) ok = false;
  return ok;
}

FileTransaction::FileTransaction(std::string tempDirectory) : tempDirectory_(std::move(tempDirectory)) {}

FileTransaction::~FileTransaction() {
  if (!finished_) rollback();
}

const FileTransaction::Entry* FileTransaction::find(const std::string& path) const {
  const auto it = entries_.find(path);
  return it == entries_.end() ? nullptr : &it->second;
}

void FileTransaction::setEntry(const std::string& path, int op, std::string source) {
  auto it = entries_.find(path);
  if (it == entries_.end()) {
    entries_.emplace(path, Entry{op, std::move(source)});
    return;
  }
  if (it->second.op == MoveTemp) ::unlink(it->second.source.c_str());
  it->second = Entry{op, std::move(source)};
}

void FileTransaction::move(const std::string& source, const std::string& target) {
  setEntry(target, Move, source);
}

void FileTransaction::symlink(const std::string& linkText, const std::string& path) {
  setEntry(path, Symlink, linkText);
}

void FileTransaction::remove(const std::string& path) {
  if (exists(path)) {
    setEntry(path, Remove, "");
    return;
  }
  // Nothing to remove; a pending new content is dropped, temporary file too.
  auto it = entries_.find(path);
  if (it == entries_.end()) return;
  if (it->second.op == MoveTemp) ::unlink(it->second.source.c_str());
  entries_.erase(it);
}

std::string FileTransaction::temporaryDirectoryFor(const std::string& target, uint64_t sizeHint) const {
  if (sizeHint != 0) {
    // Prefer the target's own file system, where commit is a plain rename.
    for (std::string dir = parentOf(target);; dir = parentOf(dir)) {
      struct statfs fs;
      if (::statfs(dir.c_str(), &fs) == 0) {
        const uint64_t room = static_cast<uint64_t>(fs.f_bsize) * fs.f_bfree;
        if (sizeHint + sizeHint / 10 < room) return dir;
        break;
      }
      if (dir == "/" || dir == ".") break;
    }
  }
  if (!exists(tempDirectory_)) return "/tmp";
  return tempDirectory_;
}

std::unique_ptr<std::ofstream> FileTransaction::createFile(const std::string& target, uint64_t sizeHint,
                                                           unsigned mode) {
  std::string path = temporaryDirectoryFor(target, sizeHint);
  if (path.empty() || path.back() != '/') path += '/';
  path += "tmpXXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd >= 0) {
    ::close(fd);
    if (mode != 0) ::chmod(path.c_str(), mode);
  }
  setEntry(target, MoveTemp, path);
  finished_ = false;
  return std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc | std::ios::binary);
}

bool FileTransaction::claimDirectory(const std::string& path) {
  auto it = entries_.find(path);
  if (it != entries_.end()) {
    if (it->second.op != Remove) return false;
    entries_.erase(it);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return true;
  return S_ISDIR(st.st_mode);
}

void FileTransaction::removePath(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  // One level only: a subdirectory keeps the directory in place.
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      const std::string child = path + "/" + e->d_name;
      // New contents may wait in here, placed on the target's file system.
      if (!isPendingTemporary(child)) ::unlink(child.c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

bool FileTransaction::isPendingTemporary(const std::string& path) const {
  for (const auto& [target, entry] : entries_)
    if (entry.op == MoveTemp && entry.source == path) return true;
  return false;
}

void FileTransaction::linkPath(const std::string& path, const std::string& text) {
  createParentDirectories(path);
  ::unlink(path.c_str());
  if (::symlink(text.c_str(), path.c_str()) != 0) std::perror("symlink");
}

void FileTransaction::movePath(const std::string& path, const Entry& entry, bool progress) {
  createParentDirectories(path);
  if (::rename(entry.source.c_str(), path.c_str()) == 0) return;
  if (errno != EXDEV) {
    std::perror("rename");
    return;
  }
  // A temporary file in RAM is not needed once its copy is in place.
  if (copyFile(entry.source, path, progress) && entry.op == MoveTemp) ::unlink(entry.source.c_str());
}

void FileTransaction::runFirst(const std::string& first) {
  auto it = entries_.find(first);
  if (it == entries_.end() || (it->second.op != Move && it->second.op != MoveTemp)) return;
  createParentDirectories(first);
  if (::rename(it->second.source.c_str(), first.c_str()) == 0) entries_.erase(it);
}

void FileTransaction::commit(const std::string& first, bool progress) {
  if (!first.empty()) runFirst(first);
  for (const auto& [path, entry] : entries_) {
    if (entry.op == Remove) removePath(path);
    else if (entry.op == Symlink) linkPath(path, entry.source);
  }
  for (const auto& [path, entry] : entries_) {
    if (entry.op == Move || entry.op == MoveTemp) movePath(path, entry, progress);
  }
  // A temporary file that could not be placed would stay on the flash for ever.
  for (const auto& [path, entry] : entries_) {
    if (entry.op == MoveTemp) ::unlink(entry.source.c_str());
  }
  finished_ = true;
}

void FileTransaction::rollback() {
  for (const auto& [path, entry] : entries_) {
    if (entry.op == MoveTemp) ::unlink(entry.source.c_str());
  }
  entries_.clear();
  finished_ = true;
}

}  // namespace deployboot
