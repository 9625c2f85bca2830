// The message header and the stop-and-wait exchange on which discovery and
// file transfer are built.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/server_link.h"

namespace deployboot {

// Zeroes the PACKET_SIZE bytes of a message buffer.
void clearPacket(uint8_t* buffer);

// Fills the header of an outgoing message whose payload is already in
// place at HEADER_PAYLOAD; advances `sentSeq`.
void stampHeader(ExchangeState& state, uint8_t* buffer, uint16_t payloadLength);

// One sendto of `length` bytes to the interface's destination.
int sendDatagram(NetInterface& iface, const uint8_t* buffer, size_t length);

// One non-blocking receive of up to PACKET_SIZE bytes. Returns the datagram
// length, or -1 when nothing arrived, it came from another port than the
// one we send to, or it was longer than PACKET_SIZE.
int receiveDatagram(NetInterface& iface, uint8_t* buffer);

// Whether `buffer` is the reply we wait for: well-formed, from the peer (or
// from anyone while there is none), to us, acknowledging nothing we have
// not sent and carrying the next sequence number. Sequence numbers travel
// as 16 bits and are compared in 16-bit serial arithmetic, so a
// conversation may exceed 65 535 messages. Advances `recvSeq` on success.
bool acceptReply(ExchangeState& state, uint8_t* buffer, int length);

// Sends the stamped `request` and waits up to `timeoutMicros` for an
// accepted reply, re-sending the same bytes up to `attempts` times in all.
// Returns the reply's datagram length, or -1.
int exchange(NetInterface& iface, ExchangeState& state, const uint8_t* request, uint8_t* reply,
             uint32_t timeoutMicros, int attempts);

// Wall-clock microseconds; 0 when the clock cannot be read.
uint64_t nowMicros();

// Whether `fd` becomes readable within `micros`; false on time-out or error
// (EINTR resumes the wait with the time left).
bool waitReadable(int fd, uint64_t micros);

}  // namespace deployboot
