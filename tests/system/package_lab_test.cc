// Package installation end to end: a virtual board of the lab boots the
// installer, which fetches signed packages from deployserve on a private
// network and installs them onto the board's flash.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "pkg/version.h"
#include "tests/system/package_builder.h"
#include "tests/system/lab_support.h"
#include "tests/system/package_sandbox.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;
using testing::pathExists;
using testing::readWholeFile;
using testing::TestPackage;
using testing::testPackage;
using testing::writeWholeFile;

constexpr Version v(uint8_t major, uint8_t minor) { return makeVersion(major, minor, 'f', 0); }

// A single-partition board with two CPUs: its architecture is "mmips" and
// its whole flash is partition 0.
std::string boardText(const std::string& size = "32M", const std::string& extra = "") {
  return "name = 42Z\nlayout = single\npartitions = " + size +
         "\nmin-version = 6.0\ncpus = 2\ncmdline = console=ttyS0,115200\n"
         "erase-size = 128K\ninterfaces = 1\n" + extra;
}

TestPackage withFiles(TestPackage p, std::vector<testing::TestFile> files) {
  p.files = std::move(files);
  return p;
}

struct LabRun {
  int status = -1;
  std::string console;
  std::string flash;  // the kept board's flash contents
};

class PackageLab : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    ASSERT_EQ(testing::missingLabProgram(), "") << "is not built";
    ASSERT_TRUE(testing::developmentKey(&key));
    char dir[] = "/tmp/package-lab.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    work = dir;
  }
  void TearDown() override {
    if (!work.empty()) fs::remove_all(work);
  }

  // One lab run over the kept board in work/board, offering `files`.
  LabRun run(const std::string& board,
             const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string samples = work + "/samples" + std::to_string(++runs);
    fs::create_directories(samples);
    for (const auto& [name, bytes] : files) EXPECT_TRUE(writeWholeFile(samples + "/" + name, bytes));
    EXPECT_TRUE(writeWholeFile(work + "/board.conf", board));
    const std::string bin = DEPLOYBOOT_BINARY_DIR;
    const std::string command = bin + "/deploylab run --quiet --timeout 300 --board " + work +
                                "/board.conf --keep-board " + work + "/board --samples " +
                                samples + " --installer " + bin + "/deployboot-vboard --nandfix " +
                                bin + "/nandfix --server " + bin + "/deployserve > " + work +
                                "/lab.out 2>&1";
    LabRun result;
    const int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.console = readWholeFile(work + "/board/console.log");
    result.flash = work + "/board/saved/0";
    return result;
  }

  std::string file(const TestPackage& p) { return testing::packageFile(p, key); }

  SigningKey key;
  std::string work;
  int runs = 0;
};

using testing::has;

#define EXPECT_CONSOLE_HAS(run, text) \
  EXPECT_TRUE(has((run).console, text)) << "console lacks: " << (text) << "\n" << (run).console

TEST_F(PackageLab, SystemAndDependentPackagesFromTheServer) {
  TestPackage system = withFiles(testPackage("system", v(6, 47)),
                                 {{"etc/system-version", "6.47\n"}, {"bin/old-tool", "old"}});
  TestPackage web = withFiles(testPackage("web", v(1, 2)), {{"usr/bin/web", "web", 0100755}});
  web.dependencies = {{"system", v(6, 0), 0, 0}};
  web.provides = {{"httpd", 0, 0, 0}};
  TestPackage site = withFiles(testPackage("site", v(0, 9)), {{"srv/index.html", "<p>"}});
  site.dependencies = {{"httpd", 0, 0, 0}};
  // Offered in an order that the server must rearrange by need.
  const LabRun first = run(boardText(), {{"a-site.pkg", file(site)},
                                         {"b-web.pkg", file(web)},
                                         {"c-system.pkg", file(system)}});
  ASSERT_EQ(first.status, 0) << first.console;
  for (const char* message : {"installed system-6.47", "installed web-1.2", "installed site-0.9"})
    EXPECT_CONSOLE_HAS(first, message);
  EXPECT_FALSE(has(first.console, "ERROR"));
  EXPECT_EQ(readWholeFile(first.flash + "/etc/system-version"), "6.47\n");
  EXPECT_EQ(readWholeFile(first.flash + "/srv/index.html"), "<p>");
  for (const char* dir : {"system", "web", "site"})
    EXPECT_TRUE(pathExists(first.flash + "/var/pdb/" + dir + "/version")) << dir;
  EXPECT_FALSE(pathExists(first.flash + "/image"));

  // A later installation over the same board, without carrying anything
  // over: the new system only.
  TestPackage newer = withFiles(testPackage("system", v(6, 48)), {{"etc/system-version", "6.48\n"}});
  const LabRun second = run(boardText(), {{"system.pkg", file(newer)}});
  ASSERT_EQ(second.status, 0) << second.console;
  EXPECT_CONSOLE_HAS(second, "installed system-6.48");
  EXPECT_FALSE(has(second.console, "omitting"));
  EXPECT_EQ(readWholeFile(second.flash + "/etc/system-version"), "6.48\n");
  EXPECT_FALSE(pathExists(second.flash + "/bin/old-tool"));
  EXPECT_FALSE(pathExists(second.flash + "/var/pdb/web"));
  EXPECT_EQ(readWholeFile(second.flash + "/var/pdb/system/version"),
            std::to_string(v(6, 48)) + " 1000\n");
}

