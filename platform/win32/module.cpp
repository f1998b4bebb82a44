#include "platform/module.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/win_module_handle.h"

namespace plat {

const char kPathSeparator = '\\';

static void Anchor() {}

bool ModuleFileName(char* buf, size_t size) {
    if (buf == nullptr || size == 0) return false;
    HMODULE module = win32::g_moduleHandle;
    if (module == nullptr) {
        // Linked into a program rather than loaded as the module: the file
        // that holds this code.
        if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCSTR>(&Anchor), &module))
            return false;
    }
    DWORD room = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
    DWORD n = GetModuleFileNameA(module, buf, room);
    // n == room: the name was cut (and on older systems not terminated).
    if (n == 0 || n >= room) {
        buf[0] = '\0';
        return false;
    }
    buf[n] = '\0';
    return true;
}

void DebugOutput(const char* text) {
    if (text != nullptr) OutputDebugStringA(text);
}

}  // namespace plat
