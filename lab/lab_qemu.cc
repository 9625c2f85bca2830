#include "lab/lab_qemu.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <vector>

#include "lab/lab_util.h"

namespace fs = std::filesystem;

namespace deployboot::lab {
namespace {

constexpr const char* BOARD_NAME = "qemu-malta";
// run.sh bounds each of its two boots by the timeout; this covers building
// the ramdisks and the boots' start-up on top.
constexpr int SETUP_ALLOWANCE_SECONDS = 300;

volatile sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

std::string labDir() { return fs::path(DEPLOYLAB_SAMPLES_DIR).parent_path().string(); }

// The installer's own console lines, without the kernel's log lines and
// terminal controls, the last `count` of them.
std::string installerLastLines(const std::string& console, size_t count) {
  std::vector<std::string> lines;
  for (const std::string& shown : shownLines(console)) {
    const bool kernelLog = shown.size() > 1 && shown[0] == '[' &&
                           shown.find("] ") != std::string::npos &&
                           shown.find_first_not_of(" 0123456789.", 1) == shown.find(']');
    if (!kernelLog) lines.push_back(shown);
  }
  return indentedTail(lines, count);
}

std::string defaultInstaller() {
  return (fs::path(labDir()).parent_path() / "build/mipsel/deployboot").string();
}

// The summary lines for what the read-back boot listed (run.sh's flash.txt).
std::string summarizeFlashListing(const std::string& listing) {
  struct Entry {
    char kind;
    std::string path, detail;
  };
  std::vector<Entry> entries;
  std::istringstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Entry e;
    std::string sha, size, mode;
    if (!(fields >> e.kind)) continue;
    if (e.kind == 'F' && fields >> sha >> size >> mode >> e.path) {
      e.detail = " (" + size + " bytes)";
    } else if (e.kind == 'L') {
      std::string arrow;
      fields >> e.path >> arrow;
      std::getline(fields >> std::ws, e.detail);
      e.detail = " -> " + e.detail;
    } else if (e.kind == 'D') {
      fields >> e.path;
      e.detail = "/";
    } else {
      continue;
    }
    if (!e.path.empty()) entries.push_back(e);
  }
  if (entries.empty()) return "flash: nothing could be read back\n";

  std::set<std::string> paths, packages;
  for (const Entry& e : entries) {
    paths.insert(e.path);
    const std::string pdb = "var/pdb/";
    if (e.kind == 'D' && e.path.starts_with(pdb) && e.path.find('/', pdb.size()) == std::string::npos)
      packages.insert(e.path.substr(pdb.size()));
  }
  std::ostringstream out;
  out << "flash: /flash was ubi1:Zentrail, /flash/boot was ubi0:Kernel\n";
  out << "packages in /flash/var/pdb:";
  for (const std::string& p : packages) out << " " << p;
  out << (packages.empty() ? " (none)\n" : "\n");
  out << "markers:\n";
  for (const char* marker : {"rw/RESET", "rw/REBOOT", "UPGRADED", "bootimage"})
    out << "  /flash/" << marker << ": " << (paths.count(marker) ? "present" : "absent") << "\n";
  for (const bool boot : {false, true}) {
    out << (boot ? "files on /flash/boot (ubi0:Kernel):\n" : "files on /flash (ubi1:Zentrail):\n");
    size_t shown = 0, more = 0;
    for (const Entry& e : entries) {
      if (e.path.starts_with("boot/") != boot) continue;
      if (shown == 200) {
        ++more;
        continue;
      }
      out << "  /" << (boot ? e.path.substr(5) : e.path) << e.detail << "\n";
      ++shown;
    }
    if (more) out << "  ... and " << more << " more\n";
    if (!shown) out << "  (empty)\n";
  }
  return out.str();
}

}  // namespace

bool isQemuMaltaBoard(const std::string& board) { return board == BOARD_NAME; }

