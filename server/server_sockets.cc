#include "server/server_sockets.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace deployboot::serve {

namespace {

long readNumber(const std::string& path, int base) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text)) return -1;
  return std::strtol(text.c_str(), nullptr, base);
}

bool fail(std::string* error, const std::string& text, int fd) {
  *error = text;
  if (fd >= 0) close(fd);
  return false;
}

}  // namespace

bool defaultInterfaces(std::vector<std::string>* names, std::string* error) {
  names->clear();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", ec)) {
    const std::string dir = entry.path().string();
    if (readNumber(dir + "/type", 10) != ARPHRD_ETHER) continue;
    const long flags = readNumber(dir + "/flags", 16);
    if (flags < 0 || !(flags & IFF_UP)) continue;
    names->push_back(entry.path().filename().string());
  }
  std::sort(names->begin(), names->end());
  if (names->empty()) {
    *error = "no Ethernet interface is up; name one with -i";
    return false;
  }
  return true;
}

bool openServerInterface(const std::string& name, ServerInterface* iface, std::string* error) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return fail(error, std::string("socket: ") + std::strerror(errno), -1);
  ifreq req{};
  std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (ioctl(s, SIOCGIFHWADDR, &req) != 0)
    return fail(error, "interface " + name + ": " + std::strerror(errno), s);
  const MacAddress mac = macAt(reinterpret_cast<const uint8_t*>(req.ifr_hwaddr.sa_data));
  if (isZeroMac(mac)) return fail(error, "interface " + name + " has no hardware address", s);

  const int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return fail(error, std::string("setsockopt: ") + std::strerror(errno), s);
  if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                 static_cast<socklen_t>(name.size() + 1)) != 0)
    return fail(error, "interface " + name + ": cannot bind to it: " + std::strerror(errno) +
                           " (deployserve needs root or CAP_NET_RAW)", s);
  // Big buffers: several routers may be served at once.
  const int buffer = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(PROTOCOL_PORT);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    return fail(error, "interface " + name + ": port 5000: " + std::strerror(errno), s);
  iface->name = name;
  iface->mac = mac;
  iface->socket = s;
  return true;
}

bool broadcast(const ServerInterface& iface, const std::vector<uint8_t>& data) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  to.sin_port = htons(PROTOCOL_PORT);
  return sendto(iface.socket, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(data.size());
}

void closeServerInterface(ServerInterface* iface) {
  if (iface->socket >= 0) close(iface->socket);
  iface->socket = -1;
}

}  // namespace deployboot::serve
