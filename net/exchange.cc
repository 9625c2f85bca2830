#include "net/exchange.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "support/endian.h"

namespace deployboot {

namespace {

// a - b in 16-bit serial arithmetic: negative when a is behind b.
int16_t serialDistance(uint16_t a, uint16_t b) { return static_cast<int16_t>(a - b); }

timeval toTimeval(uint64_t micros) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(micros / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  return tv;
}

}  // namespace

void clearPacket(uint8_t* buffer) { std::memset(buffer, 0, PACKET_SIZE); }

void stampHeader(ExchangeState& state, uint8_t* buffer, uint16_t payloadLength) {
  storeLe16(buffer + HEADER_LENGTH, payloadLength);
  storeLe16(buffer + HEADER_ACK, static_cast<uint16_t>(state.recvSeq));
  state.sentSeq += 1;
  storeLe16(buffer + HEADER_SEQUENCE, static_cast<uint16_t>(state.sentSeq));
  std::memcpy(buffer + HEADER_SOURCE, state.localMac.data(), MAC_SIZE);
  std::memcpy(buffer + HEADER_DESTINATION, state.peerMac.data(), MAC_SIZE);
}

int sendDatagram(NetInterface& iface, const uint8_t* buffer, size_t length) {
  return static_cast<int>(sendto(iface.socket, buffer, length, 0,
                                 reinterpret_cast<const sockaddr*>(&iface.destination),
                                 sizeof iface.destination));
}

int receiveDatagram(NetInterface& iface, uint8_t* buffer) {
  socklen_t size = sizeof iface.lastSource;
  // MSG_TRUNC reports the datagram's real length: cut to the buffer, a
  // longer one would pass for a whole reply whose length field fits.
  const ssize_t n = recvfrom(iface.socket, buffer, PACKET_SIZE, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&iface.lastSource), &size);
  if (n < 0 || n > static_cast<ssize_t>(PACKET_SIZE)) return -1;
  if (iface.lastSource.sin_port != iface.destination.sin_port) return -1;
  return static_cast<int>(n);
}

bool acceptReply(ExchangeState& state, uint8_t* buffer, int length) {
  if (length < static_cast<int>(HEADER_SIZE)) {
    std::memset(buffer, 0, HEADER_SIZE);
    return false;
  }
  const MessageHeader h = MessageHeader::read(buffer);
  if (length != static_cast<int>(HEADER_SIZE) + h.payloadLength) return false;
  if (h.source == state.localMac) return false;  // our own broadcast
  if (isZeroMac(h.destination)) {
    if (!isZeroMac(state.peerMac)) return false;
  } else if (h.destination != state.localMac) {
    return false;
  }
  if (!isZeroMac(state.peerMac) && h.source != state.peerMac) return false;
  if (serialDistance(h.acknowledgement, static_cast<uint16_t>(state.sentSeq)) > 0) return false;
  if (h.sequence != static_cast<uint16_t>(state.recvSeq + 1)) return false;
  state.recvSeq += 1;
  return true;
}

uint64_t nowMicros() {
  timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return static_cast<uint64_t>(tv.tv_sec) * 1000000 + static_cast<uint64_t>(tv.tv_usec);
}

bool waitReadable(int fd, uint64_t micros) {
  const uint64_t deadline = nowMicros() + micros;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    const uint64_t now = nowMicros();
    timeval left = toTimeval(deadline > now ? deadline - now : 0);
    const int ready = select(fd + 1, &readable, nullptr, nullptr, &left);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

int exchange(NetInterface& iface, ExchangeState& state, const uint8_t* request, uint8_t* reply,
             uint32_t timeoutMicros, int attempts) {
  const size_t length = HEADER_SIZE + loadLe16(request + HEADER_LENGTH);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (sendDatagram(iface, request, length) != static_cast<int>(length)) return -1;
    const uint64_t deadline = nowMicros() + timeoutMicros;
    for (;;) {
      const uint64_t now = nowMicros();
      if (now >= deadline) break;
      if (!waitReadable(iface.socket, deadline - now)) continue;
      const int received = receiveDatagram(iface, reply);
      if (received >= 0 && acceptReply(state, reply, received)) return received;
    }
  }
  return -1;
}

}  // namespace deployboot
