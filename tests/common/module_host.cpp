#include "common/module_host.h"

#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <stdexcept>

#include "common/wait.h"

#ifndef VAXO_MODULE_PATH
#error "VAXO_MODULE_PATH must name the built module"
#endif

namespace testsupport {

namespace fs = std::filesystem;

ModuleHost::ModuleHost(const std::string& iniText, const std::string& dir) : ownDir_(dir.empty()) {
    std::string made = (fs::temp_directory_path() / "vaxo-host-XXXXXX").string();
    if (ownDir_ && mkdtemp(made.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    if (!ownDir_) fs::create_directories(dir);
    // The module reports its real path; keep ours the same so log paths match.
    dir_ = fs::canonical(ownDir_ ? made : dir).string();
    // Failures leave loaded() false with the reason on stderr, so the test
    // fails on its own assertion and the folder is still cleaned up.
    std::string module = dir_ + "/vaxo-dt-qpl.dev", error;
    std::error_code ec;
    fs::copy_file(VAXO_MODULE_PATH, module, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        fprintf(stderr, "ModuleHost: cannot copy %s: %s\n", VAXO_MODULE_PATH, ec.message().c_str());
        return;
    }
    WriteFile(dir_ + "/vaxo-dt-qpl.ini", iniText);
    handle_ = hostapi::LoadModule(module, &api_, &error);
    if (handle_ == nullptr) {
        fprintf(stderr, "ModuleHost: %s\n", error.c_str());
        api_ = ModuleApi{};
    }
}

ModuleHost::~ModuleHost() {
    hostapi::UnloadModule(handle_);
    for (int i = 0; i < eventCount_; ++i) close(eventFds_[i]);
    std::error_code ec;
    if (ownDir_) fs::remove_all(dir_, ec);
}

std::string ModuleHost::LogPath() const { return dir_ + "/vaxo-dt-qpl.log"; }

std::string ModuleHost::ReadLog() const { return ReadFile(LogPath()); }

bool ModuleHost::WaitForLog(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return ReadLog().find(text) != std::string::npos; }, timeoutMs, 10);
}

void* ModuleHost::NewEventHandle() {
    int fd = eventCount_ < static_cast<int>(std::size(eventFds_)) ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
    if (fd < 0) return nullptr;
    eventFds_[eventCount_++] = fd;
    return reinterpret_cast<void*>(static_cast<intptr_t>(fd));
}

}  // namespace testsupport
