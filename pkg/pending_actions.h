// Pending actions that other software leaves for a package in RAM
// ("/ram/pdb/<key>/schedule"), read when the database is loaded.
#pragma once

#include <optional>
#include <string>

#include "pkg/database_record.h"

namespace deployboot {

// The package name with every character that is neither a letter, a digit
// nor "-" dropped: foo_bar -> foobar.
std::string pendingActionKey(const std::string& name);

// "/ram/pdb/" + key + "/schedule".
std::string pendingActionPath(const std::string& name);

// The action scheduled for the package, if its file names one.
std::optional<PendingAction> readPendingAction(const std::string& name);

}  // namespace deployboot
