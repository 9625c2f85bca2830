// Whole installations in the lab: deploylab boots the installer on a
// virtual board next to deployserve, and the tests read what the board
// kept (console, board log, flash contents) from its board directory.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string LAB = DEPLOYBOOT_BINARY_DIR "/deploylab";
const std::string SERVER = DEPLOYBOOT_BINARY_DIR "/deployserve";
const std::string SAMPLES = DEPLOYBOOT_SOURCE_DIR "/lab/samples";

std::string readAll(const std::string& path) { return deployboot::testing::readWholeFile(path); }
using deployboot::testing::has;

using deployboot::testing::ScratchDir;

struct LabRun {
  int status = -1;         // deploylab's exit status
  std::string output;      // what deploylab printed
  std::string console;     // the installer's console
  std::string boardLog;
  std::string boardDir;
  // A file of partition `mtd` as the board left it.
  std::string flashFile(int mtd, const std::string& path) const {
    return boardDir + "/saved/" + std::to_string(mtd) + "/" + path;
  }
};

pid_t startLab(const std::vector<std::string>& args, const std::string& outputPath) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    FILE* out = std::fopen(outputPath.c_str(), "w");
    if (out) {
      dup2(fileno(out), 1);
      dup2(fileno(out), 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits at most `seconds` for the process; kills it when it takes longer.
int waitBounded(pid_t pid, int seconds) {
  int status = 0;
  for (int i = 0; i < seconds * 10; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << "deploylab did not end within " << seconds << " s";
  return -1;
}

LabRun runLab(const ScratchDir& scratch, const std::string& boardText,
              std::vector<std::string> extra = {}, const std::string& boardName = "board") {
  LabRun run;
  run.boardDir = scratch.path() + "/" + boardName;
  const std::string boardFile = scratch.path() + "/" + boardName + ".board";
  std::ofstream(boardFile) << boardText;
  // Only the sample scripts, whatever else the samples hold.
  const std::string scripts = scratch.path() + "/scripts";
  fs::create_directories(scripts);
  for (const auto& e : fs::directory_iterator(SAMPLES))
    if (e.path().extension() == ".scr")
      fs::copy_file(e.path(), fs::path(scripts) / e.path().filename(), fs::copy_options::overwrite_existing);
  std::vector<std::string> args = {LAB, "run", "--quiet", "--timeout", "90", "--board", boardFile,
                                   "--keep-board", run.boardDir, "--samples", scripts};
  args.insert(args.end(), extra.begin(), extra.end());
  const std::string outputPath = scratch.path() + "/" + boardName + ".out";
  run.status = waitBounded(startLab(args, outputPath), 150);
  run.output = readAll(outputPath);
  run.console = readAll(run.boardDir + "/console.log");
  run.boardLog = readAll(run.boardDir + "/board.log");
  return run;
}

// The log lines of the last boot of a kept board.
std::string lastBoot(const std::string& log) {
  const size_t at = log.rfind("lab boot ");
  return at == std::string::npos ? log : log.substr(at);
}

const char* const UBI_BOARD =
    "name = Tesmarel 5 Z9\nlayout = ubi\npartitions = 4M 12M 4M 12M\nmin-version = 6.40\n";
const char* const NAND_BOARD = "name = Quorvex 7-Q\nlayout = nand\npartitions = 4M 12M 4M 12M\n";
const char* const SINGLE_BOARD = "name = 42Z\nlayout = single\npartitions = 12M\n";

class Lab : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    ASSERT_EQ(access(LAB.c_str(), X_OK), 0) << "build deploylab first";
  }
  void requireServer() {
    if (access(SERVER.c_str(), X_OK) != 0) {
      if (deployboot::testing::runningInCi()) FAIL() << "no deployserve at " << SERVER;
      GTEST_SKIP() << "no deployserve built at " << SERVER;
    }
  }
  ScratchDir scratch;
};

TEST_F(Lab, ScriptsOnlyInstallationOnEachLayout) {
  requireServer();
  struct Case {
    const char* name;
    const char* board;
    int flashMtd, bootMtd;  // bootMtd -1: no /flash/boot
    const char* nandfix;
  };
  for (Case c : {Case{"ubi", UBI_BOARD, 1, 0, "nandfix -ea"},
                 Case{"nand", NAND_BOARD, 1, 0, "nandfix -ea"},
                 Case{"single", SINGLE_BOARD, 0, -1, "nandfix -e0"}}) {
    SCOPED_TRACE(c.name);
    const LabRun run = runLab(scratch, c.board, {}, c.name);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(has(run.console, "Software installed.")) << run.console;
    EXPECT_TRUE(has(run.console, "Formatting disk..."));
    EXPECT_TRUE(has(run.boardLog, c.nandfix));
    EXPECT_TRUE(has(run.output, "/flash was mtd" + std::to_string(c.flashMtd))) << run.output;
    EXPECT_EQ(has(run.output, "/flash/boot was mtd"), c.bootMtd >= 0);
    EXPECT_EQ(readAll(run.flashFile(c.flashMtd, "autorun.scr")), readAll(SAMPLES + "/autorun.scr"));
    for (const char* dir : {"rw", "vela/etc", "var/pdb"})
      EXPECT_TRUE(fs::is_directory(run.flashFile(c.flashMtd, dir))) << dir;
    EXPECT_TRUE(fs::exists(run.flashFile(c.flashMtd, "rw/REBOOT")));
    // A script arrived: the installed system keeps its configuration.
    EXPECT_FALSE(fs::exists(run.flashFile(c.flashMtd, "rw/RESET")));
    EXPECT_TRUE(has(lastBoot(run.boardLog), "reboot"));
  }
}

// A signed package of one file, made with the development key.
std::string makePackage(const ScratchDir& scratch, const std::string& dir, const std::string& name,
                        size_t fileSize) {
  const std::string root = scratch.path() + "/root-" + name;
  fs::create_directories(root + "/etc/" + name);
  std::ofstream(root + "/etc/" + name + "/data") << std::string(fileSize, 'x');
  fs::create_directories(dir);
  const std::string out = dir + "/" + name + "-6.47.pkg";
  const std::string log = scratch.path() + "/" + name + ".pkglog";
  const int status = waitBounded(
      startLab({DEPLOYBOOT_BINARY_DIR "/deploypkg", "build", "--name", name, "--version", "6.47",
                "--arch", "mipsle", "--key", DEPLOYBOOT_SOURCE_DIR "/keys/development.key",
                "--root", root, "-o", out},
               log),
      60);
  EXPECT_EQ(status, 0) << readAll(log);
  return out;
}

TEST_F(Lab, PackagesWithoutScriptsInstallAndTheSystemResetsItsConfiguration) {
  requireServer();
  const std::string serve = scratch.path() + "/packages";
  makePackage(scratch, serve, "labtools", 100);
  // Bigger than the 12 MiB system partition: fails for want of space,
  // and the installation goes on.
  makePackage(scratch, serve, "toobig", 14u << 20);
  const LabRun run = runLab(scratch, NAND_BOARD, {"--samples", serve});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(has(run.console, "installed labtools-6.47")) << run.console;
  EXPECT_FALSE(has(run.console, "installed toobig-6.47"));
  EXPECT_EQ(readAll(run.flashFile(1, "etc/labtools/data")), std::string(100, 'x'));
  EXPECT_TRUE(fs::is_directory(run.flashFile(1, "var/pdb/labtools")));
  EXPECT_FALSE(fs::exists(run.flashFile(1, "var/pdb/toobig")));
  EXPECT_TRUE(has(run.output, "packages in /flash/var/pdb: labtools\n")) << run.output;
  // No script arrived: the installed system starts from a clean configuration.
  EXPECT_EQ(readAll(run.flashFile(1, "rw/RESET")), ". /vela/lib/reset/reset");
  EXPECT_TRUE(has(run.output, "/flash/rw/RESET: \". /vela/lib/reset/reset\""));
}

TEST_F(Lab, ActivePartOnePicksPartitionsTwoAndThree) {
  requireServer();
  const LabRun run = runLab(scratch, std::string(UBI_BOARD) + "activepart = 1\n");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(has(run.boardLog, "ubi attach mtd=2 ubi=0 -> ok"));
  EXPECT_TRUE(has(run.boardLog, "ubi attach mtd=3 ubi=1 -> ok"));
  EXPECT_FALSE(has(run.boardLog, "ubi attach mtd=0 "));
  EXPECT_TRUE(has(run.output, "/flash was mtd3, /flash/boot was mtd2"));
  EXPECT_TRUE(fs::exists(run.flashFile(3, "autorun.scr")));
}

TEST_F(Lab, NandWhoseSystemPartitionDoesNotMountInstallsOnTheBootPartition) {
  requireServer();
  const LabRun run = runLab(scratch, std::string(NAND_BOARD) + "unmountable = 1\n");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(has(run.boardLog, "mount /dev/mtdRoot /flash yaffs flags=0xC00 -> EINVAL"));
  EXPECT_TRUE(has(run.output, "/flash was mtd0\n")) << run.output;
  EXPECT_TRUE(fs::exists(run.flashFile(0, "autorun.scr")));
  EXPECT_FALSE(fs::exists(run.flashFile(0, "boot")));
}

TEST_F(Lab, UbiKernelVolumeThatCannotMountDetachesBothDevices) {
  requireServer();
  const LabRun run = runLab(scratch, std::string(UBI_BOARD) + "unmountable = 0\n");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(has(run.console, "ERROR: could not mount filesystem")) << run.console;
  EXPECT_FALSE(has(run.console, "Software installed."));
  const std::string log = lastBoot(run.boardLog);
  const size_t failed = log.find("mount ubi0:Kernel /flash/boot ubifs flags=0x0 data=compr=none -> EINVAL");
  ASSERT_NE(failed, std::string::npos) << log;
  const std::string after = log.substr(failed);
  EXPECT_TRUE(has(after, "umount /flash -> ok"));
  EXPECT_TRUE(has(after, "ubi detach ubi=0 -> ok"));
  EXPECT_TRUE(has(after, "ubi detach ubi=1 -> ok"));
  EXPECT_TRUE(has(after, "reboot"));
}

TEST_F(Lab, FailingNandfixStopsTheInstallation) {
  requireServer();
  const LabRun run = runLab(scratch, std::string(NAND_BOARD) + "nandfix-status = 1\n");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(has(run.console, "ERROR: could not format partitions")) << run.console;
  const std::string boot = lastBoot(run.boardLog);
  const size_t failed = boot.find("nandfix -ea -> exit 1");
  ASSERT_NE(failed, std::string::npos) << boot;
  // Nothing is mounted on the flash that failed to erase.
  EXPECT_FALSE(has(boot.substr(failed), "mount /dev/mtd"));
  EXPECT_TRUE(has(run.output, "result: installation failed"));
}

TEST_F(Lab, ModulesLoadInStartUpOrderAndPanicsLast) {
  requireServer();
  const LabRun run = runLab(scratch, NAND_BOARD);
  EXPECT_EQ(run.status, 0) << run.output;
  std::vector<std::string> modules;
  std::stringstream in(lastBoot(run.boardLog));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("module ", 0) == 0) modules.push_back(line.substr(7, line.find(' ', 7) - 7) +
                                                         line.substr(line.find(" params=")));
  const std::vector<std::string> expected = {
      "misc/flash.ko params=",
      "kernel/net/netfilter/nf_conntrack.ko params=",
      "drivers/net/packet_hook.ko params=",
      "drivers/net/phy_helper.ko params=",
      "drivers/net/phy_amcc_qt2025.ko params=",
      "drivers/net/phy_ti_tlk10232.ko params=",
      "drivers/net/switch.ko params=",
      "drivers/net/sfp_helper.ko params=",
      "drivers/net/aths16.ko params=auto_enable=1",
      "drivers/net/ath8327.ko params=auto_enable=1",
      "drivers/net/rtl8367.ko params=",
      "misc/spi_ssr.ko params=",
      "drivers/net/prestera_dx_mac.ko params=auto_enable=1",
      "misc/prestera_pci.ko params=",
      "drivers/net/mediatek_switch.ko params=",
      "drivers/net/raether.ko params=",
      "misc/panics.ko params=",
  };
  EXPECT_EQ(modules, expected);
  EXPECT_TRUE(has(run.boardLog, "panics request 0x20005003"));
}

