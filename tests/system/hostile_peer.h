// A hostile peer on an Ethernet segment of the system tests. It listens to
// every frame on its interface, learns which router talks to which server
// from the routers' requests, and answers each request and each server
// reply with datagrams that a careless installer or server would take:
// near-misses of the very reply the router waits for (one field wrong: the
// sequence, the acknowledgement, an address, the source port, the length,
// the Ethernet destination), a second server's offer and replies, replays
// of the router's requests, and a steady stream of junk and of fake
// routers' discoveries. It never sends a datagram that the protocol says
// must be accepted, so any one of them taken corrupts the installation.
#pragma once

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "net/server_link.h"
#include "tests/system/network_segment.h"

namespace deployboot::testing {

using HostileCounts = std::map<std::string, uint64_t>;

namespace hostile {

using Bytes = std::vector<uint8_t>;

const MacAddress FOREIGN_DESTINATION = {0x02, 0x66, 0x66, 0x66, 0x66, 0x66};
const MacAddress FOREIGN_SOURCE = {0x02, 0x77, 0x77, 0x77, 0x77, 0x77};
const uint8_t FOREIGN_ETHERNET[6] = {0x02, 0x55, 0x55, 0x55, 0x55, 0x55};

// A reply the router waits for, but for the one field a forgery gets wrong.
struct Target {
  MacAddress client, server;
  uint16_t sequence, ack;
};

inline Bytes datagram(const MacAddress& source, const MacAddress& destination, uint16_t sequence,
                      uint16_t ack, const std::string& payload, size_t claimed) {
  Bytes d(HEADER_SIZE + payload.size());
  MessageHeader h;
  h.source = source;
  h.destination = destination;
  h.payloadLength = static_cast<uint16_t>(claimed);
  h.sequence = sequence;
  h.acknowledgement = ack;
  h.write(d.data());
  std::memcpy(d.data() + HEADER_SIZE, payload.data(), payload.size());
  return d;
}

inline Bytes datagram(const MacAddress& source, const MacAddress& destination, uint16_t sequence,
                      uint16_t ack, const std::string& payload) {
  return datagram(source, destination, sequence, ack, payload, payload.size());
}

inline uint16_t ipChecksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// An Ethernet frame carrying `udp` from 0.0.0.0:5000 to
// 255.255.255.255:5000, sent to the Ethernet address `to`.
inline Bytes frame(const uint8_t* to, const MacAddress& from, const Bytes& udp) {
  Bytes f(14 + 20 + 8 + udp.size());
  std::memcpy(f.data(), to, 6);
  std::memcpy(f.data() + 6, from.data(), 6);
  f[12] = 0x08;
  uint8_t* ip = f.data() + 14;
  ip[0] = 0x45;
  const uint16_t total = static_cast<uint16_t>(20 + 8 + udp.size());
  ip[2] = static_cast<uint8_t>(total >> 8);
  ip[3] = static_cast<uint8_t>(total);
  ip[8] = 64;
  ip[9] = IPPROTO_UDP;
  std::memset(ip + 16, 0xFF, 4);
  const uint16_t sum = ipChecksum(ip, 20);
  ip[10] = static_cast<uint8_t>(sum >> 8);
  ip[11] = static_cast<uint8_t>(sum);
  uint8_t* u = ip + 20;
  u[0] = u[2] = PROTOCOL_PORT >> 8;
  u[1] = u[3] = PROTOCOL_PORT & 0xFF;
  const uint16_t length = static_cast<uint16_t>(8 + udp.size());
  u[4] = static_cast<uint8_t>(length >> 8);
  u[5] = static_cast<uint8_t>(length);
  std::memcpy(u + 8, udp.data(), udp.size());
  return f;
}

// The protocol datagram inside a sniffed frame, when it is one: UDP from
// and to port 5000, unfragmented, at least a header long.
inline bool protocolDatagram(const uint8_t* f, size_t n, Bytes* out) {
  if (n < 14 + 20 + 8 || f[12] != 0x08 || f[13] != 0x00) return false;
  const uint8_t* ip = f + 14;
  const size_t ihl = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ihl < 20 || ip[9] != IPPROTO_UDP) return false;
  if (((ip[6] & 0x3F) << 8 | ip[7]) != 0) return false;  // a fragment
  if (n < 14 + ihl + 8) return false;
  const uint8_t* u = ip + ihl;
  const size_t sport = u[0] << 8 | u[1], dport = u[2] << 8 | u[3], length = u[4] << 8 | u[5];
  if (sport != PROTOCOL_PORT || dport != PROTOCOL_PORT || length < 8 + HEADER_SIZE ||
      14 + ihl + length > n)
    return false;
  out->assign(u + 8, u + length);
  return true;
}

class Peer {
 public:
  Peer(const std::string& iface, uint32_t seed) : random_(seed) {
    raw_ = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_ALL);
    where.sll_ifindex = static_cast<int>(if_nametoindex(iface.c_str()));
    ifindex_ = where.sll_ifindex;
    ok_ = raw_ >= 0 && ifindex_ > 0 &&
          bind(raw_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    ifreq req{};
    std::strncpy(req.ifr_name, iface.c_str(), IFNAMSIZ - 1);
    ok_ = ok_ && ioctl(raw_, SIOCGIFHWADDR, &req) == 0;
    own_ = macAt(reinterpret_cast<const uint8_t*>(req.ifr_hwaddr.sa_data));
    port5000_ = udpSocket(iface, PROTOCOL_PORT);
    port5001_ = udpSocket(iface, PROTOCOL_PORT + 1);
    ok_ = ok_ && port5000_ >= 0 && port5001_ >= 0;
  }
  ~Peer() {
    for (int fd : {raw_, port5000_, port5001_})
      if (fd >= 0) close(fd);
  }

