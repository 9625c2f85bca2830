#include "net/exchange.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "net/test_peer.h"
#include "support/endian.h"

namespace deployboot {
namespace {

using testing::makeDatagram;
using testing::TestPeer;

const MacAddress kClient = testing::CLIENT_MAC;
const MacAddress kServer = testing::SERVER_MAC;
const MacAddress kStranger{0x02, 0, 0, 0, 0, 0x03};
const MacAddress kZero{};

TEST(StampHeader, WritesAddressesLengthAndAdvancedSequence) {
  ExchangeState state;
  state.sentSeq = 0x1234FFFF;  // only the low 16 bits travel
  state.recvSeq = 0x00050007;
  state.localMac = kClient;
  state.peerMac = kServer;
  uint8_t packet[PACKET_SIZE];
  clearPacket(packet);
  stampHeader(state, packet, 4);
  const MessageHeader h = MessageHeader::read(packet);
  EXPECT_EQ(h.source, kClient);
  EXPECT_EQ(h.destination, kServer);
  EXPECT_EQ(h.payloadLength, 4);
  EXPECT_EQ(h.sequence, 0x0000);
  EXPECT_EQ(h.acknowledgement, 0x0007);
  EXPECT_EQ(loadLe16(packet + HEADER_RESERVED), 0);
  EXPECT_EQ(state.sentSeq, 0x12350000u);
}

struct AcceptCase {
  const char* what;
  uint32_t sentSeq, recvSeq;
  MacAddress peer;           // the client's idea of the server
  MacAddress source, destination;
  uint16_t sequence, ack;
  int lengthDelta;           // datagram size minus 20 + payload length
  bool accepted;
};

class AcceptReplyTable : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptReplyTable, Decides) {
  const AcceptCase& c = GetParam();
  ExchangeState state;
  state.sentSeq = c.sentSeq;
  state.recvSeq = c.recvSeq;
  state.localMac = kClient;
  state.peerMac = c.peer;
  std::vector<uint8_t> d = makeDatagram(c.source, c.destination, c.sequence, c.ack, "DATA");
  d.resize(d.size() + 8);  // room for a longer datagram than the header says
  uint8_t buffer[PACKET_SIZE] = {};
  std::memcpy(buffer, d.data(), d.size());
  const int length = static_cast<int>(HEADER_SIZE + 4) + c.lengthDelta;
  EXPECT_EQ(acceptReply(state, buffer, length), c.accepted) << c.what;
  EXPECT_EQ(state.recvSeq, c.accepted ? c.recvSeq + 1 : c.recvSeq) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AcceptReplyTable,
    ::testing::Values(
        AcceptCase{"in order", 5, 6, kServer, kServer, kClient, 7, 5, 0, true},
        AcceptCase{"datagram one byte longer", 5, 6, kServer, kServer, kClient, 7, 5, 1, false},
        AcceptCase{"datagram one byte shorter", 5, 6, kServer, kServer, kClient, 7, 5, -1, false},
        AcceptCase{"own broadcast heard back", 0, 0, kZero, kClient, kZero, 1, 0, 0, false},
        AcceptCase{"to another client", 5, 6, kServer, kServer, kStranger, 7, 5, 0, false},
        AcceptCase{"from another server", 5, 6, kServer, kStranger, kClient, 7, 5, 0, false},
        AcceptCase{"to anyone while linked", 5, 6, kServer, kServer, kZero, 7, 5, 0, false},
        AcceptCase{"to anyone before a server is chosen", 0, 0, kZero, kStranger, kZero, 1, 0, 0,
                   true},
        AcceptCase{"ack ahead of our sequence", 5, 6, kServer, kServer, kClient, 7, 6, 0, false},
        AcceptCase{"ack behind our sequence", 5, 6, kServer, kServer, kClient, 7, 3, 0, true},
        AcceptCase{"repeated sequence", 5, 6, kServer, kServer, kClient, 6, 5, 0, false},
        AcceptCase{"sequence skipped", 5, 6, kServer, kServer, kClient, 8, 5, 0, false},
        // Past 65 535 messages only the low 16 bits can be compared.
        AcceptCase{"sequence wraps to 0", 0x1FFFF, 0xFFFF, kServer, kServer, kClient, 0x0000,
                   0xFFFF, 0, true},
        AcceptCase{"sequence after the wrap", 0x10005, 0x10006, kServer, kServer, kClient, 7, 5,
                   0, true},
        AcceptCase{"old sequence after the wrap", 0x10005, 0x10006, kServer, kServer, kClient, 6,
                   5, 0, false},
        AcceptCase{"ack across our wrap", 0x10001, 0x10002, kServer, kServer, kClient, 3, 0xFFFF,
                   0, true},
        AcceptCase{"ack ahead across our wrap", 0xFFFF, 0x10000, kServer, kServer, kClient, 1,
                   0x0000, 0, false}));

TEST(AcceptReply, ShortDatagramIsRejectedAndItsHeaderCleared) {
  ExchangeState state;
  uint8_t buffer[PACKET_SIZE];
  std::memset(buffer, 0xAA, sizeof buffer);
  EXPECT_FALSE(acceptReply(state, buffer, 19));
  for (size_t i = 0; i < HEADER_SIZE; ++i) ASSERT_EQ(buffer[i], 0) << i;
}

TEST(AcceptReply, ConversationLongerThan65535MessagesStaysInStep) {
  ExchangeState state;
  state.localMac = kClient;
  state.peerMac = kServer;
  uint8_t request[PACKET_SIZE];
  for (uint32_t i = 0; i < 70000; ++i) {
    clearPacket(request);
    stampHeader(state, request, 0);
    const MessageHeader sent = MessageHeader::read(request);
    std::vector<uint8_t> reply = makeDatagram(kServer, kClient, static_cast<uint16_t>(i + 1),
                                              sent.sequence, "");
    ASSERT_TRUE(acceptReply(state, reply.data(), static_cast<int>(reply.size()))) << i;
    // The same reply again is a duplicate.
    ASSERT_FALSE(acceptReply(state, reply.data(), static_cast<int>(reply.size()))) << i;
  }
  EXPECT_EQ(state.recvSeq, 70000u);
}

// A server that answers every request with the next sequence, echoing the
// acknowledgement it got; `dropFirst` requests go unanswered.
TestPeer::Responder answering(int dropFirst, std::atomic<int>* seen) {
  return [dropFirst, seen](const std::vector<uint8_t>& request) {
    const MessageHeader h = MessageHeader::read(request.data());
    if ((*seen)++ < dropFirst) return std::vector<std::vector<uint8_t>>{};
    return std::vector<std::vector<uint8_t>>{
        makeDatagram(kServer, kClient, static_cast<uint16_t>(h.acknowledgement + 1), h.sequence,
                     "OK")};
  };
}

struct LinkedClient {
  NetInterface iface;
  ExchangeState state;
  explicit LinkedClient(const TestPeer& peer) : iface(peer.clientInterface(kClient)) {
    state.localMac = kClient;
    state.peerMac = kServer;
    state.sentSeq = 1;
    state.recvSeq = 2;
  }
  ~LinkedClient() { close(iface.socket); }
};

TEST(Exchange, ResendsTheSameBytesUntilAnswered) {
  std::atomic<int> seen{0};
  TestPeer peer(answering(3, &seen));
  LinkedClient client(peer);
  uint8_t request[PACKET_SIZE], reply[PACKET_SIZE];
  clearPacket(request);
  std::memcpy(request + HEADER_PAYLOAD, "RETR", 4);
  stampHeader(client.state, request, 4);
  EXPECT_EQ(exchange(client.iface, client.state, request, reply, 20000, 10), 22);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + HEADER_PAYLOAD), 2), "OK");
  EXPECT_EQ(client.state.recvSeq, 3u);
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const auto& r : requests) EXPECT_EQ(r, requests.front());
}

