// An Ethernet segment of network namespaces for the network system tests:
// a board namespace and one or more server namespaces, joined by veth
// pairs (through a bridge namespace when there is more than one server).
// Everything is named uniquely per run and removed on every way out.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace deployboot::testing {

inline int run(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Enters the named network namespace (in a child process).
inline bool enterNamespace(const std::string& ns) {
  const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return ok;
}

class Segment {
 public:
  // The board's interface is "b0"; server i's is "s0" in its namespace.
  explicit Segment(int servers) {
    removeStale();
    static int counter = 0;
    const std::string id = std::to_string(getpid()) + "-" + std::to_string(counter++);
    board = "dbn-b-" + id;
    ok_ = add(board);
    for (int i = 0; i < servers; ++i) {
      serverNamespaces.push_back("dbn-s" + std::to_string(i) + "-" + id);
      ok_ = ok_ && add(serverNamespaces.back());
    }
    if (servers == 1) {
      ok_ = ok_ && link(board, "b0", serverNamespaces[0], "s0");
    } else {
      bridge_ = "dbn-x-" + id;
      ok_ = ok_ && add(bridge_) &&
            run({"ip", "-n", bridge_, "link", "add", "br0", "type", "bridge"}) == 0 &&
            run({"ip", "-n", bridge_, "link", "set", "br0", "up"}) == 0;
      ok_ = ok_ && link(board, "b0", bridge_, "p0") && port("p0");
      for (int i = 0; i < servers; ++i) {
        const std::string p = "p" + std::to_string(i + 1);
        ok_ = ok_ && link(serverNamespaces[i], "s0", bridge_, p) && port(p);
      }
    }
  }
  ~Segment() {
    for (const auto& ns : created_) run({"ip", "netns", "del", ns});
  }
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  bool ok() const { return ok_; }

  std::string board;
  std::vector<std::string> serverNamespaces;

 private:
  // Namespaces of earlier runs that were killed before they could clean up.
  static void removeStale() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/run/netns", ec)) {
      const std::string name = e.path().filename().string();
      int pid = 0;
      char kind = 0;
      if (std::sscanf(name.c_str(), "dbn-%c%*[0-9]-%d-", &kind, &pid) != 2 &&
          std::sscanf(name.c_str(), "dbn-%c-%d-", &kind, &pid) != 2)
        continue;
      if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) run({"ip", "netns", "del", name});
    }
  }

  bool add(const std::string& ns) {
    if (run({"ip", "netns", "add", ns}) != 0) return false;
    created_.push_back(ns);
    return run({"ip", "-n", ns, "link", "set", "lo", "up"}) == 0;
  }
  // A veth pair `a` in namespace `nsA`, `b` in `nsB`, both up.
  static bool link(const std::string& nsA, const std::string& a, const std::string& nsB,
                   const std::string& b) {
    return run({"ip", "-n", nsA, "link", "add", a, "type", "veth", "peer", "name", b, "netns",
                nsB}) == 0 &&
           run({"ip", "-n", nsA, "link", "set", a, "up"}) == 0 &&
           run({"ip", "-n", nsB, "link", "set", b, "up"}) == 0;
  }
  bool port(const std::string& p) {
    return run({"ip", "-n", bridge_, "link", "set", p, "master", "br0"}) == 0;
  }

  bool ok_ = false;
  std::string bridge_;
  std::vector<std::string> created_;
};

// A program run inside a namespace, its output in a file; stopped (and
// waited for) when destroyed.
class NamespacedProcess {
 public:
  NamespacedProcess(const std::string& ns, const std::vector<std::string>& args,
                    const std::string& outputPath) {
    pid_ = fork();
    if (pid_ == 0) {
      if (!enterNamespace(ns)) _exit(126);
      const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~NamespacedProcess() { stop(SIGKILL); }

  // Waits up to `seconds` for the process to end; its exit status or -1.
  int wait(int seconds) {
    for (int i = 0; i < seconds * 100 && pid_ > 0; ++i) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
      }
      usleep(10000);
    }
    return pid_ > 0 ? -1 : status_;
  }

  void stop(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    if (wait(5) < 0 && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs `body` in a child that has entered namespace `ns`; the child's
// report (what body returns) comes back through a pipe. Empty when the
// child did not finish within `seconds` (it is then killed).
inline std::string runInNamespace(const std::string& ns, int seconds,
                                  const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string report = enterNamespace(ns) ? body() : "cannot enter the namespace";
    report += "\n";
    const char* p = report.data();
    size_t left = report.size();
    while (left > 0) {
      const ssize_t n = write(fds[1], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) ended = true;
    else report.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (!ended) {
    kill(pid, SIGKILL);
    report.clear();
  }
  waitpid(pid, nullptr, 0);
  return report;
}

}  // namespace deployboot::testing
