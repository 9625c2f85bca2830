#include "flash/package_states.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace deployboot {
namespace {

namespace fs = std::filesystem;

class PackageStatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/package_states_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    db_ = pattern;
  }
  void TearDown() override { fs::remove_all(db_); }

  // A package directory with the given state files (absent when nullopt).
  void addPackage(const std::string& name, std::optional<std::string> enabled,
                  std::optional<std::string> disabled) {
    const std::string dir = db_ + "/" + name;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::ofstream(dir + "/version") << "1 2\n";
    if (enabled) std::ofstream(dir + "/enabled") << *enabled;
    if (disabled) std::ofstream(dir + "/disabled") << *disabled;
  }

  std::string db_;
};

TEST_F(PackageStatesTest, ReadsTheStateOfEveryPackage) {
  struct Case {
    const char* name;
    std::optional<std::string> enabled, disabled;
    int expected;  // -1: not in the map
  } cases[] = {
      {"enabled-by-user", "user\n", std::nullopt, 0},
      {"disabled-by-user", std::nullopt, "user\n", 1},
      {"disabled-longer", std::nullopt, "user forced it for a reason\n", 1},
      {"disabled-no-newline", std::nullopt, "user", 1},
      {"disabled-auto", std::nullopt, "auto\n", -1},
      {"disabled-empty", std::nullopt, "", -1},
      {"disabled-us", std::nullopt, "us\n", -1},
      {"disabled-second-line", std::nullopt, "auto\nuser\n", -1},
      {"neither", std::nullopt, std::nullopt, -1},
      {"both", "user\n", "user\n", 0},  // "enabled" wins
      {".hidden", "user\n", std::nullopt, -1},
  };
  for (const Case& c : cases) addPackage(c.name, c.enabled, c.disabled);
  std::ofstream(db_ + "/stray-file") << "not a package";

  PackageStateMap states{{"left-over", 1}};
  readPackageStates(states, db_);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto it = states.find(c.name);
    if (c.expected < 0) {
      EXPECT_EQ(it, states.end());
    } else {
      ASSERT_NE(it, states.end());
      EXPECT_EQ(it->second, c.expected);
    }
  }
  EXPECT_EQ(states.count("left-over"), 0u);  // the map starts empty
  EXPECT_EQ(states.count("stray-file"), 0u);
  EXPECT_EQ(states.size(), 5u);
}

TEST_F(PackageStatesTest, MissingDatabaseLeavesAnEmptyMap) {
  PackageStateMap states{{"left-over", 0}};
  readPackageStates(states, db_ + "/absent");
  EXPECT_TRUE(states.empty());
}

}  // namespace
}  // namespace deployboot
