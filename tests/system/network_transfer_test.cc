// The installer's network code against a real deployserve across a veth
// pair between two network namespaces: discovery, the transfer of every
// file, the termination handshake; and a server that goes silent.
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "net/discovery.h"
#include "net/exchange.h"
#include "net/file_transfer.h"
#include "net/interfaces.h"
#include "server/serve_fixtures.h"
#include "tests/system/network_segment.h"
#include "tests/test_support.h"

namespace deployboot {
namespace {

using testing::NamespacedProcess;
using testing::readFile;
using testing::runInNamespace;
using testing::Segment;

const std::string SERVER = DEPLOYBOOT_BINARY_DIR "/deployserve";

class NetworkSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    ASSERT_EQ(access(SERVER.c_str(), X_OK), 0) << "deployserve is not built at " << SERVER;
    received_ = files_.path() + "/received";
    ASSERT_EQ(mkdir(received_.c_str(), 0755), 0);
  }

  serve::testing::ServeDirectory files_;
  std::string received_;
};

// Discovers, then receives every file into `into`; returns a report line
// "offer=<text> keep=<0|1> peer=<mac> files=<names...>" or what failed.
std::string installInto(const std::string& into, const std::string& arch) {
  ServerLink link;
  if (!openInterfaces(link)) return "no interfaces";
  if (link.interfaceCount() != 1 || link.interfaces[0]->name != "b0")
    return "unexpected interfaces: " + std::to_string(link.interfaceCount());
  char offer[OFFER_TEXT_SIZE] = {};
  bool keep = false;
  discoverServer(link, arch, "deployboot", "6.47", "GB42Z", offer, &keep);
  std::string report = std::string("offer=") + offer + " keep=" + (keep ? "1" : "0") +
                       " peer=" + formatMac(link.exchangeState.peerMac) + " files=";
  if (!startTransfer(link)) return report + "STRT unanswered";
  while (requestNextFile(link)) {
    FileDownload& d = *link.download;
    std::ofstream out(into + "/" + d.name, std::ios::binary);
    uint8_t piece[PACKET_SIZE];
    int n;
    while ((n = readFileData(d, piece, sizeof piece)) > 0) out.write(reinterpret_cast<char*>(piece), n);
    if (n < 0) return report + " bad network connection";
    report += std::string(d.name) + ",";
  }
  int console[2];
  if (pipe(console) != 0) return report + " no pipe";
  waitForTermination(*link.selectedInterface(), link.exchangeState, console[0]);
  return report + " terminated";
}

TEST_F(NetworkSystem, WholeTransferAgainstDeployserve) {
  const std::string big = std::string(200000, 'p') + "end";
  files_.addPackage("base.pkg", "base", "mipsle", {}, big.size());
  files_.addPackage("smp.pkg", "smp", "mmips");
  files_.add("autorun.scr", "set system name r1\n");
  files_.add("empty.scr", "");
  Segment segment(1);
  ASSERT_TRUE(segment.ok());
  const std::string log = files_.path() + "/server.log";
  NamespacedProcess server(segment.serverNamespaces[0],
                           {SERVER, "-i", "s0", "--once", "--keep", "--offer", "lab bench",
                            files_.path() + "/base.pkg", files_.path() + "/smp.pkg",
                            files_.path() + "/autorun.scr", files_.path() + "/empty.scr"},
                           log);
  const std::string received = received_;
  const std::string report =
      runInNamespace(segment.board, 60, [&] { return installInto(received, "mipsle"); });
  EXPECT_EQ(server.wait(10), 0) << readFile(log);

  EXPECT_NE(report.find("offer=lab bench keep=1 "), std::string::npos) << report;
  EXPECT_NE(report.find(" files=base.pkg,autorun.scr,empty.scr, terminated"), std::string::npos)
      << report;
  EXPECT_EQ(readFile(received_ + "/base.pkg"), readFile(files_.path() + "/base.pkg"));
  EXPECT_EQ(readFile(received_ + "/autorun.scr"), "set system name r1\n");
  EXPECT_TRUE(std::filesystem::exists(received_ + "/empty.scr"));
  EXPECT_FALSE(std::filesystem::exists(received_ + "/smp.pkg"));

  const std::string out = readFile(log);
  EXPECT_NE(out.find("found: board GB42Z, architecture mipsle"), std::string::npos) << out;
  EXPECT_NE(out.find(": sent base.pkg"), std::string::npos) << out;
  EXPECT_NE(out.find(": installation finished"), std::string::npos) << out;
  EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
}

TEST_F(NetworkSystem, ServerThatStopsAnsweringMidFileEndsTheRead) {
  files_.add("big.pkg", std::string(2'000'000, 'x'));
  Segment segment(1);
  ASSERT_TRUE(segment.ok());
  const std::string log = files_.path() + "/server.log";
  NamespacedProcess server(segment.serverNamespaces[0], {SERVER, "-i", "s0", files_.path() + "/big.pkg"},
                           log);
  // The client reads a first piece, signals, and waits until the server is
  // gone before reading on.
  const std::string flag = files_.path() + "/server-gone";
  const std::string midway = files_.path() + "/midway";
  // A watcher process, not a thread: the client is forked afterwards.
  const pid_t serverPid = server.pid();
  const pid_t watcher = fork();
  if (watcher == 0) {
    for (int i = 0; i < 3000 && !std::filesystem::exists(midway); ++i) usleep(10000);
    kill(serverPid, SIGKILL);
    std::ofstream(flag) << "gone";
    _exit(0);
  }
  const std::string report = runInNamespace(segment.board, 60, [&]() -> std::string {
    ServerLink link;
    if (!openInterfaces(link)) return "no interfaces";
    char offer[OFFER_TEXT_SIZE];
    bool keep;
    discoverServer(link, "mipsle", "", "", "GB ", offer, &keep);
    if (!startTransfer(link) || !requestNextFile(link)) return "no file";
    uint8_t piece[PACKET_SIZE];
    if (readFileData(*link.download, piece, sizeof piece) <= 0) return "no first piece";
    std::ofstream(midway) << "1";
    for (int i = 0; i < 3000 && !std::filesystem::exists(flag); ++i) usleep(10000);
    int n;
    uint64_t total = 0;
    while ((n = readFileData(*link.download, piece, sizeof piece)) > 0) total += n;
    return n == -1 && total < 2'000'000 ? "read failed" : "read ended with " + std::to_string(n);
  });
  waitpid(watcher, nullptr, 0);
  EXPECT_EQ(report, "read failed\n");
  EXPECT_EQ(server.wait(5), -1);  // it was killed, not ended
}

}  // namespace
}  // namespace deployboot
