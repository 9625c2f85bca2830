// The operator's console: key-at-a-time input, the ENTER prompt, progress
// dots, the abort path, and silent external programs.
#pragma once

#include <cstddef>

#include "init/globals.h"

namespace deployboot {

// No echo, no line editing, one key at a time on descriptor 0. Keyboard
// signals, CR-to-NL input translation and output processing stay as they
// were. Saves the attributes only the first time.
void setInstallerTerminalMode(TerminalState& state);

// Puts the saved attributes back (if any) and shows the cursor.
void restoreTerminal(TerminalState& state);

// Returns after a newline or the end of standard input; rings the bell on
// standard output for every other key.
void waitForEnter();

// One "." per second straight to descriptor 1 until stopProgressDots.
// Returns 0, or -1 when the timer signal could not be set up.
int startProgressDots();

// Ends the line of dots and stops them (a pending tick is ignored).
void stopProgressDots();

// The SIGINT handler: unless abortDisabled is set, tells the operator the
// installation was aborted, unmounts the flash, waits for ENTER and
// restarts the board.
void onAbortSignal(int signal);

// The most arguments (besides the program path) a spawned program gets.
inline constexpr size_t SPAWN_MAX_ARGUMENTS = 15;

// Runs `path` with `arguments` (argv[0] is `path`, the list ends at the
// first null or after `count` entries, at most SPAWN_MAX_ARGUMENTS), inside
// `root` when it is not null. Standard input is /dev/null, standard output
// and error go to childOutputPath. Returns the raw wait status (127 as exit
// status when chroot or exec failed), or -1 when it could not fork or wait.
int spawnProgramArgv(const char* root, const char* path, const char* const* arguments,
                     size_t count);

// spawnProgram("/flash", "/bin/bash", "-c", "/etc/rc.d/rc.postinstall").
// A trailing nullptr is accepted and ends the list.
template <class... Arguments>
int spawnProgram(const char* root, const char* path, Arguments... arguments) {
  static_assert(sizeof...(Arguments) <= SPAWN_MAX_ARGUMENTS + 1, "too many arguments");
  const char* list[] = {static_cast<const char*>(arguments)..., nullptr};
  return spawnProgramArgv(root, path, list, sizeof...(Arguments));
}

}  // namespace deployboot