TEST(Exchange, SilentServerGetsEveryAttemptThenFails) {
  std::atomic<int> seen{0};
  TestPeer peer(answering(1000, &seen));
  LinkedClient client(peer);
  uint8_t request[PACKET_SIZE], reply[PACKET_SIZE];
  clearPacket(request);
  stampHeader(client.state, request, 0);
  EXPECT_EQ(exchange(client.iface, client.state, request, reply, 5000, 12), -1);
  // The last copy may still be in flight when exchange gives up.
  for (int i = 0; i < 100 && peer.requests().size() < 12; ++i) usleep(1000);
  EXPECT_EQ(peer.requests().size(), 12u);
  EXPECT_EQ(client.state.recvSeq, 2u);
}

TEST(Exchange, IgnoresRightReplyFromAnotherPort) {
  // The reply comes from a second socket: same content, wrong source port.
  const int other = testing::boundLoopbackSocket();
  std::atomic<int> seen{0};
  TestPeer peer(answering(1000, &seen));  // the real peer stays silent
  LinkedClient client(peer);
  uint8_t request[PACKET_SIZE], reply[PACKET_SIZE];
  clearPacket(request);
  stampHeader(client.state, request, 0);
  const auto wrongPort = makeDatagram(kServer, kClient, 3, 2, "");
  const sockaddr_in to = testing::socketAddress(client.iface.socket);
  sendto(other, wrongPort.data(), wrongPort.size(), 0, reinterpret_cast<const sockaddr*>(&to),
         sizeof to);
  EXPECT_EQ(exchange(client.iface, client.state, request, reply, 20000, 2), -1);
  EXPECT_EQ(client.state.recvSeq, 2u);
  close(other);
}

