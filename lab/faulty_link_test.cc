#include "lab/faulty_link.h"

#include <vector>

#include <gtest/gtest.h>

namespace deployboot::lab {
namespace {

TEST(FaultyLinkSettings, ParsesWhatTheOptionTakes) {
  struct Case {
    const char* text;
    double loss, duplicate, reorder;
    uint32_t delay;
    uint64_t seed;
  };
  const Case cases[] = {
      {"loss=10,duplicate=5,reorder=5,delay=2ms,seed=7", 10, 5, 5, 2000, 7},
      {"seed=3,loss=0.5", 0.5, 0, 0, 0, 3},
      {"delay=250us,seed=0", 0, 0, 0, 250, 0},
      {"delay=3,seed=1", 0, 0, 0, 3000, 1},
      {"delay=0.01s,loss=100,seed=18446744073709551615", 100, 0, 0, 10000, 18446744073709551615ull},
  };
  for (const Case& c : cases) {
    FaultyLink link;
    std::string error;
    ASSERT_TRUE(parseFaultyLink(c.text, &link, &error)) << c.text << ": " << error;
    EXPECT_EQ(link.lossPercent, c.loss) << c.text;
    EXPECT_EQ(link.duplicatePercent, c.duplicate) << c.text;
    EXPECT_EQ(link.reorderPercent, c.reorder) << c.text;
    EXPECT_EQ(link.delayMicros, c.delay) << c.text;
    EXPECT_EQ(link.seed, c.seed) << c.text;
    // What a run prints reads back to the same settings.
    FaultyLink again;
    ASSERT_TRUE(parseFaultyLink(describeFaultyLink(link), &again, &error)) << error;
    EXPECT_EQ(describeFaultyLink(again), describeFaultyLink(link));
  }
}

TEST(FaultyLinkSettings, RefusesWhatItCannotMean) {
  for (const char* text : {"loss=101", "loss=-1", "loss=", "loss", "loss=10%", "jitter=3",
                           "delay=2min", "delay=ms", "delay=20s", "seed=-4", "seed=x",
                           "seed=99999999999999999999", "duplicate=nan"}) {
    FaultyLink link;
    std::string error;
    EXPECT_FALSE(parseFaultyLink(text, &link, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// An Ethernet frame with an IPv4 header; `fragment` sets more-fragments.
std::vector<uint8_t> ipv4Frame(uint16_t id, bool fragment, uint16_t offset = 0) {
  std::vector<uint8_t> f(14 + 20 + 8, 0);
  f[12] = 0x08;
  f[14] = 0x45;
  f[14 + 4] = static_cast<uint8_t>(id >> 8);
  f[14 + 5] = static_cast<uint8_t>(id);
  const uint16_t flags = static_cast<uint16_t>((fragment ? 0x2000 : 0) | offset);
  f[14 + 6] = static_cast<uint8_t>(flags >> 8);
  f[14 + 7] = static_cast<uint8_t>(flags);
  f[14 + 9] = 17;
  f[14 + 12] = 10;
  return f;
}

FaultyLink lossy(uint64_t seed) {
  FaultyLink link;
  link.lossPercent = 10;
  link.duplicatePercent = 5;
  link.reorderPercent = 5;
  link.delayMicros = 2000;
  link.seed = seed;
  return link;
}

TEST(FaultDice, RatesHoldAndTheSeedReplaysTheDecisions) {
  constexpr int frames = 20000;
  FaultDice a(lossy(42), 1), b(lossy(42), 1), other(lossy(43), 1);
  int differing = 0;
  unsigned lateFirst = 0;
  for (int i = 0; i < frames; ++i) {
    const auto frame = ipv4Frame(static_cast<uint16_t>(i), false);
    const FrameFate x = a.decide(frame.data(), frame.size());
    const FrameFate y = b.decide(frame.data(), frame.size());
    const FrameFate z = other.decide(frame.data(), frame.size());
    ASSERT_EQ(x.copies, y.copies);
    ASSERT_EQ(x.delayMicros[0], y.delayMicros[0]);
    ASSERT_EQ(x.delayMicros[1], y.delayMicros[1]);
    differing += x.copies != z.copies || x.delayMicros[0] != z.delayMicros[0];
    if (x.copies == 0) continue;
    EXPECT_GE(x.delayMicros[0], 2000u);
    if (x.reordered) {
      // Held long enough for a re-send after 20 ms to overtake it at times.
      EXPECT_GT(x.delayMicros[0], 3000u);
      EXPECT_LE(x.delayMicros[0], 2000u + 41000u);
      lateFirst += x.delayMicros[0] > 22000;
    } else {
      EXPECT_EQ(x.delayMicros[0], 2000u);
    }
    if (x.copies == 2) {
      EXPECT_GE(x.delayMicros[1], x.delayMicros[0]);
    }
  }
  const DirectionCounts& c = a.counts();
  EXPECT_EQ(c.frames, static_cast<uint64_t>(frames));
  EXPECT_EQ(c.datagrams, static_cast<uint64_t>(frames));
  // Binomial spreads are about 1 % of the counts; these bounds are 5 sigma.
  EXPECT_NEAR(static_cast<double>(c.dropped), frames * 0.10, 220);
  EXPECT_NEAR(static_cast<double>(c.duplicated), frames * 0.90 * 0.05, 150);
  EXPECT_NEAR(static_cast<double>(c.reordered), frames * 0.90 * 0.05, 150);
  EXPECT_GT(lateFirst, 0u);
  EXPECT_GT(differing, frames / 10);
  // Each direction has its own stream of decisions.
  FaultDice reverse(lossy(42), 2);
  int same = 0;
  FaultDice fresh(lossy(42), 1);
  for (int i = 0; i < 1000; ++i) {
    const auto frame = ipv4Frame(static_cast<uint16_t>(i), false);
    same += fresh.decide(frame.data(), frame.size()).copies ==
            reverse.decide(frame.data(), frame.size()).copies;
  }
  EXPECT_LT(same, 1000);
}

TEST(FaultDice, FragmentsOfOneDatagramShareItsFate) {
  FaultyLink link = lossy(9);
  link.lossPercent = 50;
  FaultDice dice(link, 1);
  int dropped = 0;
  for (uint16_t id = 1; id <= 400; ++id) {
    const auto first = ipv4Frame(id, true, 0);
    const auto middle = ipv4Frame(id, true, 185);
    const auto last = ipv4Frame(id, false, 370);
    const FrameFate f1 = dice.decide(first.data(), first.size());
    const FrameFate f2 = dice.decide(middle.data(), middle.size());
    const FrameFate f3 = dice.decide(last.data(), last.size());
    ASSERT_EQ(f1.copies, f2.copies) << id;
    ASSERT_EQ(f1.copies, f3.copies) << id;
    ASSERT_EQ(f1.delayMicros[0], f3.delayMicros[0]) << id;
    ASSERT_EQ(f1.delayMicros[1], f3.delayMicros[1]) << id;
    dropped += f1.copies == 0;
  }
  EXPECT_EQ(dice.counts().frames, 1200u);
  EXPECT_EQ(dice.counts().datagrams, 400u);
  EXPECT_EQ(dice.counts().dropped, static_cast<uint64_t>(dropped));
  EXPECT_GT(dropped, 120);
  EXPECT_LT(dropped, 280);
  // Frames that are not IPv4 get a decision each.
  std::vector<uint8_t> arp(42, 0);
  arp[12] = 0x08;
  arp[13] = 0x06;
  dice.decide(arp.data(), arp.size());
  dice.decide(arp.data(), arp.size());
  EXPECT_EQ(dice.counts().datagrams, 402u);
}

TEST(FaultyLinkRelay, FillsInTheUdpChecksumThatTheSenderLeftOpen) {
  // 10.0.0.1:5000 -> 255.255.255.255:5000, payload "RETR" plus one odd byte.
  std::vector<uint8_t> f = ipv4Frame(1, false);
  f.resize(14 + 20 + 8 + 5);
  f[14 + 2] = 0;
  f[14 + 3] = 20 + 8 + 5;
  for (int i = 0; i < 4; ++i) f[14 + 16 + i] = 0xFF;
  const uint8_t udp[] = {0x13, 0x88, 0x13, 0x88, 0, 13, 0x12, 0x34, 'R', 'E', 'T', 'R', '!'};
  std::copy(std::begin(udp), std::end(udp), f.begin() + 34);
  completeUdpChecksum(f.data(), f.size());
  // Summed with the pseudo-header, a correct checksum gives all ones.
  uint32_t sum = 17 + 13;
  for (size_t i = 26; i < 34; i += 2) sum += static_cast<uint32_t>(f[i] << 8 | f[i + 1]);
  for (size_t i = 34; i < f.size(); i += 2)
    sum += static_cast<uint32_t>(f[i] << 8 | (i + 1 < f.size() ? f[i + 1] : 0));
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  EXPECT_EQ(sum, 0xFFFFu);
  EXPECT_NE(f[40] << 8 | f[41], 0x1234);

  // A fragment and a frame that is not UDP pass unchanged.
  for (auto frame : {ipv4Frame(2, true), std::vector<uint8_t>(60, 0x11)}) {
    const auto before = frame;
    completeUdpChecksum(frame.data(), frame.size());
    EXPECT_EQ(frame, before);
  }
}

}  // namespace
}  // namespace deployboot::lab
