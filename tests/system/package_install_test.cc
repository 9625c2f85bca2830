// Installing package files the way the installer does: each one streamed
// into a package-installer child through a pipe, in a private root whose
// /flash, /ram and /rw are fresh file systems.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "init/driver.h"
#include "pkg/file_transaction.h"
#include "pkg/version.h"
#include "tests/system/package_builder.h"
#include "tests/system/installer_child.h"
#include "tests/system/package_sandbox.h"

namespace deployboot {
namespace {

using testing::pathExists;
using testing::readWholeFile;
using testing::TestPackage;
using testing::testPackage;
using testing::treeOf;
using testing::writeWholeFile;

constexpr Version v(uint8_t major, uint8_t minor) { return makeVersion(major, minor, 'f', 0); }

using testing::messagesOf;

class PackageInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_PACKAGE_SANDBOX(flashSize());
    ASSERT_TRUE(testing::developmentKey(&key)) << "no signing key for the installer's key";
    createParentDirectories("/flash/var/pdb/x");
    unsetenv("bootimage");
  }
  virtual std::string flashSize() const { return "32m"; }

  // Streams one package file into an installer child; its console output.
  std::string install(const std::string& file, PackageStateMap states = {}) {
    return testing::installThroughChild(file, std::move(states));
  }

  std::vector<std::string> installAndReport(const TestPackage& p, PackageStateMap states = {}) {
    return messagesOf(install(testing::packageFile(p, key), states));
  }

  // Nothing left behind by a package that failed: no copy, no temporary
  // files on the flash or in RAM.
  void expectNoLeftovers() {
    EXPECT_FALSE(pathExists("/flash/image"));
    EXPECT_EQ(treeOf("/ram"), std::vector<std::string>{});
    for (const std::string& path : treeOf("/flash"))
      EXPECT_EQ(path.find("tmp"), std::string::npos) << path;
  }

  SigningKey key;
};

TestPackage withFiles(TestPackage p, std::vector<testing::TestFile> files) {
  p.files = std::move(files);
  return p;
}

TEST_F(PackageInstall, SystemAndDependentPackages) {
  TestPackage system = withFiles(testPackage("system", v(6, 47)),
                                 {{"bin/sh", "shell"}, {"/etc/version", "6.47\n"}});
  TestPackage web = withFiles(testPackage("web", v(1, 2)), {{"usr/bin/web", "w", 0100755}});
  web.dependencies = {{"system", v(6, 0), 0, 0}};
  web.provides = {{"httpd", 0, 0, 0}};
  TestPackage site = withFiles(testPackage("site", v(0, 9)), {{"srv/index.html", "<p>"}});
  site.dependencies = {{"httpd", 0, 0, 0}};

  EXPECT_EQ(installAndReport(system), std::vector<std::string>{"installed system-6.47"});
  EXPECT_EQ(installAndReport(web), std::vector<std::string>{"installed web-1.2"});
  EXPECT_EQ(installAndReport(site), std::vector<std::string>{"installed site-0.9"});

  EXPECT_EQ(readWholeFile("/flash/bin/sh"), "shell");
  EXPECT_EQ(readWholeFile("/flash/etc/version"), "6.47\n");
  struct stat st;
  ASSERT_EQ(stat("/flash/usr/bin/web", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(readWholeFile("/flash/var/pdb/system/files"), "flash/bin/sh\nflash/etc/version\n");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/web/deps"), "system " + std::to_string(v(6, 0)) + " 0\n");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/web/provides"), "httpd 0 0 0\n");
  EXPECT_EQ(treeOf("/flash/var/pdb/site"),
            (std::vector<std::string>{"deps", "files", "version"}));
  expectNoLeftovers();
}

