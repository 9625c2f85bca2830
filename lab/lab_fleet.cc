#include "lab/lab_fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lab/lab_board.h"
#include "lab/lab_run.h"
#include "lab/lab_util.h"
#include "support/system_utils.h"

namespace fs = std::filesystem;

namespace deployboot::lab {


namespace {

constexpr const char* LINK_PREFIX = "dl";  // as the single-board runs name theirs
constexpr double SETUP_SECONDS = 10;
constexpr double GRACE_SECONDS = 60;  // for a killed board to write its summary

int stopSignals = -1;  // read end: a byte per Ctrl-C, SIGTERM or SIGHUP

// Reads exactly `size` bytes within `seconds`.
struct FleetBoard {
  int index = 0;
  std::string label;  // the board file it came from
  vboard::BoardSpec spec;
  BoardPaths paths;
  std::string mac;  // of eth0
  std::string ttyPath;
  int master = -1, slave = -1;
  int readyPipe[2] = {-1, -1}, goPipe[2] = {-1, -1}, reportPipe[2] = {-1, -1};
  pid_t launcher = -1;
  pid_t init = -1;
  std::string transcript;
  size_t consumed = 0;  // of the transcript, shown line by line
  size_t answered = 0;  // ENTER prompts answered
  double installedAt = 0;
  bool finished = false;  // the launcher has exited
};

struct Fleet {
  std::string id;
  std::string runDir;
  std::string serverLog;
  std::vector<FleetBoard> boards;
  pid_t segment = -1;  // the segment's launcher, then the server
  int segmentReady[2] = {-1, -1}, segmentGo[2] = {-1, -1};
  std::string namedSegment;
  bool madeNamespace = false, madeBridge = true;

  std::vector<int> allDescriptors() const {
    std::vector<int> fds = {segmentReady[0], segmentReady[1], segmentGo[0], segmentGo[1]};
    for (const auto& b : boards)
      for (int fd : {b.master, b.slave, b.readyPipe[0], b.readyPipe[1], b.goPipe[0], b.goPipe[1],
                     b.reportPipe[0], b.reportPipe[1]})
        fds.push_back(fd);
    return fds;
  }

