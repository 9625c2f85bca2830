#include "lab/lab_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <algorithm>
#include <chrono>
#include <cctype>
#include <fstream>
#include <sstream>

#include "lab/lab_board.h"
#include "lab/lab_util.h"

namespace fs = std::filesystem;

namespace deployboot::lab {

const char* const SAMPLE_BOARD =
    "# The lab's built-in sample: a UBI board with two partition pairs.\n"
    "name = Tesmarel 5 Z9\n"
    "layout = ubi\n"
    "partitions = 8M 24M 8M 24M\n"
    "min-version = 6.40\n"
    "cpus = 1\n"
    "cmdline = console=ttyS0,115200\n"
    "erase-size = 128K\n"
    "interfaces = 1\n";

namespace {

constexpr const char* RUN_PREFIX = "deploylab-";  // run directories in /tmp
constexpr const char* LINK_PREFIX = "dl";          // dl<id>b<n>, dl<id>s<n>

int stopSignals = -1;  // read end: a byte per Ctrl-C, SIGTERM or SIGHUP

// Everything one run created; released by release() on every way out.
struct Run {
  std::string id;
  std::string runDir;
  BoardPaths board;
  vboard::BoardSpec spec;
  pid_t boardLauncher = -1;
  pid_t boardInit = -1;  // the installer, PID 1 of the board
  pid_t server = -1;
  pid_t relay = -1;  // the faulty link, when there is one
  int master = -1;

  void release() {
    if (boardInit > 0) ::kill(boardInit, SIGKILL);
    if (relay > 0) stopProcess(relay, SIGKILL, 3);
    relay = -1;
    if (boardLauncher > 0) stopProcess(boardLauncher, SIGKILL, 30);
    if (server > 0) stopProcess(server, SIGTERM, 3);
    boardLauncher = server = boardInit = -1;
    if (master >= 0) ::close(master);
    master = -1;
    // The links die with the namespaces; remove any end still on the host.
    for (unsigned n = 0; n < spec.interfaces; ++n)
      for (const char side : {'b', 's'})
        runCommand({"ip", "link", "del", std::string(LINK_PREFIX) + id + side + std::to_string(n)});
    std::error_code ignored;
    if (!runDir.empty()) fs::remove_all(runDir, ignored);
  }
};

pid_t startServerLauncher(const Run& run, const RunOptions& options, int readyFd, int goFd) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (unshare(CLONE_NEWNET) != 0) _exit(3);
  char byte = 'r';
  if (::write(readyFd, &byte, 1) != 1 || !readExactly(goFd, &byte, 1, -1)) _exit(3);
  runCommand({"ip", "link", "set", "lo", "up"});
  std::vector<std::string> interfaces;
  for (unsigned n = 0; n < run.spec.interfaces; ++n) {
    const std::string name = "lab" + std::to_string(n);
    runCommand({"ip", "link", "set", LINK_PREFIX + run.id + "s" + std::to_string(n), "name", name});
    runCommand({"ip", "link", "set", name, "up"});
    interfaces.push_back(name);
  }
  std::vector<std::string> args = {options.server};
  if (!options.serverArguments.empty()) {
    args.insert(args.end(), options.serverArguments.begin(), options.serverArguments.end());
  } else {
    if (options.keepConfig) args.push_back("--keep");
    for (const auto& i : interfaces) {
      args.push_back("--interface");
      args.push_back(i);
    }
    args.push_back(options.samples);
  }
  execLogged(std::move(args), run.board.boardDir + "/server.log");
}

pid_t startBoardLauncher(const Run& run, const std::string& ttyPath, int readyFd, int goFd,
                         int reportFd) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Ctrl-C reaches the whole process group: the lab stops the board itself
  // and the launcher must live on to save the board's flash.
  signal(SIGINT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWUTS | CLONE_NEWIPC) != 0) {
    std::perror("deploylab: unshare");
    _exit(3);
  }
  char byte = 'r';
  if (::write(readyFd, &byte, 1) != 1 || !readExactly(goFd, &byte, 1, -1)) _exit(3);
  runBoardLauncher(run.board, run.spec, ttyPath, reportFd);
}