TEST_F(Lab, SecondInstallationMeetsTheFirstOnesFlash) {
  requireServer();
  const LabRun first = runLab(scratch, UBI_BOARD);
  ASSERT_EQ(first.status, 0) << first.output;
  const LabRun second = runLab(scratch, UBI_BOARD);
  EXPECT_EQ(second.status, 0) << second.output;
  // The old file system mounts before the flash is erased again.
  const std::string boot = lastBoot(second.boardLog);
  const size_t mounted = boot.find("mount ubi1:Zentrail /flash ubifs flags=0x0 -> ok");
  const size_t erased = boot.find("nandfix -ea");
  ASSERT_NE(mounted, std::string::npos) << boot;
  EXPECT_LT(mounted, erased);
}

// Processes of one lab run: found by the unique board directory on their
// command line (the launchers) or in their root (the board's processes).
std::vector<pid_t> processesOf(const std::string& mark) {
  std::vector<pid_t> found;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = readAll(e.path().string() + "/cmdline");
    for (char& ch : cmdline)
      if (ch == '\0') ch = ' ';
    std::error_code ec;
    const std::string root = fs::read_symlink(e.path() / "root", ec).string();
    if (has(cmdline, mark) || has(root, "deploylab-" + mark))
      found.push_back(std::atoi(name.c_str()));
  }
  return found;
}

