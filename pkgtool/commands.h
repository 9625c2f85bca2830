// The subcommands of deploypkg. Each takes the whole command line and the
// index of its first own argument, and returns the exit status.
#pragma once

namespace deployboot::pkgtool {

int runKeygen(int argc, char** argv, int first);
int runBuild(int argc, char** argv, int first);
int runBundle(int argc, char** argv, int first);
int runInfo(int argc, char** argv, int first);
int runVerify(int argc, char** argv, int first);

extern const char* const KEYGEN_USAGE;
extern const char* const BUILD_USAGE;
extern const char* const BUNDLE_USAGE;
extern const char* const INFO_USAGE;
extern const char* const VERIFY_USAGE;

}  // namespace deployboot::pkgtool
