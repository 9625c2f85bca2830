// The console as the operator meets it: each case runs the real code in a
// child process whose console is a pseudo-terminal (or a pipe), and reads
// what reaches the other side.
#include "init/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "init/driver.h"
#include "init/globals.h"
#include "init/startup.h"

namespace deployboot {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(seconds));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A child running `body` with a pseudo-terminal as its controlling console
// (descriptors 0, 1 and 2). The test plays the operator on the master side.
class ConsoleChild {
 public:
  explicit ConsoleChild(const std::function<int()>& body) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      // The abort path unmounts the flash: keep that inside this child.
      if (unshare(CLONE_NEWNS) == 0) mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
      _exit(body());
    }
  }
  ~ConsoleChild() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0; }

  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads until `text` has appeared in the output, or `seconds` pass.
  bool waitFor(const std::string& text, double seconds = 10) {
    const auto end = deadline(seconds);
    while (output_.find(text, consumed_) == std::string::npos) {
      if (!readSome(end)) return false;
    }
    consumed_ = output_.find(text, consumed_) + text.size();
    return true;
  }

  // Reads for `seconds`; true when nothing new arrived.
  bool quietFor(double seconds) {
    const size_t before = output_.size();
    const auto end = deadline(seconds);
    while (Clock::now() < end && readSome(end)) {
    }
    return output_.size() == before;
  }

  // Reads to the end and returns the child's wait status (-1 on time-out).
  int finish(double seconds = 10) {
    const auto end = deadline(seconds);
    while (readSome(end)) {
    }
    int status = -1;
    while (Clock::now() < end) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return status;
      }
      usleep(10000);
    }
    return -1;
  }

  const std::string& output() const { return output_; }
  // What arrived after the last text waited for.
  std::string rest() const { return output_.substr(consumed_); }
  int master() const { return master_; }

 private:
  bool readSome(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[512];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return false;  // EIO: the child has closed the console
    output_.append(buf, n);
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  bool reaped_ = false;
  std::string output_;
  size_t consumed_ = 0;
};

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/console_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    // The virtual board logs its restart here.
    setenv("DEPLOYBOOT_VBOARD", dir_.c_str(), 1);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string boardLog() const { return readFile(dir_ + "/board.log"); }

  std::string dir_;
};

struct Modes {
  termios before, installer, afterSecondCall, restored;
};

