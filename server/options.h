// The command line of deployserve.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "net/server_link.h"

namespace deployboot::serve {

struct ServeOptions {
  std::vector<std::string> interfaces;  // empty: every Ethernet interface that is up
  bool keep = false;
  int count = 0;                        // exit after this many routers finished; 0: never
  std::set<MacAddress> allowed;         // empty: serve every router
  std::string offerText = "deployserve";
  std::vector<std::string> files;
  bool help = false;
};

// False with `error` set for an unusable command line.
bool parseOptions(const std::vector<std::string>& arguments, ServeOptions* options,
                  std::string* error);

// "02:00:00:00:00:01" (or with '-'), case-insensitive.
bool parseMac(const std::string& text, MacAddress* mac);

extern const char USAGE_TEXT[];

}  // namespace deployboot::serve
