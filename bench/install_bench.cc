// Installs package files the way the installer does (each streamed through
// a pipe into a package-installer child) in a private root with a tmpfs
// flash, and reports wall time and each child's peak resident memory.
//
//   install_bench make DIR MIB     writes a package set of MIB MiB of files
//                                  (four packages) and the same files as
//                                  DIR/files.tar.gz
//   install_bench install DIR      installs DIR/*.pkg in name order
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "init/driver.h"
#include "pkg/file_transaction.h"
#include "pkg/version.h"
#include "bench/bench_content.h"
#include "tests/system/package_builder.h"
#include "tests/system/package_sandbox.h"

using namespace deployboot;
namespace dt = deployboot::testing;

namespace {

constexpr int PACKAGES = 4;
constexpr size_t FILE_SIZE = 256 * 1024;

using deployboot::bench::contentOf;

int make(const std::string& dir, int mib) {
  SigningKey key;
  if (!dt::developmentKey(&key)) {
    std::fprintf(stderr, "install_bench: no signing key\n");
    return 1;
  }
  const std::string tree = dir + "/tree";
  const size_t files = static_cast<size_t>(mib) * 1024 * 1024 / FILE_SIZE;
  for (int p = 0; p < PACKAGES; ++p) {
    dt::TestPackage package =
        dt::testPackage("bench" + std::to_string(p), makeVersion(1, 0, 'f', 0));
    for (size_t f = p; f < files; f += PACKAGES) {
      const std::string name = "bench" + std::to_string(p) + "/file" + std::to_string(f);
      package.files.push_back({name, contentOf(f, FILE_SIZE)});
      createParentDirectories(tree + "/" + name);
      dt::writeWholeFile(tree + "/" + name, package.files.back().data);
    }
    const std::string path = dir + "/" + std::to_string(p) + ".pkg";
    if (!dt::writeWholeFile(path, dt::packageFile(package, key))) return 1;
  }
  const std::string tar = "tar -C " + tree + " -czf " + dir + "/files.tar.gz . && rm -rf " + tree;
  return std::system(tar.c_str()) == 0 ? 0 : 1;
}

// Streams one file into an installer child; its peak RSS in KiB.
long installOne(const std::string& path) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[0], 0);
    close(pipeFds[1]);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    PackageStateMap states;
    InstallSession session(states, "mmips");
    runPackageInstallerChild(session);
  }
  close(pipeFds[0]);
  const int in = open(path.c_str(), O_RDONLY);
  char piece[4096];
  for (ssize_t n; (n = read(in, piece, sizeof piece)) > 0;)
    if (write(pipeFds[1], piece, n) != n) break;
  close(in);
  close(pipeFds[1]);
  int status;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss;
}

int install(const std::string& dir) {
  std::vector<std::string> packages;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name).ends_with(".pkg")) packages.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(packages.begin(), packages.end());
  const std::string why = dt::enterPackageSandbox();
  if (!why.empty()) {
    std::fprintf(stderr, "install_bench: %s\n", why.c_str());
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  dt::freshTmpfs("/flash", "1g");
  dt::freshTmpfs("/ram", "256m");
  createParentDirectories("/flash/var/pdb/x");

  long peak = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& p : packages) peak = std::max(peak, installOne(p));
  const double installSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const size_t installed = dt::treeOf("/flash").size();

  dt::freshTmpfs("/flash", "1g");
  const auto tarStart = std::chrono::steady_clock::now();
  const int tar = std::system(("tar -C /flash -xzf " + dir + "/files.tar.gz").c_str());
  const double tarSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - tarStart).count();

  std::printf("installer: %.3f s for %zu packages (%zu paths on flash), peak child RSS %ld KiB\n",
              installSeconds, packages.size(), installed, peak);
  std::printf("tar -xzf:  %.3f s%s\n", tarSeconds, tar == 0 ? "" : " (tar failed)");
  std::printf("ratio installer/tar: %.2f\n", tarSeconds > 0 ? installSeconds / tarSeconds : 0.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc == 4) return make(argv[2], std::atoi(argv[3]));
  if (mode == "install" && argc == 3) return install(argv[2]);
  std::fprintf(stderr, "usage: install_bench make DIR MIB | install_bench install DIR\n");
  return 2;
}
