// `deploylab fleet`: its options, then a fleet run.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "lab/lab_fleet.h"
#include "lab/lab_util.h"

namespace fs = std::filesystem;

namespace deployboot::lab {

const char* const FLEET_USAGE =
    "usage: deploylab fleet [--boards N] [--board FILE]... [--samples PATH]... [options]\n"
    "\n"
    "Boots N virtual boards (default 8) at once on one bridged Ethernet segment,\n"
    "served by one installation server, answers each \"Press ENTER to reboot\" and\n"
    "prints what every board installed. Exit status 0 only when every board ended\n"
    "with \"Software installed.\". Needs root.\n"
    "\n"
    "  --boards N         how many boards (1 to 32)\n"
    "  --board FILE       a board file; with several, board K uses file K mod their\n"
    "                     count (default: the built-in sample board)\n"
    "  --samples PATH     a file or directory the server offers; may be repeated\n"
    "                     (default: the lab's sample scripts)\n"
    "  --keep-dir DIR     keep board K's directory (board.conf, board.log,\n"
    "                     console.log, summary.txt, the flash in saved/N) as\n"
    "                     DIR/boardK, and the server's output as DIR/server.log\n"
    "  --segment NETNS    the segment (bridge br0 and the server) lives in the named\n"
    "                     network namespace NETNS, made when it does not exist, so\n"
    "                     that other devices can be plugged into br0 during the run\n"
    "  --timeout SECONDS  give up on boards that have not rebooted (default 600)\n"
    "  --keep-config      the server asks the boards to keep their configuration\n"
    "  --verbose          show every console line, prefixed with its board\n"
    "  --installer FILE   the installer built for the virtual board\n"
    "  --nandfix FILE     the virtual board's /sbin/nandfix\n"
    "  --server FILE      the installation server (deployserve)\n";

namespace {

constexpr int MAX_BOARDS = 32;

bool number(const std::string& text, long low, long high, long* out) {
  char* end = nullptr;
  *out = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && end && !*end && *out >= low && *out <= high;
}

}  // namespace

int fleetCommand(int argc, char** argv) {
  const std::string dir = programDirectory();
  FleetOptions options;
  options.installer = dir + "/deployboot-vboard";
  options.nandfix = dir + "/nandfix";
  options.server = dir + "/deployserve";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string value;
    long n = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(FLEET_USAGE, stdout);
      return 0;
    } else if (a == "--keep-config") {
      options.keepConfig = true;
    } else if (a == "--verbose") {
      options.verbose = true;
    } else if (a == "--boards" || a == "--board" || a == "--samples" || a == "--keep-dir" ||
               a == "--segment" || a == "--timeout" || a == "--installer" || a == "--nandfix" ||
               a == "--server") {
      if (!takeOptionValue(argc, argv, &i, &value)) return 2;
      if (a == "--boards") {
        if (!number(value, 1, MAX_BOARDS, &n)) {
          std::fprintf(stderr, "deploylab: --boards needs 1 to %d\n", MAX_BOARDS);
          return 2;
        }
        options.boards = static_cast<int>(n);
      } else if (a == "--timeout") {
        if (!number(value, 1, 86400, &n)) {
          std::fprintf(stderr, "deploylab: --timeout needs 1 to 86400 seconds\n");
          return 2;
        }
        options.timeoutSeconds = static_cast<int>(n);
      } else if (a == "--board") {
        options.boardFiles.push_back(value);
      } else if (a == "--samples") {
        options.samples.push_back(value);
      } else if (a == "--keep-dir") {
        options.keepDir = value;
      } else if (a == "--segment") {
        options.segment = value;
      } else if (a == "--installer") {
        options.installer = value;
      } else if (a == "--nandfix") {
        options.nandfix = value;
      } else {
        options.server = value;
      }
    } else {
      std::fprintf(stderr, "deploylab: unknown option '%s'\n%s", a.c_str(), FLEET_USAGE);
      return 2;
    }
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "deploylab: needs root (namespaces, mounts, links)\n");
    return 2;
  }
  if (options.samples.empty()) {
    std::vector<std::string> scripts;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(DEPLOYLAB_SAMPLES_DIR, ec))
      if (e.path().extension() == ".scr") scripts.push_back(e.path().string());
    std::sort(scripts.begin(), scripts.end());
    options.samples = scripts;
  }
  return runFleet(options);
}

}  // namespace deployboot::lab
