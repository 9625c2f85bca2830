#include "server/options.h"

#include <cstdlib>

namespace deployboot::serve {

const char USAGE_TEXT[] =
    "Usage: deployserve [options] FILE|DIR...\n"
    "Serves package files and configuration scripts (*.scr) to routers that boot the\n"
    "network installer on this Ethernet segment (UDP broadcasts on port 5000).\n"
    "A DIR stands for the regular files in it. Packages go first, those that others\n"
    "depend on before them, then the scripts; a router gets only the packages built\n"
    "for its architecture.\n"
    "\n"
    "Options:\n"
    "  -i, --interface IFACE  serve on IFACE (repeatable; default: every Ethernet\n"
    "                         interface that is up)\n"
    "      --keep             ask the routers to keep their configuration\n"
    "      --once             exit after one router has finished\n"
    "      --count N          exit after N routers have finished\n"
    "      --allow MAC        serve only this router (repeatable)\n"
    "      --offer TEXT       the text of the offer (default: deployserve)\n"
    "  -h, --help             show this help\n";

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseCount(const std::string& text, int* count) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *count = std::atoi(text.c_str());
  return *count > 0;
}

}  // namespace

bool parseMac(const std::string& text, MacAddress* mac) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < MAC_SIZE; ++i) {
    const int high = hexValue(text[3 * i]), low = hexValue(text[3 * i + 1]);
    if (high < 0 || low < 0) return false;
    if (i < MAC_SIZE - 1 && text[3 * i + 2] != ':' && text[3 * i + 2] != '-') return false;
    (*mac)[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

bool parseOptions(const std::vector<std::string>& arguments, ServeOptions* options,
                  std::string* error) {
  *options = ServeOptions();
  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
      options->files.push_back(a);
      continue;
    }
    auto value = [&](std::string* out) {
      if (i + 1 >= arguments.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = arguments[++i];
      return true;
    };
    std::string v;
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "-h" || a == "--help") {
      options->help = true;
    } else if (a == "-i" || a == "--interface") {
      if (!value(&v)) return false;
      if (v.empty() || v.size() >= 16) {
        *error = "not an interface name: \"" + v + "\"";
        return false;
      }
      options->interfaces.push_back(v);
    } else if (a == "--keep") {
      options->keep = true;
    } else if (a == "--once") {
      options->count = 1;
    } else if (a == "--count") {
      if (!value(&v)) return false;
      if (!parseCount(v, &options->count)) {
        *error = "--count needs a positive number, not \"" + v + "\"";
        return false;
      }
    } else if (a == "--allow") {
      if (!value(&v)) return false;
      MacAddress mac;
      if (!parseMac(v, &mac)) {
        *error = "not a hardware address: \"" + v + "\" (write it as 02:00:5e:10:00:01)";
        return false;
      }
      options->allowed.insert(mac);
    } else if (a == "--offer") {
      if (!value(&v)) return false;
      if (v.size() > 512 || v.find('\n') != std::string::npos || v.find('\0') != std::string::npos) {
        *error = "--offer takes one line of at most 512 characters";
        return false;
      }
      options->offerText = v;
    } else {
      *error = "unknown option " + a;
      return false;
    }
  }
  if (!options->help && options->files.empty()) {
    *error = "no files to serve";
    return false;
  }
  return true;
}

}  // namespace deployboot::serve
