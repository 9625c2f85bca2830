#include "lab/faulty_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <random>
#include <sstream>

#include "lab/lab_util.h"

namespace deployboot::lab {
namespace {

// A held-back datagram waits this much longer than the others, long enough
// for the installer's re-sends (20 and 30 ms) to overtake it.
constexpr uint32_t REORDER_MIN_US = 1000;
constexpr uint32_t REORDER_SPREAD_US = 40000;
// The second copy of a duplicated datagram follows the first within this.
constexpr uint32_t DUPLICATE_SPREAD_US = 10000;
constexpr size_t RECENT_FRAGMENTED = 64;

bool parsePercent(const std::string& value, double* out) {
  char* end = nullptr;
  const double v = std::strtod(value.c_str(), &end);
  if (value.empty() || !end || *end || !std::isfinite(v) || v < 0 || v > 100) return false;
  *out = v;
  return true;
}

bool parseDelay(const std::string& value, uint32_t* out) {
  char* end = nullptr;
  const double v = std::strtod(value.c_str(), &end);
  if (value.empty() || !end || end == value.c_str() || !std::isfinite(v) || v < 0) return false;
  const std::string unit = end;
  double scale;
  if (unit.empty() || unit == "ms") scale = 1e3;
  else if (unit == "us") scale = 1;
  else if (unit == "s") scale = 1e6;
  else return false;
  const double micros = v * scale;
  if (micros > 10e6) return false;  // more than 10 s is no link
  *out = static_cast<uint32_t>(std::lround(micros));
  return true;
}

std::string number(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

uint64_t monotonicMicros() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

// splitmix64: a good spread from consecutive seeds.
uint64_t mix(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

bool parseFaultyLink(const std::string& text, FaultyLink* link, std::string* error) {
  FaultyLink result;
  bool seeded = false;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    bool ok;
    if (key == "loss") ok = parsePercent(value, &result.lossPercent);
    else if (key == "duplicate") ok = parsePercent(value, &result.duplicatePercent);
    else if (key == "reorder") ok = parsePercent(value, &result.reorderPercent);
    else if (key == "delay") ok = parseDelay(value, &result.delayMicros);
    else if (key == "seed") {
      char* end = nullptr;
      errno = 0;
      result.seed = std::strtoull(value.c_str(), &end, 10);
      ok = !value.empty() && value[0] != '-' && end && !*end && errno == 0;
      seeded = true;
    } else {
      *error = "unknown faulty-link setting '" + key + "' (loss, duplicate, reorder, delay, seed)";
      return false;
    }
    if (!ok) {
      *error = "bad faulty-link value '" + item + "'";
      return false;
    }
  }
  if (!seeded) result.seed = std::random_device{}() % 1000000;
  *link = result;
  return true;
}

std::string describeFaultyLink(const FaultyLink& link) {
  return "loss=" + number(link.lossPercent) + ",duplicate=" + number(link.duplicatePercent) +
         ",reorder=" + number(link.reorderPercent) + ",delay=" + number(link.delayMicros / 1e3) +
         "ms,seed=" + std::to_string(link.seed);
}

FaultDice::FaultDice(const FaultyLink& link, uint64_t streamSeed)
    : link_(link), state_(link.seed * 0x100000001B3ull + streamSeed) {}

uint64_t FaultDice::nextRandom() { return mix(&state_); }

double FaultDice::uniform() { return static_cast<double>(nextRandom() >> 11) * 0x1.0p-53; }

FrameFate FaultDice::roll() {
  // Always the same number of draws, so that decision n depends only on
  // the seed and n.
  const double lost = uniform() * 100, held = uniform() * 100, doubled = uniform() * 100;
  const uint64_t holdRandom = nextRandom(), copyRandom = nextRandom();
  ++counts_.datagrams;
  FrameFate fate;
  if (lost < link_.lossPercent) {
    fate.copies = 0;
    ++counts_.dropped;
    return fate;
  }
  fate.delayMicros[0] = link_.delayMicros;
  if (held < link_.reorderPercent) {
    fate.reordered = true;
    fate.delayMicros[0] += REORDER_MIN_US + static_cast<uint32_t>(holdRandom % REORDER_SPREAD_US);
    ++counts_.reordered;
  }
  if (doubled < link_.duplicatePercent) {
    fate.copies = 2;
    fate.duplicated = true;
    fate.delayMicros[1] = fate.delayMicros[0] + static_cast<uint32_t>(copyRandom % DUPLICATE_SPREAD_US);
    ++counts_.duplicated;
  }
  return fate;
}

FrameFate FaultDice::decide(const uint8_t* frame, size_t length) {
  ++counts_.frames;
  // An IPv4 fragment (more-fragments set or an offset): key its datagram by
  // source address, protocol and identification.
  constexpr size_t ip = 14;
  if (length >= ip + 20 && frame[12] == 0x08 && frame[13] == 0x00 && (frame[ip] >> 4) == 4) {
    const uint16_t flagsOffset = static_cast<uint16_t>(frame[ip + 6] << 8 | frame[ip + 7]);
    if ((flagsOffset & 0x3FFF) != 0) {
      uint64_t key = 0;
      for (size_t i = 0; i < 4; ++i) key = key << 8 | frame[ip + 12 + i];
      key = key << 8 | frame[ip + 9];
      key = key << 16 | frame[ip + 4] << 8 | frame[ip + 5];
      for (auto it = recent_.rbegin(); it != recent_.rend(); ++it)
        if (it->key == key) return it->fate;
      const FrameFate fate = roll();
      if (recent_.size() == RECENT_FRAGMENTED) recent_.erase(recent_.begin());
      recent_.push_back({key, fate});
      return fate;
    }
  }
  return roll();
}

void completeUdpChecksum(uint8_t* frame, size_t length) {
  constexpr size_t ip = 14;
  if (length < ip + 20 || frame[12] != 0x08 || frame[13] != 0x00 || (frame[ip] >> 4) != 4 ||
      frame[ip + 9] != 17)
    return;
  const size_t header = static_cast<size_t>(frame[ip] & 0x0F) * 4;
  const uint16_t flagsOffset = static_cast<uint16_t>(frame[ip + 6] << 8 | frame[ip + 7]);
  if ((flagsOffset & 0x3FFF) != 0) return;  // the sender computed it before fragmenting
  const size_t udp = ip + header;
  if (length < udp + 8) return;
  const size_t udpLength = static_cast<size_t>(frame[udp + 4] << 8 | frame[udp + 5]);
  if (udpLength < 8 || udp + udpLength > length) return;
  uint32_t sum = 17 + static_cast<uint32_t>(udpLength);
  for (size_t i = 0; i < 8; i += 2) sum += static_cast<uint32_t>(frame[ip + 12 + i] << 8 | frame[ip + 13 + i]);
  frame[udp + 6] = frame[udp + 7] = 0;
  for (size_t i = 0; i < udpLength; i += 2) {
    const uint32_t high = frame[udp + i];
    const uint32_t low = i + 1 < udpLength ? frame[udp + i + 1] : 0;
    sum += high << 8 | low;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t checksum = static_cast<uint16_t>(~sum);
  if (checksum == 0) checksum = 0xFFFF;
  frame[udp + 6] = static_cast<uint8_t>(checksum >> 8);
  frame[udp + 7] = static_cast<uint8_t>(checksum);
}

namespace {

volatile sig_atomic_t relayStopping = 0;

void onRelayStop(int) { relayStopping = 1; }

struct Pending {
  uint64_t due;
  uint64_t order;  // arrival order breaks ties: equal delays keep their order
  int socket;
  std::string bytes;
  bool operator>(const Pending& other) const {
    return due != other.due ? due > other.due : order > other.order;
  }
};

int openPort(const std::string& name) {
  const unsigned index = if_nametoindex(name.c_str());
  if (index == 0) return -1;
  const int s = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (s < 0) return -1;
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(index);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  const int one = 1;
  setsockopt(s, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  return s;
}

bool waitForPorts(const std::vector<RelayPorts>& ports) {
  for (int i = 0; i < 1000; ++i) {  // 10 s
    bool all = true;
    for (const auto& p : ports)
      all = all && if_nametoindex(p.boardSide.c_str()) && if_nametoindex(p.serverSide.c_str());
    if (all) return true;
    usleep(10000);
  }
  return false;
}

void bringUp(const std::string& name) {
  // The relay's own ends stay silent: no IPv6 chatter of their own.
  writeText("/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6", "1\n");
  runCommand({"ip", "link", "set", name, "promisc", "on", "up"});
}

std::string countsText(const FaultyLink& link, const std::vector<FaultDice>& dice) {
  std::ostringstream out;
  out << "faulty link " << describeFaultyLink(link) << "\n";
  for (size_t i = 0; i < dice.size(); ++i) {
    const DirectionCounts& c = dice[i].counts();
    out << "  link " << i / 2 << (i % 2 == 0 ? " board->server: " : " server->board: ")
        << c.datagrams << " datagrams (" << c.frames << " frames), " << c.dropped << " dropped, "
        << c.duplicated << " duplicated, " << c.reordered << " reordered\n";
  }
  return out.str();
}

[[noreturn]] void runRelay(const FaultyLink& link, const std::vector<RelayPorts>& ports,
                           const std::string& countsPath) {
  if (!waitForPorts(ports)) {
    std::fprintf(stderr, "deploylab: faulty link: its interfaces did not appear\n");
    _exit(3);
  }
  // Socket 2n is the board's side of link n, 2n + 1 the server's; dice 2n
  // decides what goes from the board to the server.
  std::vector<int> sockets;
  std::vector<FaultDice> dice;
  for (size_t n = 0; n < ports.size(); ++n) {
    for (const auto& name : {ports[n].boardSide, ports[n].serverSide}) {
      bringUp(name);
      const int s = openPort(name);
      if (s < 0) {
        std::fprintf(stderr, "deploylab: faulty link: %s: %s\n", name.c_str(), std::strerror(errno));
        _exit(3);
      }
      sockets.push_back(s);
      dice.emplace_back(link, sockets.size());
    }
  }
  std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> queue;
  uint64_t order = 0;
  std::vector<pollfd> fds;
  for (int s : sockets) fds.push_back({s, POLLIN, 0});
  static uint8_t frame[65536];
  while (!relayStopping) {
    uint64_t now = monotonicMicros();
    uint64_t waitMicros = 100000;
    if (!queue.empty()) waitMicros = queue.top().due > now ? std::min(waitMicros, queue.top().due - now) : 0;
    const timespec timeout = {static_cast<time_t>(waitMicros / 1000000),
                              static_cast<long>(waitMicros % 1000000) * 1000};
    const int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
    if (ready < 0 && errno != EINTR) break;
    now = monotonicMicros();
    for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      for (int burst = 0; burst < 256; ++burst) {
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        const ssize_t n = recvfrom(sockets[i], frame, sizeof frame, 0,
                                   reinterpret_cast<sockaddr*>(&from), &size);
        if (n <= 0) break;
        if (from.sll_pkttype == PACKET_OUTGOING) continue;
        completeUdpChecksum(frame, static_cast<size_t>(n));
        const FrameFate fate = dice[i].decide(frame, static_cast<size_t>(n));
        for (unsigned c = 0; c < fate.copies; ++c)
          queue.push({now + fate.delayMicros[c], order++, sockets[i ^ 1],
                      std::string(reinterpret_cast<char*>(frame), static_cast<size_t>(n))});
      }
    }
    now = monotonicMicros();
    while (!queue.empty() && queue.top().due <= now) {
      const Pending& p = queue.top();
      ssize_t ignored = ::send(p.socket, p.bytes.data(), p.bytes.size(), 0);
      (void)ignored;
      queue.pop();
    }
  }
  writeText(countsPath, countsText(link, dice));
  _exit(0);
}

}  // namespace

pid_t startRelay(const FaultyLink& link, const std::vector<RelayPorts>& ports,
                 const std::string& countsPath) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return -1;
  }
  if (pid == 0) {
    ::close(ready[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int sig : {SIGINT, SIGHUP}) signal(sig, SIG_IGN);  // the lab stops it
    struct sigaction stop = {};
    stop.sa_handler = onRelayStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    if (unshare(CLONE_NEWNET) != 0) _exit(3);
    const char byte = 'r';
    if (::write(ready[1], &byte, 1) != 1) _exit(3);
    ::close(ready[1]);
    runRelay(link, ports, countsPath);
  }
  ::close(ready[1]);
  pollfd p = {ready[0], POLLIN, 0};
  char byte;
  const bool ok = poll(&p, 1, 10000) == 1 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!ok) {
    stopProcess(pid, SIGKILL, 1);
    return -1;
  }
  return pid;
}

}  // namespace deployboot::lab