// Waits for one byte from `fd` for at most `seconds`.
bool awaitByte(int fd, double seconds) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
  char byte;
  return ::read(fd, &byte, 1) == 1;
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

bool setUp(Run& run, const RunOptions& options, std::string* ttyPath, std::string* error) {
  std::string boardText;
  if (!options.boardFile.empty()) {
    boardText = readText(options.boardFile);
    if (boardText.empty()) {
      *error = "cannot read board file " + options.boardFile;
      return false;
    }
  } else if (!options.keepBoard.empty() && fs::exists(options.keepBoard + "/board.conf")) {
    boardText = readText(options.keepBoard + "/board.conf");
  } else {
    boardText = SAMPLE_BOARD;
  }
  if (!vboard::parseBoardText(boardText, &run.spec, error)) {
    *error = "board file: " + *error;
    return false;
  }
  for (const auto& program : {options.installer, options.nandfix})
    if (access(program.c_str(), X_OK) != 0) {
      *error = "missing " + program + " (build it first)";
      return false;
    }
  run.runDir = temporaryRoot() + "/" + RUN_PREFIX + run.id;
  std::error_code ec;
  fs::create_directories(run.runDir, ec);
  if (ec || !writeText(run.runDir + "/pid", std::to_string(getpid()) + "\n")) {
    *error = "cannot create " + run.runDir;
    return false;
  }
  run.board.ramdisk = run.runDir + "/ramdisk";
  run.board.boardDir =
      options.keepBoard.empty() ? run.runDir + "/board" : fs::absolute(options.keepBoard).string();
  run.board.summaryFile = run.runDir + "/summary.txt";
  run.board.linkPrefix = LINK_PREFIX + run.id + "b";
  run.board.keepStores = !options.keepBoard.empty();
  if (!buildRamdisk(run.board.ramdisk, options.installer, options.nandfix, error)) return false;
  if (!prepareBoardDirectory(run.board.boardDir, boardText, run.spec, error)) return false;
  // A fresh log line marks each boot of a kept board.
  std::ofstream(run.board.boardDir + "/board.log", std::ios::app) << "lab boot " << run.id << "\n";

  run.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (run.master < 0 || grantpt(run.master) != 0 || unlockpt(run.master) != 0) {
    *error = "no pseudo-terminal";
    return false;
  }
  *ttyPath = ptsname(run.master);
  return true;
}

