#include "net/file_transfer.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "net/exchange.h"
#include "net/test_peer.h"

namespace deployboot {
namespace {

using testing::makeDatagram;
using testing::TestPeer;

const MacAddress kClient = testing::CLIENT_MAC;
const MacAddress kServer = testing::SERVER_MAC;

struct HeaderCase {
  std::string payload;
  bool parsed;
  std::string name;
  int32_t size;
};

class FileHeaderTable : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(FileHeaderTable, Parses) {
  const HeaderCase& c = GetParam();
  FileDownload download;
  ASSERT_EQ(parseFileHeader(reinterpret_cast<const uint8_t*>(c.payload.data()), c.payload.size(),
                            download),
            c.parsed);
  if (!c.parsed) return;
  EXPECT_EQ(std::string(download.name), c.name);
  EXPECT_EQ(download.fileSize, c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileHeaderTable,
    ::testing::Values(HeaderCase{"FILE\nautorun.scr\n120\n", true, "autorun.scr", 120},
                      HeaderCase{"FILE\nbase.pkg\n0\n", true, "base.pkg", 0},
                      HeaderCase{"FILE\nx.scr\n -12\n", false, "", 0},
                      HeaderCase{"FILE\nx.scr\n120", false, "", 0},
                      HeaderCase{"FILE\nx.scr\n", false, "", 0},
                      HeaderCase{"FILE\nx.scr", false, "", 0},
                      HeaderCase{"FILES\nx.scr\nabc\n", true, "x.scr", 0},
                      HeaderCase{"FILE\nx.scr\n +42kB\n", true, "x.scr", 42},
                      HeaderCase{"FILE\n" + std::string(100, 'n') + "\n1\n", true,
                                 std::string(80, 'n'), 1},
                      HeaderCase{"TERM\n", false, "", 0},
                      HeaderCase{std::string("FILE\nx\0\n1\n", 10), false, "", 0}));

// A linked client on loopback, in the state discovery leaves.
struct LinkedClient {
  ServerLink link;
  explicit LinkedClient(const TestPeer& peer) {
    link.interfaces.push_back(std::make_unique<NetInterface>(peer.clientInterface(kClient)));
    link.selected = 0;
    link.exchangeState.localMac = kClient;
    link.exchangeState.peerMac = kServer;
    link.exchangeState.sentSeq = 1;
    link.exchangeState.recvSeq = 2;
  }
};

// A server that answers the n-th request (counted from 0) with
// `payloads[n]` and then stays silent; each reply can be sent twice.
TestPeer::Responder scripted(std::vector<std::string> payloads, bool twice = false) {
  auto next = std::make_shared<size_t>(0);
  auto last = std::make_shared<uint16_t>(0);
  auto lastReply = std::make_shared<std::vector<uint8_t>>();
  return [=](const std::vector<uint8_t>& request) -> std::vector<std::vector<uint8_t>> {
    const MessageHeader h = MessageHeader::read(request.data());
    if (*next > 0 && h.sequence == *last) return {*lastReply};  // a re-send
    if (*next >= payloads.size()) return {};
    *last = h.sequence;
    *lastReply = makeDatagram(kServer, kClient, static_cast<uint16_t>(h.acknowledgement + 1),
                              h.sequence, payloads[(*next)++]);
    if (twice) return {*lastReply, *lastReply};
    return {*lastReply};
  };
}

TEST(ReadFileData, SplitsOneReplyOverSmallReadsBeforeAskingAgain) {
  const std::string data(4076, 'd');
  TestPeer peer(scripted({"FILE\nbase.pkg\n4076\n", data, ""}));
  LinkedClient client(peer);
  ASSERT_TRUE(requestNextFile(client.link));
  FileDownload& download = *client.link.download;
  EXPECT_STREQ(download.name, "base.pkg");
  EXPECT_EQ(download.fileSize, 4076);

  uint8_t piece[1000];
  std::vector<int> counts;
  for (int i = 0; i < 5; ++i) counts.push_back(readFileData(download, piece, sizeof piece));
  EXPECT_EQ(counts, (std::vector<int>{1000, 1000, 1000, 1000, 76}));
  EXPECT_EQ(peer.requests().size(), 2u);  // header and one data request
  EXPECT_EQ(readFileData(download, piece, sizeof piece), 0);
  EXPECT_EQ(peer.requests().size(), 3u);
}

TEST(ReadFileData, FullReplyInOneReadAndDuplicatesDeliveredOnce) {
  const std::string first(4076, 'a'), second(10, 'b');
  TestPeer peer(scripted({"FILE\nbase.pkg\n4086\n", first, second, ""}, /*twice=*/true));
  LinkedClient client(peer);
  ASSERT_TRUE(requestNextFile(client.link));
  std::string received;
  uint8_t piece[PACKET_SIZE];
  std::vector<int> counts;
  int n;
  while ((n = readFileData(*client.link.download, piece, sizeof piece)) > 0) {
    counts.push_back(n);
    received.append(reinterpret_cast<char*>(piece), n);
  }
  EXPECT_EQ(n, 0);
  EXPECT_EQ(counts, (std::vector<int>{4076, 10}));
  EXPECT_EQ(received, first + second);
}

TEST(RequestNextFile, AnythingButAFileHeaderEndsTheList) {
  TestPeer peer(scripted({"DONE\nbase.pkg\n12\n"}));
  LinkedClient client(peer);
  EXPECT_FALSE(requestNextFile(client.link));
  ASSERT_NE(client.link.download, nullptr);
  EXPECT_EQ(client.link.download->fileSize, 0);
  EXPECT_STREQ(client.link.download->name, "");
}

TEST(StartTransfer, AnyAcceptedReplyStarts) {
  TestPeer peer(scripted({""}));
  LinkedClient client(peer);
  EXPECT_TRUE(startTransfer(client.link));
  const MessageHeader strt = MessageHeader::read(peer.requests().at(0).data());
  EXPECT_EQ(strt.sequence, 2);
  EXPECT_EQ(strt.acknowledgement, 2);
  EXPECT_EQ(strt.payloadLength, 4);
}

class Console {
 public:
  Console() { EXPECT_EQ(pipe(fds_), 0); }
  ~Console() {
    close(fds_[0]);
    close(fds_[1]);
  }
  int fd() const { return fds_[0]; }
  void press() { EXPECT_EQ(write(fds_[1], "x", 1), 1); }

