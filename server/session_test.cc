#include "server/session.h"

#include <cstring>

#include <gtest/gtest.h>

#include "net/discovery.h"
#include "net/exchange.h"
#include "net/file_transfer.h"
#include "server/serve_fixtures.h"
#include "support/endian.h"

namespace deployboot::serve {
namespace {

const MacAddress kServer{0x02, 0, 0, 0, 0, 0x10};
const MacAddress kRouterA{0x02, 0, 0, 0, 0, 0xA1};
const MacAddress kRouterB{0x02, 0, 0, 0, 0, 0xB2};

// A router speaking to the server core by the installer's own rules:
// the real header stamping and acceptance code, no sockets.
class Router {
 public:
  Router(ServerCore& core, MacAddress mac, std::string arch = "mipsle")
      : core_(core), mac_(mac), arch_(std::move(arch)) {}

  // DSCV, then the offer as discovery takes it and the YACK.
  bool discover(std::string* offerText = nullptr, bool* keep = nullptr) {
    uint8_t packet[PACKET_SIZE];
    clearPacket(packet);
    const uint16_t length =
        writeDiscoveryPayload(packet, DiscoveryInfo{"deployboot", "6.47", "GB42Z", arch_, "6.40"});
    state_ = ExchangeState{};
    state_.localMac = mac_;
    stampHeader(state_, packet, length);
    state_.sentSeq = 0;
    for (auto& reply : send(packet, HEADER_SIZE + length)) {
      state_ = ExchangeState{0, 0, mac_, {}};
      if (!acceptReply(state_, reply.data(), static_cast<int>(reply.size()))) continue;
      state_.peerMac = macAt(reply.data() + HEADER_SOURCE);
      char text[OFFER_TEXT_SIZE];
      bool k = false;
      if (!parseOffer(reply.data() + HEADER_SIZE, reply.size() - HEADER_SIZE, text, &k)) return false;
      if (offerText) *offerText = text;
      if (keep) *keep = k;
      return request("YACK\n").has_value();
    }
    return false;
  }

  // The discovery datagram once more, as the network may deliver a copy
  // late; the router's own state stays. The number of replies.
  size_t repeatDiscovery() {
    uint8_t packet[PACKET_SIZE];
    clearPacket(packet);
    const uint16_t length =
        writeDiscoveryPayload(packet, DiscoveryInfo{"deployboot", "6.47", "GB42Z", arch_, "6.40"});
    ExchangeState fresh{};
    fresh.localMac = mac_;
    stampHeader(fresh, packet, length);
    return send(packet, HEADER_SIZE + length).size();
  }

  // One request; the accepted reply's payload, or nothing.
  std::optional<std::string> request(const std::string& payload, bool repeatTwice = false) {
    uint8_t packet[PACKET_SIZE];
    clearPacket(packet);
    std::memcpy(packet + HEADER_PAYLOAD, payload.data(), payload.size());
    stampHeader(state_, packet, static_cast<uint16_t>(payload.size()));
    const size_t length = HEADER_SIZE + loadLe16(packet + HEADER_LENGTH);
    auto replies = send(packet, length);
    if (repeatTwice) {
      auto again = send(packet, length);  // the same bytes: a re-send
      lastRepeatIdentical_ = again == replies;
    }
    for (auto& reply : replies)
      if (acceptReply(state_, reply.data(), static_cast<int>(reply.size())))
        return std::string(reply.begin() + HEADER_SIZE, reply.end());
    return std::nullopt;
  }

  // STRT, every file, WTRM: the files' names and contents in order.
  std::vector<std::pair<std::string, std::string>> install() {
    std::vector<std::pair<std::string, std::string>> files;
    if (!request("STRT")) return files;
    for (int guard = 0; guard < 100; ++guard) {
      const auto header = request("RETR");
      if (!header || header->rfind("FILE\n", 0) != 0) break;
      FileDownload d;
      parseFileHeader(reinterpret_cast<const uint8_t*>(header->data()), header->size(), d);
      std::string content;
      for (;;) {
        const auto data = request("RETR");
        if (!data || data->empty()) break;
        EXPECT_LE(data->size(), MAX_PAYLOAD);
        content += *data;
      }
      files.emplace_back(d.name, content);
    }
    terminated_ = request("WTRM") == std::optional<std::string>("TERM\n");
    return files;
  }