std::string runIdOf(const std::string& boardLog) {
  const size_t at = boardLog.rfind("lab boot ");
  return at == std::string::npos ? "" : boardLog.substr(at + 9, 6);
}

TEST_F(Lab, KilledRunLeavesNothingBehind) {
  // No server: the board waits at discovery until the lab is stopped.
  struct Case {
    int sig;
    int status;  // deploylab's exit status
  };
  for (Case c : {Case{SIGINT, 130}, Case{SIGTERM, 130}, Case{SIGKILL, -1}}) {
    SCOPED_TRACE(c.sig);
    const std::string boardDir = scratch.path() + "/killed" + std::to_string(c.sig);
    const std::string boardFile = boardDir + ".board";
    std::ofstream(boardFile) << NAND_BOARD;
    const pid_t lab = startLab({LAB, "run", "--quiet", "--timeout", "120", "--server",
                                "/nonexistent", "--board", boardFile, "--keep-board", boardDir},
                               boardDir + ".out");
    // Wait (bounded) until the installer is looking for a server.
    bool waiting = false;
    for (int i = 0; i < 200 && !waiting; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      waiting = has(readAll(boardDir + "/board.log"), "module drivers/net/raether.ko");
    }
    ASSERT_TRUE(waiting) << readAll(boardDir + ".out");
    const std::string id = runIdOf(readAll(boardDir + "/board.log"));
    ASSERT_EQ(id.size(), 6u);
    ASSERT_FALSE(processesOf(id).empty());
    ASSERT_TRUE(fs::exists("/tmp/deploylab-" + id));
    kill(lab, c.sig);
    const int status = waitBounded(lab, 30);
    if (c.status >= 0) {
      EXPECT_EQ(status, c.status) << readAll(boardDir + ".out");
    }
    if (c.sig == SIGKILL) {
      // The board and launchers die with the lab; the run directory is
      // what `deploylab clean` is for.
      for (int i = 0; i < 50 && !processesOf(id).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_EQ(waitBounded(startLab({LAB, "clean"}, boardDir + ".clean"), 30), 0);
    }
    EXPECT_TRUE(processesOf(id).empty());
    EXPECT_FALSE(fs::exists("/tmp/deploylab-" + id));
    EXPECT_FALSE(has(readAll("/proc/net/dev"), "dl" + id));
    // The kept board itself stays, ready for the next run.
    EXPECT_TRUE(fs::exists(boardDir + "/board.conf"));
  }
}

TEST_F(Lab, RejectsABadBoardFileBeforeCreatingAnything) {
  const std::string boardFile = scratch.path() + "/bad.board";
  std::ofstream(boardFile) << "partitions = 4M\nlayout = round\n";
  const std::string out = scratch.path() + "/bad.out";
  EXPECT_EQ(waitBounded(startLab({LAB, "run", "--board", boardFile}, out), 30), 2);
  EXPECT_TRUE(has(readAll(out), "board file: line 2: layout must be ubi, nand or single"))
      << readAll(out);
}

}  // namespace
