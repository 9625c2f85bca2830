// One run of the lab: a virtual board and an installation server on a
// private network, the installer's console shown live, and a summary when
// the board reboots.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lab/faulty_link.h"

namespace deployboot::lab {

struct RunOptions {
  std::string boardFile;   // empty: the kept board's, else the built-in sample
  std::string keepBoard;   // board directory to keep and reuse; empty: temporary
  std::string installer;   // deployboot-vboard
  std::string nandfix;
  std::string server;      // deployserve; missing: the board finds no server
  std::string samples;     // what the server offers by default
  std::vector<std::string> serverArguments;  // after "--": replace the defaults
  int timeoutSeconds = 600;
  bool operatorAnswers = false;  // the operator presses ENTER, not the lab
  bool quiet = false;            // do not echo the console
  bool keepConfig = false;       // the server asks the board to keep its configuration
  std::optional<FaultyLink> faultyLink;  // the board's link goes through a faulty relay
};

// 0: the installation ended in "Software installed."; 1: it did not;
// 2: the lab could not be set up; 130: interrupted.
int runLab(const RunOptions& options);

// Removes what runs that no longer exist left behind (run directories,
// links named with the lab's prefix). Returns how many were removed.
int cleanStaleRuns(bool verbose);

// The built-in sample board.
extern const char* const SAMPLE_BOARD;

}  // namespace deployboot::lab
