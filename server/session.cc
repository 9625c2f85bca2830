#include "server/session.h"

#include <algorithm>
#include <cstring>

namespace deployboot::serve {

namespace {

bool begins(const std::string& text, const char* word) { return text.rfind(word, 0) == 0; }

// The request's word: the payload's first four bytes.
std::string requestWord(const uint8_t* payload, size_t length) {
  return std::string(reinterpret_cast<const char*>(payload), std::min<size_t>(length, 4));
}

}  // namespace

bool parseDiscovery(const uint8_t* payload, size_t length, ClientInfo* info) {
  const char* text = reinterpret_cast<const char*>(payload);
  std::string all(text, strnlen(text, length));
  if (!begins(all, "DSCV\n")) return false;
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = all.find('\n', start)) != std::string::npos) {
    lines.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  lines.resize(6);
  *info = ClientInfo{lines[1], lines[2], lines[3], lines[4], lines[5]};
  return true;
}

Session::Session(const MacAddress& serverMac, const MacAddress& clientMac, ClientInfo info,
                 std::vector<const ServedFile*> files, const ServeSettings& settings)
    : serverMac_(serverMac), clientMac_(clientMac), info_(std::move(info)), files_(std::move(files)) {
  for (const ServedFile* f : files_) bytesTotal_ += f->size;
  std::string text = "OFFR\n" + settings.offerText + "\n";
  if (settings.keep) text += "keep\n";
  offer_ = datagram(1, 0, text);
}

Datagram Session::datagram(uint16_t sequence, uint16_t ack, const std::string& payload) const {
  Datagram d(HEADER_SIZE + payload.size());
  MessageHeader h;
  h.source = serverMac_;
  h.destination = clientMac_;
  h.payloadLength = static_cast<uint16_t>(payload.size());
  h.sequence = sequence;
  h.acknowledgement = ack;
  h.write(d.data());
  std::memcpy(d.data() + HEADER_SIZE, payload.data(), payload.size());
  return d;
}

std::string Session::currentFile() const {
  if (phase_ != SendingFile || nextFile_ == 0) return "";
  return files_[nextFile_ - 1]->name;
}

std::optional<Datagram> Session::handle(const MessageHeader& header, const uint8_t* payload,
                                        std::vector<Event>* events) {
  if (answered_ && header.sequence == lastClientSeq_) return lastReply_;
  // The first request after the offer is the YACK, sequence 1.
  const uint16_t expected = answered_ ? static_cast<uint16_t>(lastClientSeq_ + 1) : 1;
  if (header.sequence != expected) return std::nullopt;
  const auto reply = respond(requestWord(payload, header.payloadLength), events);
  if (!reply) return std::nullopt;
  serverSeq_ = static_cast<uint16_t>(serverSeq_ + 1);
  lastReply_ = datagram(serverSeq_, header.sequence, *reply);
  lastClientSeq_ = header.sequence;
  answered_ = true;
  return lastReply_;
}

std::optional<std::string> Session::respond(const std::string& word,
                                             std::vector<Event>* events) {
  if (word == "WTRM" && phase_ != Offered) {
    if (phase_ != Terminated) events->push_back({Event::Finished, clientMac_, ""});
    phase_ = Terminated;
    current_.close();
    return std::string("TERM\n");
  }
  switch (phase_) {
    case Offered:
      if (!begins(word, "YACK")) return std::nullopt;
      phase_ = Linked;
      events->push_back({Event::Linked, clientMac_, ""});
      return std::string("LINK\n");
    case Linked:
      if (word != "STRT") return std::nullopt;
      phase_ = Started;
      return std::string("STRT\n");
    case Started:
    case ListEnded:
      if (word != "RETR") return std::nullopt;
      return nextFileHeader(events);
    case SendingFile:
      if (word != "RETR") return std::nullopt;
      return nextData(events);
    case Terminated:
      return std::nullopt;
  }
  return std::nullopt;
}

std::string Session::nextFileHeader(std::vector<Event>* events) {
  while (nextFile_ < files_.size()) {
    const ServedFile& f = *files_[nextFile_++];
    current_.close();
    current_.clear();
    current_.open(f.path, std::ios::binary);
    if (!current_) {
      events->push_back({Event::Failed, clientMac_, f.path + ": cannot be read; skipped"});
      bytesTotal_ -= std::min(bytesTotal_, f.size);
      continue;
    }
    phase_ = SendingFile;
    events->push_back({Event::FileStarted, clientMac_, f.name});
    return "FILE\n" + f.name + "\n" + std::to_string(f.size) + "\n";
  }
  phase_ = ListEnded;
  return "DONE\n";  // anything but a FILE header ends the list
}