  // A forked child keeps only the descriptors in `keep`.
  void closeAllBut(std::initializer_list<int> keep) const {
    for (int fd : allDescriptors())
      if (fd >= 0 && std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
  }

  void closeDescriptors() {
    for (auto& b : boards)
      for (int* fd : {&b.master, &b.slave, &b.readyPipe[0], &b.readyPipe[1], &b.goPipe[0],
                      &b.goPipe[1], &b.reportPipe[0], &b.reportPipe[1]})
        if (*fd >= 0) ::close(*fd), *fd = -1;
    for (int* fd : {&segmentReady[0], &segmentReady[1], &segmentGo[0], &segmentGo[1]})
      if (*fd >= 0) ::close(*fd), *fd = -1;
  }

  void release() {
    for (auto& b : boards)
      if (b.init > 0 && !b.finished) ::kill(b.init, SIGKILL);
    for (auto& b : boards) {
      if (b.launcher > 0 && !b.finished) stopProcess(b.launcher, SIGKILL, 30);
      b.launcher = -1;
    }
    if (segment > 0) stopProcess(segment, SIGTERM, 3);
    segment = -1;
    closeDescriptors();
    if (!namedSegment.empty()) {
      if (madeNamespace) runCommand({"ip", "netns", "del", namedSegment});
      else if (madeBridge) runCommand({"ip", "-n", namedSegment, "link", "del", "br0"});
    }
    namedSegment.clear();
    std::error_code ignored;
    if (!runDir.empty()) fs::remove_all(runDir, ignored);
  }
};

std::string macText(const std::string& id, int board, unsigned iface) {
  char text[18];
  std::snprintf(text, sizeof text, "02:%c%c:%c%c:%c%c:%02x:%02x", id[0], id[1], id[2], id[3], id[4],
                id[5], board, iface);
  return text;
}

std::string boardEnd(const Fleet& f, int board, unsigned iface) {
  return LINK_PREFIX + f.id + "b" + std::to_string(board) + "_" + std::to_string(iface);
}

std::string segmentEnd(const Fleet& f, int board, unsigned iface) {
  return LINK_PREFIX + f.id + "s" + std::to_string(board) + "_" + std::to_string(iface);
}

// Named segments a killed fleet made: each run directory names its own.
void removeStaleSegments() {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(temporaryRoot(), ec)) {
    const std::string dir = e.path().string();
    if (e.path().filename().string().rfind("deploylab-", 0) != 0) continue;
    const std::string name = readText(dir + "/segment-netns");
    const pid_t owner = std::atoi(readText(dir + "/pid").c_str());
    if (name.empty() || processAlive(owner)) continue;
    runCommand({"ip", "netns", "del", name});
  }
}

[[noreturn]] void segmentLauncher(const Fleet& f, const FleetOptions& options) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  f.closeAllBut({f.segmentReady[1], f.segmentGo[0]});
  bool entered;
  if (f.namedSegment.empty()) {
    entered = unshare(CLONE_NEWNET) == 0;
  } else {
    const int ns = ::open(("/run/netns/" + f.namedSegment).c_str(), O_RDONLY | O_CLOEXEC);
    entered = ns >= 0 && setns(ns, CLONE_NEWNET) == 0;
  }
  char byte = 'r';
  if (!entered || ::write(f.segmentReady[1], &byte, 1) != 1 ||
      !readExactly(f.segmentGo[0], &byte, 1, 3600))
    _exit(3);
  runCommand({"ip", "link", "set", "lo", "up"});
  if (f.madeBridge)
    runCommand({"ip", "link", "add", "br0", "address", macText(f.id, 255, 255), "type", "bridge"},
               false);
  runCommand({"ip", "link", "set", "br0", "up"}, false);
  for (const auto& b : f.boards)
    for (unsigned n = 0; n < b.spec.interfaces; ++n) {
      runCommand({"ip", "link", "set", segmentEnd(f, b.index, n), "master", "br0"}, false);
      runCommand({"ip", "link", "set", segmentEnd(f, b.index, n), "up"}, false);
    }
  std::vector<std::string> args = {options.server, "--interface", "br0"};
  if (options.keepConfig) args.push_back("--keep");
  args.insert(args.end(), options.samples.begin(), options.samples.end());
  execLogged(std::move(args), f.serverLog);
}

[[noreturn]] void boardLauncher(const Fleet& f, const FleetBoard& b) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Ctrl-C reaches the whole process group: the fleet stops the boards
  // itself, and each launcher must live on to write its summary.
  signal(SIGINT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  f.closeAllBut({b.readyPipe[1], b.goPipe[0], b.reportPipe[1]});
  if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWUTS | CLONE_NEWIPC) != 0) {
    std::perror("deploylab: unshare");
    _exit(3);
  }
  char byte = 'r';
  if (::write(b.readyPipe[1], &byte, 1) != 1 || !readExactly(b.goPipe[0], &byte, 1, 3600)) _exit(3);
  ::close(b.readyPipe[1]);
  ::close(b.goPipe[0]);
  runBoardLauncher(b.paths, b.spec, b.ttyPath, b.reportPipe[1]);
}

