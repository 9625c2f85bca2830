#include "pkg/database_text.h"

#include <cstdint>
#include <istream>
#include <ostream>

namespace deployboot {

void writeVersionText(std::ostream& out, Version version, uint32_t buildTime) {
  out << version << ' ' << buildTime << '\n';
}

// Unsigned 32-bit decimal only: istream's unsigned extraction would take
// "-1" as 4294967295.
static bool readUnsigned(std::istream& in, uint32_t* value) {
  std::string token;
  if (!(in >> token) || token.empty() || token.size() > 10) {
    in.setstate(std::ios::failbit);
    return false;
  }
  uint64_t v = 0;
  for (char c : token) {
    if (c < '0' || c > '9') {
      in.setstate(std::ios::failbit);
      return false;
    }
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xFFFFFFFFu) {
    in.setstate(std::ios::failbit);
    return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

static bool readSigned(std::istream& in, uint32_t* value) {
  std::string token;
  if (!(in >> token)) return false;
  const bool negative = token[0] == '-';
  const std::string digits = negative || token[0] == '+' ? token.substr(1) : token;
  if (digits.empty() || digits.size() > 10) return false;
  int64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<uint32_t>(static_cast<int32_t>(v));
  return true;
}

bool readVersionText(std::istream& in, Version* version, uint32_t* buildTime) {
  uint32_t v, t;
  if (!readUnsigned(in, &v) || !readUnsigned(in, &t)) return false;
  *version = v;
  *buildTime = t;
  return true;
}

void writeDependencyText(std::ostream& out, const std::vector<PackageDependency>& list,
                         bool withExtra) {
  for (const PackageDependency& d : list) {
    out << d.name << ' ' << d.minVersion << ' ' << d.maxVersion;
    if (withExtra) out << ' ' << static_cast<int32_t>(d.extra);
    out << '\n';
  }
}

bool readDependencyText(std::istream& in, bool withExtra, std::vector<PackageDependency>* list) {
  for (;;) {
    PackageDependency d;
    if (!(in >> d.name)) return true;
    if (!readUnsigned(in, &d.minVersion) || !readUnsigned(in, &d.maxVersion)) return false;
    if (withExtra && !readSigned(in, &d.extra)) return false;
    list->push_back(std::move(d));
  }
}

void writeFilesText(std::ostream& out, const std::set<std::string>& files) {
  for (const std::string& path : files)
    out << (path.starts_with('/') ? path.substr(1) : path) << '\n';
}

void readFilesText(std::istream& in, std::set<std::string>* files) {
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    files->insert(line.starts_with('/') ? line : "/" + line);
  }
}

std::optional<PendingAction> parsePendingAction(std::istream& in) {
  std::string word;
  if (!(in >> word)) return std::nullopt;
  if (word == "uninstall") return PendingAction::Uninstall;
  if (word == "enable") return PendingAction::Enable;
  if (word == "disable") return PendingAction::Disable;
  return std::nullopt;
}

}  // namespace deployboot
