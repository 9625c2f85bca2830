// Stage 3: the board's identity, as the server is told it.
#include <string>

#include "flash/board_device.h"
#include "init/board_identity.h"
#include "init/driver.h"
#include "init/globals.h"

namespace deployboot {
namespace {

// Maker names whose boards are known to the server by a family prefix.
const struct {
  const char* maker;
  const char* family;
} makerFamilies[] = {{"Tesmarel ", "GB"}, {"Quorvex ", "NC"}, {"Pallistra ", "NS"}};

// Family prefixes the server understands as they are.
const char* const knownFamilies[] = {"GB", "NC", "NS", "HX"};

std::string withoutBlanks(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ') out += c;
  return out;
}

std::string familyForm(const std::string& name) {
  if (!name.empty() && name[0] >= '0' && name[0] <= '9') return "GB" + name;
  for (const auto& m : makerFamilies) {
    const std::string maker = m.maker;
    if (name.compare(0, maker.size(), maker) == 0)
      return m.family + withoutBlanks(name.substr(maker.size()));
  }
  return name;
}

}  // namespace

std::string boardShortNameFor(const std::string& boardName) {
  const std::string form = familyForm(boardName);
  for (const char* family : knownFamilies)
    if (form.compare(0, 2, family) == 0) return form;
  return "GB " + form;
}

void stageBoardIdentity(InstallSession& s) {
  readBoardName();
  s.boardShortName = boardShortNameFor(boardName);
}

}  // namespace deployboot
