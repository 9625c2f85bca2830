#include "net/file_transfer.h"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/exchange.h"
#include "support/endian.h"

namespace deployboot {

namespace {

// Builds a four-letter request in `request`, stamped once.
void buildRequest(ExchangeState& state, uint8_t* request, const char* word) {
  clearPacket(request);
  std::memcpy(request + HEADER_PAYLOAD, word, 4);
  stampHeader(state, request, 4);
}

bool payloadBegins(const uint8_t* packet, const char* word) {
  return loadLe16(packet + HEADER_LENGTH) >= 4 && std::memcmp(packet + HEADER_PAYLOAD, word, 4) == 0;
}

}  // namespace

bool startTransfer(ServerLink& link) {
  NetInterface* iface = link.selectedInterface();
  if (!iface) return false;
  uint8_t request[PACKET_SIZE];
  uint8_t reply[PACKET_SIZE];
  clearPacket(reply);
  buildRequest(link.exchangeState, request, "STRT");
  return exchange(*iface, link.exchangeState, request, reply, START_TIMEOUT_US, START_ATTEMPTS) >= 0;
}

bool parseFileHeader(const uint8_t* payload, size_t length, FileDownload& download) {
  const char* text = reinterpret_cast<const char*>(payload);
  const char* end = text + strnlen(text, length);
  if (end - text < 4 || std::memcmp(text, "FILE", 4) != 0) return false;
  const char* name = std::find(text, end, '\n');
  if (name == end) return false;
  ++name;
  const char* nameEnd = std::find(name, end, '\n');
  if (nameEnd == end) return false;
  const char* sizeEnd = std::find(nameEnd + 1, end, '\n');
  if (sizeEnd == end) return false;
  const std::string sizeText(nameEnd + 1, sizeEnd);
  const int size = std::atoi(sizeText.c_str());
  if (size < 0) return false;
  const size_t nameLength = std::min<size_t>(nameEnd - name, FileDownload::NAME_SIZE);
  std::memcpy(download.name, name, nameLength);
  download.name[nameLength] = 0;
  download.fileSize = size;
  return true;
}

bool requestNextFile(ServerLink& link) {
  NetInterface* iface = link.selectedInterface();
  link.download = std::make_unique<FileDownload>();
  if (!iface) return false;
  FileDownload& download = *link.download;
  download.iface = iface;
  download.state = &link.exchangeState;

  uint8_t request[PACKET_SIZE];
  buildRequest(link.exchangeState, request, "RETR");
  if (exchange(*iface, link.exchangeState, request, download.reply, HEADER_TIMEOUT_US,
               HEADER_ATTEMPTS) < 0)
    return false;
  if (!parseFileHeader(download.reply + HEADER_PAYLOAD, loadLe16(download.reply + HEADER_LENGTH),
                       download)) {
    download.fileSize = 0;
    download.name[0] = 0;
    return false;
  }
  return true;
}

int readFileData(FileDownload& download, uint8_t* destination, size_t capacity) {
  if (download.offset == download.available) {
    uint8_t request[PACKET_SIZE];
    buildRequest(*download.state, request, "RETR");
    if (exchange(*download.iface, *download.state, request, download.reply, DATA_TIMEOUT_US,
                 DATA_ATTEMPTS) < 0)
      return -1;
    download.available = loadLe16(download.reply + HEADER_LENGTH);
    download.offset = 0;
    if (download.available == 0) return 0;
  }
  const size_t n = std::min<size_t>(download.available - download.offset, capacity);
  std::memcpy(destination, download.reply + HEADER_PAYLOAD + download.offset, n);
  download.offset += static_cast<int32_t>(n);
  return static_cast<int>(n);
}

void waitForTermination(NetInterface& iface, ExchangeState& state, int consoleFd) {
  uint8_t request[PACKET_SIZE];
  uint8_t reply[PACKET_SIZE];
  clearPacket(reply);
  buildRequest(state, request, "WTRM");
  for (;;) {
    sendDatagram(iface, request, HEADER_SIZE + 4);
    timeval timer{1, 0};
    for (;;) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(consoleFd, &readable);
      FD_SET(iface.socket, &readable);
      const int ready =
          select(std::max(consoleFd, iface.socket) + 1, &readable, nullptr, nullptr, &timer);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;  // send again
      if (FD_ISSET(consoleFd, &readable)) return;
      const int length = receiveDatagram(iface, reply);
      if (length <= 0) break;
      if (!acceptReply(state, reply, length)) continue;
      if (payloadBegins(reply, "TERM")) return;
    }
  }
}

}  // namespace deployboot
