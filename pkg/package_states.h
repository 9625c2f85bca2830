#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace deployboot {

// Package name -> 0 when the package was enabled, 1 when the user had
// disabled it. Filled by the configuration carry-over, read by every
// package installation.
using PackageStateMap = std::map<std::string, uint8_t>;

}  // namespace deployboot
