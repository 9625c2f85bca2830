#include "lab/lab_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace deployboot::lab {

int runCommand(const std::vector<std::string>& argv, bool quiet) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (quiet) {
      int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) {
        dup2(null, 1);
        dup2(null, 2);
      }
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string randomId() {
  unsigned char bytes[3] = {};
  int fd = ::open("/dev/urandom", O_RDONLY);
  if (fd < 0 || ::read(fd, bytes, sizeof bytes) != sizeof bytes) {
    const unsigned v = static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(time(nullptr));
    bytes[0] = v & 0xFF;
    bytes[1] = (v >> 8) & 0xFF;
    bytes[2] = (v >> 16) & 0xFF;
  }
  if (fd >= 0) ::close(fd);
  char text[7];
  std::snprintf(text, sizeof text, "%02x%02x%02x", bytes[0], bytes[1], bytes[2]);
  return text;
}

std::string programDirectory() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool processAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

void stopProcess(pid_t pid, int sig, double seconds) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  for (int i = 0; i < static_cast<int>(seconds * 20); ++i) {
    int status;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return;
    usleep(50000);
  }
  ::kill(pid, SIGKILL);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string kernelRelease() {
  utsname u;
  return uname(&u) == 0 ? u.release : "unknown";
}

void execLogged(std::vector<std::string> args, const std::string& logPath) {
  const int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out >= 0) {
    dup2(out, 1);
    dup2(out, 2);
  }
  if (in >= 0) dup2(in, 0);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  std::fprintf(stderr, "deploylab: cannot run %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

namespace {
int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
  const char byte = 1;
  ssize_t ignored = ::write(stopPipe[1], &byte, 1);
  (void)ignored;
}
}  // namespace

int stopSignalsToPipe() {
  if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return stopPipe[0];
}

bool takeOptionValue(int argc, char** argv, int* i, std::string* out) {
  if (*i + 1 >= argc) {
    std::fprintf(stderr, "deploylab: %s needs a value\n", argv[*i]);
    return false;
  }
  *out = argv[++*i];
  return true;
}

bool readExactly(int fd, void* data, size_t size, double seconds) {
  char* p = static_cast<char*>(data);
  const double deadline = monotonicSeconds() + seconds;
  while (size > 0) {
    if (seconds >= 0) {
      const double left = deadline - monotonicSeconds();
      pollfd pfd = {fd, POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, static_cast<int>(left * 1000) + 1) <= 0) {
        if (errno == EINTR && left > 0) continue;
        return false;
      }
    }
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

double monotonicSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string temporaryRoot() {
  const char* t = std::getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}

std::string shownLine(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
      i += 2;
      while (i < raw.size() && !std::isalpha(static_cast<unsigned char>(raw[i]))) ++i;
      continue;
    }
    if (raw[i] == '\r') out.clear();
    else if (raw[i] != '\a') out += raw[i];
  }
  return out;
}

std::vector<std::string> shownLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    line = shownLine(line);
    if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::string indentedTail(const std::vector<std::string>& lines, size_t count) {
  std::string out;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
    out += "  " + lines[i] + "\n";
  return out;
}

}  // namespace deployboot::lab
