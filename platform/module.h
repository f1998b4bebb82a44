// Facts about the loaded module file and the debugger output channel.
#pragma once
#include <cstddef>

namespace plat {

// The native directory separator ('\\' on Win32, '/' elsewhere).
extern const char kPathSeparator;

// Full file name of this module into buf; false if it cannot be had.
bool ModuleFileName(char* buf, size_t size);

// Text for an attached debugger (OutputDebugStringA; stderr is not used on
// POSIX, where this goes nowhere unless VAXO_DEBUG_OUTPUT is set).
void DebugOutput(const char* text);

}  // namespace plat
