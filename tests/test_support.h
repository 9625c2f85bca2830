// Helpers shared by the tests.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace deployboot::testing {

inline bool runningInCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

}  // namespace deployboot::testing

// Tests that need root skip with a reason on a developer's machine, and
// fail instead of skipping under CI=true, where they must run.
#define DEPLOYBOOT_REQUIRE_ROOT()                                                    \
  do {                                                                               \
    if (geteuid() != 0) {                                                            \
      if (::deployboot::testing::runningInCi()) FAIL() << "needs root (CI=true)";   \
      GTEST_SKIP() << "needs root";                                                 \
    }                                                                                \
  } while (0)