  bool terminated() const { return terminated_; }
  bool lastRepeatIdentical() const { return lastRepeatIdentical_; }
  std::vector<Event> events;
  uint64_t now = 1'000'000;

 private:
  std::vector<Datagram> send(const uint8_t* packet, size_t length) {
    return core_.receive(0, kServer, packet, length, now, &events);
  }

  ServerCore& core_;
  MacAddress mac_;
  std::string arch_;
  ExchangeState state_;
  bool terminated_ = false;
  bool lastRepeatIdentical_ = false;
};

class ServerCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.addPackage("base.pkg", "base", "mipsle", {}, 10000);  // three data replies
    dir_.add("autorun.scr", "set system name r1\n");
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(buildCatalog({dir_.path()}, &catalog_, &error, &warnings)) << error;
  }
  std::string fileContent(const std::string& name) {
    std::ifstream in(dir_.path() + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  testing::ServeDirectory dir_;
  std::vector<ServedFile> catalog_;
};

TEST_F(ServerCoreTest, WholeInstallationByTheInstallersRules) {
  ServerCore core(catalog_, ServeSettings{"bench 3", true}, {});
  Router router(core, kRouterA);
  std::string offer;
  bool keep = false;
  ASSERT_TRUE(router.discover(&offer, &keep));
  EXPECT_EQ(offer, "bench 3");
  EXPECT_TRUE(keep);
  const auto files = router.install();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].first, "base.pkg");
  EXPECT_EQ(files[0].second, fileContent("base.pkg"));
  EXPECT_EQ(files[1].first, "autorun.scr");
  EXPECT_EQ(files[1].second, "set system name r1\n");
  EXPECT_TRUE(router.terminated());
  EXPECT_EQ(core.finishedCount(), 1);

  std::vector<Event::Kind> kinds;
  for (const auto& e : router.events) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<Event::Kind>{Event::ClientFound, Event::Linked, Event::FileStarted,
                                             Event::FileFinished, Event::FileStarted,
                                             Event::FileFinished, Event::Finished}));
  EXPECT_EQ(router.events[0].text, "board GB42Z, architecture mipsle, minimum version 6.40");
}

TEST_F(ServerCoreTest, RepeatedRequestGetsTheSameReplyAndDoesNotAdvance) {
  ServerCore core(catalog_, ServeSettings{}, {});
  Router router(core, kRouterA);
  ASSERT_TRUE(router.discover());
  ASSERT_TRUE(router.request("STRT"));
  ASSERT_TRUE(router.request("RETR", /*repeatTwice=*/true));  // FILE header
  EXPECT_TRUE(router.lastRepeatIdentical());
  const auto first = router.request("RETR", true);  // first data reply, twice
  EXPECT_TRUE(router.lastRepeatIdentical());
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, fileContent("base.pkg").substr(0, MAX_PAYLOAD));
  const auto second = router.request("RETR");
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, fileContent("base.pkg").substr(MAX_PAYLOAD, MAX_PAYLOAD));
}

TEST_F(ServerCoreTest, RoutersAreServedSideBySideWithoutDisturbingEachOther) {
  ServerCore core(catalog_, ServeSettings{}, {});
  Router a(core, kRouterA), b(core, kRouterB, "mmips");
  ASSERT_TRUE(a.discover());
  ASSERT_TRUE(a.request("STRT"));
  ASSERT_TRUE(a.request("RETR"));
  ASSERT_TRUE(a.request("RETR"));
  // B appears mid-file; it is not sent the mipsle package.
  ASSERT_TRUE(b.discover());
  const auto bFiles = b.install();
  ASSERT_EQ(bFiles.size(), 1u);
  EXPECT_EQ(bFiles[0].first, "autorun.scr");
  // A goes on where it was.
  const auto next = a.request("RETR");
  ASSERT_TRUE(next);
  EXPECT_EQ(*next, fileContent("base.pkg").substr(MAX_PAYLOAD, MAX_PAYLOAD));
  EXPECT_EQ(core.finishedCount(), 1);
  for (const auto& e : a.events) EXPECT_NE(e.kind, Event::Failed);
}

