// Carrying the configuration across a reinstallation in the lab: a board is
// installed, its saved flash is edited between runs as the installed system
// would change it (a configuration store, a branding image, packages the
// user disabled or enabled), and the board is installed again with or
// without the server asking to keep the configuration.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

// A UBI board with two CPUs ("mmips"): /flash is the volume on mtd1, and
// the boot side on mtd0 is mounted and released around the carry-over.
const char* const BOARD =
    "name = Tesmarel 5 Z9\nlayout = ubi\npartitions = 4M 16M\nmin-version = 6.0\ncpus = 2\n"
    "cmdline = console=ttyS0,115200\nerase-size = 128K\ninterfaces = 1\n";
constexpr int FLASH_MTD = 1;

const char RESET_TEXT[] = ". /vela/lib/reset/reset";

constexpr Version v(uint8_t major, uint8_t minor) { return makeVersion(major, minor, 'f', 0); }

TestPackage withFile(const std::string& name, const std::string& path) {
  TestPackage p = testPackage(name, v(1, 0));
  p.files = {{path, name + "\n"}};
  return p;
}

using testing::has;

mode_t permissions(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

struct LabRun {
  int status = -1;
  std::string console;
};

class CarryOverLab : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    ASSERT_EQ(testing::missingLabProgram(), "") << "is not built";
    ASSERT_TRUE(testing::developmentKey(&key));
    char dir[] = "/tmp/carry-over-lab.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    work = dir;
    // Packages only, no configuration script: whether "/flash/rw/RESET" is
    // written then depends on the server's keep alone.
    samples = work + "/samples";
    fs::create_directories(samples);
    for (const TestPackage& p : {withFile("web", "usr/bin/web"), withFile("dns", "usr/bin/dns"),
                                 withFile("ntp", "usr/bin/ntp")})
      ASSERT_TRUE(writeWholeFile(samples + "/" + p.name + ".pkg", testing::packageFile(p, key)));
    ASSERT_TRUE(writeWholeFile(work + "/board.conf", BOARD));
    // The branding image is the stored file of a branding package that
    // came from elsewhere: the database reads its record from the image.
    TestPackage branding = testPackage("branding", v(2, 0));
    branding.files = {{"usr/share/branding/logo", "LOGO"}};
    brandingImage = testing::packageFile(branding, key);
  }
  void TearDown() override {
    if (!work.empty()) fs::remove_all(work);
  }

  // One lab run over the kept board in work/board.
  LabRun install(bool keepConfig) {
    const std::string bin = DEPLOYBOOT_BINARY_DIR;
    const std::string command =
        bin + "/deploylab run --quiet --timeout 120 --board " + work + "/board.conf --keep-board " +
        work + "/board --samples " + samples + (keepConfig ? " --keep-config" : "") +
        " --installer " + bin + "/deployboot-vboard --nandfix " + bin + "/nandfix --server " + bin +
        "/deployserve > " + work + "/lab.out 2>&1";
    LabRun result;
    const int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.console = readWholeFile(work + "/board/console.log");
    return result;
  }

  // A path on the board's flash as the last run left it; edits made here
  // are what the next run's old file system holds.
  std::string flash(const std::string& path) const {
    return work + "/board/saved/" + std::to_string(FLASH_MTD) + "/" + path;
  }

  void write(const std::string& path, const std::string& text, mode_t mode = 0644) {
    fs::create_directories(fs::path(flash(path)).parent_path());
    ASSERT_TRUE(writeWholeFile(flash(path), text)) << path;
    ASSERT_EQ(chmod(flash(path).c_str(), mode), 0) << path;
  }

  // What the installed system does when the user switches a package off
  // or on: the database's state files with the word "user".
  void setPackageState(const std::string& name, const char* state, const char* word) {
    fs::remove(flash("var/pdb/" + name + "/enabled"));
    fs::remove(flash("var/pdb/" + name + "/disabled"));
    write("var/pdb/" + name + "/" + state, std::string(word) + "\n");
  }

  void firstInstallation() {
    const LabRun first = install(false);
    ASSERT_EQ(first.status, 0) << first.console << readWholeFile(work + "/lab.out");
    for (const char* name : {"web", "dns", "ntp"}) {
      ASSERT_TRUE(pathExists(flash(std::string("var/pdb/") + name + "/version"))) << name;
      EXPECT_FALSE(pathExists(flash(std::string("var/pdb/") + name + "/disabled"))) << name;
    }
  }

  SigningKey key;
  std::string work, samples, brandingImage;
};

// Compares without printing what may be a whole package file.
#define EXPECT_FILE_IS(path, bytes)                                                   \
  do {                                                                                \
    const std::string actual_ = readWholeFile(path);                                  \
    EXPECT_TRUE(actual_ == (bytes)) << (path) << ": " << actual_.size() << " bytes, " \
                                    << std::string(bytes).size() << " expected";      \
  } while (0)

#define EXPECT_CONSOLE_HAS(run, text) \
  EXPECT_TRUE(has((run).console, text)) << "console lacks: " << (text) << "\n" << (run).console