bool startBoardAndServer(Run& run, const RunOptions& options, const std::string& ttyPath,
                         std::string* error) {
  int boardReady[2], boardGo[2], report[2], serverReady[2], serverGo[2];
  if (pipe2(boardReady, O_CLOEXEC) || pipe2(boardGo, O_CLOEXEC) || pipe2(report, O_CLOEXEC) ||
      pipe2(serverReady, O_CLOEXEC) || pipe2(serverGo, O_CLOEXEC)) {
    *error = "pipe";
    return false;
  }
  run.boardLauncher = startBoardLauncher(run, ttyPath, boardReady[1], boardGo[0], report[1]);
  const bool haveServer = access(options.server.c_str(), X_OK) == 0;
  if (haveServer)
    run.server = startServerLauncher(run, options, serverReady[1], serverGo[0]);
  for (int fd : {boardReady[1], boardGo[0], report[1], serverReady[1], serverGo[0]}) ::close(fd);
  bool ok = run.boardLauncher > 0 && awaitByte(boardReady[0], 10);
  if (ok && haveServer) ok = run.server > 0 && awaitByte(serverReady[0], 10);
  std::vector<RelayPorts> relayPorts;
  for (unsigned n = 0; n < run.spec.interfaces && options.faultyLink; ++n)
    relayPorts.push_back({LINK_PREFIX + run.id + "x" + std::to_string(n),
                          LINK_PREFIX + run.id + "y" + std::to_string(n)});
  if (ok && options.faultyLink) {
    run.relay = startRelay(*options.faultyLink, relayPorts, run.board.boardDir + "/faulty-link.log");
    ok = run.relay > 0;
  }
  if (!ok) {
    *error = "the board, server or relay namespace did not start";
  } else {
    for (unsigned n = 0; n < run.spec.interfaces && ok; ++n) {
      const std::string boardEnd = run.board.linkPrefix + std::to_string(n);
      const std::string serverEnd = LINK_PREFIX + run.id + "s" + std::to_string(n);
      // Without a faulty link the board's end meets the server's directly;
      // with one, each meets its own end of the relay.
      std::vector<std::string> cmd = {"ip", "link", "add", boardEnd, "netns",
                                      std::to_string(run.boardLauncher), "type", "veth", "peer",
                                      "name", serverEnd};
      if (run.relay > 0) {
        cmd.back() = relayPorts[n].boardSide;
        cmd.insert(cmd.end(), {"netns", std::to_string(run.relay)});
        ok = runCommand(cmd, false) == 0;
        cmd = {"ip", "link", "add", relayPorts[n].serverSide, "netns", std::to_string(run.relay),
               "type", "veth", "peer", "name", serverEnd};
      }
      if (haveServer) {
        cmd.push_back("netns");
        cmd.push_back(std::to_string(run.server));
      }
      ok = ok && runCommand(cmd, false) == 0;
      if (!ok) *error = "cannot create the link " + boardEnd;
    }
  }
  const char go = 'g';
  if (ok) ok = ::write(boardGo[1], &go, 1) == 1 && (!haveServer || ::write(serverGo[1], &go, 1) == 1);
  if (ok) {
    ok = readExactly(report[0], &run.boardInit, sizeof run.boardInit, -1);
    if (!ok) *error = "the board did not start its installer";
  }
  for (int fd : {boardReady[0], boardGo[1], report[0], serverReady[0], serverGo[1]}) ::close(fd);
  if (!haveServer)
    std::fprintf(stderr, "deploylab: no server at %s: the board will wait for one until the timeout\n",
                 options.server.c_str());
  return ok;
}

enum class Ending { Rebooted, TimedOut, Interrupted };

// Shows the console live and answers the ENTER prompt until the board's
// terminal closes (the installer has ended).
Ending pumpConsole(Run& run, const RunOptions& options, std::string* transcript) {
  const double deadline = monotonicSeconds() + options.timeoutSeconds;
  size_t answered = 0;
  Ending ending = Ending::Rebooted;
  double killedAt = 0;
  for (;;) {
    pollfd fds[3] = {{run.master, POLLIN, 0}, {stopSignals, POLLIN, 0}, {0, POLLIN, 0}};
    const nfds_t count = options.operatorAnswers ? 3 : 2;
    const int r = poll(fds, count, 200);
    if (r < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[16];
      ssize_t ignored = ::read(stopSignals, drain, sizeof drain);
      (void)ignored;
      if (ending == Ending::Rebooted) {
        ending = Ending::Interrupted;
        ::kill(run.boardInit, SIGKILL);
        killedAt = monotonicSeconds();
      }
    }
    if (count == 3 && (fds[2].revents & POLLIN)) {
      char keys[64];
      const ssize_t n = ::read(0, keys, sizeof keys);
      if (n > 0) {
        ssize_t ignored = ::write(run.master, keys, static_cast<size_t>(n));
        (void)ignored;
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[4096];
      const ssize_t n = ::read(run.master, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        break;  // EIO: every holder of the terminal has gone
      }
      transcript->append(buffer, static_cast<size_t>(n));
      if (!options.quiet) {
        ssize_t ignored = ::write(1, buffer, static_cast<size_t>(n));
        (void)ignored;
      }
      const size_t prompts = countOf(*transcript, "Press ENTER to reboot");
      if (!options.operatorAnswers && prompts > answered) {
        answered = prompts;
        ssize_t ignored = ::write(run.master, "\n", 1);
        (void)ignored;
      }
    }
    if (ending == Ending::Rebooted && monotonicSeconds() > deadline) {
      ending = Ending::TimedOut;
      ::kill(run.boardInit, SIGKILL);
      killedAt = monotonicSeconds();
    }
    if (killedAt > 0 && monotonicSeconds() > killedAt + 5) break;
  }
  return ending;
}

}  // namespace