TEST_F(PackageInstall, RefusedPackagesChangeNothing) {
  ASSERT_EQ(installAndReport(withFiles(testPackage("tool", v(2, 0)), {{"bin/tool", "two"}})),
            std::vector<std::string>{"installed tool-2.0"});
  const std::vector<std::string> before = treeOf("/flash");
  const std::string versionBefore = readWholeFile("/flash/var/pdb/tool/version");

  TestPackage needy = withFiles(testPackage("needy", v(1, 0)), {{"bin/needy", "n"}});
  needy.dependencies = {{"system", v(6, 0), 0, 0}};
  // Larger than a pipe's buffer: the child must read a refused package to
  // its end, or the driver's copy into the pipe would fail.
  std::string noise(300 * 1024, '\0');
  uint32_t x = 1;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  TestPackage foreign = withFiles(testPackage("foreign", v(1, 0), "arm"), {{"bin/f", noise}});
  const struct {
    TestPackage package;
    const char* message;
  } cases[] = {
      {withFiles(testPackage("tool", v(1, 0)), {{"bin/tool", "one"}, {"bin/old", "o"}}),
       "WARNING: omitting package tool-1.0: newer package tool-2.0 is already installed"},
      {needy, "ERROR: can not install needy-1.0: system-6.0 is not installed, but is required"},
      {foreign, "ERROR: can not install foreign-1.0: it is not made for mmips, but for arm"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(installAndReport(c.package), std::vector<std::string>{c.message});
    EXPECT_EQ(treeOf("/flash"), before) << c.message;
    EXPECT_EQ(readWholeFile("/flash/bin/tool"), "two");
    EXPECT_EQ(readWholeFile("/flash/var/pdb/tool/version"), versionBefore);
    expectNoLeftovers();
  }
  // The same version again counts as done and changes nothing either.
  EXPECT_EQ(installAndReport(withFiles(testPackage("tool", v(2, 0)), {{"bin/tool", "two?"}})),
            std::vector<std::string>{"WARNING: omitting package tool-2.0: it is already installed"});
  EXPECT_EQ(treeOf("/flash"), before);
  EXPECT_EQ(readWholeFile("/flash/bin/tool"), "two");
}

TEST_F(PackageInstall, BrokenPackagesLeaveNothingOnFlash) {
  TestPackage badSignature = withFiles(testPackage("bad", v(1, 0)), {{"bin/bad", "evil"}});
  badSignature.badSignature = true;
  TestPackage trailing = withFiles(testPackage("tail", v(1, 0)), {{"bin/tail", "t"}});
  trailing.afterSignature = testing::part(PART_DEPENDS, testing::listContent({{"x", 0, 0, 0}}));
  TestPackage unsigned_ = withFiles(testPackage("nosig", v(1, 0)), {{"bin/nosig", "n"}});
  std::string noSignature = testing::packageFile(unsigned_, key);
  // Cut the signature part off and fix the declared length.
  noSignature.resize(noSignature.size() - PART_HEADER_SIZE - SIGNATURE_SIZE);
  storeLe32(noSignature.data() + 4, static_cast<uint32_t>(noSignature.size() - 8));

  EXPECT_EQ(installAndReport(badSignature),
            std::vector<std::string>{"ERROR: installation of bad-1.0 failed: broken package"});
  EXPECT_EQ(installAndReport(trailing),
            std::vector<std::string>{"ERROR: installation of tail-1.0 failed: broken package"});
  EXPECT_EQ(messagesOf(install(noSignature)),
            std::vector<std::string>{"ERROR: installation of nosig-1.0 failed: broken package"});
  EXPECT_EQ(messagesOf(install("not a package at all")), std::vector<std::string>{});
  EXPECT_EQ(treeOf("/flash"), std::vector<std::string>({"var", "var/pdb"}));
  expectNoLeftovers();

  // An allowed trailing architecture part and empty dependency part.
  TestPackage fine = withFiles(testPackage("fine", v(1, 0)), {{"bin/fine", "f"}});
  fine.afterSignature = testing::part(PART_ARCH, "mmips") + testing::part(PART_DEPENDS, "");
  EXPECT_EQ(installAndReport(fine), std::vector<std::string>{"installed fine-1.0"});
  EXPECT_EQ(readWholeFile("/flash/bin/fine"), "f");
}

TEST_F(PackageInstall, UpgradeReplacesTheOldVersionsFiles) {
  ASSERT_EQ(installAndReport(withFiles(testPackage("tool", v(1, 0)),
                                       {{"bin/tool", "one"}, {"lib/old.so", "old"}})),
            std::vector<std::string>{"installed tool-1.0"});
  ASSERT_EQ(installAndReport(withFiles(testPackage("tool", v(1, 1)),
                                       {{"bin/tool", "1.1"}, {"lib/new.so", "new"}})),
            std::vector<std::string>{"installed tool-1.1"});
  EXPECT_EQ(readWholeFile("/flash/bin/tool"), "1.1");
  EXPECT_FALSE(pathExists("/flash/lib/old.so"));
  EXPECT_EQ(readWholeFile("/flash/lib/new.so"), "new");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/tool/files"), "flash/bin/tool\nflash/lib/new.so\n");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/tool/version"), std::to_string(v(1, 1)) + " 1000\n");
}