TEST_F(ServerCoreTest, RouterThatStartsOverIsReportedAndServedAfresh) {
  ServerCore core(catalog_, ServeSettings{}, {});
  Router router(core, kRouterA);
  ASSERT_TRUE(router.discover());
  ASSERT_TRUE(router.request("STRT"));
  ASSERT_TRUE(router.request("RETR"));
  router.now += ServerCore::REDISCOVERY_QUIET_US;  // rebooted mid-file
  ASSERT_TRUE(router.discover());
  bool reported = false;
  for (const auto& e : router.events)
    if (e.kind == Event::Failed && e.text == "started over") reported = true;
  EXPECT_TRUE(reported);
  EXPECT_EQ(router.install().size(), 2u);
}

TEST_F(ServerCoreTest, LateCopyOfTheDiscoveryDoesNotEndTheSession) {
  ServerCore core(catalog_, ServeSettings{}, {});
  Router router(core, kRouterA);
  ASSERT_TRUE(router.discover());
  EXPECT_EQ(router.repeatDiscovery(), 0u);  // right after the acknowledgement
  router.now += ServerCore::REDISCOVERY_QUIET_US - 1;
  EXPECT_EQ(router.repeatDiscovery(), 0u);
  for (const auto& e : router.events) EXPECT_NE(e.kind, Event::Failed) << e.text;
  EXPECT_EQ(router.install().size(), 2u);
  EXPECT_TRUE(router.terminated());
}

TEST_F(ServerCoreTest, OutOfOrderAndForeignRequestsAreIgnored) {
  ServerCore core(catalog_, ServeSettings{}, {});
  Router router(core, kRouterA);
  ASSERT_TRUE(router.discover());
  std::vector<Event> events;
  // A STRT that skips a sequence number, and one to another server.
  Datagram skipped(HEADER_SIZE + 4), foreign(HEADER_SIZE + 4);
  MessageHeader h;
  h.source = kRouterA;
  h.destination = kServer;
  h.payloadLength = 4;
  h.sequence = 3;
  h.acknowledgement = 2;
  h.write(skipped.data());
  std::memcpy(skipped.data() + HEADER_SIZE, "STRT", 4);
  h.sequence = 2;
  h.destination = kRouterB;
  h.write(foreign.data());
  std::memcpy(foreign.data() + HEADER_SIZE, "STRT", 4);
  EXPECT_TRUE(core.receive(0, kServer, skipped.data(), skipped.size(), 0, &events).empty());
  EXPECT_TRUE(core.receive(0, kServer, foreign.data(), foreign.size(), 0, &events).empty());
  EXPECT_TRUE(core.receive(0, kServer, skipped.data(), skipped.size() - 1, 0, &events).empty());
  EXPECT_EQ(router.install().size(), 2u);  // the real STRT is still expected
}

TEST_F(ServerCoreTest, OnlyAllowedRoutersAreServed) {
  ServerCore core(catalog_, ServeSettings{}, {kRouterB});
  Router a(core, kRouterA), b(core, kRouterB);
  EXPECT_FALSE(a.discover());
  EXPECT_FALSE(a.discover());
  ASSERT_EQ(a.events.size(), 1u);  // reported once
  EXPECT_EQ(a.events[0].kind, Event::NotAllowed);
  EXPECT_TRUE(b.discover());
}

TEST_F(ServerCoreTest, RouterSilentMidFileIsReportedFailed) {
  ServerCore core(catalog_, ServeSettings{}, {});
  Router router(core, kRouterA);
  ASSERT_TRUE(router.discover());
  ASSERT_TRUE(router.request("STRT"));
  ASSERT_TRUE(router.request("RETR"));
  std::vector<Event> events;
  core.expire(router.now + ServerCore::IDLE_LIMIT_US - 1, &events);
  EXPECT_TRUE(events.empty());
  core.expire(router.now + ServerCore::IDLE_LIMIT_US, &events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Event::Failed);
  EXPECT_EQ(events[0].text, "no requests for 30 s during base.pkg");
  EXPECT_TRUE(core.sessions().empty());
}

}  // namespace
}  // namespace deployboot::serve