int runLab(const RunOptions& options) {
  cleanStaleRuns(false);
  stopSignals = stopSignalsToPipe();
  if (stopSignals < 0) return 2;

  Run run;
  run.id = randomId();
  std::string ttyPath, error;
  if (!setUp(run, options, &ttyPath, &error) || !startBoardAndServer(run, options, ttyPath, &error)) {
    std::fprintf(stderr, "deploylab: %s\n", error.c_str());
    run.release();
    return 2;
  }
  if (options.faultyLink)
    std::printf("deploylab: faulty link %s\n", describeFaultyLink(*options.faultyLink).c_str());
  std::fflush(stdout);
  std::string transcript;
  const Ending ending = pumpConsole(run, options, &transcript);
  // The launcher writes the flash summary once the board is down.
  if (run.boardLauncher > 0) {
    stopProcess(run.boardLauncher, 0, 60);
    run.boardLauncher = -1;
  }
  writeText(run.board.boardDir + "/console.log", transcript);
  std::string summary = readText(run.board.summaryFile);
  if (run.relay > 0) {
    stopProcess(run.relay, SIGTERM, 3);  // it writes its counts as it ends
    run.relay = -1;
    summary += readText(run.board.boardDir + "/faulty-link.log");
  }
  run.release();
  const bool installed = transcript.find("Software installed.") != std::string::npos;
  std::printf("\n==== deploylab summary (run %s)\n", run.id.c_str());
  std::printf("installer's last lines:\n%s", indentedTail(shownLines(transcript), 12).c_str());
  std::fputs(summary.c_str(), stdout);
  if (!options.keepBoard.empty()) std::printf("board kept in %s\n", options.keepBoard.c_str());
  switch (ending) {
    case Ending::TimedOut:
      std::printf("result: timed out after %d s\n", options.timeoutSeconds);
      return 1;
    case Ending::Interrupted:
      std::printf("result: interrupted\n");
      return 130;
    case Ending::Rebooted:
      std::printf("result: %s\n", installed ? "software installed" : "installation failed");
      return installed ? 0 : 1;
  }
  return 1;
}

int cleanStaleRuns(bool verbose) {
  int removed = 0;
  std::vector<std::string> live;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(temporaryRoot(), ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(RUN_PREFIX, 0) != 0 || !e.is_directory()) continue;
    const std::string id = name.substr(std::strlen(RUN_PREFIX));
    const pid_t owner = std::atoi(readText(e.path().string() + "/pid").c_str());
    // A run that is just being created has no pid file yet.
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(e.path(), ec);
    const bool starting = owner <= 0 && !ec && age < std::chrono::seconds(30);
    if ((owner > 0 && processAlive(owner)) || starting) {
      live.push_back(id);
      continue;
    }
    std::error_code ignored;
    fs::remove_all(e.path(), ignored);
    if (verbose) std::printf("removed %s\n", e.path().c_str());
    ++removed;
  }
  // Host-side link ends "dl<6 hex><b|s><n>" of runs that are gone.
  std::stringstream links(readText("/proc/net/dev"));
  std::string line;
  while (std::getline(links, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(0, name.find_first_not_of(' '));
    if (name.size() < 10 || name.rfind(LINK_PREFIX, 0) != 0 ||
        name.find_first_not_of("0123456789abcdef", 2) != 8 || (name[8] != 'b' && name[8] != 's'))
      continue;
    const std::string id = name.substr(2, 6);
    if (std::find(live.begin(), live.end(), id) != live.end()) continue;
    if (runCommand({"ip", "link", "del", name}) == 0) {
      if (verbose) std::printf("removed link %s\n", name.c_str());
      ++removed;
    }
  }
  return removed;
}

}  // namespace deployboot::lab