bool prepare(Fleet& f, const FleetOptions& options, std::string* error) {
  std::vector<std::string> texts;
  for (const auto& file : options.boardFiles) {
    texts.push_back(readText(file));
    if (texts.back().empty()) {
      *error = "cannot read board file " + file;
      return false;
    }
  }
  if (texts.empty()) texts.push_back(SAMPLE_BOARD);
  for (const auto& program : {options.installer, options.nandfix, options.server})
    if (access(program.c_str(), X_OK) != 0) {
      *error = "missing " + program + " (build it first)";
      return false;
    }
  f.runDir = temporaryRoot() + "/deploylab-" + f.id;
  std::error_code ec;
  fs::create_directories(f.runDir, ec);
  if (ec || !writeText(f.runDir + "/pid", std::to_string(getpid()) + "\n")) {
    *error = "cannot create " + f.runDir;
    return false;
  }
  const std::string keep = options.keepDir.empty() ? "" : fs::absolute(options.keepDir).string();
  f.serverLog = (keep.empty() ? f.runDir : keep) + "/server.log";
  if (!keep.empty()) {
    fs::create_directories(keep, ec);
    fs::remove(f.serverLog, ec);
  }
  f.boards.resize(static_cast<size_t>(options.boards));
  for (int k = 0; k < options.boards; ++k) {
    FleetBoard& b = f.boards[static_cast<size_t>(k)];
    b.index = k;
    const size_t which = static_cast<size_t>(k) % texts.size();
    b.label = options.boardFiles.empty() ? "sample board" : options.boardFiles[which];
    if (!vboard::parseBoardText(texts[which], &b.spec, error)) {
      *error = "board file " + b.label + ": " + *error;
      return false;
    }
    const std::string name = "board" + std::to_string(k);
    b.paths.ramdisk = f.runDir + "/" + name + "-ramdisk";
    b.paths.boardDir = keep.empty() ? f.runDir + "/" + name : keep + "/" + name;
    b.paths.summaryFile = b.paths.boardDir + "/summary.txt";
    b.paths.linkPrefix = boardEnd(f, k, 0);
    b.paths.linkPrefix.pop_back();  // the launcher appends the interface number
    b.paths.keepStores = !keep.empty();
    b.mac = macText(f.id, k, 0);
    if (!buildRamdisk(b.paths.ramdisk, options.installer, options.nandfix, error) ||
        !prepareBoardDirectory(b.paths.boardDir, texts[which], b.spec, error))
      return false;
    fs::remove(b.paths.summaryFile, ec);
    std::ofstream(b.paths.boardDir + "/board.log", std::ios::app) << "lab boot " << f.id << "\n";
    b.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (b.master < 0 || grantpt(b.master) != 0 || unlockpt(b.master) != 0) {
      *error = "no pseudo-terminal";
      return false;
    }
    // Held open here too, so that the master never reads as hung up
    // before the board has opened its console.
    b.ttyPath = ptsname(b.master);
    b.slave = ::open(b.ttyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    fcntl(b.master, F_SETFL, O_NONBLOCK);
    if (b.slave < 0 || pipe2(b.readyPipe, O_CLOEXEC) || pipe2(b.goPipe, O_CLOEXEC) ||
        pipe2(b.reportPipe, O_CLOEXEC)) {
      *error = "cannot make the board's terminal or pipes";
      return false;
    }
  }
  if (pipe2(f.segmentReady, O_CLOEXEC) || pipe2(f.segmentGo, O_CLOEXEC)) {
    *error = "pipe";
    return false;
  }
  if (!options.segment.empty()) {
    f.namedSegment = options.segment;
    if (!fs::exists("/run/netns/" + options.segment)) {
      if (runCommand({"ip", "netns", "add", options.segment}, false) != 0) {
        *error = "cannot make the network namespace " + options.segment;
        return false;
      }
      f.madeNamespace = true;
      writeText(f.runDir + "/segment-netns", options.segment);
    }
    f.madeBridge = runCommand({"ip", "-n", options.segment, "link", "show", "br0"}) != 0;
  }
  return true;
}

bool start(Fleet& f, const FleetOptions& options, std::string* error) {
  f.segment = fork();
  if (f.segment == 0) segmentLauncher(f, options);
  for (auto& b : f.boards) {
    b.launcher = fork();
    if (b.launcher == 0) boardLauncher(f, b);
  }
  char byte;
  bool ok = f.segment > 0 && readExactly(f.segmentReady[0], &byte, 1, SETUP_SECONDS);
  for (auto& b : f.boards)
    ok = ok && b.launcher > 0 && readExactly(b.readyPipe[0], &byte, 1, SETUP_SECONDS);
  if (!ok) {
    *error = "the boards' or the segment's namespaces did not start";
    return false;
  }
  for (const auto& b : f.boards)
    for (unsigned n = 0; n < b.spec.interfaces; ++n) {
      if (runCommand({"ip", "link", "add", boardEnd(f, b.index, n), "address",
                      macText(f.id, b.index, n), "netns", std::to_string(b.launcher), "type",
                      "veth", "peer", "name", segmentEnd(f, b.index, n), "netns",
                      std::to_string(f.segment)},
                     false) != 0) {
        *error = "cannot create the link " + boardEnd(f, b.index, n);
        return false;
      }
    }
  const char go = 'g';
  ok = ::write(f.segmentGo[1], &go, 1) == 1;
  for (auto& b : f.boards) {
    ok = ok && ::write(b.goPipe[1], &go, 1) == 1 &&
         readExactly(b.reportPipe[0], &b.init, sizeof b.init, SETUP_SECONDS);
    if (!ok) {
      *error = "board " + std::to_string(b.index) + " did not start its installer";
      return false;
    }
  }
  return true;
}

void takeOutput(FleetBoard& b, const FleetOptions& options, double startedAt) {
  for (;;) {
    char buffer[4096];
    const ssize_t n = ::read(b.master, buffer, sizeof buffer);
    if (n <= 0) break;
    b.transcript.append(buffer, static_cast<size_t>(n));
  }
  const size_t prompts = [&] {
    size_t count = 0;
    for (size_t at = b.transcript.find("Press ENTER to reboot"); at != std::string::npos;
         at = b.transcript.find("Press ENTER to reboot", at + 1))
      ++count;
    return count;
  }();
  if (prompts > b.answered) {
    b.answered = prompts;
    ssize_t ignored = ::write(b.master, "\n", 1);
    (void)ignored;
  }
  if (b.installedAt == 0 && b.transcript.find("Software installed.") != std::string::npos) {
    b.installedAt = monotonicSeconds();
    std::printf("board %d: software installed after %.1f s\n", b.index, b.installedAt - startedAt);
  }
  const size_t end = b.transcript.rfind('\n');
  if (end == std::string::npos || end < b.consumed) return;
  const std::string fresh = b.transcript.substr(b.consumed, end + 1 - b.consumed);
  b.consumed = end + 1;
  for (const auto& line : shownLines(fresh)) {
    if (options.verbose) std::printf("[%d] %s\n", b.index, line.c_str());
    else if (line.find("FATAL ERROR") != std::string::npos)
      std::printf("board %d: %s\n", b.index, line.c_str());
  }
  std::fflush(stdout);
}

enum class Ending { Rebooted, TimedOut, Interrupted };

Ending watch(Fleet& f, const FleetOptions& options, double startedAt) {
  const double deadline = startedAt + options.timeoutSeconds;
  Ending ending = Ending::Rebooted;
  double killedAt = 0;
  for (;;) {
    std::vector<pollfd> fds = {{stopSignals, POLLIN, 0}};
    for (const auto& b : f.boards) fds.push_back({b.master, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char drain[16];
      ssize_t ignored = ::read(stopSignals, drain, sizeof drain);
      (void)ignored;
      if (ending == Ending::Rebooted) ending = Ending::Interrupted;
    }
    if (ending == Ending::Rebooted && monotonicSeconds() > deadline) ending = Ending::TimedOut;
    if (ending != Ending::Rebooted && killedAt == 0) {
      killedAt = monotonicSeconds();
      for (auto& b : f.boards)
        if (!b.finished) ::kill(b.init, SIGKILL);
    }
    bool all = true;
    for (auto& b : f.boards) {
      if (b.finished) continue;
      takeOutput(b, options, startedAt);
      int status;
      if (waitpid(b.launcher, &status, WNOHANG) == b.launcher) {
        b.finished = true;
        takeOutput(b, options, startedAt);
      }
      all = all && b.finished;
    }
    if (all) break;
    if (killedAt > 0 && monotonicSeconds() > killedAt + GRACE_SECONDS) break;
  }
  return ending;
}

std::string packagesOf(const std::string& summary) {
  const std::string key = "packages in /flash/var/pdb:";
  const size_t at = summary.find(key);
  if (at == std::string::npos) return " (flash never mounted)";
  return summary.substr(at + key.size(), summary.find('\n', at) - at - key.size());
}

int report(const Fleet& f, Ending ending, double startedAt) {
  int installed = 0;
  double last = startedAt;
  std::printf("\n==== deploylab fleet summary (run %s): %zu boards on one segment\n", f.id.c_str(),
              f.boards.size());
  for (const auto& b : f.boards) {
    const bool ok = b.installedAt > 0;
    installed += ok ? 1 : 0;
    last = std::max(last, b.installedAt);
    std::printf("board %d: %s, %s, %s, eth0 %s: ", b.index, b.spec.name.c_str(),
                architectureForCpus(b.spec.cpus).c_str(), vboard::layoutName(b.spec.layout), b.mac.c_str());
    if (ok) std::printf("software installed after %.1f s\n", b.installedAt - startedAt);
    else std::printf("installation failed\n");
    std::printf("  packages:%s\n", packagesOf(readText(b.paths.summaryFile)).c_str());
    if (!ok) {
      const auto lines = shownLines(b.transcript);
      for (size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i)
        std::printf("  | %s\n", lines[i].c_str());
    }
  }
  const auto serverLines = shownLines(readText(f.serverLog));
  if (!serverLines.empty()) std::printf("server: %s\n", serverLines.back().c_str());
  switch (ending) {
    case Ending::TimedOut:
      std::printf("result: timed out; %d of %zu boards installed\n", installed, f.boards.size());
      return 1;
    case Ending::Interrupted:
      std::printf("result: interrupted; %d of %zu boards installed\n", installed, f.boards.size());
      return 130;
    case Ending::Rebooted:
      break;
  }
  std::printf("result: %d of %zu boards installed", installed, f.boards.size());
  if (installed > 0) std::printf(", the last after %.1f s", last - startedAt);
  std::printf("\n");
  return installed == static_cast<int>(f.boards.size()) ? 0 : 1;
}

}  // namespace

int runFleet(const FleetOptions& options) {
  removeStaleSegments();
  cleanStaleRuns(false);
  stopSignals = stopSignalsToPipe();
  if (stopSignals < 0) return 2;

  Fleet fleet;
  fleet.id = randomId();
  std::string error;
  const double startedAt = monotonicSeconds();
  if (!prepare(fleet, options, &error) || !start(fleet, options, &error)) {
    std::fprintf(stderr, "deploylab: %s\n", error.c_str());
    fleet.release();
    return 2;
  }
  std::printf("deploylab: fleet %s: %zu boards, server on br0%s%s\n", fleet.id.c_str(),
              fleet.boards.size(), options.segment.empty() ? "" : " in ",
              options.segment.c_str());
  std::fflush(stdout);
  const Ending ending = watch(fleet, options, startedAt);
  for (const auto& b : fleet.boards) writeText(b.paths.boardDir + "/console.log", b.transcript);
  if (fleet.segment > 0) {
    stopProcess(fleet.segment, SIGTERM, 3);
    fleet.segment = -1;
  }
  const int status = report(fleet, ending, startedAt);
  fleet.release();
  return status;
}

}  // namespace deployboot::lab
