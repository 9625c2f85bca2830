// The server's replies on arbitrary datagrams: the header test that every
// reply passes first, then the OFFR and FILE parsers on the payload. The
// parsers also get the payload alone in a buffer of exactly its length,
// so that a read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/discovery.h"
#include "net/exchange.h"
#include "net/file_transfer.h"
#include "net/server_link.h"
#include "support/endian.h"

namespace deployboot {
namespace {

constexpr MacAddress LOCAL = {0x02, 0, 0, 0, 0, 0x01};
constexpr MacAddress SERVER = {0x02, 0, 0, 0, 0, 0x02};

void checkOffer(const uint8_t* payload, size_t length) {
  char offerText[OFFER_TEXT_SIZE];
  std::memset(offerText, 'X', sizeof offerText);
  bool keep = false;
  if (!parseOffer(payload, length, offerText, &keep)) return;
  if (!std::memchr(offerText, 0, sizeof offerText)) fuzzing::violated("offer text not terminated");
  if (std::memchr(offerText, '\n', std::strlen(offerText))) fuzzing::violated("offer text spans lines");
}

void checkFileHeader(const uint8_t* payload, size_t length) {
  FileDownload download;
  std::memset(download.name, 'X', sizeof download.name);
  if (!parseFileHeader(payload, length, download)) return;
  if (!std::memchr(download.name, 0, sizeof download.name)) fuzzing::violated("file name not terminated");
  if (download.fileSize < 0) fuzzing::violated("negative size accepted");
}

// As discovery sees it: counters zero, no peer yet.
void asOffer(const uint8_t* data, size_t size) {
  uint8_t packet[PACKET_SIZE] = {};
  std::memcpy(packet, data, size);
  ExchangeState state;
  state.localMac = LOCAL;
  if (!acceptReply(state, packet, static_cast<int>(size))) return;
  const MessageHeader h = MessageHeader::read(packet);
  if (HEADER_SIZE + h.payloadLength != size) fuzzing::violated("reply length not checked");
  if (state.recvSeq != 1) fuzzing::violated("accepted an offer out of sequence");
  checkOffer(packet + HEADER_PAYLOAD, h.payloadLength);
}

// As the file transfer sees it: linked to the server after STRT.
void asFileHeader(const uint8_t* data, size_t size) {
  uint8_t packet[PACKET_SIZE] = {};
  std::memcpy(packet, data, size);
  ExchangeState state;
  state.localMac = LOCAL;
  state.peerMac = SERVER;
  state.sentSeq = 3;
  state.recvSeq = 3;
  if (!acceptReply(state, packet, static_cast<int>(size))) return;
  if (MessageHeader::read(packet).source != SERVER) fuzzing::violated("reply from another host");
  checkFileHeader(packet + HEADER_PAYLOAD, loadLe16(packet + HEADER_LENGTH));
}

}  // namespace
}  // namespace deployboot

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace deployboot;
  if (size > PACKET_SIZE) return 0;  // a receive never delivers more
  asOffer(data, size);
  asFileHeader(data, size);
  // The payload alone, in a buffer of exactly its size.
  if (size > HEADER_SIZE) {
    const std::vector<uint8_t> payload(data + HEADER_SIZE, data + size);
    checkOffer(payload.data(), payload.size());
    checkFileHeader(payload.data(), payload.size());
  }
  return 0;
}
