// The handle of the module this code is linked into, saved by DllMain.
// Null in a program that links the platform layer statically.
#pragma once
#include <windows.h>

namespace plat {
namespace win32 {

extern HMODULE g_moduleHandle;

}  // namespace win32
}  // namespace plat
