#include "support/system_utils.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace deployboot {
namespace {

std::string writeTemp(const std::string& text) {
  char path[] = "/tmp/procstatXXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  return path;
}

TEST(CpuCount, CountsPerCpuLinesOnly) {
  struct Case {
    const char* name;
    std::string stat;
    unsigned cpus;
  } cases[] = {
      {"two cpus", "cpu  1 2 3\ncpu0 1 2 3\ncpu1 4 5 6\nintr 9\n", 2},
      {"one cpu", "cpu  1 2 3\ncpu0 1 2 3\nctxt 7\n", 1},
      {"summary only gives one, not zero", "cpu  1 2 3\nintr 1\n", 1},
      {"empty file", "", 1},
      {"cpux is not a cpu line", "cpux 1\ncpu7 1\n", 1},
  };
  for (const auto& c : cases) {
    const std::string path = writeTemp(c.stat);
    EXPECT_EQ(testing::countCpusIn(path.c_str()), c.cpus) << c.name;
    unlink(path.c_str());
  }
}

TEST(CpuCount, LongLineArrivesInPiecesEachTestedAsALine) {
  // A 300-character line whose second piece begins with "cpu5" counts once more.
  std::string stat = "cpu0 " + std::string(250, 'x') + "cpu5 1\n";
  const std::string path = writeTemp(stat);
  EXPECT_EQ(testing::countCpusIn(path.c_str()), 2u);
  unlink(path.c_str());
}

TEST(CpuCount, MissingFileMeansOneCpu) {
  EXPECT_EQ(testing::countCpusIn("/nonexistent/stat"), 1u);
}

TEST(CpuCount, ArchitectureFollowsTheCachedCount) {
  const std::string arch = systemArchitecture();
  EXPECT_EQ(arch, cpuCount() < 2 ? "mipsle" : "mmips");
  EXPECT_EQ(cpuCount(), cpuCount());
}

TEST(WriteTextFile, CreatesTruncatesAndReportsFailure) {
  char dir[] = "/tmp/wtfXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/RESET";
  ASSERT_TRUE(writeTextFile(path, "a long first text"));
  ASSERT_TRUE(writeTextFile(path, ". /vela/lib/reset/reset"));
  std::ifstream in(path);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), ". /vela/lib/reset/reset");

  ASSERT_TRUE(writeTextFile(path, ""));
  std::ifstream empty(path);
  EXPECT_EQ(empty.peek(), std::ifstream::traits_type::eof());

  EXPECT_FALSE(writeTextFile(std::string(dir) + "/missing/dir/file", "x"));
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace deployboot
