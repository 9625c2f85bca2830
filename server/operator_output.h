// What the operator sees: one line per event, and on a terminal a status
// line with a progress bar per router.
#pragma once

#include <cstdint>
#include <cstdio>

#include "server/session.h"

namespace deployboot::serve {

class OperatorOutput {
 public:
  OperatorOutput(std::FILE* out, bool progressBars) : out_(out), bars_(progressBars) {}

  void line(const std::string& text);  // a line of its own, with the time
  void report(const Event& event);
  // Redraws the status line, at most ten times a second.
  void progress(const ServerCore& core, uint64_t nowMicros);

 private:
  void clearStatus();

  std::FILE* out_;
  bool bars_;
  bool statusShown_ = false;
  uint64_t lastDraw_ = 0;
};

// "[#########-----------]  45%" for `done` of `total`.
std::string progressBar(uint64_t done, uint64_t total, int width);

}  // namespace deployboot::serve
