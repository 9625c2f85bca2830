// Finding the installation server: DSCV broadcasts, the first OFFR, YACK.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/server_link.h"

namespace deployboot {

constexpr size_t OFFER_TEXT_SIZE = 513;  // line 2 of an offer, NUL-terminated

// What a DSCV request tells the server about this board.
struct DiscoveryInfo {
  std::string textA;           // opaque line 2
  std::string textB;           // opaque line 3
  std::string boardShortName;  // line 4
  std::string architecture;    // line 5
  std::string minimumVersion;  // line 6, as text
};

// Cycles until a server's offer has been taken and acknowledged; returns 1.
// Then `link.selected`, the peer and the sequence counters are fixed on
// that server, `offerText` holds the offer's line 2 and `keep` whether it
// asked to keep the configuration. `minimumVersion` of `info` is read
// afresh from the board in every cycle.
int discoverServer(ServerLink& link, const std::string& architecture, const std::string& textA,
                   const std::string& textB, const std::string& boardShortName,
                   char offerText[OFFER_TEXT_SIZE], bool* keep);

// The DSCV payload: six lines and a terminating NUL that is part of it.
// Returns the payload length written at `packet + HEADER_PAYLOAD`.
uint16_t writeDiscoveryPayload(uint8_t* packet, const DiscoveryInfo& info);

// Parses an OFFR payload (up to its first NUL or `length`). False when
// line 1 or 2 is unterminated, line 2 exceeds 512 characters or line 1 is
// no OFFR; `offerText` and `keep` are then untouched.
bool parseOffer(const uint8_t* payload, size_t length, char offerText[OFFER_TEXT_SIZE], bool* keep);

// The board's minimum system version as DSCV line 6 ("0.0" when unknown).
std::string minimumSystemVersionText();

}  // namespace deployboot
