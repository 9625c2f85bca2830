// One installation conversation with one router, and the set of them a
// server keeps. No sockets here: datagrams in, datagrams out.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "net/server_link.h"
#include "server/catalog.h"

namespace deployboot::serve {

using Datagram = std::vector<uint8_t>;

// What a router says about itself in its DSCV.
struct ClientInfo {
  std::string textA, textB, board, architecture, minimumVersion;
};

// Reads the six DSCV lines; false when the payload is no DSCV.
bool parseDiscovery(const uint8_t* payload, size_t length, ClientInfo* info);

struct ServeSettings {
  std::string offerText = "deployserve";
  bool keep = false;  // ask the routers to keep their configuration
};

// Something the operator is told about.
struct Event {
  enum Kind { ClientFound, Linked, FileStarted, FileFinished, Finished, Failed, NotAllowed };
  Kind kind;
  MacAddress client;
  std::string text;  // the file name, the failure, or the client's description
};

class Session {
 public:
  enum Phase { Offered, Linked, Started, SendingFile, ListEnded, Terminated };

  Session(const MacAddress& serverMac, const MacAddress& clientMac, ClientInfo info,
          std::vector<const ServedFile*> files, const ServeSettings& settings);

  // The OFFR for the client's DSCV: sequence 1, acknowledgement 0.
  const Datagram& offer() const { return offer_; }

  // A request addressed to this server by this client. The reply to send,
  // or nothing when the request is to be ignored. A repeated request (the
  // same client sequence as the last one answered) gets the very same
  // reply again.
  std::optional<Datagram> handle(const MessageHeader& header, const uint8_t* payload,
                                 std::vector<Event>* events);

  Phase phase() const { return phase_; }
  const ClientInfo& info() const { return info_; }
  bool failed() const { return failed_; }

  // Progress over all files of this client.
  uint64_t bytesSent() const { return bytesSent_; }
  uint64_t bytesTotal() const { return bytesTotal_; }
  std::string currentFile() const;

  uint64_t lastActivity = 0;  // microseconds, kept by the owner

 private:
  std::optional<std::string> respond(const std::string& word, std::vector<Event>* events);
  std::string nextFileHeader(std::vector<Event>* events);
  std::optional<std::string> nextData(std::vector<Event>* events);
  Datagram datagram(uint16_t sequence, uint16_t ack, const std::string& payload) const;

  MacAddress serverMac_, clientMac_;
  ClientInfo info_;
  std::vector<const ServedFile*> files_;
  size_t nextFile_ = 0;
  std::ifstream current_;
  Phase phase_ = Offered;
  bool failed_ = false;

  uint16_t serverSeq_ = 1;  // the OFFR was 1
  bool answered_ = false;   // whether lastClientSeq_ and lastReply_ hold anything
  uint16_t lastClientSeq_ = 0;
  Datagram lastReply_;
  Datagram offer_;

  uint64_t bytesSent_ = 0, bytesTotal_ = 0;
};

// All conversations of one server: one per interface and client MAC.
class ServerCore {
 public:
  // Sessions silent this long while installing count as failed; offers
  // never acknowledged and finished sessions are forgotten after it.
  static constexpr uint64_t IDLE_LIMIT_US = 30'000'000;
  // A router that starts over has been silent at least this long before
  // its discovery counts (it repeats discovery every second).
  static constexpr uint64_t REDISCOVERY_QUIET_US = 2'000'000;

  ServerCore(const std::vector<ServedFile>& catalog, ServeSettings settings,
             std::set<MacAddress> allowed);

  // A datagram received on interface `iface` (hardware address `ifaceMac`).
  // Returns the datagrams to broadcast on that interface.
  std::vector<Datagram> receive(int iface, const MacAddress& ifaceMac, const uint8_t* data,
                                size_t length, uint64_t now, std::vector<Event>* events);

  // Drops idle sessions, reporting those that stopped mid-installation.
  void expire(uint64_t now, std::vector<Event>* events);

  int finishedCount() const { return finished_; }
  const std::map<std::pair<int, MacAddress>, std::unique_ptr<Session>>& sessions() const {
    return sessions_;
  }

 private:
  const std::vector<ServedFile>& catalog_;
  ServeSettings settings_;
  std::set<MacAddress> allowed_;  // empty: everyone
  std::set<MacAddress> refused_;  // already reported as not allowed
  std::map<std::pair<int, MacAddress>, std::unique_ptr<Session>> sessions_;
  int finished_ = 0;
};

}  // namespace deployboot::serve