TEST_F(ConsoleTest, InstallerModeIsKeyAtATimeAndRestoresTheFirstSavedAttributes) {
  int results[2];
  ASSERT_EQ(pipe(results), 0);
  ConsoleChild child([&] {
    Modes m{};
    TerminalState state{};
    tcgetattr(0, &m.before);
    setInstallerTerminalMode(state);
    tcgetattr(0, &m.installer);
    // A second call must not save the installer mode as the one to restore.
    termios changed = m.installer;
    changed.c_lflag &= ~ISIG;
    tcsetattr(0, TCSANOW, &changed);
    setInstallerTerminalMode(state);
    tcgetattr(0, &m.afterSecondCall);
    restoreTerminal(state);
    tcgetattr(0, &m.restored);
    const bool savedCleared = state.saved == 0;
    return write(results[1], &m, sizeof m) == sizeof m && savedCleared ? 0 : 1;
  });
  ASSERT_TRUE(child.started());
  close(results[1]);
  const int status = child.finish();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  Modes m{};
  ASSERT_EQ(read(results[0], &m, sizeof m), static_cast<ssize_t>(sizeof m));
  close(results[0]);

  EXPECT_EQ(m.installer.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(m.installer.c_lflag & ~(ICANON | ECHO), m.before.c_lflag & ~(ICANON | ECHO));
  EXPECT_NE(m.installer.c_lflag & ISIG, 0u) << "the abort key must still raise SIGINT";
  EXPECT_EQ(m.installer.c_iflag, m.before.c_iflag) << "CR-to-NL translation must stay";
  EXPECT_EQ(m.installer.c_oflag, m.before.c_oflag);
  EXPECT_EQ(m.installer.c_cc[VMIN], 1);
  EXPECT_EQ(m.installer.c_cc[VTIME], 0);
  EXPECT_EQ(m.afterSecondCall.c_lflag & ISIG, 0u) << "second call changed the console";
  EXPECT_EQ(m.restored.c_lflag, m.before.c_lflag);
  EXPECT_EQ(m.restored.c_iflag, m.before.c_iflag);
  EXPECT_EQ(m.restored.c_cc[VMIN], m.before.c_cc[VMIN]);
  EXPECT_EQ(child.output(), "\e[?25h");
}

TEST_F(ConsoleTest, RestoreWithoutSavedStateOnlyShowsTheCursor) {
  ConsoleChild child([] {
    termios before{}, after{};
    tcgetattr(0, &before);
    TerminalState state{};
    state.attributes = before;
    state.attributes.c_lflag &= ~ECHO;  // must not be applied: nothing was saved
    restoreTerminal(state);
    tcgetattr(0, &after);
    return after.c_lflag == before.c_lflag ? 0 : 1;
  });
  ASSERT_TRUE(child.started());
  const int status = child.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(child.output(), "\e[?25h");
}

TEST_F(ConsoleTest, WelcomeScreenThenOneBellPerWrongKeyUntilEnter) {
  int panel[2];
  ASSERT_EQ(pipe(panel), 0);
  ConsoleChild child([&] {
    lcdHandle = panel[1];
    PackageStateMap states;
    InstallSession session(states, "mipsle");
    if (!stageScreen(session)) return 2;
    waitForEnter();
    std::puts("done");
    std::fflush(stdout);
    return 0;
  });
  ASSERT_TRUE(child.started());
  close(panel[1]);

  ASSERT_TRUE(child.waitFor("abort\r\n")) << child.output();
  EXPECT_EQ(child.output(),
            "\e[?25l\e[2J\e[H"
            "Welcome to Kestrova Router Software remote installation 6.47\r\n"
            "Press Ctrl-Alt-Delete to abort\r\n");
  char text[32] = {};
  EXPECT_EQ(read(panel[0], text, sizeof text), 10);
  EXPECT_STREQ(text, "deployboot");
  close(panel[0]);

  // Each key arrives alone, so its bell comes before any ENTER; and the
  // key is not echoed.
  child.type("x");
  ASSERT_TRUE(child.waitFor("\a", 5)) << "no bell before ENTER: " << child.output();
  child.type("y ");
  ASSERT_TRUE(child.waitFor("\a\a", 5));
  EXPECT_TRUE(child.quietFor(0.2)) << child.rest();
  child.type("\r");  // the console's ENTER, translated to a newline
  ASSERT_TRUE(child.waitFor("done\r\n", 5)) << child.output();
  const int status = child.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(child.output().find_first_of("xy"), std::string::npos) << "echoed: " << child.output();
}

TEST_F(ConsoleTest, WaitForEnterReturnsAtEndOfInput) {
  int input[2], output[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(pipe(output), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    close(input[1]);
    close(output[0]);
    waitForEnter();
    std::fputs("returned", stdout);
    std::fflush(stdout);
    _exit(0);
  }
  close(input[0]);
  close(output[1]);
  ASSERT_EQ(write(input[1], "ab", 2), 2);
  close(input[1]);  // the console goes away without an ENTER
  std::string seen;
  char buf[64];
  ssize_t n;
  while ((n = read(output[0], buf, sizeof buf)) > 0) seen.append(buf, n);
  close(output[0]);
  int status;
  waitpid(pid, &status, 0);
  EXPECT_EQ(seen, "\a\areturned");
}

// The installer's abort key: ^C on the console while ENTER is awaited.
int waitingInstaller(bool disabled) {
  installSignalDispositions();
  abortDisabled = disabled ? 1 : 0;
  setInstallerTerminalMode(terminalState);
  std::puts("ready");
  std::fflush(stdout);
  waitForEnter();
  std::puts("not aborted");
  std::fflush(stdout);
  return 3;
}

TEST_F(ConsoleTest, AbortKeyAbortsAndRestartsTheBoard) {
  ConsoleChild child([] { return waitingInstaller(false); });
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.waitFor("ready\r\n"));
  child.type("\x03");
  ASSERT_TRUE(child.waitFor("\r\n\r\nInstallation aborted\r\nPress ENTER to reboot\r\n", 5))
      << child.output();
  EXPECT_EQ(boardLog().find("reboot"), std::string::npos) << "restarted before ENTER";
  child.type("\r");
  const int status = child.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(child.rest(), "\e[?25h");
  EXPECT_NE(boardLog().find("reboot"), std::string::npos) << boardLog();
}

TEST_F(ConsoleTest, AbortKeyDoesNothingOnceAbortIsDisabled) {
  ConsoleChild child([] { return waitingInstaller(true); });
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.waitFor("ready\r\n"));
  child.type("\x03");
  // The interrupted read goes on waiting for ENTER.
  EXPECT_TRUE(child.quietFor(0.5)) << child.rest();
  child.type("\r");
  const int status = child.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  EXPECT_EQ(child.rest(), "not aborted\r\n");
  EXPECT_EQ(boardLog(), "");
}

