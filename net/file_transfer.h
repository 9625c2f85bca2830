// File transfer after discovery: STRT, FILE headers and data, WTRM/TERM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/server_link.h"

namespace deployboot {

// Per-request time-outs and attempts.
constexpr uint32_t START_TIMEOUT_US = 1000000;
constexpr int START_ATTEMPTS = 5;
constexpr uint32_t HEADER_TIMEOUT_US = 20000;
constexpr int HEADER_ATTEMPTS = 300;
constexpr uint32_t DATA_TIMEOUT_US = 30000;
constexpr int DATA_ATTEMPTS = 300;

// STRT; true when the server answered.
bool startTransfer(ServerLink& link);

// Replaces `link.download` with a fresh download and asks for the next FILE
// header. True when one arrived and parsed; false at the end of the list
// (no answer, no FILE header, malformed or negative size).
bool requestNextFile(ServerLink& link);

// Parses a FILE header payload (up to its first NUL or `length`) into the
// name and size of `download`. False when it is no well-formed FILE header
// or its size is negative.
bool parseFileHeader(const uint8_t* payload, size_t length, FileDownload& download);

// Copies up to `capacity` bytes of the current file into `destination`.
// Returns the count (at least 1), 0 at the end of the file, -1 when the
// server stopped answering. Must not be called again after it returned 0.
int readFileData(FileDownload& download, uint8_t* destination, size_t capacity);

// WTRM every second until the server answers TERM or `consoleFd` becomes
// readable (the input is left unread).
void waitForTermination(NetInterface& iface, ExchangeState& state, int consoleFd);

}  // namespace deployboot
