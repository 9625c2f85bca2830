#include "server/operator_output.h"

#include <ctime>

namespace deployboot::serve {

std::string progressBar(uint64_t done, uint64_t total, int width) {
  const uint64_t percent = total == 0 ? 100 : std::min<uint64_t>(100, done * 100 / total);
  const int filled = static_cast<int>(percent * static_cast<uint64_t>(width) / 100);
  char number[8];
  std::snprintf(number, sizeof number, "%3u%%", static_cast<unsigned>(percent));
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " + number;
}

void OperatorOutput::clearStatus() {
  if (statusShown_) std::fputs("\r\033[K", out_);
  statusShown_ = false;
}

void OperatorOutput::line(const std::string& text) {
  clearStatus();
  const std::time_t now = std::time(nullptr);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
  std::fprintf(out_, "%s %s\n", stamp, text.c_str());
  std::fflush(out_);
  lastDraw_ = 0;  // redraw the bars at once
}

void OperatorOutput::report(const Event& e) {
  const std::string who = "router " + formatMac(e.client);
  switch (e.kind) {
    case Event::ClientFound: line(who + " found: " + e.text); break;
    case Event::Linked: line(who + ": took this server's offer"); break;
    case Event::FileStarted: line(who + ": sending " + e.text); break;
    case Event::FileFinished: line(who + ": sent " + e.text); break;
    case Event::Finished: line(who + ": installation finished"); break;
    case Event::Failed: line(who + ": FAILED: " + e.text); break;
    case Event::NotAllowed: line(who + ": ignored, not in --allow"); break;
  }
}

void OperatorOutput::progress(const ServerCore& core, uint64_t nowMicros) {
  if (!bars_ || (lastDraw_ != 0 && nowMicros < lastDraw_ + 100000)) return;
  lastDraw_ = nowMicros;
  std::string status;
  for (const auto& [key, session] : core.sessions()) {
    const Session::Phase p = session->phase();
    if (p != Session::Started && p != Session::SendingFile) continue;
    if (!status.empty()) status += "  ";
    const MacAddress& mac = key.second;
    char tail[8];
    std::snprintf(tail, sizeof tail, "%02X:%02X", mac[4], mac[5]);
    status += std::string(tail) + " " +
              progressBar(session->bytesSent(), session->bytesTotal(), 20) + " " +
              session->currentFile();
  }
  clearStatus();
  if (status.empty()) return;
  std::fputs(status.c_str(), out_);
  std::fflush(out_);
  statusShown_ = true;
}

}  // namespace deployboot::serve
