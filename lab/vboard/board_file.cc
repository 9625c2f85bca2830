#include "lab/vboard/board_file.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace deployboot::vboard {
namespace {

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool parseUnsigned(const std::string& text, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *out = v;
  return true;
}

bool parseSize(const std::string& text, uint64_t* out) {
  if (text.empty()) return false;
  uint64_t scale = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'K': case 'k': scale = 1ull << 10; break;
    case 'M': case 'm': scale = 1ull << 20; break;
    case 'G': case 'g': scale = 1ull << 30; break;
    default: break;
  }
  if (scale != 1) digits.pop_back();
  uint64_t v = 0;
  if (!parseUnsigned(digits, &v) || v == 0 || v > (UINT64_MAX / scale)) return false;
  *out = v * scale;
  return true;
}

// "6.40", "6.40.2" (final releases) or a raw 0x number.
bool parseMinVersion(const std::string& text, uint32_t* out) {
  uint64_t raw = 0;
  if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
    if (!parseUnsigned(text, &raw) || raw > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(raw);
    return true;
  }
  if (text == "0") {
    *out = 0;
    return true;
  }
  std::vector<uint64_t> parts;
  std::stringstream in(text);
  std::string piece;
  while (std::getline(in, piece, '.')) {
    uint64_t v = 0;
    if (piece.empty() || piece.find_first_not_of("0123456789") != std::string::npos ||
        !parseUnsigned(piece, &v) || v > 255)
      return false;
    parts.push_back(v);
  }
  if (parts.size() < 2 || parts.size() > 3 || text.back() == '.') return false;
  const uint32_t number = parts.size() == 3 ? static_cast<uint32_t>(parts[2]) : 0;
  *out = (static_cast<uint32_t>(parts[0]) << 24) | (static_cast<uint32_t>(parts[1]) << 16) |
         (uint32_t{'f'} << 8) | number;
  return true;
}

bool hasWord(const std::string& line, const std::string& word) {
  std::stringstream in(line);
  std::string w;
  while (in >> w)
    if (w == word) return true;
  return false;
}

}  // namespace

bool parseBoardText(const std::string& text, BoardSpec* spec, std::string* error) {
  *spec = BoardSpec{};
  std::stringstream in(text);
  std::string raw;
  int lineNumber = 0;
  auto fail = [&](const std::string& what) {
    *error = "line " + std::to_string(lineNumber) + ": " + what;
    return false;
  };
  while (std::getline(in, raw)) {
    ++lineNumber;
    const size_t hash = raw.find('#');
    const std::string line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    uint64_t number = 0;
    if (key == "name") {
      if (value.size() > 31) return fail("name longer than 31 characters");
      spec->name = value;
    } else if (key == "layout") {
      if (value == "ubi") spec->layout = FlashLayout::Ubi;
      else if (value == "nand") spec->layout = FlashLayout::Nand;
      else if (value == "single") spec->layout = FlashLayout::Single;
      else return fail("layout must be ubi, nand or single");
    } else if (key == "partitions") {
      spec->partitionSizes.clear();
      std::stringstream sizes(value);
      std::string word;
      while (sizes >> word) {
        uint64_t size = 0;
        if (!parseSize(word, &size)) return fail("bad partition size '" + word + "'");
        spec->partitionSizes.push_back(size);
      }
      if (spec->partitionSizes.empty() || spec->partitionSizes.size() > 16)
        return fail("partitions needs 1 to 16 sizes");
    } else if (key == "min-version") {
      if (!parseMinVersion(value, &spec->minVersion)) return fail("bad min-version");
    } else if (key == "cpus") {
      if (!parseUnsigned(value, &number) || number < 1 || number > 64)
        return fail("cpus must be 1 to 64");
      spec->cpus = static_cast<unsigned>(number);
    } else if (key == "cmdline") {
      spec->cmdline = value;
    } else if (key == "activepart") {
      spec->activepart = value;
    } else if (key == "bootimage") {
      spec->bootimage = value;
    } else if (key == "erase-size") {
      if (!parseSize(value, &number) || number < 4096 || number > (64u << 20) ||
          (number & (number - 1)) != 0)
        return fail("erase-size must be a power of two from 4K to 64M");
      spec->eraseSize = static_cast<uint32_t>(number);
    } else if (key == "interfaces") {
      if (!parseUnsigned(value, &number) || number < 1 || number > 8)
        return fail("interfaces must be 1 to 8");
      spec->interfaces = static_cast<unsigned>(number);
    } else if (key == "nandfix-status") {
      if (!parseUnsigned(value, &number) || number > 255)
        return fail("nandfix-status must be 0 to 255");
      spec->nandfixStatus = static_cast<int>(number);
    } else if (key == "unmountable") {
      std::stringstream list(value);
      std::string word;
      while (list >> word) {
        if (!parseUnsigned(word, &number) || number > 15) return fail("bad partition number");
        spec->unmountable.insert(static_cast<unsigned>(number));
      }
    } else {
      return fail("unknown key '" + key + "'");
    }
  }
  if (spec->partitionSizes.empty()) {
    lineNumber = 0;
    *error = "no partitions given";
    return false;
  }
  for (uint64_t size : spec->partitionSizes)
    if (size < 8ull * spec->eraseSize) {
      *error = "every partition needs at least 8 erase blocks";
      return false;
    }
  return true;
}

bool readBoardFile(const std::string& path, BoardSpec* spec, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (!parseBoardText(text.str(), spec, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

std::string kernelCommandLine(const BoardSpec& spec) {
  std::string line = spec.cmdline;
  const char* flag = spec.layout == FlashLayout::Ubi      ? "ubifs_support"
                     : spec.layout == FlashLayout::Single ? "no-nand"
                                                          : nullptr;
  if (flag && !hasWord(line, flag)) line += line.empty() ? flag : std::string(" ") + flag;
  return line;
}

std::string procStatText(unsigned cpus) {
  std::string text = "cpu  100 0 100 1000 0 0 0 0 0 0\n";
  for (unsigned i = 0; i < cpus; ++i)
    text += "cpu" + std::to_string(i) + " 100 0 100 1000 0 0 0 0 0 0\n";
  text += "intr 0\nctxt 0\nbtime 0\nprocesses 1\nprocs_running 1\nprocs_blocked 0\n";
  return text;
}

const char* layoutName(FlashLayout layout) {
  switch (layout) {
    case FlashLayout::Ubi: return "ubi";
    case FlashLayout::Nand: return "nand";
    case FlashLayout::Single: return "single";
  }
  return "?";
}

}  // namespace deployboot::vboard
