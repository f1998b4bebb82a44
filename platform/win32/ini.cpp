#include "platform/ini.h"
#include "platform/ini_number.h"

#include <windows.h>

#include <climits>

namespace plat {

namespace {

// Longest value text looked at for an integer key; longer ones are cut,
// which can only make a huge number smaller, still saturating.
constexpr DWORD kIntTextChars = 256;

}  // namespace

int IniReadInt(const char* section, const char* key, int def, const char* path) {
    // A null section or key would make the system reader list names.
    if (section == nullptr || key == nullptr || path == nullptr) return def;
    // The system reader finds the value; the number is taken from its text
    // so that a value without digits gives def and a huge one saturates,
    // as on every platform (GetPrivateProfileIntA gives 0 for the first and
    // wraps the second).
    char text[kIntTextChars];
    text[0] = '\0';
    GetPrivateProfileStringA(section, key, "", text, kIntTextChars, path);
    int value;
    return ParseIniInt(text, &value) ? value : def;
}

size_t IniReadString(const char* section, const char* key, const char* def, char* buf, size_t size,
                     const char* path) {
    if (buf == nullptr || size == 0) return 0;
    buf[0] = '\0';
    const char* fallback = def != nullptr ? def : "";
    if (section == nullptr || key == nullptr || path == nullptr) {
        lstrcpynA(buf, fallback, static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size));
        return static_cast<size_t>(lstrlenA(buf));
    }
    DWORD room = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
    DWORD n = GetPrivateProfileStringA(section, key, fallback, buf, room, path);
    buf[size - 1] = '\0';
    return static_cast<size_t>(n);
}

}  // namespace plat
