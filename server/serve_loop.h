// The server's main loop: sockets, the sessions, the operator's output.
#pragma once

#include <csignal>
#include <cstdio>
#include <vector>

#include "server/catalog.h"
#include "server/options.h"
#include "server/server_sockets.h"

namespace deployboot::serve {

// Set by SIGINT/SIGTERM: the loop ends.
extern volatile sig_atomic_t stopRequested;

// Serves until --count routers have finished or a stop is requested.
// Returns the process exit status.
int serve(const ServeOptions& options, const std::vector<ServedFile>& catalog,
          std::vector<ServerInterface>& interfaces, std::FILE* out);

}  // namespace deployboot::serve
