#include "pkg/settle.h"

#include <algorithm>

#include "pkg/repository.h"
#include "pkg/version.h"

namespace deployboot {
namespace {

using Action = PendingAction;

void wake(PackageList& packages, InstalledPackage& s);

// Makes c active on behalf of a package that needs it.
void keep(PackageList& packages, InstalledPackage& c) {
  if (c.action == Action::Uninstall || c.action == Action::Disable) {
    c.action = Action::None;
    wake(packages, c);
  } else if (c.disabled) {
    c.action = Action::Enable;
    wake(packages, c);
  }
}

InstalledPackage* bundleOf(const PackageList& packages, const InstalledPackage& member) {
  if (!member.inBundle()) return nullptr;
  for (const auto& r : packages)
    if (r->name == member.bundle.name) return r.get();
  return nullptr;
}

// Each keep makes a record active, and a list holding an active record is
// met, so a record is kept at most twice and the recursion ends.
void wake(PackageList& packages, InstalledPackage& s) {
  if (InstalledPackage* b = bundleOf(packages, s)) keep(packages, *b);
  for (const PackageDependency& d : s.dependencies) {
    std::vector<InstalledPackage*> list = candidates(packages, d, true);
    if (classify(list) == DependencyState::Met) continue;
    if (list.empty()) break;
    order(list);
    // Equal duplicates can all drop out of the ordered list.
    if (!list.empty()) keep(packages, *list.back());
  }
}

void passBundleActions(PackageList& packages) {
  for (const auto& q : packages) {
    InstalledPackage* b = bundleOf(packages, *q);
    if (!b) continue;
    if (b->action == Action::Disable) {
      if (q->action != Action::Uninstall) q->action = Action::Disable;
    } else if (b->action == Action::Uninstall) {
      q->action = Action::Uninstall;
    } else if (b->action == Action::Enable && q->disabled) {
      q->action = Action::Enable;
    }
  }
}

void wakeDependencies(PackageList& packages) {
  for (size_t i = 0; i < packages.size(); ++i) {
    InstalledPackage& s = *packages[i];
    if ((s.enabled() && s.action == Action::None) || s.action == Action::Enable)
      wake(packages, s);
  }
}

void disableExcluded(PackageList& packages) {
  for (const auto& p : packages) {
    if (!(p->action == Action::Enable || (p->enabled() && p->action == Action::None)))
      continue;
    for (const auto& q : packages) {
      if (q == p || !q->activeAfterPlan()) continue;
      if (excludes(*p, *q)) {
        if (q->action == Action::None) q->action = Action::Disable;
      } else if (p->action == Action::Enable && excludes(*q, *p)) {
        if (q->action == Action::None) {
          q->action = Action::Disable;
        } else if (q->action == Action::Enable) {
          p->action = Action::None;
          break;
        }
      }
    }
  }
}

bool dropBrokenOnce(PackageList& packages) {
  for (const auto& q : packages) {
    for (const PackageDependency& d : q->dependencies) {
      const DependencyState state = classify(candidates(packages, d, true));
      if (state == DependencyState::Gone && q->action != Action::Uninstall) {
        q->action = Action::Uninstall;
        return true;
      }
      if (state == DependencyState::OnlyDisabled && q->action != Action::Uninstall &&
          q->action != Action::Disable && !(q->disabled && q->action == Action::None)) {
        q->action = Action::Disable;
        return true;
      }
    }
  }
  return false;
}

void dropEmptyBundles(PackageList& packages) {
  for (const auto& q : packages) {
    if (!q->isBundle || q->action == Action::Uninstall) continue;
    bool anyActive = false, anyCounted = false;
    for (const auto& m : packages) {
      if (m->isPlaceholder() || !m->inBundle() || m->bundle.name != q->name) continue;
      if (m->activeAfterPlan()) {
        anyActive = true;
        break;
      }
      const bool leaving = m->disabled ? m->action == Action::Uninstall
                                       : (m->action == Action::Uninstall ||
                                          m->action == Action::Enable);
      if (!leaving) anyCounted = true;
    }
    if (anyActive) continue;
    if (!anyCounted || q->enabled()) {
      q->action = Action::Uninstall;
    } else if (q->action == Action::Enable) {
      q->action = Action::None;
    }
  }
}

}  // namespace

bool plan(PackageList& packages, SettlePlan* out) {
  out->removeOrDisable.clear();
  out->enable.clear();
  passBundleActions(packages);
  wakeDependencies(packages);
  disableExcluded(packages);
  while (dropBrokenOnce(packages)) {
  }
  dropEmptyBundles(packages);

  const bool anyActive = std::any_of(packages.begin(), packages.end(),
                                     [](const auto& r) { return r->activeAfterPlan(); });
  if (!packages.empty() && !anyActive) {
    for (const auto& r : packages) r->action = Action::None;
    return false;
  }
  for (const auto& r : packages) {
    if (r->action == Action::Uninstall || r->action == Action::Disable)
      out->removeOrDisable.push_back(r.get());
    else if (r->action == Action::Enable)
      out->enable.push_back(r.get());
  }
  order(out->enable);
  return true;
}

void order(std::vector<InstalledPackage*>& list) {
  std::vector<InstalledPackage*> kept;
  for (InstalledPackage* e : list) {
    bool dropped = false;
    for (InstalledPackage* o : list) {
      if (o == e || o->name != e->name) continue;
      const int c = compareVersions(*o, *e);
      if (c > 0 || (c == 0 && (!e->isBundle || o->isBundle))) {
        dropped = true;
        break;
      }
    }
    if (!dropped) kept.push_back(e);
  }
  std::vector<InstalledPackage*> sorted;
  for (InstalledPackage* x : kept) {
    auto at = sorted.begin();
    for (auto it = sorted.end(); it != sorted.begin();) {
      --it;
      if (depends(*x, **it) || excludes(**it, *x)) {
        at = it + 1;
        break;
      }
    }
    sorted.insert(at, x);
  }
  list = std::move(sorted);
}

void apply(Repository& repository, FileTransaction& transaction, const SettlePlan& plan) {
  for (InstalledPackage* r : plan.removeOrDisable) {
    if (r->action == Action::Uninstall) {
      repository.uninstallFiles(*r, transaction);
      repository.destroy(r);
    } else {
      repository.applyDisable(*r, transaction);
    }
  }
  for (InstalledPackage* r : plan.enable) repository.applyEnable(*r, transaction);
}

void settle(Repository& repository, FileTransaction& transaction) {
  SettlePlan p;
  if (plan(repository.packages(), &p)) apply(repository, transaction, p);
}

}  // namespace deployboot
