// A fleet run of the lab: several virtual boards on one bridged Ethernet
// segment, all served at once by one installation server.
#pragma once

#include <string>
#include <vector>

namespace deployboot::lab {

struct FleetOptions {
  int boards = 8;
  std::vector<std::string> boardFiles;  // board N uses file N mod count; empty: the sample
  std::string keepDir;                  // board N's directory is kept as DIR/boardN
  std::string segment;                  // named network namespace holding the segment
  std::vector<std::string> samples;     // what the server offers
  std::string installer;                // deployboot-vboard
  std::string nandfix;
  std::string server;                   // deployserve
  int timeoutSeconds = 600;
  bool keepConfig = false;
  bool verbose = false;  // show every console line, prefixed with its board
};

// 0: every board ended in "Software installed."; 1: not every one did;
// 2: the lab could not be set up; 130: interrupted.
int runFleet(const FleetOptions& options);

// `deploylab fleet ARGS`: argv[0] is "fleet". Returns the exit status.
int fleetCommand(int argc, char** argv);

extern const char* const FLEET_USAGE;

}  // namespace deployboot::lab
