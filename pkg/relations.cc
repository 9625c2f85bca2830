#include "pkg/relations.h"

#include "pkg/version.h"

namespace deployboot {

bool providesFor(const InstalledPackage& b, const PackageDependency& d) {
  for (const PackageDependency& p : b.provides)
    if (rangesOverlap(p, d)) return true;
  return false;
}

static bool meets(const InstalledPackage& b, const PackageDependency& d) {
  return satisfies(b.name, b.version, d) || providesFor(b, d);
}

bool depends(const InstalledPackage& a, const InstalledPackage& b) {
  for (const PackageDependency& d : a.dependencies)
    if (meets(b, d)) return true;
  return false;
}

static int32_t precedence(const PackageDependency& p) { return static_cast<int32_t>(p.extra); }

bool excludes(const InstalledPackage& a, const InstalledPackage& b) {
  if (a.isPlaceholder() || b.isPlaceholder()) return false;
  for (const PackageDependency& c : a.conflicts)
    if (satisfies(b.name, b.version, c)) return true;
  // b stands in for a itself: a negative precedence yields to a.
  for (const PackageDependency& p : b.provides)
    if (p.name == a.name) return precedence(p) < 0;
  for (const PackageDependency& p : a.provides) {
    if (p.name == b.name) return precedence(p) >= 0;
    for (const PackageDependency& q : b.provides)
      if (q.name == p.name) return precedence(q) < precedence(p);
  }
  for (const PackageDependency& c : a.conflicts)
    if (providesFor(b, c)) return true;
  return false;
}

std::vector<InstalledPackage*> candidates(const PackageList& packages,
                                          const PackageDependency& d, bool includeDisabled) {
  std::vector<InstalledPackage*> out;
  for (const auto& r : packages) {
    if (r->isPlaceholder() || !meets(*r, d)) continue;
    if (!includeDisabled && r->disabled) continue;
    out.push_back(r.get());
  }
  return out;
}

DependencyState classify(const std::vector<InstalledPackage*>& list) {
  bool onlyDisabled = false;
  for (const InstalledPackage* r : list) {
    if (r->disabled && r->action == PendingAction::Enable) return DependencyState::Met;
    if (!r->disabled && r->action == PendingAction::None) return DependencyState::Met;
    if (r->disabled || r->action == PendingAction::Disable) onlyDisabled = true;
  }
  return onlyDisabled ? DependencyState::OnlyDisabled : DependencyState::Gone;
}

}  // namespace deployboot
