// Small host-side helpers of the lab: running programs, files, names.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace deployboot::lab {

// Runs `argv` and returns its exit status (-1 when it could not run or was
// killed). Its output goes to /dev/null when `quiet`.
int runCommand(const std::vector<std::string>& argv, bool quiet = true);

bool writeText(const std::string& path, const std::string& text);
std::string readText(const std::string& path);

// Six random hexadecimal digits naming one run.
std::string randomId();

// The directory holding this program (where the other built programs are).
std::string programDirectory();

bool processAlive(pid_t pid);

// Sends `sig` to `pid`, then waits for it at most `seconds`, then kills it.
void stopProcess(pid_t pid, int sig, double seconds);

// The kernel release, as the installer builds its module paths with it.
std::string kernelRelease();

// Becomes `args` (args[0] a path) with standard input from /dev/null and
// both outputs appended to `logPath`; a program that cannot run exits 127.
// For a forked child.
[[noreturn]] void execLogged(std::vector<std::string> args, const std::string& logPath);

// Turns Ctrl-C, SIGTERM and SIGHUP into a byte on a pipe whose read end
// (non-blocking) it returns, so that a run's wait loop can poll for them
// and tear down what it made; SIGPIPE is ignored. -1 when the pipe fails.
int stopSignalsToPipe();

// The value after option argv[*i], stepping *i over it; false, with a
// message, when the option is the last word.
bool takeOptionValue(int argc, char** argv, int* i, std::string* out);

// Reads exactly `size` bytes from `fd`; false on end of file, an error,
// or when `seconds` (when not negative) have passed first.
bool readExactly(int fd, void* data, size_t size, double seconds);

// Seconds on the monotonic clock.
double monotonicSeconds();

// Where runs put their directories: $TMPDIR, else /tmp.
std::string temporaryRoot();

// What a terminal shows of one console line: no control sequences (ESC [
// ... letter) or bells, only the text after the last carriage return.
std::string shownLine(const std::string& raw);

// The shown lines of a console transcript that are not blank.
std::vector<std::string> shownLines(const std::string& text);

// The last `count` of `lines`, each indented by two spaces.
std::string indentedTail(const std::vector<std::string>& lines, size_t count);

}  // namespace deployboot::lab
