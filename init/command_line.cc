#include "init/command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace deployboot {

bool commandLineFileHas(const char* path, const char* text) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char line[1024];
  ssize_t n;
  do {
    n = ::read(fd, line, sizeof line - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n < 0) return true;
  line[n] = '\0';
  return std::strstr(line, text) != nullptr;
}

bool kernelCommandLineHas(const char* text) { return commandLineFileHas("/proc/cmdline", text); }

}  // namespace deployboot
