#include "common/module_host.h"

#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/wait.h"

#ifndef VAXO_MODULE_PATH
#error "VAXO_MODULE_PATH must name the built module"
#endif

namespace testsupport {

namespace fs = std::filesystem;

namespace {

constexpr const char* kModuleFile = "vaxo-dt-qpl.dev";
constexpr const char* kIniFile = "vaxo-dt-qpl.ini";
constexpr const char* kLogFile = "vaxo-dt-qpl.log";

std::string MakeFreshDir() {
    std::string tmpl = (fs::temp_directory_path() / "vaxo-host-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    // The module reports its real path; keep ours the same so log paths match.
    return fs::canonical(tmpl).string();
}

}  // namespace

ModuleHost::ModuleHost(const std::string& iniText, const std::string& dir) {
    if (dir.empty()) {
        dir_ = MakeFreshDir();
        ownDir_ = true;
    } else {
        fs::create_directories(dir);
        dir_ = fs::canonical(dir).string();
    }
    // Failures leave loaded() false with the reason on stderr, so the test
    // fails on its own assertion and the folder is still cleaned up.
    std::string module = dir_ + "/" + kModuleFile;
    std::error_code ec;
    fs::copy_file(VAXO_MODULE_PATH, module, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        fprintf(stderr, "ModuleHost: cannot copy %s: %s\n", VAXO_MODULE_PATH, ec.message().c_str());
        return;
    }
    WriteFile(dir_ + "/" + kIniFile, iniText);
    std::string error;
    handle_ = hostapi::LoadModule(module, &api_, &error);
    if (handle_ == nullptr) {
        fprintf(stderr, "ModuleHost: %s\n", error.c_str());
        api_ = ModuleApi{};
    }
}

ModuleHost::~ModuleHost() {
    hostapi::UnloadModule(handle_);
    for (int i = 0; i < eventCount_; ++i) close(eventFds_[i]);
    if (ownDir_) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::string ModuleHost::LogPath() const { return dir_ + "/" + kLogFile; }

std::string ModuleHost::ReadLog() const { return ReadFile(LogPath()); }

bool ModuleHost::WaitForLog(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return ReadLog().find(text) != std::string::npos; }, timeoutMs, 10);
}

void* ModuleHost::NewEventHandle() {
    if (eventCount_ >= static_cast<int>(sizeof eventFds_ / sizeof eventFds_[0])) return nullptr;
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    eventFds_[eventCount_++] = fd;
    return reinterpret_cast<void*>(static_cast<intptr_t>(fd));
}

}  // namespace testsupport
