#include "init/kernel_modules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace deployboot {
namespace {

// Every module start-up loads, in its order, with its parameters.
const std::vector<std::pair<std::string, std::string>> kStartupModules = {
    {"misc/flash.ko", ""},
    {"kernel/net/netfilter/nf_conntrack.ko", ""},
    {"drivers/net/packet_hook.ko", ""},
    {"drivers/net/phy_helper.ko", ""},
    {"drivers/net/phy_amcc_qt2025.ko", ""},
    {"drivers/net/phy_ti_tlk10232.ko", ""},
    {"drivers/net/switch.ko", ""},
    {"drivers/net/sfp_helper.ko", ""},
    {"drivers/net/aths16.ko", "auto_enable=1"},
    {"drivers/net/ath8327.ko", "auto_enable=1"},
    {"drivers/net/rtl8367.ko", ""},
    {"misc/spi_ssr.ko", ""},
    {"drivers/net/prestera_dx_mac.ko", "auto_enable=1"},
    {"misc/prestera_pci.ko", ""},
    {"drivers/net/mediatek_switch.ko", ""},
    {"drivers/net/raether.ko", ""},
};

class KernelModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kernel_modules_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    modules_ = dir_ + "/modules";
    board_ = dir_ + "/board";
    ASSERT_EQ(mkdir(modules_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(board_.c_str(), 0755), 0);
    // The virtual board records module loads in its log.
    setenv("DEPLOYBOOT_VBOARD", board_.c_str(), 1);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  void makeModule(const std::string& path, const std::string& image = "\x7f" "ELF module") {
    const std::string file = modules_ + "/" + path;
    std::system(("mkdir -p $(dirname " + file + ")").c_str());
    std::ofstream(file, std::ios::binary) << image;
  }
  void makeDirectory(const std::string& path) {
    std::system(("mkdir -p " + modules_ + "/" + path).c_str());
  }

  // "path params" of every module the board was asked to load.
  std::vector<std::string> loadedModules() const {
    std::vector<std::string> loaded;
    std::ifstream log(board_ + "/board.log");
    std::string line;
    while (std::getline(log, line)) {
      std::istringstream words(line);
      std::string kind, path, size, params;
      words >> kind >> path >> size >> params;
      if (kind == "module") loaded.push_back(path + " " + params);
    }
    return loaded;
  }

  // Runs `body` with standard output captured.
  template <class Body>
  std::string captureOutput(Body body) {
    std::fflush(stdout);
    const std::string path = dir_ + "/stdout";
    const int saved = dup(1);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir_, modules_, board_;
};

TEST_F(KernelModulesTest, StartupLoadsEveryModuleInOrderWithItsParameters) {
  // Created in reverse, so that directory order cannot pass for load order.
  for (auto it = kStartupModules.rbegin(); it != kStartupModules.rend(); ++it)
    makeModule(it->first);
  const std::string output = captureOutput([&] { loadStartupModules(modules_); });
  EXPECT_EQ(output, "");
  std::vector<std::string> expected;
  for (const auto& [path, params] : kStartupModules)
    expected.push_back(path + " " + (params.empty() ? "params=" : "params=" + params));
  EXPECT_EQ(loadedModules(), expected);
}

TEST_F(KernelModulesTest, MissingModulesAreSilentAndUnmappableOnesAreReported) {
  makeModule("misc/flash.ko");
  makeDirectory("drivers/net/switch.ko");            // opens, but cannot be mapped
  makeModule("drivers/net/aths16.ko", "");           // empty: nothing to map
  makeModule("drivers/net/raether.ko");
  const std::string output = captureOutput([&] { loadStartupModules(modules_); });
  EXPECT_EQ(output,
            "ERROR: could not load module drivers/net/switch.ko\n"
            "ERROR: could not load module drivers/net/aths16.ko\n");
  EXPECT_EQ(loadedModules(),
            (std::vector<std::string>{"misc/flash.ko params=", "drivers/net/raether.ko params="}));
}

TEST_F(KernelModulesTest, SingleLoadAnswersLikeTheKernel) {
  makeModule("misc/panics.ko", std::string(5000, 'm'));
  makeDirectory("misc/broken.ko");
  std::string output = captureOutput([&] {
    EXPECT_EQ(loadKernelModuleFrom(modules_, "misc/panics.ko", ""), 0);
    EXPECT_EQ(loadKernelModuleFrom(modules_, "misc/absent.ko", ""), -1);
    EXPECT_EQ(loadKernelModuleFrom(modules_, "misc/broken.ko", "x=1"), -1);
  });
  EXPECT_EQ(output, "ERROR: could not load module misc/broken.ko\n");
  std::ifstream log(board_ + "/board.log");
  std::string line;
  std::getline(log, line);
  EXPECT_EQ(line, "module misc/panics.ko size=5000 params=") << "the whole file is handed over";
}

TEST(KernelModuleDirectoryTest, NamesTheRunningKernelsRelease) {
  std::ifstream release("/proc/sys/kernel/osrelease");
  std::string text;
  if (!std::getline(release, text)) GTEST_SKIP() << "no /proc/sys/kernel/osrelease";
  EXPECT_EQ(kernelModuleDirectory(), "/lib/modules/" + text);
}

}  // namespace
}  // namespace deployboot
