#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace plat {

const char kPathSeparator = '/';

static void Anchor() {}

namespace {

constexpr size_t kNameChars = PATH_MAX;

// The name as the module was loaded, made absolute against the current
// folder without resolving links: a module loaded through a link keeps its
// INI and log beside the link, where the host put them. Taken while the
// module loads, since a relative name is relative to the folder of that
// moment.
struct LoadedName {
    char text[kNameChars] = "";
    LoadedName() {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr ||
            info.dli_fname[0] == '\0') {
            return;
        }
        const char* name = info.dli_fname;
        char folder[kNameChars] = "";
        if (name[0] != '/') {
            if (getcwd(folder, sizeof folder) == nullptr) return;
            while (name[0] == '.' && name[1] == '/') name += 2;  // "./x" is "x"
        }
        const bool rooted = folder[0] == '\0' || strcmp(folder, "/") == 0;
        const int n = snprintf(text, sizeof text, "%s%s%s", folder, rooted ? "" : "/", name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text) text[0] = '\0';
    }
};

const LoadedName g_loadedName;

}  // namespace

bool ModuleFileName(char* buf, size_t size) {
    if (buf == nullptr || size == 0) return false;
    const size_t len = strlen(g_loadedName.text);
    if (len == 0 || len >= size) return false;
    memcpy(buf, g_loadedName.text, len + 1);
    return true;
}

void DebugOutput(const char* text) {
    static const bool enabled = getenv("VAXO_DEBUG_OUTPUT") != nullptr;
    if (enabled && text != nullptr) fputs(text, stderr);
}

}  // namespace plat
