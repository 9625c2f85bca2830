// A whole installation on a virtual board while a hostile peer on the same
// Ethernet segment forges replies, answers as a second server, replays
// requests and sends junk, oversized and truncated datagrams from port
// 5000 and 5001 throughout: the installation completes with exactly the
// files the server offered.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "tests/system/hostile_peer.h"
#include "tests/system/network_segment.h"
#include "tests/system/lab_support.h"
#include "tests/test_support.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;
using testing::HostileCounts;
using testing::HostilePeer;
using testing::readFile;
using testing::run;

const std::string BIN = DEPLOYBOOT_BINARY_DIR;
const std::string SOURCE = DEPLOYBOOT_SOURCE_DIR;

using testing::has;

// A bridge br0 in a named network namespace, for `deploylab fleet
// --segment`, with a second namespace plugged into it for the hostile
// peer (its interface is h0). Named like network_segment.h's namespaces,
// so that one of a killed run is removed by the next.
class HostileSegment {
 public:
  HostileSegment() {
    const std::string id = std::to_string(getpid()) + "-0";
    segment = "dbn-g-" + id;
    peer = "dbn-h-" + id;
    for (const auto& ns : {segment, peer}) run({"ip", "netns", "del", ns});
    ok_ = add(segment) && add(peer) &&
          run({"ip", "-n", segment, "link", "add", "br0", "address", "02:d0:00:00:00:01", "type",
               "bridge"}) == 0 &&
          run({"ip", "-n", segment, "link", "set", "br0", "up"}) == 0 &&
          run({"ip", "-n", peer, "link", "add", "h0", "type", "veth", "peer", "name", "hostile",
               "netns", segment}) == 0 &&
          run({"ip", "-n", segment, "link", "set", "hostile", "master", "br0"}) == 0 &&
          run({"ip", "-n", segment, "link", "set", "hostile", "up"}) == 0 &&
          run({"ip", "-n", peer, "link", "set", "h0", "up"}) == 0;
  }
  ~HostileSegment() {
    for (const auto& ns : created_) run({"ip", "netns", "del", ns});
  }
  bool ok() const { return ok_; }

  std::string segment, peer;

 private:
  bool add(const std::string& ns) {
    if (run({"ip", "netns", "add", ns}) != 0) return false;
    created_.push_back(ns);
    return run({"ip", "-n", ns, "link", "set", "lo", "up"}) == 0;
  }
  bool ok_ = false;
  std::vector<std::string> created_;
};

using testing::directoryNames;

TEST(HostilePeers, InstallationCompletesWithTheRightFiles) {
  DEPLOYBOOT_REQUIRE_ROOT();
  ASSERT_EQ(testing::missingLabProgram({"deploypkg"}), "") << "is not built";
  const testing::ScratchDir scratch("hostile-peers");
  ASSERT_FALSE(scratch.path().empty());
  const std::string work = scratch.path();

  // The lab's signed sample set for the sample board (one CPU: "mipsle"),
  // and a package big enough for a few hundred data replies.
  const std::string samples = work + "/samples";
  ASSERT_EQ(run({SOURCE + "/lab/build_sample_packages.sh", BIN + "/deploypkg", samples, "mipsle"}), 0);
  std::string bulk(1'500'000, '\0');
  uint32_t x = 12345;
  for (auto& c : bulk) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  fs::create_directories(work + "/bulk/srv");
  { std::ofstream(work + "/bulk/srv/bulk.bin", std::ios::binary) << bulk; }
  ASSERT_EQ(run({BIN + "/deploypkg", "build", "--name", "bulk", "--version", "1.0", "--arch",
                 "mipsle", "--key", SOURCE + "/keys/development.key", "--root", work + "/bulk",
                 "-o", samples + "/40-bulk.pkg"}),
            0);

  HostileSegment segment;
  ASSERT_TRUE(segment.ok());
  HostilePeer hostile(segment.peer, "h0", 600, 8);
  const std::string kept = work + "/kept";
  const std::string command = BIN + "/deploylab fleet --boards 1 --segment " + segment.segment +
                              " --keep-dir " + kept + " --samples " + samples +
                              " --timeout 300 > " + work + "/fleet.out 2>&1";
  const int status = std::system(command.c_str());
  const HostileCounts sent = hostile.stop();

  std::cout << "hostile datagrams sent during the installation:";
  uint64_t total = 0;
  for (const auto& [kind, count] : sent) {
    std::cout << " " << kind << "=" << count;
    total += count;
  }
  std::cout << " total=" << total << "\n";

  const std::string board = kept + "/board0";
  const std::string console = readFile(board + "/console.log");
  const std::string serverLog = readFile(kept + "/server.log");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << readFile(work + "/fleet.out") << console;
  for (const char* line : {"installed system-6.47", "installed web-1.2", "installed site-0.9",
                           "installed bulk-1.0", "Software installed."})
    EXPECT_TRUE(has(console, line)) << line << "\n" << console << serverLog;
  EXPECT_FALSE(has(console, "ERROR")) << console;

  const std::string flash = testing::keptFlashOf(board);
  ASSERT_FALSE(flash.empty()) << readFile(board + "/summary.txt");
  EXPECT_EQ(directoryNames(flash + "/var/pdb"),
            (std::set<std::string>{"bulk", "site", "system", "web"}));
  EXPECT_EQ(readFile(flash + "/srv/bulk.bin"), bulk);
  EXPECT_EQ(readFile(flash + "/etc/system-version"), "6.47\n");
  EXPECT_EQ(readFile(flash + "/srv/www/index.html"), "<h1>It works</h1>\n");
  for (const char* script : {"autorun.scr", "users.scr"})
    EXPECT_EQ(readFile(flash + "/" + script), readFile(samples + "/" + script)) << script;
  for (const auto& e : fs::recursive_directory_iterator(flash))
    EXPECT_FALSE(has(e.path().string(), "evil")) << e.path();
  EXPECT_TRUE(has(serverLog, ": installation finished")) << serverLog;
  EXPECT_FALSE(has(serverLog, "FAILED")) << serverLog;

  // The peer really was there all along, with every kind of datagram.
  EXPECT_EQ(sent.count("error"), 0u);
  for (const char* kind :
       {"second-server-offer", "second-server-reply", "foreign-source", "echoed-source",
        "foreign-destination", "zero-destination", "stale-sequence", "far-sequence", "ack-ahead",
        "other-port", "ethernet-foreign-destination", "oversized", "truncated", "replayed-request",
        "stale-request", "junk", "junk-from-port-5001", "fake-discovery"})
    EXPECT_GT(sent.count(kind) ? sent.at(kind) : 0, 0u) << kind;
  // The peer forges one of each kind per exchange it overhears, as fast as
  // it can; it need not keep up with every one, but it must have been at
  // it through the bulk package, not only at the start.
  EXPECT_GT(sent.count("ack-ahead") ? sent.at("ack-ahead") : 0, bulk.size() / MAX_PAYLOAD / 16);
}

}  // namespace
}  // namespace deployboot