TEST_F(PackageLab, BundleFromTheServer) {
  TestPackage system = withFiles(testPackage("system", v(6, 47)), {{"etc/v", "6.47"}});
  TestPackage m1 = withFiles(testPackage("tools-a", v(1, 0)), {{"bin/a", "a"}});
  TestPackage m2 = withFiles(testPackage("tools-b", v(1, 0)), {{"bin/b", "b"}});
  m2.dependencies = {{"system", 0, 0, 0}};
  const LabRun r = run(boardText(), {{"1-system.pkg", file(system)},
                                     {"2-tools.pkg", testing::bundleFile("tools", v(2, 0),
                                                                         {m1, m2}, key)}});
  ASSERT_EQ(r.status, 0) << r.console;
  EXPECT_CONSOLE_HAS(r, "installed tools-2.0");
  EXPECT_EQ(readWholeFile(r.flash + "/bin/a"), "a");
  EXPECT_EQ(readWholeFile(r.flash + "/bin/b"), "b");
  EXPECT_EQ(readWholeFile(r.flash + "/var/pdb/tools-b/bundle"), "tools\n");
  EXPECT_TRUE(pathExists(r.flash + "/var/pdb/tools/version"));
}

TEST_F(PackageLab, BootImagePackageWhenBootedForABootImage) {
  TestPackage kernel = withFiles(testPackage("kernel", v(5, 4)), {{"boot/vmlinux", "k"}});
  kernel.flags = PACKAGE_FLAG_BOOT_IMAGE;
  kernel.image = std::string(50000, 'K');
  const std::string bytes = file(kernel);
  const LabRun r = run(boardText("32M", "bootimage = 1\n"), {{"kernel.pkg", bytes}});
  ASSERT_EQ(r.status, 0) << r.console;
  EXPECT_CONSOLE_HAS(r, "installed kernel-5.4");
  EXPECT_FALSE(pathExists(r.flash + "/boot/vmlinux"));
  EXPECT_TRUE(pathExists(r.flash + "/UPGRADED"));
  EXPECT_EQ(readWholeFile(r.flash + "/bootimage"), bytes);
  char link[64] = {};
  ASSERT_GT(readlink((r.flash + "/var/pdb/kernel/image").c_str(), link, sizeof link - 1), 0);
  EXPECT_STREQ(link, "/flash/bootimage");
}

TEST_F(PackageLab, BadSignatureIsReportedAndTheOthersInstall) {
  TestPackage system = withFiles(testPackage("system", v(6, 47)), {{"etc/v", "6.47"}});
  TestPackage bad = withFiles(testPackage("bad", v(1, 0)), {{"bin/evil", "x"}});
  bad.badSignature = true;
  TestPackage web = withFiles(testPackage("web", v(1, 2)), {{"usr/bin/web", "w"}});
  const LabRun r = run(boardText(), {{"1-system.pkg", file(system)},
                                     {"2-bad.pkg", file(bad)},
                                     {"3-web.pkg", file(web)}});
  ASSERT_EQ(r.status, 0) << r.console;
  EXPECT_CONSOLE_HAS(r, "ERROR: installation of bad-1.0 failed: broken package");
  EXPECT_CONSOLE_HAS(r, "installed system-6.47");
  EXPECT_CONSOLE_HAS(r, "installed web-1.2");
  EXPECT_FALSE(pathExists(r.flash + "/bin/evil"));
  EXPECT_FALSE(pathExists(r.flash + "/var/pdb/bad"));
  EXPECT_FALSE(pathExists(r.flash + "/image"));
  EXPECT_EQ(readWholeFile(r.flash + "/usr/bin/web"), "w");
}

TEST_F(PackageLab, FlashTooSmall) {
  TestPackage system = withFiles(testPackage("system", v(6, 47)), {{"etc/v", "6.47"}});
  TestPackage big = withFiles(testPackage("big", v(1, 0)),
                              {{"data/small", "s"}, {"data/big", std::string(6 << 20, '\0')}});
  const LabRun r = run(boardText("4M"), {{"1-system.pkg", file(system)}, {"2-big.pkg", file(big)}});
  ASSERT_EQ(r.status, 0) << r.console;
  EXPECT_CONSOLE_HAS(r, "ERROR: installation of big-1.0 failed: disk is too small");
  EXPECT_CONSOLE_HAS(r, "installed system-6.47");
  EXPECT_FALSE(pathExists(r.flash + "/data"));
  EXPECT_FALSE(pathExists(r.flash + "/var/pdb/big"));
  EXPECT_FALSE(pathExists(r.flash + "/image"));
  for (const auto& entry : fs::recursive_directory_iterator(r.flash))
    EXPECT_FALSE(entry.path().filename().string().starts_with("tmp")) << entry.path();
}

}  // namespace
}  // namespace deployboot