TEST_F(PackageInstall, ConflictingAndChosenPackagesInstallDisabled) {
  TestPackage guard = withFiles(testPackage("guard", v(1, 0)), {{"bin/guard", "g"}});
  guard.conflicts = {{"quiet", 0, 0, 0}};
  ASSERT_EQ(installAndReport(guard), std::vector<std::string>{"installed guard-1.0"});
  EXPECT_EQ(installAndReport(withFiles(testPackage("quiet", v(1, 0)), {{"bin/q", "q"}})),
            std::vector<std::string>{"installed (disabled) quiet-1.0"});
  EXPECT_EQ(readWholeFile("/flash/x/quiet/bin/q"), "q");
  EXPECT_FALSE(pathExists("/flash/bin/q"));
  EXPECT_EQ(readWholeFile("/flash/var/pdb/quiet/disabled"), "auto\n");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/quiet/files"), "flash/x/quiet/bin/q\n");

  // The user's carried-over choices.
  EXPECT_EQ(installAndReport(withFiles(testPackage("off", v(1, 0)), {{"bin/off", "o"}}),
                             {{"off", 1}, {"on", 0}}),
            std::vector<std::string>{"installed (disabled) off-1.0"});
  EXPECT_EQ(readWholeFile("/flash/var/pdb/off/disabled"), "user\n");
  EXPECT_EQ(installAndReport(withFiles(testPackage("on", v(1, 0)), {{"bin/on", "o"}}),
                             {{"off", 1}, {"on", 0}}),
            std::vector<std::string>{"installed on-1.0"});
  EXPECT_EQ(readWholeFile("/flash/var/pdb/on/enabled"), "user\n");
  EXPECT_FALSE(pathExists("/flash/var/pdb/on/disabled"));
}

TEST_F(PackageInstall, ImagePackagesAreStoredWhole) {
  TestPackage fw = withFiles(testPackage("fw", v(2, 0)), {{"lib/fw.bin", "blob"}});
  fw.image = std::string(9000, 'I');
  const std::string file = testing::packageFile(fw, key);
  EXPECT_EQ(messagesOf(install(file)), std::vector<std::string>{"installed fw-2.0"});
  EXPECT_EQ(readWholeFile("/flash/var/pdb/fw/image"), file);
  EXPECT_EQ(readWholeFile("/flash/lib/fw.bin"), "blob");
  // A package with an image keeps no text metadata beside it.
  EXPECT_EQ(treeOf("/flash/var/pdb/fw"), std::vector<std::string>{"image"});
  EXPECT_FALSE(pathExists("/flash/UPGRADED"));
  expectNoLeftovers();

  // A refused older file does not take the stored file's place.
  TestPackage older = withFiles(testPackage("fw", v(1, 0)), {{"lib/fw.bin", "old"}});
  older.image = std::string(9000, 'o');
  EXPECT_EQ(installAndReport(older),
            std::vector<std::string>{
                "WARNING: omitting package fw-1.0: newer package fw-2.0 is already installed"});
  EXPECT_EQ(readWholeFile("/flash/var/pdb/fw/image"), file);
  EXPECT_EQ(readWholeFile("/flash/lib/fw.bin"), "blob");
  expectNoLeftovers();
}

