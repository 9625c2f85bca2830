// The pieces of the fetch loop (stage 10) that do not need the flash.
#pragma once

#include <string>

#include "net/server_link.h"

namespace deployboot {

// The driver uses at most this much of a received name.
inline constexpr size_t USABLE_NAME_LENGTH = 32;

// The received name cut to USABLE_NAME_LENGTH.
std::string usableFileName(const FileDownload& download);

// "x.scr" is a configuration script; ".scr" alone is a package.
bool isScriptName(const std::string& name);

// Where configuration scripts go: "<directory>/<name>", or `emptyFile`
// (on the ramdisk, dropped at reboot) when the announced size is 0.
struct ScriptPlace {
  std::string directory = "/flash";
  std::string emptyFile = "/empty";
};

// Writes one configuration script from the server. A name that could leave
// the directory ("/" or ".." in it) is refused like a file that cannot be
// made. On failure the fatal message has been printed.
bool fetchScript(FileDownload& download, const std::string& name, const ScriptPlace& place);

}  // namespace deployboot
