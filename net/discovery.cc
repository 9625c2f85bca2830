#include "net/discovery.h"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/exchange.h"
#include "net/interfaces.h"
#include "support/endian.h"

namespace deployboot {

namespace {

// Every 60th cycle rebuilds the interface list, so that an interface that
// appears after start is used within about a minute.
constexpr uint32_t REBUILD_CYCLES = 60;
constexpr size_t MAX_OFFER_LINE = OFFER_TEXT_SIZE - 1;
constexpr uint32_t ACK_TIMEOUT_US = 1000000;
constexpr int ACK_ATTEMPTS = 5;

void resetExchange(ExchangeState& state) {
  state.sentSeq = state.recvSeq = 0;
  state.localMac = {};
  state.peerMac = {};
}

// One DSCV per interface; every copy carries sequence 1, acknowledgement 0
// and its interface's address as source.
void broadcastDiscovery(ServerLink& link, uint8_t* request, uint16_t payloadLength) {
  ExchangeState& state = link.exchangeState;
  for (auto& iface : link.interfaces) {
    state.localMac = iface->mac;
    stampHeader(state, request, payloadLength);
    state.sentSeq = state.recvSeq = 0;
    if (sendDatagram(*iface, request, HEADER_SIZE + payloadLength) < 0) break;
  }
}

bool isOffer(ExchangeState& state, uint8_t* packet, int length) {
  if (!acceptReply(state, packet, length)) return false;
  const MessageHeader h = MessageHeader::read(packet);
  return !isZeroMac(h.destination) && h.payloadLength >= 4 &&
         std::memcmp(packet + HEADER_PAYLOAD, "OFFR", 4) == 0;
}

// Reads one ready interface dry. True when an offer was taken.
bool takeOfferFrom(ServerLink& link, int index, uint8_t* packet, char* offerText, bool* keep) {
  NetInterface& iface = *link.interfaces[index];
  ExchangeState& state = link.exchangeState;
  int length;
  while ((length = receiveDatagram(iface, packet)) > 0) {
    resetExchange(state);
    state.localMac = iface.mac;
    if (!isOffer(state, packet, length)) continue;
    link.selected = index;
    state.peerMac = macAt(packet + HEADER_SOURCE);
    if (parseOffer(packet + HEADER_PAYLOAD, loadLe16(packet + HEADER_LENGTH), offerText, keep))
      return true;
  }
  return false;
}

// Waits out what is left of the cycle for an offer on any interface.
bool waitForOffer(ServerLink& link, uint8_t* packet, char* offerText, bool* keep) {
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    int highest = -1;
    for (auto& iface : link.interfaces) {
      FD_SET(iface->socket, &readable);
      highest = std::max(highest, iface->socket);
    }
    // Linux leaves the unspent time in the timer, so all waits of one
    // cycle together last at most one second.
    const int ready = select(highest + 1, &readable, nullptr, nullptr, &link.waitTimer);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    for (size_t i = 0; i < link.interfaces.size(); ++i) {
      if (!FD_ISSET(link.interfaces[i]->socket, &readable)) continue;
      if (takeOfferFrom(link, static_cast<int>(i), packet, offerText, keep)) return true;
    }
  }
}

void runCycle(ServerLink& link, uint8_t* request, const DiscoveryInfo& info) {
  clearPacket(request);
  const uint16_t payloadLength = writeDiscoveryPayload(request, info);
  if (++link.discoveryCycles >= REBUILD_CYCLES) {
    closeInterfaces(link);
    openInterfaces(link);
    link.discoveryCycles = 0;
  }
  link.waitTimer.tv_sec = 1;
  link.waitTimer.tv_usec = 0;
  link.selected = -1;
  resetExchange(link.exchangeState);
  broadcastDiscovery(link, request, payloadLength);
}

bool acknowledgeOffer(ServerLink& link) {
  uint8_t request[PACKET_SIZE];
  uint8_t reply[PACKET_SIZE];
  clearPacket(request);
  clearPacket(reply);
  std::memcpy(request + HEADER_PAYLOAD, "YACK\n", 5);
  stampHeader(link.exchangeState, request, 5);
  return exchange(*link.selectedInterface(), link.exchangeState, request, reply, ACK_TIMEOUT_US,
                  ACK_ATTEMPTS) >= 0;
}

}  // namespace

uint16_t writeDiscoveryPayload(uint8_t* packet, const DiscoveryInfo& info) {
  std::string text = "DSCV\n";
  for (const std::string* line : {&info.textA, &info.textB, &info.boardShortName,
                                  &info.architecture, &info.minimumVersion}) {
    std::string clean = *line;
    std::replace(clean.begin(), clean.end(), '\n', ' ');
    text += clean + "\n";
  }
  if (text.size() > MAX_PAYLOAD - 1) text.resize(MAX_PAYLOAD - 1);
  std::memcpy(packet + HEADER_PAYLOAD, text.data(), text.size());
  packet[HEADER_PAYLOAD + text.size()] = 0;
  return static_cast<uint16_t>(text.size() + 1);
}

bool parseOffer(const uint8_t* payload, size_t length, char offerText[OFFER_TEXT_SIZE], bool* keep) {
  const char* text = reinterpret_cast<const char*>(payload);
  const size_t size = strnlen(text, length);
  if (size < 4 || std::memcmp(text, "OFFR", 4) != 0) return false;
  const char* end = text + size;
  const char* line1End = std::find(text, end, '\n');
  if (line1End == end) return false;
  const char* line2 = line1End + 1;
  const char* line2End = std::find(line2, end, '\n');
  if (line2End == end || static_cast<size_t>(line2End - line2) > MAX_OFFER_LINE) return false;
  std::memcpy(offerText, line2, line2End - line2);
  offerText[line2End - line2] = 0;
  const char* line3 = line2End + 1;
  const char* line3End = std::find(line3, end, '\n');
  *keep = line3End != end && std::string(line3, line3End) == "keep";
  return true;
}

int discoverServer(ServerLink& link, const std::string& architecture, const std::string& textA,
                   const std::string& textB, const std::string& boardShortName,
                   char offerText[OFFER_TEXT_SIZE], bool* keep) {
  uint8_t request[PACKET_SIZE];
  DiscoveryInfo info{textA, textB, boardShortName, architecture, ""};
  for (;;) {
    *keep = false;
    bool offered = false;
    while (!offered) {
      info.minimumVersion = minimumSystemVersionText();
      runCycle(link, request, info);
      offered = waitForOffer(link, request, offerText, keep);
    }
    if (acknowledgeOffer(link)) return 1;
  }
}

}  // namespace deployboot
