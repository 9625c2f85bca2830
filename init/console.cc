#include "init/console.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "support/board.h"

namespace deployboot {
namespace {

const char SHOW_CURSOR[] = "\e[?25h";

void onProgressTick(int) {
  const int saved = errno;  // the interrupted code may be looking at errno
  const ssize_t ignored = ::write(1, ".", 1);
  (void)ignored;
  startProgressDots();
  errno = saved;
}

}  // namespace

void setInstallerTerminalMode(TerminalState& state) {
  if (state.saved == 1) return;
  ::tcgetattr(0, &state.attributes);
  termios mode = state.attributes;
  mode.c_lflag &= ~(ICANON | ECHO);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  ::tcsetattr(0, TCSAFLUSH, &mode);
  state.saved = 1;
}

void restoreTerminal(TerminalState& state) {
  if (state.saved != 0) {
    ::tcsetattr(0, TCSAFLUSH, &state.attributes);
    state.saved = 0;
  }
  std::fputs(SHOW_CURSOR, stdout);
  std::fflush(stdout);
}

void waitForEnter() {
  for (;;) {
    char key;
    const ssize_t n = ::read(0, &key, 1);
    if (n < 0 && errno == EINTR) continue;  // a swallowed abort key
    if (n <= 0 || key == '\n') return;
    std::fputc('\a', stdout);
    std::fflush(stdout);
  }
}

int startProgressDots() {
  struct sigaction action{};
  action.sa_handler = onProgressTick;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGALRM, &action, nullptr) != 0) return -1;
  ::alarm(1);
  return 0;
}

void stopProgressDots() {
  std::fputc('\n', stdout);
  std::fflush(stdout);
  struct sigaction action{};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGALRM, &action, nullptr);
}

void onAbortSignal(int) {
  if (abortDisabled) return;
  std::fputs("\n\nInstallation aborted\nPress ENTER to reboot\n", stdout);
  std::fflush(stdout);
  board::umount("/flash/boot");
  board::umount("/flash");
  board::umount("/floppy");
  waitForEnter();
  restoreTerminal(terminalState);
  board::restart();
}

int spawnProgramArgv(const char* root, const char* path, const char* const* arguments,
                     size_t count) {
  const char* argv[SPAWN_MAX_ARGUMENTS + 2] = {path};
  size_t argc = 1;
  for (size_t i = 0; i < count && i < SPAWN_MAX_ARGUMENTS && arguments[i]; ++i)
    argv[argc++] = arguments[i];
  argv[argc] = nullptr;

  std::fflush(nullptr);  // the child must not write the parent's buffers again
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    for (int fd = 0; fd <= 15; ++fd) ::close(fd);
    ::open("/dev/null", O_RDONLY);
    ::open(childOutputPath, O_WRONLY);
    ::dup(1);
    if (root && ::chroot(root) != 0) ::_exit(127);
    ::execv(path, const_cast<char* const*>(argv));
    ::_exit(127);
  }
  int status;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace deployboot