int runQemuMalta(const RunOptions& options) {
  if (options.operatorAnswers || options.faultyLink) {
    std::fprintf(stderr, "deploylab: --operator and --faulty-link are not available on %s\n",
                 BOARD_NAME);
    return 2;
  }
  // The virtual board's installer is the default of --installer; this
  // board runs the production one unless another is named.
  std::string installer = options.installer;
  if (installer.empty() || fs::path(installer).filename() == "deployboot-vboard")
    installer = defaultInstaller();

  std::string work = options.keepBoard;
  const bool temporary = work.empty();
  if (temporary) {
    char pattern[] = "/tmp/deploylab-qemu.XXXXXX";
    if (!mkdtemp(pattern)) {
      std::perror("deploylab: mkdtemp");
      return 2;
    }
    work = pattern;
  }
  std::error_code ec;
  fs::create_directories(work, ec);
  const std::string id = randomId();

  std::vector<std::string> argv = {labDir() + "/qemu/run.sh", "--work", work,
                                   "--timeout", std::to_string(options.timeoutSeconds),
                                   "--packages", options.samples,
                                   "--deployboot", installer,
                                   "--server", options.server};
  if (options.quiet) argv.push_back("--quiet");
  if (!temporary) argv.push_back("--keep-flash");
  if (options.keepConfig) argv.push_back("--keep-config");
  if (!options.serverArguments.empty()) {
    argv.push_back("--");
    argv.insert(argv.end(), options.serverArguments.begin(), options.serverArguments.end());
  }
  std::printf("deploylab: board %s (run %s) in %s\n", BOARD_NAME, id.c_str(), work.c_str());
  std::fflush(stdout);

  // run.sh takes Ctrl-C itself (it stops qemu and the server); this waits.
  struct sigaction action = {}, oldInt = {}, oldTerm = {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execv(args[0], args.data());
    std::perror("deploylab: run.sh");
    _exit(2);
  }
  int status = -1;
  bool timedOut = false;
  if (child > 0) {
    const double deadline = monotonicSeconds() + 2.0 * options.timeoutSeconds + SETUP_ALLOWANCE_SECONDS;
    bool stopped = false;
    for (;;) {
      const pid_t r = waitpid(child, &status, WNOHANG);
      if (r == child || (r < 0 && errno != EINTR)) break;
      if (!stopped && (interrupted || monotonicSeconds() > deadline)) {
        timedOut = !interrupted;
        ::kill(child, SIGTERM);  // run.sh cleans up on TERM as on INT
        stopped = true;
      }
      usleep(100 * 1000);
    }
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  int code = child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
  if (timedOut) code = 3;
  else if (interrupted) code = 130;

  const std::string console = readText(work + "/install.log");
  std::printf("\n==== deploylab summary (run %s, board %s)\n", id.c_str(), BOARD_NAME);
  std::printf("installer's last lines:\n%s", installerLastLines(console, 12).c_str());
  if (code == 0 || code == 1)
    std::fputs(summarizeFlashListing(readText(work + "/flash.txt")).c_str(), stdout);
  const std::string installedMs = readText(work + "/installed-ms");
  if (!installedMs.empty())
    std::printf("boot to \"Software installed.\": %s ms\n",
                installedMs.substr(0, installedMs.find('\n')).c_str());
  if (!temporary) {
    std::printf("board kept in %s\n", work.c_str());
  } else if (code == 0) {
    fs::remove_all(work, ec);
  } else {
    std::printf("run kept in %s\n", work.c_str());
  }
  const bool installed = console.find("Software installed.") != std::string::npos;
  switch (code) {
    case 0:
      std::printf("result: software installed\n");
      return 0;
    case 1:
      std::printf("result: %s\n", installed ? "software installed, but the flash did not read back"
                                            : "installation failed");
      return 1;
    case 3:
      std::printf("result: timed out after %d s\n", options.timeoutSeconds);
      return 1;
    case 130:
      std::printf("result: interrupted\n");
      return 130;
    default:
      std::printf("result: the board could not be set up\n");
      return 2;
  }
}

}  // namespace deployboot::lab
