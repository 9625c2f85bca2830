#include "lab/vboard/board_file.h"

#include <gtest/gtest.h>

namespace deployboot::vboard {
namespace {

TEST(BoardFile, ReadsEveryKey) {
  BoardSpec spec;
  std::string error;
  ASSERT_TRUE(parseBoardText("# sample\n"
                             "name = Tesmarel 5 Z9   # the model\n"
                             "layout = ubi\n"
                             "partitions = 4M 16M 4m 1G\n"
                             "min-version = 6.40.2\n"
                             "cpus = 2\n"
                             "cmdline = console=ttyS0,115200 quiet\n"
                             "activepart = 1\n"
                             "bootimage =\n"
                             "erase-size = 256K\n"
                             "interfaces = 3\n"
                             "nandfix-status = 4\n"
                             "unmountable = 0 3\n",
                             &spec, &error))
      << error;
  EXPECT_EQ(spec.name, "Tesmarel 5 Z9");
  EXPECT_EQ(spec.layout, FlashLayout::Ubi);
  EXPECT_EQ(spec.partitionSizes,
            (std::vector<uint64_t>{4u << 20, 16u << 20, 4u << 20, 1ull << 30}));
  EXPECT_EQ(spec.minVersion, 0x06286602u);
  EXPECT_EQ(spec.cpus, 2u);
  EXPECT_EQ(spec.activepart, "1");
  EXPECT_EQ(spec.bootimage, "");  // set, though empty
  EXPECT_EQ(spec.eraseSize, 256u * 1024);
  EXPECT_EQ(spec.interfaces, 3u);
  EXPECT_EQ(spec.nandfixStatus, 4);
  EXPECT_EQ(spec.unmountable, (std::set<unsigned>{0, 3}));
  EXPECT_EQ(kernelCommandLine(spec), "console=ttyS0,115200 quiet ubifs_support");
}

TEST(BoardFile, DefaultsAndLayoutFlags) {
  struct Case {
    const char* text;
    const char* cmdline;
  };
  for (Case c : {Case{"partitions = 1M\n", ""},
                 Case{"partitions = 1M\nlayout = single\ncmdline = a\n", "a no-nand"},
                 Case{"partitions = 1M\nlayout = ubi\ncmdline = ubifs_support x\n", "ubifs_support x"},
                 Case{"partitions = 1M\nlayout = ubi\ncmdline = xubifs_supporty\n",
                      "xubifs_supporty ubifs_support"}}) {
    SCOPED_TRACE(c.text);
    BoardSpec spec;
    std::string error;
    ASSERT_TRUE(parseBoardText(c.text, &spec, &error)) << error;
    EXPECT_EQ(kernelCommandLine(spec), c.cmdline);
    EXPECT_FALSE(spec.activepart.has_value());
    EXPECT_EQ(spec.minVersion, 0u);
  }
}

TEST(BoardFile, RejectsBadLinesWithTheirNumber) {
  struct Case {
    const char* text;
    const char* error;
  };
  for (Case c : {
           Case{"partitions = 1M\nfrobnicate = 1\n", "line 2: unknown key 'frobnicate'"},
           Case{"partitions 1M\n", "line 1: expected key = value"},
           Case{"partitions = 1X\n", "line 1: bad partition size '1X'"},
           Case{"partitions = -1M\n", "line 1: bad partition size '-1M'"},
           Case{"partitions = 0\n", "line 1: bad partition size '0'"},
           Case{"partitions = 1M\nlayout = flat\n", "line 2: layout must be ubi, nand or single"},
           Case{"partitions = 1M\nerase-size = 100K\n", "line 2: erase-size must be a power of two from 4K to 64M"},
           Case{"partitions = 1M\nmin-version = 6.256\n", "line 2: bad min-version"},
           Case{"partitions = 1M\nmin-version = 6.\n", "line 2: bad min-version"},
           Case{"partitions = 1M\ncpus = 0\n", "line 2: cpus must be 1 to 64"},
           Case{"partitions = 1M\nunmountable = x\n", "line 2: bad partition number"},
           Case{"name = 0123456789012345678901234567890123\n", "line 1: name longer than 31 characters"},
           Case{"layout = ubi\n", "no partitions given"},
           Case{"partitions = 64K\n", "every partition needs at least 8 erase blocks"},
       }) {
    SCOPED_TRACE(c.text);
    BoardSpec spec;
    std::string error;
    EXPECT_FALSE(parseBoardText(c.text, &spec, &error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(BoardFile, ProcStatListsOneLinePerCpu) {
  const std::string stat = procStatText(3);
  EXPECT_EQ(stat.rfind("cpu  ", 0), 0u);
  EXPECT_NE(stat.find("\ncpu2 "), std::string::npos);
  EXPECT_EQ(stat.find("\ncpu3 "), std::string::npos);
}

}  // namespace
}  // namespace deployboot::vboard
