// The module, log and INI paths, computed by Init from the module's file
// name and read by any thread afterwards.
#pragma once
#include <cstddef>

namespace driver {

// The system's longest path name, terminator included.
#if defined(_WIN32)
constexpr size_t kMaxPathChars = 260;
#else
constexpr size_t kMaxPathChars = 4096;
#endif

struct ModulePaths {
    char module[kMaxPathChars];
    char directory[kMaxPathChars];  // up to and including the last separator
    char log[kMaxPathChars];
    char ini[kMaxPathChars];
};

extern ModulePaths g_paths;

// Derives directory, log and INI paths from a module file name: the last
// four characters give way to ".log" and ".ini" (a name of four or fewer
// keeps them all).
void DerivePaths(const char* moduleFile, ModulePaths* out);
// From this module's own file name; when that cannot be had every path
// stays empty (no log file, no INI file) rather than naming files in
// whatever folder the host runs in.
void ComputePaths();

}  // namespace driver
