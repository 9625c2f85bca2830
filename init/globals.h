// Process-wide state of the installer core, shared by start-up, the
// driver, the console and the abort path.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <csignal>
#include <cstdint>

namespace deployboot {

// The console attributes to put back before the reboot. `saved` is 1 while
// the console is in installer mode and `attributes` holds what to restore.
struct TerminalState {
  termios attributes;
  uint32_t saved;
};

extern TerminalState terminalState;

// The front-panel display /dev/lcd, opened read-write at start-up; -1 when
// the board has none.
extern int lcdHandle;

// Once set, the abort key (SIGINT) does nothing. Read by the signal handler.
extern volatile sig_atomic_t abortDisabled;

// Where spawned programs write their standard output and error.
inline constexpr size_t CHILD_OUTPUT_PATH_SIZE = 64;
extern char childOutputPath[CHILD_OUTPUT_PATH_SIZE];

// The board model name as the flash device reports it; empty until read,
// always NUL-terminated.
inline constexpr size_t BOARD_NAME_SIZE = 32;
extern char boardName[BOARD_NAME_SIZE];

// The package-installer child while one runs, -1 otherwise.
extern pid_t installerPid;

}  // namespace deployboot
