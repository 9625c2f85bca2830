// The short board name that the installation server is told.
#pragma once

#include <string>

namespace deployboot {

// "42Z" -> "GB42Z", "Tesmarel 5 Z9" -> "GB5Z9", "Quorvex 7-Q" -> "NC7-Q",
// "Pallistra X 1" -> "NSX1", "HX7" -> "HX7", "mini box" -> "GB mini box",
// "" -> "GB ".
std::string boardShortNameFor(const std::string& boardName);

}  // namespace deployboot