  bool ok() const { return ok_; }

  // Runs until `stopFd` is readable or `seconds` have passed.
  void run(int stopFd, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto nextJunk = std::chrono::steady_clock::now();
    auto nextDiscovery = nextJunk;
    uint8_t buffer[70000];
    while (std::chrono::steady_clock::now() < end) {
      pollfd fds[2] = {{stopFd, POLLIN, 0}, {raw_, POLLIN, 0}};
      if (poll(fds, 2, 2) < 0 && errno != EINTR) break;
      if (fds[0].revents) break;
      // Everything waiting first: the forgeries are only sharp while the
      // router still waits for the reply they imitate.
      for (int i = 0; i < 64 && (fds[1].revents & POLLIN); ++i) {
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        const ssize_t n = recvfrom(raw_, buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &size);
        if (n <= 0) break;
        if (from.sll_pkttype == PACKET_OUTGOING) continue;
        Bytes d;
        if (protocolDatagram(buffer, static_cast<size_t>(n), &d)) heard(d);
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= nextJunk) {
        junk();
        nextJunk = now + std::chrono::milliseconds(5);
      }
      if (now >= nextDiscovery) {
        fakeDiscovery();
        nextDiscovery = now + std::chrono::milliseconds(100);
      }
    }
  }

  const HostileCounts& counts() const { return counts_; }