TEST_F(CarryOverLab, KeptConfigurationSurvivesAndIsGoneWithoutKeep) {
  ASSERT_NO_FATAL_FAILURE(firstInstallation());
  // The installed system's configuration: nested directories with their
  // own modes, and a link that is carried over as the file it names.
  write("vela/store/network/interfaces", "eth0 10.0.0.1/24\n");
  write("vela/store/users/admin/password", "secret\n", 0600);
  ASSERT_EQ(chmod(flash("vela/store/users").c_str(), 0700), 0);
  write("vela/store/profiles/home", "profile home\n");
  ASSERT_EQ(symlink("/flash/vela/store/profiles/home", flash("vela/store/current").c_str()), 0);
  write("var/pdb/branding/image", brandingImage);
  setPackageState("dns", "disabled", "user");
  setPackageState("web", "enabled", "user");
  // Disabled by the system, not the user: not a state to carry over.
  setPackageState("ntp", "disabled", "auto");
  fs::remove(flash("rw/RESET"));  // the first boot consumed it

  const LabRun kept = install(true);
  ASSERT_EQ(kept.status, 0) << kept.console;
  EXPECT_CONSOLE_HAS(kept, "Reading old configuration...");
  EXPECT_CONSOLE_HAS(kept, "Writing back old configuration...");
  EXPECT_FALSE(has(kept.console, "ERROR")) << kept.console;
  EXPECT_FALSE(has(kept.console, "WARNING")) << kept.console;
  EXPECT_EQ(readWholeFile(flash("vela/store/network/interfaces")), "eth0 10.0.0.1/24\n");
  EXPECT_EQ(readWholeFile(flash("vela/store/users/admin/password")), "secret\n");
  EXPECT_EQ(permissions(flash("vela/store/users/admin/password")), 0600u);
  EXPECT_EQ(permissions(flash("vela/store/users")), 0700u);
  EXPECT_FALSE(fs::is_symlink(flash("vela/store/current")));
  EXPECT_EQ(readWholeFile(flash("vela/store/current")), "profile home\n");
  EXPECT_FILE_IS(flash("var/pdb/branding/image"), brandingImage);
  // The states reached the installation of each package.
  EXPECT_EQ(readWholeFile(flash("var/pdb/dns/disabled")), "user\n");
  EXPECT_FALSE(pathExists(flash("var/pdb/dns/enabled")));
  EXPECT_EQ(readWholeFile(flash("var/pdb/web/enabled")), "user\n");
  EXPECT_FALSE(pathExists(flash("var/pdb/web/disabled")));
  EXPECT_FALSE(pathExists(flash("var/pdb/ntp/disabled")));
  EXPECT_FALSE(pathExists(flash("var/pdb/ntp/enabled")));
  // A disabled package is installed aside, under /flash/x.
  EXPECT_CONSOLE_HAS(kept, "installed (disabled) dns-1.0");
  EXPECT_EQ(readWholeFile(flash("x/dns/usr/bin/dns")), "dns\n");
  EXPECT_FALSE(pathExists(flash("usr/bin/dns")));
  EXPECT_EQ(readWholeFile(flash("usr/bin/web")), "web\n");
  EXPECT_FALSE(pathExists(flash("rw/RESET")));

  const LabRun fresh = install(false);
  ASSERT_EQ(fresh.status, 0) << fresh.console;
  EXPECT_FALSE(has(fresh.console, "Reading old configuration")) << fresh.console;
  EXPECT_FALSE(pathExists(flash("vela/store")));
  EXPECT_FALSE(pathExists(flash("var/pdb/branding")));
  for (const char* name : {"web", "dns", "ntp"}) {
    EXPECT_TRUE(pathExists(flash(std::string("var/pdb/") + name + "/version"))) << name;
    EXPECT_FALSE(pathExists(flash(std::string("var/pdb/") + name + "/disabled"))) << name;
    EXPECT_FALSE(pathExists(flash(std::string("var/pdb/") + name + "/enabled"))) << name;
  }
  EXPECT_EQ(readWholeFile(flash("usr/bin/dns")), "dns\n");
  EXPECT_EQ(readWholeFile(flash("rw/RESET")), RESET_TEXT);
}

TEST_F(CarryOverLab, KeepWithoutAStoreCarriesTheBrandingButNoStates) {
  ASSERT_NO_FATAL_FAILURE(firstInstallation());
  write("var/pdb/branding/image", brandingImage);
  setPackageState("dns", "disabled", "user");
  // Neither store location; the fallback's parent is there, as always.
  ASSERT_FALSE(pathExists(flash("vela/store")));
  ASSERT_FALSE(pathExists(flash("rw/store")));

  const LabRun kept = install(true);
  ASSERT_EQ(kept.status, 0) << kept.console;
  EXPECT_FALSE(has(kept.console, "old configuration")) << kept.console;
  EXPECT_FALSE(has(kept.console, "keep config")) << kept.console;
  EXPECT_FILE_IS(flash("var/pdb/branding/image"), brandingImage);
  EXPECT_FALSE(pathExists(flash("var/pdb/dns/disabled")));
  EXPECT_EQ(readWholeFile(flash("usr/bin/dns")), "dns\n");
  // The server asked to keep: no reset, though nothing but the branding came.
  EXPECT_FALSE(pathExists(flash("rw/RESET")));
}

}  // namespace
}  // namespace deployboot
