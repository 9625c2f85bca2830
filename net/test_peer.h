// A scripted server on the loopback interface for the network unit tests:
// the client side is a NetInterface whose destination is this peer, so the
// real exchange code runs without any special network set-up.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/server_link.h"

namespace deployboot::testing {

// The addresses the network unit tests give their client and server.
inline const MacAddress CLIENT_MAC{0x02, 0, 0, 0, 0, 0x01};
inline const MacAddress SERVER_MAC{0x02, 0, 0, 0, 0, 0x02};

inline sockaddr_in loopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

inline int boundLoopbackSocket() {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = loopbackAddress(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return s;
}

inline sockaddr_in socketAddress(int s) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  return a;
}

// A datagram: header fields plus payload.
inline std::vector<uint8_t> makeDatagram(const MacAddress& source, const MacAddress& destination,
                                         uint16_t sequence, uint16_t ack,
                                         const std::string& payload) {
  std::vector<uint8_t> d(HEADER_SIZE + payload.size());
  MessageHeader h;
  h.source = source;
  h.destination = destination;
  h.payloadLength = static_cast<uint16_t>(payload.size());
  h.sequence = sequence;
  h.acknowledgement = ack;
  h.write(d.data());
  std::memcpy(d.data() + HEADER_SIZE, payload.data(), payload.size());
  return d;
}

// Answers each request with whatever `respond` returns (possibly nothing,
// possibly several datagrams), from its own socket, until destroyed.
class TestPeer {
 public:
  using Responder = std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t>&)>;

  explicit TestPeer(Responder respond) : respond_(std::move(respond)) {
    socket_ = boundLoopbackSocket();
    thread_ = std::thread([this] { run(); });
  }
  ~TestPeer() {
    stop_ = true;
    thread_.join();
    close(socket_);
  }

  // A client interface that sends to this peer and accepts its port only.
  NetInterface clientInterface(const MacAddress& mac) const {
    NetInterface iface;
    iface.name = "lo";
    iface.mac = mac;
    iface.socket = boundLoopbackSocket();
    iface.destination = socketAddress(socket_);
    return iface;
  }

  std::vector<std::vector<uint8_t>> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void run() {
    uint8_t buffer[PACKET_SIZE];
    while (!stop_) {
      pollfd p{socket_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n = recvfrom(socket_, buffer, sizeof buffer, 0,
                                 reinterpret_cast<sockaddr*>(&from), &size);
      if (n < 0) continue;
      std::vector<uint8_t> request(buffer, buffer + n);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      for (const auto& reply : respond_(request))
        sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  Responder respond_;
  int socket_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> requests_;
  std::thread thread_;
};

}  // namespace deployboot::testing
