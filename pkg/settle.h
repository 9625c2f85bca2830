// Settling the database after every installed package and bundle: bundle
// and pending actions reach members, dependencies of active packages wake,
// what active packages exclude is disabled, packages whose dependencies
// are gone are disabled or removed, empty bundles go, and the result is
// applied through the caller's transaction. Settling prints nothing.
#pragma once

#include <vector>

#include "pkg/relations.h"

namespace deployboot {

class FileTransaction;
class Repository;

struct SettlePlan {
  std::vector<InstalledPackage*> removeOrDisable;  // action Uninstall or Disable
  std::vector<InstalledPackage*> enable;           // action Enable, in need order
};

// Decides every record's action. False (and every action reset to None)
// when the result would leave no active package in a non-empty database.
bool plan(PackageList& packages, SettlePlan* out);

// Keeps only the newest of each name, then puts each record after the
// last one it needs or that excludes it.
void order(std::vector<InstalledPackage*>& list);

// Carries out a plan: uninstalls (destroying the records) and disables
// first, then enables, in the plan's order.
void apply(Repository& repository, FileTransaction& transaction, const SettlePlan& plan);

// plan, then apply when the plan stands.
void settle(Repository& repository, FileTransaction& transaction);

}  // namespace deployboot
