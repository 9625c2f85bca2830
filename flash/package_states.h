// The enabled/disabled state of the installed packages, read from the old
// package database so that a reinstalled package comes up as it was.
#pragma once

#include <string>

#include "pkg/package_states.h"

namespace deployboot {

constexpr const char* PACKAGE_DATABASE_DIR = "/flash/var/pdb";

// Empties `states` and fills it from the database directory `databaseDir`:
// a package with an "enabled" file gets 0, one whose "disabled" file begins
// with "user" gets 1; packages disabled automatically ("auto") and those
// with neither file are left out. An unreadable directory leaves the map
// empty.
void readPackageStates(PackageStateMap& states,
                       const std::string& databaseDir = PACKAGE_DATABASE_DIR);

}  // namespace deployboot
