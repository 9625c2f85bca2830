// The installer started the way a board starts it: as the first process
// of a ramdisk. Each case runs the real deployboot-vboard binary as PID 1
// of private mount, PID and network namespaces, chrooted into a prepared
// ramdisk tree, so that nothing it mounts reaches this machine.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace deployboot {
namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// Processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (!proc) return children;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    const std::string stat = readFile("/proc/" + std::string(entry->d_name) + "/stat");
    // "pid (comm) state ppid ...": comm may hold blanks, so start after ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    char state;
    pid_t ppid;
    if (fields >> state >> ppid && ppid == parent) children.push_back(pid);
  }
  closedir(proc);
  return children;
}

class RamdiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    const std::string binary = DEPLOYBOOT_BINARY_DIR "/deployboot-vboard";
    ASSERT_EQ(access(binary.c_str(), X_OK), 0) << "build deployboot-vboard first";
    char dir[] = "/tmp/startup_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    root_ = dir_ + "/root";
    utsname names{};
    uname(&names);
    const std::string modules = root_ + "/lib/modules/" + names.release;
    run("mkdir -p " + root_ + "/proc " + root_ + "/dev " + root_ + "/vboard " + modules +
        "/misc " + modules + "/drivers/net/switch.ko");
    run("cp " + binary + " " + root_ + "/init");
    writeFile(modules + "/misc/flash.ko", "flash module image");
    writeFile(modules + "/drivers/net/aths16.ko", "aths16 module image");
    writeFile(modules + "/drivers/net/raether.ko", "raether module image");
  }

  void TearDown() override {
    if (initPid_ > 0) kill(initPid_, SIGKILL);
    if (helper_ > 0) {
      kill(helper_, SIGKILL);
      waitpid(helper_, nullptr, 0);
    }
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }

  void writeBoard(const std::string& cmdline) {
    writeFile(root_ + "/vboard/board.conf",
              "name = Tesmarel 5 Z9\nlayout = nand\npartitions = 1M 1M\ninterfaces = 1\n"
              "cmdline = " + cmdline + "\n");
  }

  // Starts /init of the tree as PID 1 of new namespaces, under `argv0`.
  void boot(const char* argv0) {
    int in[2], out[2], report[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(report), 0);
    helper_ = fork();
    ASSERT_GE(helper_, 0);
    if (helper_ == 0) {
      if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET) != 0) _exit(120);
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(121);
      const pid_t first = fork();
      if (first < 0) _exit(122);
      if (first == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        for (int fd = 3; fd < 64; ++fd) close(fd);
        if (chroot(root_.c_str()) != 0 || chdir("/") != 0) _exit(123);
        char* const argv[] = {const_cast<char*>(argv0), nullptr};
        char* const envp[] = {const_cast<char*>("DEPLOYBOOT_VBOARD=/vboard"), nullptr};
        execve("/init", argv, envp);
        _exit(124);
      }
      (void)!write(report[1], &first, sizeof first);
      int status;
      while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
      }
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    close(in[0]);
    close(out[1]);
    close(report[1]);
    input_ = in[1];
    output_ = out[0];
    ASSERT_EQ(read(report[0], &initPid_, sizeof initPid_), static_cast<ssize_t>(sizeof initPid_));
    close(report[0]);
  }

  // Reads the console until `text` has appeared or 20 seconds pass.
  bool waitFor(const std::string& text) {
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (console_.find(text) == std::string::npos) {
      if (!readSome(end)) return false;
    }
    return true;
  }

  // Reads the console to its end and returns the helper's exit status
  // (the namespace's first process's), or -1 after 20 seconds.
  int finish() {
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (readSome(end)) {
    }
    while (Clock::now() < end) {
      int status;
      if (waitpid(helper_, &status, WNOHANG) == helper_) {
        helper_ = initPid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(20000);
    }
    return -1;
  }

  void pressEnter() { ASSERT_EQ(write(input_, "\n", 1), 1); }

  std::vector<std::string> boardLog(const std::string& kind) const {
    std::vector<std::string> lines;
    std::istringstream log(readFile(root_ + "/vboard/board.log"));
    std::string line;
    while (std::getline(log, line))
      if (line.compare(0, kind.size() + 1, kind + " ") == 0) {
        std::istringstream words(line.substr(kind.size() + 1));
        std::string first;
        words >> first;
        lines.push_back(first);
      }
    return lines;
  }
  bool rebooted() const {
    return readFile(root_ + "/vboard/board.log").find("\nreboot\n") != std::string::npos;
  }

  std::string dir_, root_, console_;
  pid_t helper_ = -1, initPid_ = -1;
  int input_ = -1, output_ = -1;

 private:
  bool readSome(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{output_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[512];
    const ssize_t n = read(output_, buf, sizeof buf);
    if (n <= 0) return false;
    console_.append(buf, n);
    return true;
  }
};

TEST_F(RamdiskTest, AsInitTheFirstProcessOnlyWaitsForOneWorker) {
  writeBoard("console=ttyS0");
  boot("/init");
  ASSERT_TRUE(waitFor("Press ENTER to reboot\n")) << console_;

  const std::vector<pid_t> workers = childrenOf(initPid_);
  ASSERT_EQ(workers.size(), 1u) << "the first process must fork exactly one worker";
  EXPECT_TRUE(childrenOf(workers[0]).empty());

  pressEnter();
  EXPECT_EQ(finish(), 0);
  EXPECT_TRUE(rebooted());

  EXPECT_NE(console_.find("Welcome to Kestrova Router Software remote installation 6.47\n"),
            std::string::npos) << console_;
  EXPECT_NE(console_.find("ERROR: could not load module drivers/net/switch.ko\n"),
            std::string::npos) << console_;
  const size_t rebooting = console_.find("\e[?25h\nRebooting...\n");
  ASSERT_NE(rebooting, std::string::npos) << console_;
  EXPECT_EQ(console_.find("Rebooting...", rebooting + 8), std::string::npos) << "twice";
  EXPECT_EQ(boardLog("module"),
            (std::vector<std::string>{"misc/flash.ko", "drivers/net/aths16.ko",
                                      "drivers/net/raether.ko"}));
  // The pseudo file systems in their order, before anything else is mounted.
  const std::vector<std::string> mounts = boardLog("mount");
  ASSERT_GE(mounts.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(mounts.begin(), mounts.begin() + 3),
            (std::vector<std::string>{"proc", "devtmpfs", "sysfs"}));
  struct stat st;
  for (const char* dir : {"/sys", "/flash", "/ram"}) {
    ASSERT_EQ(stat((root_ + dir).c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
  }
}

TEST_F(RamdiskTest, UnderAnotherNameTheProcessDoesTheWorkItself) {
  writeBoard("console=ttyS0");
  boot("/bin/deployboot");
  ASSERT_TRUE(waitFor("Press ENTER to reboot\n")) << console_;
  EXPECT_TRUE(childrenOf(initPid_).empty()) << "forked although not started as init";
  pressEnter();
  EXPECT_EQ(finish(), 0);
  EXPECT_TRUE(rebooted());
  EXPECT_NE(console_.find("Rebooting...\n"), std::string::npos) << console_;
}

TEST_F(RamdiskTest, SilentConsoleFlagSilencesEverything) {
  writeBoard("console=ttyS0 no-uart");
  boot("/init");
  // Standard input is /dev/null now, so the ENTER prompt ends at once.
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(console_, "");
  EXPECT_TRUE(rebooted());
  EXPECT_EQ(boardLog("module").size(), 3u);
}

// Run by hand with --help, the installer explains itself and does nothing
// else: no start-up, no reboot. The virtual-board build, in case it ever
// went on; both builds share the same main.
TEST(InstallerHelp, AnswersWithoutStartingUp) {
  const std::string binary = DEPLOYBOOT_BINARY_DIR "/deployboot-vboard";
  ASSERT_EQ(access(binary.c_str(), X_OK), 0) << binary;
  FILE* out = popen((binary + " --help 2>&1").c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char piece[256];
  for (size_t n; (n = fread(piece, 1, sizeof piece, out)) > 0;) text.append(piece, n);
  const int status = pclose(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(text.find("/init of an installation ramdisk"), std::string::npos) << text;
  EXPECT_EQ(text.find("Welcome"), std::string::npos) << text;
}

}  // namespace
}  // namespace deployboot
