// The console side of the repository: the status line on the console's last
// line and the messages that are printed above it.
#include <cstdio>
#include <ostream>

#include "pkg/repository.h"

namespace deployboot {

void Repository::status(const std::string& text) {
  if (quiet_ || text == statusLine_) return;
  std::ostream& out = *out_;
  out << "\x1b[?25l\r" << text;
  if (statusLine_.size() > text.size()) out << std::string(statusLine_.size() - text.size(), ' ');
  out << "\r\x1b[?25h" << std::flush;
  statusLine_ = text;
}

void Repository::print(const char* prefix, const char* format, va_list args) {
  char text[256];
  const int n = std::snprintf(text, sizeof text, "%s", prefix);
  std::vsnprintf(text + n, sizeof text - n, format, args);
  if (quiet_) return;
  std::ostream& out = *out_;
  if (!statusLine_.empty()) out << '\r' << std::string(79, ' ') << '\r' << std::flush;
  out << text << '\n';
  if (!statusLine_.empty()) out << statusLine_ << std::flush;
}

void Repository::error(const char* format, ...) {
  status("");
  va_list args;
  va_start(args, format);
  print("ERROR: ", format, args);
  va_end(args);
}

void Repository::warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  print("WARNING: ", format, args);
  va_end(args);
}

void Repository::info(const char* format, ...) {
  status("");
  va_list args;
  va_start(args, format);
  print("", format, args);
  va_end(args);
}

}  // namespace deployboot
