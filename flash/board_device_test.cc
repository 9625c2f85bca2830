#include "flash/board_device.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "init/board_identity.h"
#include "init/globals.h"
#include "pkg/version.h"

namespace deployboot {
namespace {

class BoardDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/flash", F_OK) == 0) GTEST_SKIP() << "this machine has a /dev/flash";
    // An empty virtual board: no device behind /dev/flash.
    char dir[] = "/tmp/board_device_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setenv("DEPLOYBOOT_VBOARD", dir_.c_str(), 1);
    std::memset(boardName, 0, sizeof boardName);
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
    std::memset(boardName, 0, sizeof boardName);
  }
  std::string dir_;
};

TEST_F(BoardDeviceTest, MissingDeviceGivesEmptyNameAndTagZero) {
  std::memset(boardName, 0, sizeof boardName);
  readBoardName();
  EXPECT_STREQ(boardName, "");
  EXPECT_EQ(boardShortNameFor(boardName), "GB ");
  EXPECT_EQ(readHardwareTag(HARDWARE_TAG_MIN_VERSION), 0u);
  EXPECT_EQ(formatVersion(readHardwareTag(HARDWARE_TAG_MIN_VERSION)), "0.0");
}

TEST_F(BoardDeviceTest, NameReadOnceIsKept) {
  std::strcpy(boardName, "Quorvex 7-Q");
  readBoardName();  // would find no device and leave the name empty
  EXPECT_STREQ(boardName, "Quorvex 7-Q");
}

}  // namespace
}  // namespace deployboot
