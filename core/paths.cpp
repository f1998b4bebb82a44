#include "core/paths.h"

#include <cstring>

#include "platform/module.h"

namespace driver {

ModulePaths g_paths;

static void CopyCut(char* dst, const char* src, size_t keep) {
    if (keep > kMaxPathChars - 1) keep = kMaxPathChars - 1;
    memcpy(dst, src, keep);
    dst[keep] = '\0';
}

// The last four characters are replaced, whatever they are.
static void WithExtension(const char* module, const char* ext, char* out) {
    size_t len = strlen(module);
    size_t keep = len > 4 ? len - 4 : len;
    if (keep + strlen(ext) > kMaxPathChars - 1) keep = kMaxPathChars - 1 - strlen(ext);
    CopyCut(out, module, keep);
    strcat(out, ext);
}

void DerivePaths(const char* moduleFile, ModulePaths* out) {
    const char* module = moduleFile != nullptr ? moduleFile : "";
    CopyCut(out->module, module, strlen(module));
    const char* sep = strrchr(out->module, plat::kPathSeparator);
    CopyCut(out->directory, out->module, sep != nullptr ? static_cast<size_t>(sep - out->module) + 1 : strlen(out->module));
    WithExtension(out->module, ".log", out->log);
    WithExtension(out->module, ".ini", out->ini);
}

void ComputePaths() {
    char name[kMaxPathChars] = {0};
    if (!plat::ModuleFileName(name, sizeof name) || name[0] == '\0') {
        g_paths = ModulePaths{};
        return;
    }
    DerivePaths(name, &g_paths);
}

}  // namespace driver
