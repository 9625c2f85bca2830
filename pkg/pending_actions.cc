#include "pkg/pending_actions.h"

#include <fstream>

#include "pkg/database_text.h"

namespace deployboot {

std::string pendingActionKey(const std::string& name) {
  std::string key;
  for (char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '-';
    if (keep) key += c;
  }
  return key;
}

std::string pendingActionPath(const std::string& name) {
  return "/ram/pdb/" + pendingActionKey(name) + "/schedule";
}

std::optional<PendingAction> readPendingAction(const std::string& name) {
  std::ifstream in(pendingActionPath(name));
  if (!in) return std::nullopt;
  return parsePendingAction(in);
}

}  // namespace deployboot
