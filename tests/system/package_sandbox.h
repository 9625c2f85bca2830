// A private root for package tests: the installer's absolute paths
// ("/flash", "/ram", "/rw", "/dev") on tmpfs file systems of their own, in a mount
// namespace and chroot that only this test process sees. The rest of the
// host tree is bind-mounted in, so built programs and sources stay where
// they are.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace deployboot::testing {

// Enters the private root once per process; later calls answer the first
// result. Empty string: entered; otherwise the reason it failed.
inline std::string enterPackageSandbox() {
  static std::string result = [] () -> std::string {
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("make / private: ") + std::strerror(errno);
    // One shared mount point: every test process mounts its own tmpfs on
    // it, visible only in its own namespace.
    const char* root = "/tmp/deployboot-package-root";
    if (mkdir(root, 0755) != 0 && errno != EEXIST)
      return std::string("mkdir root: ") + std::strerror(errno);
    if (mount("tmpfs", root, "tmpfs", 0, "size=16m") != 0)
      return std::string("tmpfs root: ") + std::strerror(errno);
    DIR* dir = opendir("/");
    if (!dir) return "cannot list /";
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || name == "flash" || name == "ram" || name == "rw")
        continue;
      const std::string from = "/" + name, to = std::string(root) + "/" + name;
      struct stat st;
      if (lstat(from.c_str(), &st) != 0) continue;
      if (S_ISLNK(st.st_mode)) {
        char link[4096];
        const ssize_t n = readlink(from.c_str(), link, sizeof link - 1);
        if (n > 0 && symlink(std::string(link, n).c_str(), to.c_str()) != 0) continue;
      } else if (S_ISDIR(st.st_mode)) {
        if (mkdir(to.c_str(), 0755) != 0) continue;
        if (name == "dev") {
          // A /dev of its own, so that tests can place board devices in it.
          mount("tmpfs", to.c_str(), "tmpfs", 0, "size=1m");
          for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
            const std::string target = to + "/" + node;
            writeWholeFile(target, "");
            mount((from + "/" + node).c_str(), target.c_str(), nullptr, MS_BIND, nullptr);
          }
          continue;
        }
        mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
      }
    }
    closedir(dir);
    for (const char* d : {"/flash", "/ram", "/rw"})
      mkdir((std::string(root) + d).c_str(), 0755);
    if (chroot(root) != 0) return std::string("chroot: ") + std::strerror(errno);
    if (chdir("/") != 0) return std::string("chdir: ") + std::strerror(errno);
    return "";
  }();
  return result;
}

// Mounts a fresh, empty tmpfs on `path` (inside the sandbox), replacing
// what an earlier test left there.
inline bool freshTmpfs(const char* path, const std::string& size = "32m") {
  while (umount2(path, MNT_DETACH) == 0) {
  }
  return mount("tmpfs", path, "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

inline bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Every path below `dir`, relative to it, sorted ("a", "a/b", ...).
inline void listTree(const std::string& dir, const std::string& prefix,
                     std::vector<std::string>* out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
    out->push_back(rel);
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      listTree(dir + "/" + name, rel, out);
  }
}

inline std::vector<std::string> treeOf(const std::string& dir) {
  std::vector<std::string> out;
  listTree(dir, "", &out);
  return out;
}

}  // namespace deployboot::testing

// Gives each test fresh /flash, /ram and /rw file systems in the private
// root; skips without root (fails under CI=true).
#define DEPLOYBOOT_PACKAGE_SANDBOX(flashSize)                                       \
  do {                                                                              \
    DEPLOYBOOT_REQUIRE_ROOT();                                                      \
    const std::string why = ::deployboot::testing::enterPackageSandbox();           \
    ASSERT_EQ(why, "") << "private root";                                           \
    ASSERT_TRUE(::deployboot::testing::freshTmpfs("/flash", flashSize));            \
    ASSERT_TRUE(::deployboot::testing::freshTmpfs("/ram"));                         \
    ASSERT_TRUE(::deployboot::testing::freshTmpfs("/rw"));                          \
  } while (0)
