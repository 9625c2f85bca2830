// The installer's receive path as a stand-alone program: discovery on the
// interfaces of its network namespace, STRT, then every file the server
// offers read with readFileData in the driver's 4096-byte pieces and
// written to DIR, and the WTRM/TERM handshake. Prints one line per file:
//
//   FILE <name> <bytes> <seconds> <MB/s>
//
// timed from the file's header request to its empty data reply.
//
//   transfer_bench DIR
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/discovery.h"
#include "net/exchange.h"
#include "net/file_transfer.h"
#include "net/interfaces.h"

using namespace deployboot;

namespace {

bool writeAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t k = write(fd, data, n);
    if (k <= 0) return false;
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::fprintf(argc == 2 ? stdout : stderr, "usage: transfer_bench DIR\n"
                 "Receives every file a deployserve on this segment offers into DIR.\n");
    return argc == 2 ? 0 : 2;
  }
  const std::string dir = argv[1];
  ServerLink link;
  if (!openInterfaces(link) || link.interfaceCount() == 0) {
    std::fprintf(stderr, "transfer_bench: no network interface\n");
    return 1;
  }
  char offer[OFFER_TEXT_SIZE] = {};
  bool keep = false;
  discoverServer(link, "mipsle", "transfer_bench", "6.47", "GB ", offer, &keep);
  if (!startTransfer(link)) {
    std::fprintf(stderr, "transfer_bench: server refused to install\n");
    return 1;
  }
  using Clock = std::chrono::steady_clock;
  for (;;) {
    const auto start = Clock::now();
    if (!requestNextFile(link)) break;
    FileDownload& download = *link.download;
    const std::string path = dir + "/" + download.name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      std::perror(path.c_str());
      return 1;
    }
    uint8_t piece[PACKET_SIZE];
    uint64_t total = 0;
    int n;
    while ((n = readFileData(download, piece, sizeof piece)) > 0) {
      if (!writeAll(fd, piece, static_cast<size_t>(n))) {
        std::perror(path.c_str());
        return 1;
      }
      total += static_cast<uint64_t>(n);
    }
    close(fd);
    if (n < 0) {
      std::fprintf(stderr, "transfer_bench: bad network connection after %llu bytes\n",
                   static_cast<unsigned long long>(total));
      return 1;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("FILE %s %llu %.3f %.2f\n", download.name, static_cast<unsigned long long>(total),
                seconds, seconds > 0 ? static_cast<double>(total) / 1e6 / seconds : 0.0);
    std::fflush(stdout);
  }
  // A console that never becomes readable: only TERM ends the handshake.
  int console[2];
  if (pipe(console) != 0) return 1;
  waitForTermination(*link.selectedInterface(), link.exchangeState, console[0]);
  return 0;
}