std::optional<std::string> Session::nextData(std::vector<Event>* events) {
  std::string piece(MAX_PAYLOAD, '\0');
  current_.read(piece.data(), static_cast<std::streamsize>(piece.size()));
  piece.resize(static_cast<size_t>(current_.gcount()));
  if (current_.bad()) {
    // Silence makes the router report a bad connection and stop.
    failed_ = true;
    events->push_back({Event::Failed, clientMac_, currentFile() + ": read error"});
    return std::nullopt;
  }
  if (piece.empty()) {
    events->push_back({Event::FileFinished, clientMac_, currentFile()});
    current_.close();
    phase_ = Started;
    return std::string();
  }
  bytesSent_ += piece.size();
  return piece;
}

ServerCore::ServerCore(const std::vector<ServedFile>& catalog, ServeSettings settings,
                       std::set<MacAddress> allowed)
    : catalog_(catalog), settings_(std::move(settings)), allowed_(std::move(allowed)) {}

std::vector<Datagram> ServerCore::receive(int iface, const MacAddress& ifaceMac,
                                          const uint8_t* data, size_t length, uint64_t now,
                                          std::vector<Event>* events) {
  if (length < HEADER_SIZE) return {};
  const MessageHeader h = MessageHeader::read(data);
  if (length != HEADER_SIZE + h.payloadLength) return {};
  if (h.source == ifaceMac) return {};  // our own broadcast
  const uint8_t* payload = data + HEADER_SIZE;
  const bool toAnyone = isZeroMac(h.destination);
  if (!toAnyone && h.destination != ifaceMac) return {};  // for someone else
  if (!allowed_.empty() && allowed_.count(h.source) == 0) {
    if (refused_.insert(h.source).second)
      events->push_back({Event::NotAllowed, h.source, ""});
    return {};
  }

  const auto key = std::make_pair(iface, h.source);
  auto found = sessions_.find(key);
  if (toAnyone) {
    ClientInfo info;
    if (!parseDiscovery(payload, h.payloadLength, &info)) return {};
    if (found != sessions_.end()) {
      Session& old = *found->second;
      if (old.phase() == Session::Offered) {  // our offer was lost or not taken
        old.lastActivity = now;
        return {old.offer()};
      }
      // A discovery the network delayed or repeated, arriving after the
      // router took the offer: ignored, or it would end a live session.
      if (now < old.lastActivity + REDISCOVERY_QUIET_US) return {};
      if (old.phase() != Session::Terminated && !old.failed())
        events->push_back({Event::Failed, h.source, "started over"});
      sessions_.erase(found);
    }
    auto session = std::make_unique<Session>(ifaceMac, h.source, info,
                                             filesForClient(catalog_, info.architecture), settings_);
    session->lastActivity = now;
    events->push_back({Event::ClientFound, h.source,
                       "board " + info.board + ", architecture " + info.architecture +
                           ", minimum version " + info.minimumVersion});
    Datagram offer = session->offer();
    sessions_[key] = std::move(session);
    return {offer};
  }
  if (found == sessions_.end()) return {};
  Session& session = *found->second;
  const bool wasTerminated = session.phase() == Session::Terminated;
  auto reply = session.handle(h, payload, events);
  if (!reply) return {};
  session.lastActivity = now;
  if (!wasTerminated && session.phase() == Session::Terminated) ++finished_;
  return {*reply};
}

void ServerCore::expire(uint64_t now, std::vector<Event>* events) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    const Session& s = *it->second;
    if (now < s.lastActivity + IDLE_LIMIT_US) {
      ++it;
      continue;
    }
    const bool installing = s.phase() != Session::Offered && s.phase() != Session::Terminated;
    if (installing && !s.failed()) {
      const std::string file = s.currentFile();
      events->push_back({Event::Failed, it->first.second,
                         "no requests for 30 s" + (file.empty() ? "" : " during " + file)});
    }
    it = sessions_.erase(it);
  }
}

}  // namespace deployboot::serve
