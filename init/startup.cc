#include "init/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "init/command_line.h"
#include "init/console.h"
#include "init/driver.h"
#include "init/globals.h"
#include "init/kernel_modules.h"
#include "pkg/package_states.h"
#include "support/board.h"
#include "support/system_utils.h"

namespace deployboot {
namespace {

// Flags that ask for a console without output, tested in this order.
const char* const silentConsoleFlags[] = {"no-uart", "board=quill-52", "board=410kx4-qv"};

void installHandler(int signal, void (*handler)(int), int flags) {
  struct sigaction action{};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

bool startedAsInit(const char* argv0) { return argv0 && std::strstr(argv0, "init"); }

bool forkWorker(int* waitResult) {
  const pid_t worker = ::fork();
  if (worker <= 0) return false;
  int status;
  while (::waitpid(worker, &status, 0) < 0) {
    if (errno != EINTR) {
      *waitResult = -1;
      return true;
    }
  }
  *waitResult = status;
  return true;
}

void prepareMachine() {
  board::mount("proc", "/proc", "proc", 0, nullptr);
  board::mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
  ::mkdir("/sys", 0755);
  board::mount("sysfs", "/sys", "sysfs", 0, nullptr);
  ::mkdir("/flash", 0755);
  ::mkdir("/ram", 0755);
}

void silenceConsoleIfAsked() {
  bool silent = false;
  for (const char* flag : silentConsoleFlags) {
    if (kernelCommandLineHas(flag)) {
      silent = true;
      break;
    }
  }
  if (!silent) return;
  std::snprintf(childOutputPath, sizeof childOutputPath, "%s", "/dev/null");
  std::fflush(nullptr);
  const int input = ::open("/dev/null", O_RDONLY);
  if (input >= 0) {
    ::dup2(input, 0);
    if (input != 0) ::close(input);
  }
  const int output = ::open("/dev/null", O_WRONLY);
  if (output >= 0) {
    ::dup2(output, 1);
    ::dup2(output, 2);
    if (output > 2) ::close(output);
  }
}

void installSignalDispositions() {
  installHandler(SIGINT, onAbortSignal, 0);
  installHandler(SIGPIPE, SIG_IGN, 0);
  installHandler(SIGCHLD, SIG_DFL, SA_RESTART);
}

int runStartup(int argc, char** argv) {
  if (startedAsInit(argc > 0 ? argv[0] : nullptr)) {
    int waitResult;
    if (forkWorker(&waitResult)) return waitResult;
  }

  prepareMachine();
  silenceConsoleIfAsked();
  terminalState.saved = 0;
  installSignalDispositions();
  loadStartupModules(kernelModuleDirectory());
  lcdHandle = ::open("/dev/lcd", O_RDWR | O_CLOEXEC);

  PackageStateMap packageStates;
  int result;
  {
    const std::string architecture = systemArchitecture();
    result = runInstallation(packageStates, architecture);
  }
  abortDisabled = 1;

  if (result == 0) {
    std::puts("Press ENTER to reboot");
    std::fflush(stdout);
    waitForEnter();
  }
  restoreTerminal(terminalState);
  std::puts("");
  std::puts("Rebooting...");
  std::fflush(stdout);
  board::restart();
  return 0;
}

}  // namespace deployboot