TEST(Exchange, DatagramLongerThanTheBufferIsNotTakenForTheReplyItsHeaderAnnounces) {
  // A full-size reply with trailing bytes: cut to the buffer it would look
  // whole. The real reply follows it.
  TestPeer peer([](const std::vector<uint8_t>& request) {
    const MessageHeader h = MessageHeader::read(request.data());
    const auto seq = static_cast<uint16_t>(h.acknowledgement + 1);
    auto forged = makeDatagram(kServer, kClient, seq, h.sequence, std::string(MAX_PAYLOAD, 'O'));
    forged.resize(forged.size() + 100, 'O');
    return std::vector<std::vector<uint8_t>>{forged, makeDatagram(kServer, kClient, seq, h.sequence, "REAL")};
  });
  LinkedClient client(peer);
  uint8_t request[PACKET_SIZE], reply[PACKET_SIZE];
  clearPacket(request);
  stampHeader(client.state, request, 0);
  ASSERT_EQ(exchange(client.iface, client.state, request, reply, 200000, 1),
            static_cast<int>(HEADER_SIZE + 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + HEADER_SIZE), 4), "REAL");
}

TEST(Exchange, DuplicateReplyIsDroppedAndNextReplyAccepted) {
  std::atomic<int> seen{0};
  TestPeer peer([&seen](const std::vector<uint8_t>& request) {
    const MessageHeader h = MessageHeader::read(request.data());
    ++seen;
    const auto r = makeDatagram(kServer, kClient, static_cast<uint16_t>(h.acknowledgement + 1),
                                h.sequence, std::to_string(h.sequence));
    return std::vector<std::vector<uint8_t>>{r, r};  // every reply twice
  });
  LinkedClient client(peer);
  uint8_t request[PACKET_SIZE], reply[PACKET_SIZE];
  for (int i = 0; i < 3; ++i) {
    clearPacket(request);
    stampHeader(client.state, request, 0);
    ASSERT_GT(exchange(client.iface, client.state, request, reply, 200000, 3), 0);
    EXPECT_EQ(MessageHeader::read(reply).sequence, 3 + i);
  }
  EXPECT_EQ(seen.load(), 3);  // no re-send was needed
}

}  // namespace
}  // namespace deployboot