TEST_F(ConsoleTest, ProgressDotsFollowTheMessageAndStopCleanly) {
  int output[2];
  ASSERT_EQ(pipe(output), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(output[1], 1);
    close(output[0]);
    std::fputs("Formatting disk...", stdout);
    std::fflush(stdout);
    if (startProgressDots() != 0) _exit(2);
    for (int tick = 0; tick < 3; ++tick) pause();  // each tick ends one pause
    stopProgressDots();
    // The next tick is already requested; it must be ignored, not fatal.
    timespec wait{1, 300000000};
    while (nanosleep(&wait, &wait) != 0) {
    }
    std::puts("end");
    std::fflush(stdout);
    _exit(0);
  }
  close(output[1]);
  std::string seen;
  char buf[64];
  ssize_t n;
  while ((n = read(output[0], buf, sizeof buf)) > 0) seen.append(buf, n);
  close(output[0]);
  int status;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(seen, "Formatting disk......\nend\n");
}

class SpawnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/spawn_test.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    outputPath_ = path;
    std::snprintf(childOutputPath, sizeof childOutputPath, "%s", path);
  }
  void TearDown() override {
    unlink(outputPath_.c_str());
    std::snprintf(childOutputPath, sizeof childOutputPath, "%s", "/dev/null");
  }
  std::string childOutput() const { return readFile(outputPath_); }
  void clearOutput() const { truncate(outputPath_.c_str(), 0); }

  std::string outputPath_;
};

TEST_F(SpawnTest, ProgramRunsSilentlyWithItsArguments) {
  // A descriptor the installer holds must not reach the program.
  const int held = open("/dev/null", O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(dup2(held, 9), 9);
  const int status = spawnProgram(nullptr, "/bin/sh", "-c",
                                  "echo \"$0|$1\"; echo err >&2; cat; "
                                  "test -e /proc/self/fd/9 && echo leaked; exit 4",
                                  "first", "second");
  close(9);
  close(held);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(childOutput(), "first|second\nerr\n");
}

TEST_F(SpawnTest, ArgumentListEndsAtNullOrAfterFifteen) {
  const char* args[20] = {"-c", "echo $#"};
  for (int i = 2; i < 20; ++i) args[i] = "x";
  // -c, the script and $0 take three of the fifteen.
  EXPECT_EQ(spawnProgramArgv(nullptr, "/bin/sh", args, 20), 0);
  EXPECT_EQ(childOutput(), "12\n");
  clearOutput();
  args[5] = nullptr;
  EXPECT_EQ(spawnProgramArgv(nullptr, "/bin/sh", args, 20), 0);
  EXPECT_EQ(childOutput(), "2\n");
}

TEST_F(SpawnTest, FailuresToStartShowAsStatus127) {
  int status = spawnProgram(nullptr, "/nonexistent/program");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
  status = spawnProgram("/nonexistent/root", "/bin/sh", "-c", "exit 0");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
  EXPECT_EQ(childOutput(), "");
}

}  // namespace
}  // namespace deployboot
