#include "net/interfaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace deployboot {

static_assert(SIOCGIFHWADDR == 0x8927);
static_assert(SIOCGIFFLAGS == 0x8913);
static_assert(SIOCSIFFLAGS == 0x8914);
static_assert(SIOCGIFADDR == 0x8915);
static_assert(SIOCSIFADDR == 0x8916);
static_assert((IFF_UP | IFF_RUNNING | IFF_PROMISC) == 0x141);

namespace {

// The protocol number of the query socket; it only carries interface
// requests, never traffic.
constexpr int QUERY_PROTOCOL = 250;

ifreq requestFor(const std::string& name) {
  ifreq req;
  std::memset(&req, 0, sizeof req);
  std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return req;
}

sockaddr_in ipv4Address(in_addr_t address, uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  return a;
}

// Up, running and promiscuous, with an IPv4 address (0.0.0.0 when it had
// none), and bound to port 5000 on this interface alone.
bool prepareSocket(NetInterface& iface) {
  const int s = iface.socket;
  const int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;
  fcntl(s, F_SETFL, O_NONBLOCK);
  if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, iface.name.c_str(),
                 static_cast<socklen_t>(iface.name.size() + 1)) != 0)
    return false;
  ifreq req = requestFor(iface.name);
  if (ioctl(s, SIOCGIFFLAGS, &req) != 0) return false;
  req.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_PROMISC;
  if (ioctl(s, SIOCSIFFLAGS, &req) != 0) return false;
  req = requestFor(iface.name);
  if (ioctl(s, SIOCGIFADDR, &req) != 0) {
    req = requestFor(iface.name);
    const sockaddr_in any = ipv4Address(INADDR_ANY, 0);
    std::memcpy(&req.ifr_addr, &any, sizeof any);
    if (ioctl(s, SIOCSIFADDR, &req) != 0) return false;
  }
  const sockaddr_in local = ipv4Address(INADDR_ANY, PROTOCOL_PORT);
  return bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

std::unique_ptr<NetInterface> openInterface(const std::string& name, const MacAddress& mac) {
  auto iface = std::make_unique<NetInterface>();
  iface->name = name;
  iface->mac = mac;
  iface->socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (iface->socket < 0 || !prepareSocket(*iface)) {
    closeInterface(*iface);
    return nullptr;
  }
  iface->destination = ipv4Address(INADDR_BROADCAST, PROTOCOL_PORT);
  return iface;
}

}  // namespace

std::string interfaceNameOf(const std::string& line) {
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  const size_t end = line.find_first_of(" \t:", start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool openInterfaces(ServerLink& link) {
  link.interfaces.clear();
  std::ifstream devices("/proc/net/dev");
  if (!devices) return false;
  const int query = socket(AF_INET, SOCK_RAW, QUERY_PROTOCOL);
  if (query < 0) return false;

  std::vector<std::unique_ptr<NetInterface>> found;
  bool complete = true;
  std::string line;
  for (int header = 0; header < 2 && std::getline(devices, line); ++header) {
  }
  while (std::getline(devices, line)) {
    const std::string name = interfaceNameOf(line);
    if (name.empty()) continue;
    ifreq req = requestFor(name);
    // A failed query means the list cannot be trusted: no interfaces.
    if (ioctl(query, SIOCGIFHWADDR, &req) != 0) {
      complete = false;
      break;
    }
    const MacAddress mac = macAt(reinterpret_cast<const uint8_t*>(req.ifr_hwaddr.sa_data));
    if (isZeroMac(mac)) continue;  // loopback and the like
    if (auto iface = openInterface(name, mac)) found.push_back(std::move(iface));
  }
  close(query);
  if (!complete) {
    for (auto& iface : found) closeInterface(*iface);
    return false;
  }
  link.interfaces = std::move(found);
  return !link.interfaces.empty();
}

void closeInterface(NetInterface& iface) {
  if (iface.socket >= 0) close(iface.socket);
  iface.socket = -1;
}

void closeInterfaces(ServerLink& link) {
  for (auto& iface : link.interfaces) closeInterface(*iface);
  link.interfaces.clear();
}

}  // namespace deployboot
