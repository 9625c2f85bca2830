#include "init/globals.h"

namespace deployboot {

TerminalState terminalState = {};
int lcdHandle = -1;
volatile sig_atomic_t abortDisabled = 0;
char childOutputPath[CHILD_OUTPUT_PATH_SIZE] = "/dev/null";
char boardName[BOARD_NAME_SIZE] = {};
pid_t installerPid = -1;

}  // namespace deployboot
