// Relations between package records, on which both the installation
// checks and the settling of the database rest. Placeholders (version and
// build time all-ones) take part in none of them.
#pragma once

#include <memory>
#include <vector>

#include "pkg/database_record.h"

namespace deployboot {

using PackageList = std::vector<std::unique_ptr<InstalledPackage>>;

// Some entry of b.provides overlaps d.
bool providesFor(const InstalledPackage& b, const PackageDependency& d);

// Some dependency of a is met by b, directly or through b's provides.
bool depends(const InstalledPackage& a, const InstalledPackage& b);

// a keeps b from being enabled beside it: a conflict of a names b (or
// something b provides), or the two provide the same name and a has the
// higher precedence (the provides entry's extra, signed).
bool excludes(const InstalledPackage& a, const InstalledPackage& b);

// The records of `packages`, in their order, that are not placeholders,
// meet d directly or through provides and, unless includeDisabled, are
// enabled.
std::vector<InstalledPackage*> candidates(const PackageList& packages,
                                          const PackageDependency& d, bool includeDisabled);

// What a candidate list leaves of a dependency once the plan runs.
enum class DependencyState { Met = 0, Gone = 1, OnlyDisabled = 3 };
DependencyState classify(const std::vector<InstalledPackage*>& list);

}  // namespace deployboot
