#include "common/module_host.h"

#include <dlfcn.h>
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

template <typename Fn>
bool Bind(void* handle, const char* name, Fn*& slot) {
    slot = reinterpret_cast<Fn*>(dlsym(handle, name));
    return slot != nullptr;
}

bool BindAll(void* h, ModuleApi& a) {
    bool ok = true;
#define VAXO_BIND(name) ok = Bind(h, #name, a.name) && ok
    VAXO_BIND(Init); VAXO_BIND(Shutdown); VAXO_BIND(GetDriverName); VAXO_BIND(GetDriverVer);
    VAXO_BIND(NoofPorts); VAXO_BIND(IsDeviceActive); VAXO_BIND(IsPort); VAXO_BIND(GetPortName);
    VAXO_BIND(GetSerialNo); VAXO_BIND(GetError); VAXO_BIND(SetEventHandle); VAXO_BIND(GetEvent);
    VAXO_BIND(IsEventPending); VAXO_BIND(OpenPort); VAXO_BIND(ClosePort); VAXO_BIND(GetRings);
    VAXO_BIND(GetKey); VAXO_BIND(GetInfo); VAXO_BIND(SetInfo); VAXO_BIND(DeviceSpecific);
    VAXO_BIND(Answer); VAXO_BIND(Hangup); VAXO_BIND(Reject); VAXO_BIND(Dial);
    VAXO_BIND(IsCallActive); VAXO_BIND(Transfer); VAXO_BIND(BlindTransfer);
    VAXO_BIND(GetCallProgress); VAXO_BIND(GenerateDtmf); VAXO_BIND(Play); VAXO_BIND(PlayCached);
    VAXO_BIND(StopPlay); VAXO_BIND(PlayTimeLeft); VAXO_BIND(Record); VAXO_BIND(StopRecord);
    VAXO_BIND(GetRecordBuffer); VAXO_BIND(GetRecordSize); VAXO_BIND(RecordTimeLeft);
    VAXO_BIND(SetAudioCallback);
#undef VAXO_BIND
    return ok;
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
    handle_ = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* err = dlerror();
        fprintf(stderr, "ModuleHost: dlopen failed: %s\n", err != nullptr ? err : "?");
        return;
    }
    if (!BindAll(handle_, api_)) {
        fprintf(stderr, "ModuleHost: the module lacks an export\n");
        dlclose(handle_);
        handle_ = nullptr;
        api_ = ModuleApi{};
    }
}

ModuleHost::~ModuleHost() {
    if (handle_ != nullptr) dlclose(handle_);
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
