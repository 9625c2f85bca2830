// Kernel modules of the ramdisk, loaded through the board seam.
#pragma once

#include <string>

namespace deployboot {

// Loads "/lib/modules/<kernel release>/<path>" with `parameters`. A missing
// file returns -1 silently (the same ramdisk serves boards without it); a
// file that cannot be mapped prints "ERROR: could not load module <path>"
// and returns -1; otherwise returns the kernel's answer (0 on success).
int loadKernelModule(const char* path, const char* parameters);

// The same below an explicit module directory.
int loadKernelModuleFrom(const std::string& moduleDirectory, const char* path,
                         const char* parameters);

// "/lib/modules/<kernel release>".
std::string kernelModuleDirectory();

// The board platform's modules, then the network and switch drivers, in
// their load order; results are ignored.
void loadStartupModules(const std::string& moduleDirectory);

}  // namespace deployboot
