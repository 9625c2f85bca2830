// Stage 10: the fetch loop. Configuration scripts are written to /flash by
// the driver itself; every other file is a package, streamed through a
// pipe into one installer child at a time.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "init/driver.h"
#include "init/fetch_files.h"
#include "init/globals.h"
#include "net/file_transfer.h"
#include "net/server_link.h"

namespace deployboot {
namespace {

// A script is written as "/flash/<name>": a name that could leave /flash
// is refused.
bool isSafeScriptName(const std::string& name) {
  return name.find('/') == std::string::npos && name.find("..") == std::string::npos;
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool fetchScript(FileDownload& download, const std::string& name, const ScriptPlace& place) {
  const std::string target =
      download.fileSize == 0 ? place.emptyFile : place.directory + "/" + name;
  std::puts("Writing configuration...");
  std::fflush(stdout);
  const int fd =
      isSafeScriptName(name) ? ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
  if (fd < 0) {
    std::puts("\nFATAL ERROR: couldn't make a file");
    return false;
  }
  uint8_t piece[PACKET_SIZE];
  for (;;) {
    const int n = readFileData(download, piece, sizeof piece);
    if (n == 0) break;
    if (n < 0) {
      ::close(fd);
      std::puts("\nFATAL ERROR: bad network connection");
      return false;
    }
    if (!writeAll(fd, piece, static_cast<size_t>(n))) {
      std::printf("\nFATAL ERROR: installation failed: %s\n", std::strerror(errno));
      std::fflush(stdout);
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

namespace {

[[noreturn]] void becomeInstallerChild(const InstallSession& s, int pipeFds[2]) {
  dup2(pipeFds[0], 0);
  ::close(pipeFds[1]);  // the child must see the end of the file
  for (int fd = 3; fd <= 15; ++fd) ::close(fd);
  if (chdir("/") != 0) _exit(1);
  runPackageInstallerChild(s);
}

void waitForInstaller(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Closes the pipe and waits for the child. The child is waited for even
// when the close reports an error: two installers must never share the
// flash.
void finishInstaller(FILE* pipe, pid_t pid) {
  installerPid = -1;
  std::fclose(pipe);
  waitForInstaller(pid);
}

bool fetchPackage(InstallSession& s, FileDownload& download) {
  int pipeFds[2];
  if (installerPid != -1 || pipe(pipeFds) != 0) {
    std::puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t pid = fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    std::puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  if (pid == 0) becomeInstallerChild(s, pipeFds);

  ::close(pipeFds[0]);
  FILE* pipe = fdopen(pipeFds[1], "w");
  if (!pipe) {
    ::close(pipeFds[1]);
    waitForInstaller(pid);
    std::puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  installerPid = pid;
  uint8_t piece[PACKET_SIZE];
  for (;;) {
    const int n = readFileData(download, piece, sizeof piece);
    if (n == 0) break;
    if (n < 0) {
      std::puts("\nFATAL ERROR: bad network connection");
      finishInstaller(pipe, pid);
      return false;
    }
    if (std::fwrite(piece, 1, static_cast<size_t>(n), pipe) != static_cast<size_t>(n)) {
      std::puts("");
      finishInstaller(pipe, pid);
      return false;
    }
  }
  finishInstaller(pipe, pid);
  return true;
}

}  // namespace

std::string usableFileName(const FileDownload& download) {
  return std::string(download.name, strnlen(download.name, USABLE_NAME_LENGTH));
}

bool isScriptName(const std::string& name) {
  return name.size() >= 5 && name.compare(name.size() - 4, 4, ".scr") == 0;
}

bool stageFetchFiles(InstallSession& s) {
  const ScriptPlace flash;
  while (requestNextFile(*s.link)) {
    FileDownload& download = *s.link->download;
    const std::string name = usableFileName(download);
    if (isScriptName(name)) {
      if (!fetchScript(download, name, flash)) return false;
      s.configWritten = true;
    } else if (!fetchPackage(s, download)) {
      return false;
    }
  }
  return true;
}

}  // namespace deployboot
