// The server's side of the segment: one broadcast socket per interface.
#pragma once

#include <string>
#include <vector>

#include "net/server_link.h"

namespace deployboot::serve {

struct ServerInterface {
  std::string name;
  MacAddress mac{};
  int socket = -1;
};

// Every Ethernet interface that is up. False with `error` when there is none.
bool defaultInterfaces(std::vector<std::string>* names, std::string* error);

// A socket bound to port 5000 on `name` alone, broadcasting; false with
// `error` for a missing interface or one without a hardware address.
bool openServerInterface(const std::string& name, ServerInterface* iface, std::string* error);

// Broadcasts `data` to 255.255.255.255:5000 through the interface.
bool broadcast(const ServerInterface& iface, const std::vector<uint8_t>& data);

void closeServerInterface(ServerInterface* iface);

}  // namespace deployboot::serve
