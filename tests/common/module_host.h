// Loads a copy of the built module the way a host does: copied into a
// fresh folder beside its own INI file, opened by path, every export looked
// up by name.
#pragma once
#include <cstdint>
#include <string>

#include "host/module_api.h"
#include "include/vaxo_dt_qpl.h"

namespace testsupport {

using ModuleApi = hostapi::ModuleApi;

class ModuleHost {
public:
    // Copies the module built at VAXO_MODULE_PATH into dir (made fresh when
    // empty) and writes iniText beside it as vaxo-dt-qpl.ini.
    explicit ModuleHost(const std::string& iniText = "", const std::string& dir = "");
    ~ModuleHost();  // unloads and removes the folder it made

    bool loaded() const { return handle_ != nullptr; }
    const ModuleApi& api() const { return api_; }
    const ModuleApi* operator->() const { return &api_; }
    std::string dir() const { return dir_; }
    std::string LogPath() const;
    std::string ReadLog() const;
    // Waits until the log holds text (the writer batches every 100 ms).
    bool WaitForLog(const std::string& text, int timeoutMs) const;

    // An eventfd for SetEventHandle, closed by the destructor.
    void* NewEventHandle();

private:
    void* handle_ = nullptr;
    ModuleApi api_{};
    std::string dir_;
    bool ownDir_ = false;
    int eventFds_[1024];
    int eventCount_ = 0;
};

}  // namespace testsupport
