// Eight virtual boards of two architectures on one bridged segment, all
// installed at once by one deployserve: every installation completes and
// each board gets exactly the packages built for its architecture.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "tests/system/network_segment.h"
#include "tests/system/lab_support.h"
#include "tests/test_support.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::run;

const std::string BIN = DEPLOYBOOT_BINARY_DIR;
const std::string SOURCE = DEPLOYBOOT_SOURCE_DIR;
constexpr int BOARDS = 8;

using testing::has;

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

using testing::directoryNames;

// A package of one file, /usr/share/NAME, for one architecture.
bool buildPackage(const std::string& work, const std::string& name, const std::string& arch,
                  const std::string& out) {
  const std::string root = work + "/root-" + name + "-" + arch;
  fs::create_directories(root + "/usr/share");
  std::ofstream(root + "/usr/share/" + name) << name << " for " << arch << "\n";
  return run({BIN + "/deploypkg", "build", "--name", name, "--version", "1.0", "--arch", arch,
              "--key", SOURCE + "/keys/development.key", "--root", root, "-o", out}) == 0;
}

TEST(ManyRouters, EightBoardsOfTwoArchitecturesAtOnce) {
  DEPLOYBOOT_REQUIRE_ROOT();
  ASSERT_EQ(testing::missingLabProgram({"deploypkg"}), "") << "is not built";
  const testing::ScratchDir scratch("many-routers");
  ASSERT_FALSE(scratch.path().empty());
  const std::string work = scratch.path();

  // The sample set once per architecture, the scripts once, and a package
  // that only one architecture has.
  const std::map<std::string, std::string> only = {{"mipsle", "uni"}, {"mmips", "smp"}};
  for (const auto& [arch, extra] : only) {
    const std::string dir = work + "/" + arch;
    ASSERT_EQ(run({SOURCE + "/lab/build_sample_packages.sh", BIN + "/deploypkg", dir, arch}), 0);
    ASSERT_TRUE(buildPackage(work, extra, arch, dir + "/40-" + extra + ".pkg"));
  }
  for (const char* script : {"autorun.scr", "users.scr"}) fs::remove(work + "/mmips/" + script);

  // Boards in turn: the one-CPU UBI board ("mipsle") and the two-CPU NAND
  // board ("mmips").
  const std::string kept = work + "/kept";
  const std::string command = BIN + "/deploylab fleet --boards " + std::to_string(BOARDS) +
                              " --board " + SOURCE + "/lab/boards/ubi.board --board " + SOURCE +
                              "/lab/boards/nand.board --keep-dir " + kept + " --samples " + work +
                              "/mipsle --samples " + work + "/mmips --timeout 500 > " + work +
                              "/fleet.out 2>&1";
  const int status = std::system(command.c_str());
  const std::string out = readFile(work + "/fleet.out");
  std::smatch took;
  if (std::regex_search(out, took, std::regex("boards installed, the last after ([0-9.]+) s")))
    std::cout << BOARDS << " boards installed at once in " << took[1] << " s\n";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_TRUE(has(out, "result: 8 of 8 boards installed")) << out;

  for (int k = 0; k < BOARDS; ++k) {
    SCOPED_TRACE("board " + std::to_string(k));
    const std::string arch = k % 2 == 0 ? "mipsle" : "mmips";
    const std::string board = kept + "/board" + std::to_string(k);
    const std::string console = readFile(board + "/console.log");
    EXPECT_TRUE(has(console, "Software installed.")) << console;
    EXPECT_FALSE(has(console, "ERROR")) << console;
    const std::string flash = testing::keptFlashOf(board);
    ASSERT_FALSE(flash.empty()) << readFile(board + "/summary.txt");
    const std::string extra = only.at(arch);
    EXPECT_EQ(directoryNames(flash + "/var/pdb"),
              (std::set<std::string>{"site", "system", "web", extra}));
    EXPECT_EQ(readFile(flash + "/usr/share/" + extra), extra + " for " + arch + "\n");
    for (const auto& [otherArch, otherExtra] : only) {
      if (otherArch == arch) continue;
      EXPECT_FALSE(fs::exists(flash + "/usr/share/" + otherExtra));
    }
    // The files of the shared set, as the sample builder made them.
    EXPECT_EQ(readFile(flash + "/etc/system-version"), "6.47\n");
    EXPECT_EQ(readFile(flash + "/srv/www/index.html"), "<h1>It works</h1>\n");
    EXPECT_EQ(fs::status(flash + "/bin/hello").permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);
    EXPECT_EQ(readFile(flash + "/autorun.scr"), readFile(SOURCE + "/lab/samples/autorun.scr"));
  }

  const std::string serverLog = readFile(kept + "/server.log");
  EXPECT_EQ(countOf(serverLog, ": installation finished"), static_cast<size_t>(BOARDS)) << serverLog;
  EXPECT_EQ(countOf(serverLog, "architecture mipsle"), static_cast<size_t>(BOARDS / 2)) << serverLog;
  EXPECT_EQ(countOf(serverLog, "architecture mmips"), static_cast<size_t>(BOARDS / 2)) << serverLog;
  EXPECT_FALSE(has(serverLog, "FAILED")) << serverLog;
}

}  // namespace
}  // namespace deployboot
