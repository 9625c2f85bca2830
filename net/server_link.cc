#include "net/server_link.h"

#include <cstdio>
#include <cstring>

#include "net/interfaces.h"
#include "support/endian.h"

namespace deployboot {

MessageHeader MessageHeader::read(const uint8_t* packet) {
  MessageHeader h;
  h.source = macAt(packet + HEADER_SOURCE);
  h.destination = macAt(packet + HEADER_DESTINATION);
  h.payloadLength = loadLe16(packet + HEADER_LENGTH);
  h.sequence = loadLe16(packet + HEADER_SEQUENCE);
  h.acknowledgement = loadLe16(packet + HEADER_ACK);
  return h;
}

void MessageHeader::write(uint8_t* packet) const {
  std::memcpy(packet + HEADER_SOURCE, source.data(), MAC_SIZE);
  std::memcpy(packet + HEADER_DESTINATION, destination.data(), MAC_SIZE);
  storeLe16(packet + HEADER_RESERVED, 0);
  storeLe16(packet + HEADER_LENGTH, payloadLength);
  storeLe16(packet + HEADER_SEQUENCE, sequence);
  storeLe16(packet + HEADER_ACK, acknowledgement);
}

bool isZeroMac(const MacAddress& mac) {
  for (uint8_t b : mac)
    if (b != 0) return false;
  return true;
}

MacAddress macAt(const uint8_t* p) {
  MacAddress mac;
  std::memcpy(mac.data(), p, MAC_SIZE);
  return mac;
}

std::string formatMac(const MacAddress& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
  return text;
}

ServerLink::ServerLink() = default;

ServerLink::~ServerLink() { closeInterfaces(*this); }

NetInterface* ServerLink::selectedInterface() const {
  if (selected < 0 || static_cast<size_t>(selected) >= interfaces.size()) return nullptr;
  return interfaces[selected].get();
}

}  // namespace deployboot