 private:
  int fds_[2];
};

TEST(WaitForTermination, OtherRepliesDoNotEndItTermDoes) {
  // The first WTRM is answered with something else, its repeat a second
  // later with TERM (as the next message of the conversation).
  auto count = std::make_shared<int>(0);
  TestPeer peer([count](const std::vector<uint8_t>& request) {
    const MessageHeader h = MessageHeader::read(request.data());
    const int n = (*count)++;
    return std::vector<std::vector<uint8_t>>{makeDatagram(
        kServer, kClient, static_cast<uint16_t>(h.acknowledgement + 1 + n), h.sequence,
        n == 0 ? "WAIT" : "TERM")};
  });
  LinkedClient client(peer);
  Console console;
  waitForTermination(*client.link.interfaces[0], client.link.exchangeState, console.fd());
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], requests[1]);  // the same WTRM again
  EXPECT_EQ(client.link.exchangeState.recvSeq, 4u);
}

TEST(WaitForTermination, KeyPressEndsIt) {
  TestPeer peer(scripted({}));
  LinkedClient client(peer);
  Console console;
  console.press();
  waitForTermination(*client.link.interfaces[0], client.link.exchangeState, console.fd());
  char key;
  EXPECT_EQ(read(console.fd(), &key, 1), 1);  // left unread for the driver
}

}  // namespace
}  // namespace deployboot
