// deploypkg: makes signing keys, builds, bundles, shows and verifies the
// package files that the installer reads.
#include <cstdio>
#include <cstring>
#include <string>

#include "pkgtool/commands.h"
#include "pkgtool/tool_support.h"

using namespace deployboot::pkgtool;

namespace {

void printHelp() {
  std::printf(
      "usage: deploypkg COMMAND [OPTIONS]\n"
      "\n"
      "Makes and checks the signed package files of the network installer.\n"
      "\n"
      "commands:\n"
      "%s%s%s%s%s"
      "\n"
      "deploypkg COMMAND --help describes one command.\n",
      KEYGEN_USAGE, BUILD_USAGE, BUNDLE_USAGE, INFO_USAGE, VERIFY_USAGE);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printHelp();
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    printHelp();
    return 0;
  }
  struct Command {
    const char* name;
    int (*run)(int, char**, int);
    const char* usage;
  };
  static const Command commands[] = {
      {"keygen", runKeygen, KEYGEN_USAGE}, {"build", runBuild, BUILD_USAGE},
      {"bundle", runBundle, BUNDLE_USAGE}, {"info", runInfo, INFO_USAGE},
      {"verify", runVerify, VERIFY_USAGE},
  };
  for (const Command& c : commands) {
    if (command != c.name) continue;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
        std::printf("usage:\n%s", c.usage);
        return 0;
      }
    }
    return c.run(argc, argv, 2);
  }
  fail("unknown command \"" + command + "\" (deploypkg --help lists them)");
  return 2;
}
