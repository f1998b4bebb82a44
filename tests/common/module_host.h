// Loads a copy of the built module the way a host does: copied into a
// fresh folder beside its own INI file, opened by path, every export looked
// up by name.
#pragma once
#include <cstdint>
#include <string>

#include "include/vaxo_dt_qpl.h"

namespace testsupport {

struct ModuleApi {
    bool (*Init)();
    void (*Shutdown)();
    const char* (*GetDriverName)();
    const char* (*GetDriverVer)();
    int (*NoofPorts)();
    bool (*IsDeviceActive)();
    bool (*IsPort)(int);
    const char* (*GetPortName)(int);
    const char* (*GetSerialNo)(int);
    const char* (*GetError)(int);
    void (*SetEventHandle)(int, void*);
    int (*GetEvent)(int);
    bool (*IsEventPending)(int);
    bool (*OpenPort)(int);
    void (*ClosePort)(int);
    int (*GetRings)(int);
    char (*GetKey)(int);
    const char* (*GetInfo)(int, const char*);
    bool (*SetInfo)(int, const char*, const char*);
    const char* (*DeviceSpecific)(int, const char*, const char*);
    bool (*Answer)(int);
    bool (*Hangup)(int);
    bool (*Reject)(int);
    bool (*Dial)(int, const char*);
    bool (*IsCallActive)(int);
    bool (*Transfer)(int, const char*);
    bool (*BlindTransfer)(int, const char*);
    const char* (*GetCallProgress)(int);
    void (*GenerateDtmf)(int, const char*);
    bool (*Play)(int, void*, int);
    bool (*PlayCached)(int, void*, int);
    void (*StopPlay)(int);
    int (*PlayTimeLeft)(int);
    bool (*Record)(int, int);
    bool (*StopRecord)(int);
    void* (*GetRecordBuffer)(int);
    int (*GetRecordSize)(int);
    int (*RecordTimeLeft)(int);
    void (*SetAudioCallback)(int, uint32_t, KvAudioCallback);
};

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
