// The module, log and INI paths, computed by Init from the module's file
// name and read by any thread afterwards.
#pragma once
#include <cstddef>

namespace driver {

constexpr size_t kMaxPathChars = 260;

struct ModulePaths {
    char module[kMaxPathChars];
    char directory[kMaxPathChars];  // up to and including the last separator
    char log[kMaxPathChars];
    char ini[kMaxPathChars];
};

extern ModulePaths g_paths;

// Derives directory, log and INI paths from a module file name.
void DerivePaths(const char* moduleFile, ModulePaths* out);
void ComputePaths();

}  // namespace driver
