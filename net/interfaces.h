// The interface list: one broadcast socket per interface that has a
// hardware address, each bound to its interface and to port 5000.
#pragma once

#include <string>

#include "net/server_link.h"

namespace deployboot {

// Rebuilds `link.interfaces` from /proc/net/dev (closing nothing: the
// caller has emptied the list). Returns false when no interface is usable;
// the list is then empty.
bool openInterfaces(ServerLink& link);

// Closes the interface's socket, if it has one.
void closeInterface(NetInterface& iface);

// Closes and frees every interface of the list.
void closeInterfaces(ServerLink& link);

// The interface name of one /proc/net/dev line: its first word cut at the
// first ':'. Empty for a blank line.
std::string interfaceNameOf(const std::string& line);

}  // namespace deployboot
