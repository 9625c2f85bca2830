// The installer's link to the installation server: its interfaces, the
// conversation state, the wire header and the record through which one
// file is read. The operations live in net/interfaces.h, net/exchange.h,
// net/discovery.h and net/file_transfer.h.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace deployboot {

// Every message is a UDP broadcast to this port, and only datagrams from
// it count.
constexpr uint16_t PROTOCOL_PORT = 5000;

// Message buffers and the largest datagram that can be received.
constexpr size_t PACKET_SIZE = 4096;
constexpr size_t HEADER_SIZE = 20;
constexpr size_t MAX_PAYLOAD = PACKET_SIZE - HEADER_SIZE;  // 4076

constexpr size_t MAC_SIZE = 6;
using MacAddress = std::array<uint8_t, MAC_SIZE>;

// Byte offsets of the 20-byte header; 16-bit fields are little-endian.
constexpr size_t HEADER_SOURCE = 0;        // 6 bytes: MAC of the sender
constexpr size_t HEADER_DESTINATION = 6;   // 6 bytes: MAC of the receiver, 0 = anyone
constexpr size_t HEADER_RESERVED = 12;     // 2 bytes, always 0
constexpr size_t HEADER_LENGTH = 14;       // payload length
constexpr size_t HEADER_SEQUENCE = 16;     // sender's sequence number
constexpr size_t HEADER_ACK = 18;          // last sequence accepted from the peer
constexpr size_t HEADER_PAYLOAD = 20;

// The header fields of a datagram, decoded.
struct MessageHeader {
  MacAddress source{};
  MacAddress destination{};
  uint16_t payloadLength = 0;
  uint16_t sequence = 0;
  uint16_t acknowledgement = 0;

  static MessageHeader read(const uint8_t* packet);
  void write(uint8_t* packet) const;  // reserved bytes written as 0
};

bool isZeroMac(const MacAddress& mac);
MacAddress macAt(const uint8_t* p);
// "%02X:%02X:%02X:%02X:%02X:%02X"
std::string formatMac(const MacAddress& mac);

// One usable network interface with its broadcast socket.
struct NetInterface {
  std::string name;
  MacAddress mac{};
  int socket = -1;
  // Where every message goes (255.255.255.255:5000); its port is also the
  // only source port from which a datagram is accepted.
  sockaddr_in destination{};
  sockaddr_in lastSource{};  // written by each receive
};

// The conversation with the installation server.
struct ExchangeState {
  uint32_t sentSeq = 0;  // last message stamped by this side
  uint32_t recvSeq = 0;  // last message accepted from the peer
  MacAddress localMac{};
  MacAddress peerMac{};  // all zero while no server has been accepted
};

struct FileDownload;

// Owned by the installation driver for the whole run.
struct ServerLink {
  ServerLink();
  ~ServerLink();  // closes every interface
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  uint32_t interfaceCount() const { return static_cast<uint32_t>(interfaces.size()); }
  NetInterface* selectedInterface() const;

  std::vector<std::unique_ptr<NetInterface>> interfaces;  // /proc/net/dev order
  int32_t selected = -1;  // interface on which the accepted offer arrived
  ExchangeState exchangeState;
  std::unique_ptr<FileDownload> download;
  uint32_t discoveryCycles = 0;  // since the interface list was last built
  timeval waitTimer{};           // what is left of the current discovery cycle
};

// One file being read from the server.
struct FileDownload {
  static constexpr size_t NAME_SIZE = 80;

  char name[NAME_SIZE + 1] = {};  // first 80 bytes of the FILE header's name line
  int32_t fileSize = 0;           // announced size; 0 when the reply was no FILE header
  int32_t available = 0;          // payload length of the data reply in `reply`
  int32_t offset = 0;             // bytes of that payload already delivered
  uint8_t reply[PACKET_SIZE] = {};
  NetInterface* iface = nullptr;
  ExchangeState* state = nullptr;
};

}  // namespace deployboot
