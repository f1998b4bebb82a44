// Module load and unload: the handle is kept for the module file name. The
// driver lock and the log writer are objects of their own whose lifetime
// follows the module's; Init and Shutdown start and stop everything else.
#include <windows.h>

#include "platform/win32/win_module_handle.h"

namespace plat {
namespace win32 {

HMODULE g_moduleHandle = nullptr;

}  // namespace win32
}  // namespace plat

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    // Thread attach and detach do nothing here; they are left enabled for
    // the runtime's per-thread cleanup (thread_local data, thread keys).
    if (reason == DLL_PROCESS_ATTACH) plat::win32::g_moduleHandle = instance;
    return TRUE;
}
