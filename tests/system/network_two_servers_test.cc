// Two installation servers on one Ethernet segment: the board takes the
// first offer only, and the other server never hears a YACK.
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

bool contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

TEST(NetworkTwoServers, OnlyTheFirstOfferIsAcknowledged) {
  DEPLOYBOOT_REQUIRE_ROOT();
  ASSERT_EQ(access(SERVER.c_str(), X_OK), 0) << "deployserve is not built at " << SERVER;
  serve::testing::ServeDirectory files;
  const std::string script = files.add("autorun.scr", "set system name r1\n");
  Segment segment(2);
  ASSERT_TRUE(segment.ok());
  const std::string logs[2] = {files.path() + "/one.log", files.path() + "/two.log"};
  NamespacedProcess one(segment.serverNamespaces[0],
                        {SERVER, "-i", "s0", "--offer", "one", script}, logs[0]);
  NamespacedProcess two(segment.serverNamespaces[1],
                        {SERVER, "-i", "s0", "--offer", "two", script}, logs[1]);
  // Both servers must be listening before the board asks.
  for (int i = 0; i < 500 && !(contains(readFile(logs[0]), "serving") &&
                               contains(readFile(logs[1]), "serving"));
       ++i)
    usleep(10000);

  const std::string report = runInNamespace(segment.board, 60, []() -> std::string {
    ServerLink link;
    if (!openInterfaces(link)) return "no interfaces";
    char offer[OFFER_TEXT_SIZE] = {};
    bool keep = false;
    discoverServer(link, "mipsle", "", "", "GB ", offer, &keep);
    std::string taken = offer;
    // The chosen server carries the installation on.
    if (!startTransfer(link) || !requestNextFile(link)) return taken + " no file";
    uint8_t piece[PACKET_SIZE];
    while (readFileData(*link.download, piece, sizeof piece) > 0) {
    }
    return taken + (requestNextFile(link) ? " more files" : " done");
  });
  ASSERT_TRUE(report == "one done\n" || report == "two done\n") << report;
  const int chosen = report[0] == 'o' ? 0 : 1;
  // Give the other server's output time to show a YACK, were there one.
  usleep(300000);
  one.stop(SIGTERM);
  two.stop(SIGTERM);
  const std::string chosenLog = readFile(logs[chosen]), otherLog = readFile(logs[1 - chosen]);
  EXPECT_TRUE(contains(chosenLog, "took this server's offer")) << chosenLog;
  EXPECT_TRUE(contains(chosenLog, ": sent autorun.scr")) << chosenLog;
  EXPECT_TRUE(contains(otherLog, " found: ")) << otherLog;  // it did offer
  EXPECT_FALSE(contains(otherLog, "took this server's offer")) << otherLog;
  EXPECT_FALSE(contains(otherLog, "sending")) << otherLog;
}

}  // namespace
}  // namespace deployboot