 private:
  static int udpSocket(const std::string& iface, uint16_t port) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (s < 0 || setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, iface.c_str(),
                   static_cast<socklen_t>(iface.size() + 1)) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      if (s >= 0) close(s);
      return -1;
    }
    const int buffer = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    return s;
  }

  void send(const char* kind, const Bytes& d, bool fromOtherPort = false) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    to.sin_port = htons(PROTOCOL_PORT);
    if (sendto(fromOtherPort ? port5001_ : port5000_, d.data(), d.size(), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(d.size()))
      ++counts_[kind];
  }

  void sendFrame(const char* kind, const Bytes& f) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex_;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, f.data(), 6);
    if (sendto(raw_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(f.size()))
      ++counts_[kind];
  }

  // What a forged reply says: each would do harm if it were taken.
  std::string harmfulPayload() {
    switch (turn_++ % 5) {
      case 0: return "FILE\nevil.scr\n9\n";
      case 1: return std::string(MAX_PAYLOAD, 'E');
      case 2: return "";  // the end of the file
      case 3: return "DONE\n";  // the end of the file list
      default: return "TERM\n";
    }
  }

  void heard(const Bytes& d) {
    const MessageHeader h = MessageHeader::read(d.data());
    if (d.size() != HEADER_SIZE + h.payloadLength || isZeroMac(h.destination)) return;
    const std::string word(reinterpret_cast<const char*>(d.data()) + HEADER_SIZE,
                           std::min<size_t>(h.payloadLength, 4));
    const bool request = (h.payloadLength == 4 || h.payloadLength == 5) &&
                         (word == "RETR" || word == "STRT" || word == "YACK" || word == "WTRM");
    if (request && h.source != own_) {
      servers_[h.source] = h.destination;
      if (word == "YACK") secondServerOffer(h.source);
      // The reply to this request is what the router waits for now.
      forge({h.source, h.destination, static_cast<uint16_t>(h.acknowledgement + 1), h.sequence});
      replayRequest(d, h);
      return;
    }
    const auto server = servers_.find(h.destination);
    if (server == servers_.end() || server->second != h.source) return;
    // A server's reply: the router's next request will wait for the one
    // after it.
    forge({h.destination, h.source, static_cast<uint16_t>(h.sequence + 1),
           static_cast<uint16_t>(h.acknowledgement + 1)});
  }

  // A second server on the segment, answering after the first was chosen.
  void secondServerOffer(const MacAddress& client) {
    send("second-server-offer", datagram(own_, client, 1, 0, "OFFR\nsecond server\nkeep\n"));
  }

  void forge(const Target& t) {
    const uint16_t s = t.sequence, a = t.ack;
    send("second-server-reply", datagram(own_, t.client, s, a, "FILE\nevil.scr\n9\n"));
    send("foreign-source", datagram(FOREIGN_SOURCE, t.client, s, a, harmfulPayload()));
    send("echoed-source", datagram(t.client, t.client, s, a, harmfulPayload()));
    send("foreign-destination", datagram(t.server, FOREIGN_DESTINATION, s, a, harmfulPayload()));
    send("zero-destination", datagram(t.server, MacAddress{}, s, a, harmfulPayload()));
    send("stale-sequence",
         datagram(t.server, t.client, static_cast<uint16_t>(s - 2), static_cast<uint16_t>(a - 1),
                  harmfulPayload()));
    send("far-sequence",
         datagram(t.server, t.client, static_cast<uint16_t>(s + 20000), a, harmfulPayload()));
    send("ack-ahead",
         datagram(t.server, t.client, s, static_cast<uint16_t>(a + 1), harmfulPayload()));
    send("other-port", datagram(t.server, t.client, s, a, harmfulPayload()), true);
    sendFrame("ethernet-foreign-destination",
              frame(FOREIGN_ETHERNET, own_, datagram(t.server, t.client, s, a, harmfulPayload())));
    // A whole reply's header with more bytes behind it than it announces,
    // or a length beyond what a receive buffer holds.
    static const size_t extra[] = {1, 1500, 9000};
    Bytes over = datagram(t.server, t.client, s, a, std::string(MAX_PAYLOAD, 'O'));
    over.resize(over.size() + extra[turn_ % 3], 'O');
    send("oversized", over);
    send("oversized", datagram(t.server, t.client, s, a, std::string(MAX_PAYLOAD + 424, 'O')));
    // Shorter than announced, and shorter than a header.
    const size_t claimed = 1 + random_() % MAX_PAYLOAD;
    send("truncated", datagram(t.server, t.client, s, a, std::string(claimed - 1, 'T'), claimed));
    Bytes tiny = datagram(t.server, t.client, s, a, "");
    tiny.resize(random_() % HEADER_SIZE);
    send("truncated", tiny);
  }

  // The router's request again, and an older one turned into a WTRM: the
  // server must neither answer twice differently nor go back.
  void replayRequest(const Bytes& d, const MessageHeader& h) {
    send("replayed-request", d);
    Bytes old = datagram(h.source, h.destination, static_cast<uint16_t>(h.sequence - 1),
                         static_cast<uint16_t>(h.acknowledgement - 1), "WTRM");
    send("stale-request", old);
  }

  void junk() {
    for (const bool otherPort : {false, true}) {
      Bytes d(random_() % 5000);
      for (auto& b : d) b = static_cast<uint8_t>(random_());
      if (d.size() >= HEADER_SIZE) d[0] |= 0x02;  // never the all-zero address
      send(otherPort ? "junk-from-port-5001" : "junk", d, otherPort);
    }
  }

  // A router that does not exist: the server offers to it and waits.
  void fakeDiscovery() {
    MacAddress who = {0x02, 0x88, 0, 0, 0, 0};
    for (size_t i = 2; i < MAC_SIZE; ++i) who[i] = static_cast<uint8_t>(random_());
    send("fake-discovery", datagram(who, MacAddress{}, 1, 0, "DSCV\n\n\nGB \nmipsle\n6.47\n"));
  }

  bool ok_ = false;
  int raw_ = -1, port5000_ = -1, port5001_ = -1;
  int ifindex_ = 0;
  MacAddress own_{};
  std::mt19937 random_;
  unsigned turn_ = 0;
  std::map<MacAddress, MacAddress> servers_;  // router -> the server it chose
  HostileCounts counts_;
};

}  // namespace hostile

// The hostile peer as a process in network namespace `ns`, on `iface`;
// it gives up by itself after `seconds`.
class HostilePeer {
 public:
  HostilePeer(const std::string& ns, const std::string& iface, int seconds, uint32_t seed) {
    if (pipe(stop_) != 0 || pipe(result_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(stop_[1]);
      close(result_[0]);
      std::string report;
      if (!enterNamespace(ns)) {
        report = "error cannot enter the namespace\n";
      } else {
        hostile::Peer peer(iface, seed);
        if (!peer.ok()) report = "error cannot open its sockets\n";
        else peer.run(stop_[0], seconds);
        for (const auto& [kind, count] : peer.counts()) report += kind + " " + std::to_string(count) + "\n";
      }
      const ssize_t ignored = write(result_[1], report.data(), report.size());
      (void)ignored;
      _exit(0);
    }
    close(stop_[0]);
    close(result_[1]);
    stop_[0] = result_[1] = -1;
  }
  ~HostilePeer() { stop(); }
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  // Stops the peer; what it sent, by kind ("error" when it could not run).
  HostileCounts stop() {
    if (pid_ <= 0) return counts_;
    const ssize_t ignored = write(stop_[1], "s", 1);
    (void)ignored;
    std::string text;
    for (int i = 0; i < 100; ++i) {
      pollfd p{result_[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(result_[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    for (int fd : {stop_[1], result_[0]}) close(fd);
    std::istringstream in(text);
    std::string kind;
    uint64_t count;
    while (in >> kind >> count) counts_[kind] = count;
    if (text.rfind("error", 0) == 0) counts_["error"] = 1;
    return counts_;
  }

 private:
  pid_t pid_ = -1;
  int stop_[2] = {-1, -1}, result_[2] = {-1, -1};
  HostileCounts counts_;
};

}  // namespace deployboot::testing
