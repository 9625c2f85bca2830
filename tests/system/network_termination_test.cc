// The final handshake of the real installer against deployserve: when no
// TERM comes back, the installer repeats WTRM until the operator presses a
// key, and then reboots. deploylab runs the installer on a virtual board in
// one network namespace and the server in another, joined by a veth pair;
// the server is started through a wrapper that drops every WTRM on its
// receive side (nft, counted), so only the key can end the wait.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string LAB = DEPLOYBOOT_BINARY_DIR "/deploylab";
const std::string SERVER = DEPLOYBOOT_BINARY_DIR "/deployserve";

std::string readAll(const std::string& path) { return deployboot::testing::readWholeFile(path); }
using deployboot::testing::has;

// What a command prints on standard output (at most a few KiB are read).
std::string outputOf(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

// The packets counter of the WTRM rule in the server's namespace; -1 while
// the rule is not there yet.
long droppedWtrms(pid_t server) {
  const std::string listing = outputOf("nsenter -t " + std::to_string(server) +
                                       " -n nft list table inet wtrmdrop 2>/dev/null");
  const size_t at = listing.find("counter packets ");
  if (at == std::string::npos) return -1;
  return std::atol(listing.c_str() + at + std::strlen("counter packets "));
}

using deployboot::testing::ScratchDir;

// deploylab with its standard input on a pipe: what is written there is
// typed on the board's console.
class LabProcess {
 public:
  LabProcess(const std::vector<std::string>& args, const std::string& outputPath) {
    int keys[2];
    if (pipe(keys) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(keys[0], 0);
      close(keys[1]);
      FILE* out = std::fopen(outputPath.c_str(), "w");
      if (out) {
        dup2(fileno(out), 1);
        dup2(fileno(out), 2);
      }
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(keys[0]);
    keys_ = keys[1];
  }
  ~LabProcess() {
    if (keys_ >= 0) close(keys_);
    if (pid_ > 0) {
      kill(pid_, SIGINT);  // deploylab stops its board and cleans up
      if (wait(30) == -2) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }

  bool press(const std::string& key) {
    return keys_ >= 0 && write(keys_, key.data(), key.size()) == static_cast<ssize_t>(key.size());
  }
  bool running() {
    return pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == 0;
  }
  // Its exit status, or -2 when it has not ended within `seconds`.
  int wait(int seconds) {
    for (int i = 0; i < seconds * 10 && pid_ > 0; ++i) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (pid_ > 0) return -2;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int keys_ = -1;
  int status_ = 0;
};

TEST(NetworkTermination, KeyPressedWhileWtrmGoesUnansweredEndsTheInstallation) {
  DEPLOYBOOT_REQUIRE_ROOT();
  ASSERT_EQ(access(LAB.c_str(), X_OK), 0) << "build deploylab first";
  ASSERT_EQ(access(SERVER.c_str(), X_OK), 0) << "build deployserve first";
  ASSERT_EQ(std::system("command -v nft >/dev/null && command -v nsenter >/dev/null"), 0)
      << "needs nft and nsenter";
  ScratchDir scratch;
  const std::string dir = scratch.path();
  fs::create_directories(dir + "/samples");
  std::ofstream(dir + "/samples/autorun.scr") << "set system name r1\n";
  std::ofstream(dir + "/board.conf") << "name = 42Z\nlayout = single\npartitions = 12M\n";
  // Runs in the server's namespace, then becomes deployserve (same pid).
  const std::string wrapper = dir + "/server.sh";
  std::ofstream(wrapper) << "#!/bin/sh\n"
                         << "echo $$ >" << dir << "/server.pid\n"
                         << "nft -f - <<'EOF' || exit 3\n"
                         << "table inet wtrmdrop {\n"
                         << "  chain input {\n"
                         << "    type filter hook input priority 0; policy accept;\n"
                         // The payload's first four bytes follow the 8-byte UDP
                         // and the 20-byte message header.
                         << "    udp dport 5000 @th,224,32 0x5754524d counter drop\n"
                         << "  }\n"
                         << "}\n"
                         << "EOF\n"
                         << "exec " << SERVER << " \"$@\"\n";
  ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);

  const std::string output = dir + "/lab.out";
  LabProcess lab({LAB, "run", "--quiet", "--operator", "--timeout", "120", "--board",
                  dir + "/board.conf", "--keep-board", dir + "/board", "--samples",
                  dir + "/samples", "--server", wrapper},
                 output);
  // Three WTRMs dropped: the installer has been waiting for two seconds at
  // least and is still repeating.
  long dropped = -1;
  pid_t server = 0;
  for (int i = 0; i < 900 && dropped < 3 && lab.running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (server <= 0) server = std::atoi(readAll(dir + "/server.pid").c_str());
    if (server > 0) dropped = droppedWtrms(server);
  }
  ASSERT_GE(dropped, 3) << readAll(output) << readAll(dir + "/board/server.log");
  ASSERT_TRUE(lab.running()) << "the installation ended without TERM or key\n" << readAll(output);

  ASSERT_TRUE(lab.press("\n"));
  const int status = lab.wait(60);
  const std::string console = readAll(dir + "/board/console.log");
  EXPECT_EQ(status, 0) << readAll(output);
  EXPECT_TRUE(has(console, "Software installed.")) << console;
  EXPECT_TRUE(has(console, "Press ENTER to reboot")) << console;
  EXPECT_TRUE(has(readAll(dir + "/board/board.log"), "reboot")) << readAll(dir + "/board/board.log");
  // The server never heard the WTRM, so it never saw the router finish.
  const std::string serverLog = readAll(dir + "/board/server.log");
  EXPECT_TRUE(has(serverLog, ": sent autorun.scr")) << serverLog;
  EXPECT_FALSE(has(serverLog, "installation finished")) << serverLog;
}

}  // namespace
