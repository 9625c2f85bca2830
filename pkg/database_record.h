// A package as the database knows it: the header record of its package
// file (with the files it installed) plus what the database adds: bundle
// membership, state and the change the planner is to make.
#pragma once

#include <cstdint>
#include <string>

#include "pkg/package_record.h"
#include "pkg/version.h"

namespace deployboot {

enum class PendingAction : uint8_t { None = 0, Uninstall = 1, Enable = 2, Disable = 3 };

// version and buildTime both all-ones: a record that takes part in no
// relation (the planner's stand-ins that keep bundle members disabled).
inline constexpr uint32_t PLACEHOLDER_VERSION = 0xFFFFFFFFu;

class InstalledPackage : public PackageRecord {
 public:
  ~InstalledPackage() override = default;

  PackageDependency bundle;     // its bundle (name, version, version, 0); name empty if none
  bool disabled = false;
  bool userForced = false;  // disabled/enabled was the user's choice
  PendingAction action = PendingAction::None;

  bool isPlaceholder() const {
    return version == PLACEHOLDER_VERSION && buildTime == PLACEHOLDER_VERSION;
  }
  bool inBundle() const { return !bundle.name.empty(); }
  bool enabled() const { return !disabled; }
  // Enabled and staying so, or disabled and about to be enabled.
  bool activeAfterPlan() const {
    return (!disabled && action == PendingAction::None) ||
           (disabled && action == PendingAction::Enable);
  }
};

// "/flash/var/pdb/" + name + "/".
std::string packageDirectory(const std::string& name);

// The label used in progress and failure messages: the bundle's label for
// a bundle member, else the package's own.
std::string displayLabel(const InstalledPackage& record);

}  // namespace deployboot
