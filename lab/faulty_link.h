// A faulty link for the lab: a relay in a network namespace of its own
// between the board's and the server's ends, which drops, duplicates,
// reorders and delays datagrams as a seeded generator decides, so that a
// failing case can be replayed with the same seed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace deployboot::lab {

struct FaultyLink {
  double lossPercent = 0;       // datagrams dropped
  double duplicatePercent = 0;  // datagrams sent twice
  double reorderPercent = 0;    // datagrams held back so that later ones overtake them
  uint32_t delayMicros = 0;     // every datagram, each way
  uint64_t seed = 0;
};

// Parses "loss=10,duplicate=5,reorder=5,delay=2ms,seed=N" (any subset, any
// order; percentages may have decimals; delay in us, ms or s, ms when bare).
// A missing seed is chosen at random.
bool parseFaultyLink(const std::string& text, FaultyLink* link, std::string* error);

// The settings in the form parseFaultyLink reads, seed included.
std::string describeFaultyLink(const FaultyLink& link);

// What befalls one frame: `copies` times sent (0: dropped), each after its
// own delay.
struct FrameFate {
  unsigned copies = 1;
  uint32_t delayMicros[2] = {0, 0};
  bool duplicated = false;
  bool reordered = false;
};

struct DirectionCounts {
  uint64_t frames = 0, datagrams = 0, dropped = 0, duplicated = 0, reordered = 0;
};

// The decisions for one direction of one link. Decisions are taken per IP
// datagram: the fragments of a datagram larger than the link's MTU share
// their datagram's fate, so the rates hold for datagrams, not for frames.
// The same seed gives the same sequence of decisions.
class FaultDice {
 public:
  FaultDice(const FaultyLink& link, uint64_t streamSeed);
  FrameFate decide(const uint8_t* frame, size_t length);
  const DirectionCounts& counts() const { return counts_; }

 private:
  FrameFate roll();
  double uniform();  // [0, 1)
  uint64_t nextRandom();

  FaultyLink link_;
  uint64_t state_;
  DirectionCounts counts_;
  struct Fragmented {
    uint64_t key;
    FrameFate fate;
  };
  std::vector<Fragmented> recent_;  // fates of fragmented datagrams, newest last
};

// A veth end hands its frames over with the UDP checksum left to the
// hardware; a frame passed on to another link needs it filled in. Leaves
// everything but unfragmented IPv4 UDP frames alone.
void completeUdpChecksum(uint8_t* frame, size_t length);

// One relayed link: the relay's end towards the board and towards the server.
struct RelayPorts {
  std::string boardSide;
  std::string serverSide;
};

// Forks the relay and has it unshare its network namespace; returns its pid
// once the namespace exists (-1 on failure). The caller then moves the
// relay's link ends into that namespace (ip link ... netns PID); the relay
// waits up to 10 s for them. SIGTERM ends it; it then writes what it did to
// `countsPath`.
pid_t startRelay(const FaultyLink& link, const std::vector<RelayPorts>& ports,
                 const std::string& countsPath);

}  // namespace deployboot::lab
