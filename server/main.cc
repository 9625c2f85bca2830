// deployserve: the installation server for routers that boot the network
// installer on this Ethernet segment.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "server/catalog.h"
#include "server/options.h"
#include "server/serve_loop.h"
#include "server/server_sockets.h"

using namespace deployboot::serve;

namespace {

void onStop(int) { stopRequested = 1; }

int usageError(const std::string& text) {
  std::fprintf(stderr, "deployserve: %s\nTry 'deployserve --help'.\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ServeOptions options;
  std::string error;
  if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error))
    return usageError(error);
  if (options.help) {
    std::fputs(USAGE_TEXT, stdout);
    return 0;
  }

  std::vector<ServedFile> catalog;
  std::vector<std::string> warnings;
  if (!buildCatalog(options.files, &catalog, &error, &warnings)) {
    std::fprintf(stderr, "deployserve: %s\n", error.c_str());
    return 1;
  }
  for (const auto& w : warnings) std::fprintf(stderr, "deployserve: warning: %s\n", w.c_str());

  std::vector<std::string> names = options.interfaces;
  if (names.empty() && !defaultInterfaces(&names, &error)) {
    std::fprintf(stderr, "deployserve: %s\n", error.c_str());
    return 1;
  }
  std::vector<ServerInterface> interfaces(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (!openServerInterface(names[i], &interfaces[i], &error)) {
      std::fprintf(stderr, "deployserve: %s\n", error.c_str());
      for (auto& iface : interfaces) closeServerInterface(&iface);
      return 1;
    }
  }

  struct sigaction stop {};
  stop.sa_handler = onStop;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int status = serve(options, catalog, interfaces, stdout);
  for (auto& iface : interfaces) closeServerInterface(&iface);
  return status;
}
