// Flags on the kernel command line.
#pragma once

namespace deployboot {

// True when `text` occurs anywhere in /proc/cmdline, as a plain substring.
// An unreadable command line answers true, so every flag counts as set.
bool kernelCommandLineHas(const char* text);

// The same on the command line stored at `path`.
bool commandLineFileHas(const char* path, const char* text);

}  // namespace deployboot
