#include "net/discovery.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "net/exchange.h"
#include "net/test_peer.h"
#include "support/endian.h"

namespace deployboot {
namespace {

using testing::makeDatagram;
using testing::TestPeer;

const MacAddress kClient = testing::CLIENT_MAC;
const MacAddress kServer = testing::SERVER_MAC;

TEST(DiscoveryPayload, SixLinesAndTheTerminatingNul) {
  uint8_t packet[PACKET_SIZE] = {};
  const DiscoveryInfo info{"deployboot", "6.47", "GB42Z", "mipsle", "6.40"};
  const uint16_t length = writeDiscoveryPayload(packet, info);
  const std::string text = "DSCV\ndeployboot\n6.47\nGB42Z\nmipsle\n6.40\n";
  EXPECT_EQ(length, text.size() + 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(packet + HEADER_PAYLOAD), length),
            text + std::string(1, '\0'));
}

struct OfferCase {
  std::string payload;
  bool parsed;
  std::string text;
  bool keep;
};

class OfferTable : public ::testing::TestWithParam<OfferCase> {};

TEST_P(OfferTable, Parses) {
  const OfferCase& c = GetParam();
  char offer[OFFER_TEXT_SIZE] = {};
  bool keep = false;
  ASSERT_EQ(parseOffer(reinterpret_cast<const uint8_t*>(c.payload.data()), c.payload.size(),
                       offer, &keep),
            c.parsed);
  if (!c.parsed) return;
  EXPECT_EQ(std::string(offer), c.text);
  EXPECT_EQ(keep, c.keep);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OfferTable,
    ::testing::Values(OfferCase{"OFFR\nlab server\n", true, "lab server", false},
                      OfferCase{"OFFR\n\n", true, "", false},
                      OfferCase{"OFFR\n" + std::string(512, 'x') + "\n", true,
                                std::string(512, 'x'), false},
                      OfferCase{"OFFR\n" + std::string(513, 'x') + "\n", false, "", false},
                      OfferCase{"OFFR\nsrv\nkeep\n", true, "srv", true},
                      OfferCase{"OFFR\nsrv\nkeep", true, "srv", false},
                      OfferCase{"OFFR\nsrv\nKEEP\n", true, "srv", false},
                      OfferCase{"OFFR\nsrv\nkeeps\n", true, "srv", false},
                      OfferCase{"OFFRED\nsrv\n", true, "srv", false},  // only 4 bytes compared
                      OfferCase{"OFFR\nsrv", false, "", false},
                      OfferCase{"OFFR", false, "", false},
                      OfferCase{"OFFX\nsrv\n", false, "", false},
                      // The text ends at the first NUL.
                      OfferCase{std::string("OFFR\nsrv\0\nkeep\n", 15), false, "", false},
                      OfferCase{std::string("OFFR\nsrv\nkeep\n\0junk", 19), true, "srv", true}));

// A loopback "segment": the client's only interface sends to the peer.
struct DiscoveringClient {
  ServerLink link;
  explicit DiscoveringClient(const TestPeer& peer) {
    link.interfaces.push_back(std::make_unique<NetInterface>(peer.clientInterface(kClient)));
  }
};

std::vector<uint8_t> offer(uint16_t sequence, uint16_t ack, const MacAddress& destination,
                           const std::string& payload) {
  return makeDatagram(kServer, destination, sequence, ack, payload);
}

TEST(DiscoverServer, TakesTheFirstValidOfferAndAcknowledgesIt) {
  TestPeer peer([](const std::vector<uint8_t>& request) {
    const std::string payload(request.begin() + HEADER_SIZE, request.end());
    if (payload.rfind("DSCV\n", 0) == 0)
      return std::vector<std::vector<uint8_t>>{
          offer(2, 0, kClient, "OFFR\nwrong sequence\n"),
          offer(1, 1, kClient, "OFFR\nack ahead\n"),
          offer(1, 0, MacAddress{}, "OFFR\nto anyone\n"),
          offer(1, 0, kClient, "OFFR\n" + std::string(513, 'x') + "\n"),
          offer(1, 0, kClient, "OFFR\nthe one\nkeep\n"),
      };
    return std::vector<std::vector<uint8_t>>{offer(2, 1, kClient, "")};  // any YACK reply
  });
  DiscoveringClient client(peer);
  char text[OFFER_TEXT_SIZE] = {};
  bool keep = false;
  ASSERT_EQ(discoverServer(client.link, "mipsle", "deployboot", "6.47", "GB42Z", text, &keep), 1);
  EXPECT_STREQ(text, "the one");
  EXPECT_TRUE(keep);
  EXPECT_EQ(client.link.selected, 0);
  EXPECT_EQ(client.link.exchangeState.peerMac, kServer);
  EXPECT_EQ(client.link.exchangeState.localMac, kClient);
  EXPECT_EQ(client.link.exchangeState.sentSeq, 1u);
  EXPECT_EQ(client.link.exchangeState.recvSeq, 2u);

  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  const MessageHeader dscv = MessageHeader::read(requests[0].data());
  EXPECT_EQ(dscv.source, kClient);
  EXPECT_EQ(dscv.destination, MacAddress{});
  EXPECT_EQ(dscv.sequence, 1);
  EXPECT_EQ(dscv.acknowledgement, 0);
  EXPECT_EQ(requests[0].size(), HEADER_SIZE + dscv.payloadLength);
  EXPECT_EQ(requests[0].back(), 0);
  const MessageHeader yack = MessageHeader::read(requests[1].data());
  EXPECT_EQ(yack.destination, kServer);
  EXPECT_EQ(yack.sequence, 1);
  EXPECT_EQ(yack.acknowledgement, 1);
  EXPECT_EQ(std::string(requests[1].begin() + HEADER_SIZE, requests[1].end()), "YACK\n");
}

TEST(DiscoverServer, UnansweredAcknowledgementStartsOver) {
  // The first offer asks to keep and its YACK is never answered; the
  // offer of the next round is answered.
  std::atomic<int> offers{0};
  TestPeer peer([&offers](const std::vector<uint8_t>& request) {
    const std::string payload(request.begin() + HEADER_SIZE, request.end());
    if (payload.rfind("DSCV\n", 0) == 0)
      return std::vector<std::vector<uint8_t>>{
          offer(1, 0, kClient, offers++ == 0 ? "OFFR\na\nkeep\n" : "OFFR\nb\n")};
    if (offers < 2) return std::vector<std::vector<uint8_t>>{};
    return std::vector<std::vector<uint8_t>>{offer(2, 1, kClient, "")};
  });
  DiscoveringClient client(peer);
  char text[OFFER_TEXT_SIZE] = {};
  bool keep = true;
  ASSERT_EQ(discoverServer(client.link, "mipsle", "", "", "GB ", text, &keep), 1);
  EXPECT_STREQ(text, "b");
  EXPECT_FALSE(keep);
  int yacks = 0;
  for (const auto& r : peer.requests())
    if (std::string(r.begin() + HEADER_SIZE, r.end()) == "YACK\n") ++yacks;
  EXPECT_EQ(yacks, 6);  // five unanswered, then the answered one
}

}  // namespace
}  // namespace deployboot
