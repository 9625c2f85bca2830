#include "flash/carry_over.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace deployboot {
namespace {

namespace fs = std::filesystem;

const char READING[] = "Reading old configuration\\.\\.\\.\\.*\n";
const char WRITING[] = "Writing back old configuration\\.\\.\\.\\.*\n";
const char NOT_KEPT[] = "ERROR: couldn't keep config - probably not enough memory\n";
const char NOT_WRITTEN[] =
    "ERROR: couldn't write old configuration - proboably not enough space on the disk\n";

// A board's root below /tmp: the old file system is built under "/flash",
// then wiped and given the base directories, as formatting would.
class CarryOverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/carry_over_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string at(const std::string& path) const { return root_ + path; }

  void write(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(at(path)).parent_path());
    std::ofstream(at(path)) << contents;
  }

  std::string read(const std::string& path) const {
    std::ifstream in(at(path));
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  void reformat() {
    fs::remove_all(at("/flash"));
    for (const char* dir : {"/flash", "/flash/rw", "/flash/vela", "/flash/vela/etc", "/flash/var",
                            "/flash/var/pdb"})
      ASSERT_EQ(mkdir(at(dir).c_str(), 0755), 0) << dir;
  }

  KeptConfiguration readCapturing(PackageStateMap& states, std::string* output) {
    ::testing::internal::CaptureStdout();
    KeptConfiguration kept = readKeptConfiguration(states, root_);
    *output = ::testing::internal::GetCapturedStdout();
    return kept;
  }

  std::string writeCapturing(KeptConfiguration kept) {
    ::testing::internal::CaptureStdout();
    writeKeptConfiguration(std::move(kept), root_);
    return ::testing::internal::GetCapturedStdout();
  }

  static bool matches(const std::string& output, const std::string& pattern) {
    return std::regex_match(output, std::regex(pattern));
  }

  std::string root_;
};

TEST_F(CarryOverTest, StoreBrandingAndStatesSurviveTheReformat) {
  write("/flash/vela/store/network", "address 10.0.0.1\n");
  write("/flash/vela/store/users/admin", "secret\n");
  write("/flash/var/pdb/branding/image", "BRANDING IMAGE");
  write("/flash/var/pdb/web/enabled", "user\n");
  write("/flash/var/pdb/dns/disabled", "user\n");
  write("/flash/var/pdb/ntp/disabled", "auto\n");

  PackageStateMap states;
  std::string output;
  KeptConfiguration kept = readCapturing(states, &output);
  EXPECT_TRUE(matches(output, READING)) << output;
  ASSERT_NE(kept.branding, nullptr);
  ASSERT_NE(kept.tree, nullptr);
  EXPECT_EQ(states, (PackageStateMap{{"web", 0}, {"dns", 1}}));

  reformat();
  output = writeCapturing(std::move(kept));
  EXPECT_TRUE(matches(output, WRITING)) << output;
  EXPECT_EQ(read("/flash/vela/store/network"), "address 10.0.0.1\n");
  EXPECT_EQ(read("/flash/vela/store/users/admin"), "secret\n");
  EXPECT_EQ(read("/flash/var/pdb/branding/image"), "BRANDING IMAGE");
  EXPECT_FALSE(fs::exists(at("/flash/var/pdb/web")));  // only the states travel
}

TEST_F(CarryOverTest, ChoosesTheStoreLocation) {
  struct Case {
    const char* what;
    bool preferred, fallback;
    const char* expectedBack;  // the store that is written back
  } cases[] = {
      {"both: the preferred one", true, true, "/flash/vela/store"},
      {"only the fallback", false, true, "/flash/rw/store"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(at("/flash"));
    if (c.preferred) write("/flash/vela/store/from", "vela");
    if (c.fallback) write("/flash/rw/store/from", "rw");
    PackageStateMap states;
    std::string output;
    KeptConfiguration kept = readCapturing(states, &output);
    ASSERT_NE(kept.tree, nullptr);
    reformat();
    writeCapturing(std::move(kept));
    EXPECT_EQ(read(std::string(c.expectedBack) + "/from"), c.preferred ? "vela" : "rw");
    EXPECT_EQ(fs::exists(at("/flash/rw/store")), !c.preferred);
  }
}

TEST_F(CarryOverTest, WithoutAStoreOnlyTheBrandingTravels) {
  write("/flash/var/pdb/branding/image", "BRANDING");
  write("/flash/var/pdb/dns/disabled", "user\n");

  PackageStateMap states{{"from-before", 0}};
  std::string output;
  KeptConfiguration kept = readCapturing(states, &output);
  EXPECT_EQ(output, "");
  EXPECT_EQ(kept.tree, nullptr);
  EXPECT_EQ(states, (PackageStateMap{{"from-before", 0}}));  // not read at all

  reformat();
  EXPECT_EQ(writeCapturing(std::move(kept)), "");
  EXPECT_EQ(read("/flash/var/pdb/branding/image"), "BRANDING");
}

TEST_F(CarryOverTest, AStoreThatCannotBePackedIsReportedAndStatesAreStillRead) {
  write("/flash/vela/store/fine", "x");
  ASSERT_EQ(symlink("/nowhere", at("/flash/vela/store/dangling").c_str()), 0);
  write("/flash/var/pdb/dns/disabled", "user\n");

  PackageStateMap states;
  std::string output;
  KeptConfiguration kept = readCapturing(states, &output);
  EXPECT_TRUE(matches(output, std::string(READING) + NOT_KEPT)) << output;
  EXPECT_EQ(kept.tree, nullptr);
  EXPECT_EQ(kept.branding, nullptr);  // there was no image
  EXPECT_EQ(states, (PackageStateMap{{"dns", 1}}));

  reformat();
  EXPECT_EQ(writeCapturing(std::move(kept)), "");
  EXPECT_FALSE(fs::exists(at("/flash/vela/store")));
}

TEST_F(CarryOverTest, AStoreThatCannotBeWrittenBackIsReported) {
  write("/flash/rw/store/config", "kept");
  PackageStateMap states;
  std::string output;
  KeptConfiguration kept = readCapturing(states, &output);
  ASSERT_NE(kept.tree, nullptr);

  reformat();
  ASSERT_EQ(mkdir(at("/flash/rw/store").c_str(), 0755), 0);  // in the way
  output = writeCapturing(std::move(kept));
  EXPECT_TRUE(matches(output, std::string(WRITING) + NOT_WRITTEN)) << output;
  EXPECT_FALSE(fs::exists(at("/flash/rw/store/config")));
}

}  // namespace
}  // namespace deployboot