TEST_F(PackageInstall, BootImagePackages) {
  TestPackage kernel = withFiles(testPackage("kernel", v(5, 4)), {{"boot/vmlinux", "k"}});
  kernel.flags = PACKAGE_FLAG_BOOT_IMAGE;
  kernel.image = "kernel image";
  const std::string file = testing::packageFile(kernel, key);

  // Booted for a boot image: nothing unpacked, the file becomes the boot
  // image and the package's image links to it.
  setenv("bootimage", "1", 1);
  EXPECT_EQ(messagesOf(install(file)), std::vector<std::string>{"installed kernel-5.4"});
  unsetenv("bootimage");
  EXPECT_FALSE(pathExists("/flash/boot/vmlinux"));
  EXPECT_TRUE(pathExists("/flash/UPGRADED"));
  EXPECT_EQ(readWholeFile("/flash/bootimage"), file);
  char link[64] = {};
  ASSERT_GT(readlink("/flash/var/pdb/kernel/image", link, sizeof link - 1), 0);
  EXPECT_STREQ(link, "/flash/bootimage");

  // Otherwise the files are unpacked and the file stored as usual; the
  // upgrade marker is left either way.
  ASSERT_TRUE(testing::freshTmpfs("/flash"));
  createParentDirectories("/flash/var/pdb/x");
  EXPECT_EQ(messagesOf(install(file)), std::vector<std::string>{"installed kernel-5.4"});
  EXPECT_EQ(readWholeFile("/flash/boot/vmlinux"), "k");
  EXPECT_TRUE(pathExists("/flash/UPGRADED"));
  EXPECT_FALSE(pathExists("/flash/bootimage"));
  EXPECT_EQ(readWholeFile("/flash/var/pdb/kernel/image"), file);
}

TEST_F(PackageInstall, UnrecordedPackagesGetNoDatabaseEntry) {
  const std::string file = testing::packageFile(
      withFiles(testPackage("loose", v(1, 0)), {{"etc/loose", "l"}}), key, MAGIC_UNRECORDED);
  EXPECT_EQ(messagesOf(install(file)), std::vector<std::string>{"installed loose-1.0"});
  EXPECT_EQ(readWholeFile("/flash/etc/loose"), "l");
  EXPECT_FALSE(pathExists("/flash/var/pdb/loose"));
}

TEST_F(PackageInstall, BundlesInstallMembersAndDropThoseTheyNoLongerHave) {
  TestPackage m1 = withFiles(testPackage("m1", v(1, 0)), {{"bin/m1", "1"}});
  TestPackage m2 = withFiles(testPackage("m2", v(1, 0)), {{"bin/m2", "2"}});
  TestPackage m3 = withFiles(testPackage("m3", v(1, 0)), {{"bin/m3", "3"}});
  EXPECT_EQ(messagesOf(install(testing::bundleFile("suite", v(2, 0), {m1, m2}, key))),
            std::vector<std::string>{"installed suite-2.0"});
  EXPECT_EQ(readWholeFile("/flash/bin/m1"), "1");
  EXPECT_EQ(readWholeFile("/flash/bin/m2"), "2");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/m1/bundle"), "suite\n");
  // A bundle owns no files, so it has no files list.
  EXPECT_EQ(treeOf("/flash/var/pdb/suite"), (std::vector<std::string>{"deps", "version"}));

  m3.dependencies = {{"m1", 0, 0, 0}};
  EXPECT_EQ(messagesOf(install(testing::bundleFile("suite", v(3, 0), {m1, m3}, key))),
            std::vector<std::string>{"installed suite-3.0"});
  EXPECT_EQ(readWholeFile("/flash/bin/m1"), "1");
  EXPECT_EQ(readWholeFile("/flash/bin/m3"), "3");
  EXPECT_FALSE(pathExists("/flash/bin/m2"));
  EXPECT_FALSE(pathExists("/flash/var/pdb/m2"));
  EXPECT_EQ(readWholeFile("/flash/var/pdb/suite/version"), std::to_string(v(3, 0)) + " 2000\n");
  expectNoLeftovers();
}

TEST_F(PackageInstall, BundleMembersListedButNotChosenStayDisabled) {
  TestPackage base = withFiles(testPackage("base", v(1, 0)), {{"bin/base", "b"}});
  TestPackage extra = withFiles(testPackage("extra", v(1, 0)), {{"bin/extra", "e"}});
  const std::vector<PackageDependency> optional = {{"extra", 0, 0, 0}};
  EXPECT_EQ(messagesOf(install(testing::bundleFile("kit", v(1, 0), {base, extra}, key,
                                                   &optional))),
            std::vector<std::string>{"installed kit-1.0"});
  EXPECT_EQ(readWholeFile("/flash/bin/base"), "b");
  EXPECT_EQ(readWholeFile("/flash/x/extra/bin/extra"), "e");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/extra/disabled"), "auto\n");
}

