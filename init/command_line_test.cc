#include "init/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace deployboot {
namespace {

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/command_line_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/cmdline";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir((dir_ + "/sub").c_str());
    rmdir(dir_.c_str());
  }
  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

  std::string dir_, path_;
};

TEST_F(CommandLineTest, FindsFlagsAsPlainSubstrings) {
  write("console=ttyS0,115200 board=quill-52x ubifs_support root=/dev/ram0\n");
  const struct { const char* flag; bool found; } cases[] = {
      {"ubifs_support", true},
      {"board=quill-52", true},  // inside a longer word, no word boundaries
      {"console=ttyS0", true},
      {"no-uart", false},
      {"no-nand", false},
      {"board=410kx4-qv", false},
      {"UBIFS_SUPPORT", false},
  };
  for (const auto& c : cases) EXPECT_EQ(commandLineFileHas(path_.c_str(), c.flag), c.found) << c.flag;
}

TEST_F(CommandLineTest, ReadsOnlyTheFirst1023Bytes) {
  std::string text(1023 - 8, 'x');
  text += " no-nand no-uart\n";  // " no-nand" ends at byte 1023
  write(text);
  EXPECT_TRUE(commandLineFileHas(path_.c_str(), "no-nand"));
  EXPECT_FALSE(commandLineFileHas(path_.c_str(), "no-uart"));
}

TEST_F(CommandLineTest, UnreadableCommandLineHasEveryFlag) {
  // Missing file: the open fails.
  EXPECT_TRUE(commandLineFileHas(path_.c_str(), "no-uart"));
  // A directory opens but cannot be read.
  const std::string sub = dir_ + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  EXPECT_TRUE(commandLineFileHas(sub.c_str(), "no-uart"));
  EXPECT_TRUE(commandLineFileHas(sub.c_str(), "anything at all"));
}

TEST_F(CommandLineTest, EmptyCommandLineHasNoFlag) {
  write("");
  EXPECT_FALSE(commandLineFileHas(path_.c_str(), "no-uart"));
}

}  // namespace
}  // namespace deployboot
