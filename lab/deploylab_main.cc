// deploylab: a complete network installation on a virtual board.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lab/lab_fleet.h"
#include "lab/lab_qemu.h"
#include "lab/lab_run.h"
#include "lab/lab_util.h"

namespace {

const char* const USAGE =
    "usage: deploylab run [--board FILE] [--keep-board DIR] [options] [-- deployserve args]\n"
    "       deploylab fleet [--boards N] [--board FILE]... [options]  (see fleet --help)\n"
    "       deploylab clean\n"
    "       deploylab sample-board\n"
    "\n"
    "run      boots a virtual board with the installer as its init, next to an\n"
    "         installation server on a private network, shows the board's console,\n"
    "         answers \"Press ENTER to reboot\" and, when the board reboots, prints\n"
    "         what was installed. Exit status 0 only when the installation ended\n"
    "         with \"Software installed.\". Needs root.\n"
    "fleet    boots several virtual boards at once on one segment, all served by\n"
    "         one installation server.\n"
    "clean    removes what interrupted runs left behind.\n"
    "sample-board  prints the built-in sample board file.\n"
    "\n"
    "options of run:\n"
    "  --board FILE       the board file (default: the kept board's, else the sample);\n"
    "                     qemu-malta: the mipsel installer on a real kernel (lab/qemu)\n"
    "  --keep-board DIR   keep the board's flash and log in DIR; a later run with the\n"
    "                     same DIR meets the flash this one left\n"
    "  --samples DIR      what the server offers (default: the lab's samples)\n"
    "  --timeout SECONDS  give up on a board that has not rebooted (default 600)\n"
    "  --keep-config      the server asks the board to keep its configuration\n"
    "  --faulty-link SPEC the board's link goes through a relay that drops, duplicates,\n"
    "                     reorders and delays datagrams; SPEC is e.g.\n"
    "                     loss=10,duplicate=5,reorder=5,delay=2ms,seed=N (percentages;\n"
    "                     the seed printed by a run replays its decisions)\n"
    "  --operator         let the operator press ENTER instead of the lab\n"
    "  --quiet            do not show the console live\n"
    "  --installer FILE   the installer built for the virtual board\n"
    "  --nandfix FILE     the virtual board's /sbin/nandfix\n"
    "  --server FILE      the installation server (deployserve)\n"
    "  -- ARGS            run the server with ARGS instead of the lab's defaults\n"
    "                     (defaults: [--keep] --interface labN ... SAMPLES-DIR)\n"
    "\n"
    "The board directory keeps board.conf, board.log (module loads, mounts, UBI\n"
    "requests, reboots), console.log, server.log and the flash (saved/N).\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace deployboot::lab;
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    std::fputs(USAGE, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::string command = argv[1];
  if (command == "sample-board") {
    std::fputs(SAMPLE_BOARD, stdout);
    return 0;
  }
  if (command == "fleet") return fleetCommand(argc - 1, argv + 1);
  if (command != "run" && command != "clean") {
    std::fprintf(stderr, "deploylab: unknown command '%s'\n%s", command.c_str(), USAGE);
    return 2;
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "deploylab: needs root (namespaces, mounts, links)\n");
    return 2;
  }
  if (command == "clean") {
    std::printf("deploylab: %d stale items removed\n", cleanStaleRuns(true));
    return 0;
  }
  const std::string dir = programDirectory();
  RunOptions options;
  options.installer = dir + "/deployboot-vboard";
  options.nandfix = dir + "/nandfix";
  options.server = dir + "/deployserve";
  options.samples = DEPLOYLAB_SAMPLES_DIR;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    std::string value;
    if (a == "--") {
      for (++i; i < argc; ++i) options.serverArguments.push_back(argv[i]);
      break;
    }
    if (a == "--help" || a == "-h") {
      std::fputs(USAGE, stdout);
      return 0;
    } else if (a == "--operator") {
      options.operatorAnswers = true;
    } else if (a == "--keep-config") {
      options.keepConfig = true;
    } else if (a == "--quiet") {
      options.quiet = true;
    } else if (a == "--board" || a == "--keep-board" || a == "--samples" || a == "--timeout" ||
               a == "--installer" || a == "--nandfix" || a == "--server" || a == "--faulty-link") {
      if (!takeOptionValue(argc, argv, &i, &value)) return 2;
      std::string error;
      if (a == "--faulty-link") {
        FaultyLink link;
        if (!parseFaultyLink(value, &link, &error)) {
          std::fprintf(stderr, "deploylab: --faulty-link: %s\n", error.c_str());
          return 2;
        }
        options.faultyLink = link;
      } else if (a == "--board") options.boardFile = value;
      else if (a == "--keep-board") options.keepBoard = value;
      else if (a == "--samples") options.samples = value;
      else if (a == "--installer") options.installer = value;
      else if (a == "--nandfix") options.nandfix = value;
      else if (a == "--server") options.server = value;
      else {
        char* end = nullptr;
        const long t = std::strtol(value.c_str(), &end, 10);
        if (!end || *end || t < 1 || t > 86400) {
          std::fprintf(stderr, "deploylab: --timeout needs 1 to 86400 seconds\n");
          return 2;
        }
        options.timeoutSeconds = static_cast<int>(t);
      }
    } else {
      std::fprintf(stderr, "deploylab: unknown option '%s'\n%s", a.c_str(), USAGE);
      return 2;
    }
  }
  if (isQemuMaltaBoard(options.boardFile)) return runQemuMalta(options);
  return runLab(options);
}