TEST_F(PackageInstall, BundleWithABrokenMemberInstallsNothing) {
  TestPackage good = withFiles(testPackage("good", v(1, 0)), {{"bin/good", "g"}});
  TestPackage bad = withFiles(testPackage("bad", v(1, 0)), {{"bin/bad", "b"}});
  bad.badSignature = true;
  EXPECT_EQ(messagesOf(install(testing::bundleFile("pair", v(1, 0), {good, bad}, key))),
            std::vector<std::string>{"ERROR: installation of pair-1.0 failed: broken package"});
  EXPECT_EQ(treeOf("/flash"), std::vector<std::string>({"var", "var/pdb"}));
  expectNoLeftovers();
}

class SmallFlashInstall : public PackageInstall {
 protected:
  std::string flashSize() const override { return "256k"; }
};

TEST_F(SmallFlashInstall, DiskTooSmallLeavesNoTemporaryFiles) {
  const TestPackage big =
      withFiles(testPackage("big", v(1, 0)), {{"bin/small", "s"}, {"data/big", std::string(1 << 20, 0)}});
  const struct {
    const char* ram;
  } cases[] = {{"32m"}, {"64k"}};  // staged in RAM, or RAM full as well
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::freshTmpfs("/ram", c.ram));
    EXPECT_EQ(installAndReport(big),
              std::vector<std::string>{"ERROR: installation of big-1.0 failed: disk is too small"})
        << "ram " << c.ram;
    EXPECT_EQ(treeOf("/flash"), std::vector<std::string>({"var", "var/pdb"})) << c.ram;
    expectNoLeftovers();
  }
}

class BoardInstall : public PackageInstall {
 protected:
  void SetUp() override {
    PackageInstall::SetUp();
    ASSERT_EQ(mkdir("/vboard", 0755) == 0 || errno == EEXIST, true);
    setenv("DEPLOYBOOT_VBOARD", "/vboard", 1);
    ASSERT_TRUE(writeWholeFile("/dev/flash", "vboard flash\n"));
    ASSERT_TRUE(writeWholeFile("/dev/mtd0", "vboard mtd 0\n"));
  }
  void TearDown() override { unsetenv("DEPLOYBOOT_VBOARD"); }

  void board(const std::string& minVersion, const std::string& eraseSize) {
    ASSERT_TRUE(writeWholeFile("/vboard/board.conf",
                               "name = Test 1\nlayout = single\npartitions = 8M\nmin-version = " +
                                   minVersion + "\nerase-size = " + eraseSize + "\n"));
  }
};

TEST_F(BoardInstall, SystemPackagesMustSuitTheBoard) {
  const struct {
    const char* minVersion;
    const char* eraseSize;
    const char* name;
    Version version;
    const char* message;
  } cases[] = {
      {"6.40", "128K", "system", v(6, 30),
       "ERROR: omitting package system-6.30: min Zentrail version is 6.40"},
      {"0", "256K", "zentrail-os", makeVersion(3, 20, 'c', 1),
       "WARNING: omitting package zentrail-os-3.20rc1: it does not support current file system"},
      {"0", "128K", "system", makeVersion(2, 9, 'c', 7),
       "WARNING: omitting package system-2.9rc7: it does not support current file system"},
      {"0", "128K", "system", makeVersion(3, 20, 'c', 1), "installed system-3.20rc1"},
      {"6.40", "256K", "system", v(6, 40), "installed system-6.40"},
      {"6.40", "256K", "other", v(1, 0), "installed other-1.0"},  // not a system package
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::freshTmpfs("/flash"));
    createParentDirectories("/flash/var/pdb/x");
    board(c.minVersion, c.eraseSize);
    EXPECT_EQ(installAndReport(withFiles(testPackage(c.name, c.version), {{"bin/s", "s"}})),
              std::vector<std::string>{c.message});
    EXPECT_EQ(pathExists("/flash/bin/s"), std::string(c.message).starts_with("installed"))
        << c.message;
  }
}

}  // namespace
}  // namespace deployboot
