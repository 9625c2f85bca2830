#include "server/serve_loop.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/exchange.h"
#include "server/operator_output.h"
#include "server/session.h"

namespace deployboot::serve {

volatile sig_atomic_t stopRequested = 0;

namespace {

// After the last router has finished, repeated WTRMs (a lost TERM) are
// still answered this long before the server exits.
constexpr uint64_t LINGER_US = 2'000'000;
constexpr uint64_t TICK_US = 100'000;

// Reads every datagram waiting on one interface and answers it.
void drain(ServerCore& core, std::vector<ServerInterface>& interfaces, size_t index,
           OperatorOutput& out) {
  ServerInterface& iface = interfaces[index];
  uint8_t buffer[PACKET_SIZE + 1];
  for (;;) {
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = recvfrom(iface.socket, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0) return;
    if (ntohs(from.sin_port) != PROTOCOL_PORT || n > static_cast<ssize_t>(PACKET_SIZE)) continue;
    std::vector<Event> events;
    const auto replies = core.receive(static_cast<int>(index), iface.mac, buffer,
                                      static_cast<size_t>(n), nowMicros(), &events);
    for (const auto& reply : replies)
      if (!broadcast(iface, reply)) out.line("WARNING: " + iface.name + ": send failed");
    for (const auto& e : events) out.report(e);
  }
}

}  // namespace

int serve(const ServeOptions& options, const std::vector<ServedFile>& catalog,
          std::vector<ServerInterface>& interfaces, std::FILE* out) {
  ServerCore core(catalog, ServeSettings{options.offerText, options.keep}, options.allowed);
  OperatorOutput output(out, isatty(fileno(out)) == 1);
  for (const auto& iface : interfaces)
    output.line("serving " + std::to_string(catalog.size()) + " files on " + iface.name + " (" +
                formatMac(iface.mac) + ")");
  uint64_t doneSince = 0;
  while (!stopRequested) {
    const uint64_t now = nowMicros();
    if (options.count > 0 && core.finishedCount() >= options.count) {
      if (doneSince == 0) doneSince = now;
      if (now >= doneSince + LINGER_US) break;
    }
    fd_set readable;
    FD_ZERO(&readable);
    int highest = -1;
    for (const auto& iface : interfaces) {
      FD_SET(iface.socket, &readable);
      highest = std::max(highest, iface.socket);
    }
    timeval tick{0, static_cast<suseconds_t>(TICK_US)};
    const int ready = select(highest + 1, &readable, nullptr, nullptr, &tick);
    if (ready < 0 && errno != EINTR) {
      output.line("ERROR: select failed");
      return 1;
    }
    for (size_t i = 0; ready > 0 && i < interfaces.size(); ++i)
      if (FD_ISSET(interfaces[i].socket, &readable)) drain(core, interfaces, i, output);
    std::vector<Event> events;
    core.expire(nowMicros(), &events);
    for (const auto& e : events) output.report(e);
    output.progress(core, nowMicros());
  }
  output.line(std::to_string(core.finishedCount()) + " router(s) finished");
  return 0;
}

}  // namespace deployboot::serve
