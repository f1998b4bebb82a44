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

bool ModuleFileName(char* buf, size_t size) {
    if (buf == nullptr || size == 0) return false;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr) return false;
    char resolved[PATH_MAX];
    const char* name = info.dli_fname;
    if (realpath(name, resolved) != nullptr) name = resolved;
    size_t len = strlen(name);
    if (len >= size) return false;
    memcpy(buf, name, len + 1);
    return true;
}

void DebugOutput(const char* text) {
    static const bool enabled = getenv("VAXO_DEBUG_OUTPUT") != nullptr;
    if (enabled && text != nullptr) fputs(text, stderr);
}

}  // namespace plat
