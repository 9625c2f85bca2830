// Streams one package file into the installer's package child, as the
// driver does during a download: a forked child reading a pipe, its
// console output captured. Call inside the package sandbox.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "init/driver.h"
#include "tests/system/package_sandbox.h"

namespace deployboot::testing {

// The child's console output. The child must read the whole file and exit
// with status 0, whatever it made of the package.
inline std::string installThroughChild(const std::string& file, PackageStateMap states = {},
                                       const std::string& architecture = "mmips") {
  char outPath[] = "/tmp/package-child-out.XXXXXX";
  const int out = mkstemp(outPath);
  EXPECT_GE(out, 0);
  int pipeFds[2];
  EXPECT_EQ(pipe(pipeFds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[0], 0);
    dup2(out, 1);
    close(pipeFds[1]);
    InstallSession session(states, architecture);
    runPackageInstallerChild(session);  // ends in _exit
  }
  close(pipeFds[0]);
  signal(SIGPIPE, SIG_IGN);
  size_t done = 0;
  while (done < file.size()) {
    const ssize_t n = write(pipeFds[1], file.data() + done, file.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  EXPECT_EQ(done, file.size()) << "the child stopped reading its input";
  close(pipeFds[1]);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  close(out);
  const std::string transcript = readWholeFile(outPath);
  unlink(outPath);
  return transcript;
}

// The messages of a console transcript: its complete lines as a terminal
// shows them (the text after the last carriage return), without the status
// line's cursor hiding and showing, empty lines left out.
inline std::vector<std::string> messagesOf(std::string transcript) {
  for (const std::string cursor : {"\x1b[?25l", "\x1b[?25h"})
    for (size_t at; (at = transcript.find(cursor)) != std::string::npos;)
      transcript.erase(at, cursor.size());
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = transcript.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = transcript.substr(start, end - start);
    const size_t cr = line.rfind('\r');
    if (cr != std::string::npos) line = line.substr(cr + 1);
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

}  // namespace deployboot::testing
