// Loads the built module as a Windows IVR host does: copied into a folder of
// its own beside its INI file, loaded by full path, every export looked up
// by its plain name. Shared by module_test and e2e_test.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "include/vaxo_dt_qpl.h"
#include "win_helpers.h"

namespace wintest {

#define VAXO_EXPORT_LIST(X)                                                                                     \
    X(Init) X(Shutdown) X(GetDriverName) X(GetDriverVer) X(NoofPorts) X(IsDeviceActive) X(IsPort)             \
    X(GetPortName) X(GetSerialNo) X(GetError) X(SetEventHandle) X(GetEvent) X(IsEventPending) X(OpenPort)      \
    X(ClosePort) X(GetRings) X(GetKey) X(GetInfo) X(SetInfo) X(DeviceSpecific) X(Answer) X(Hangup) X(Reject)  \
    X(Dial) X(IsCallActive) X(Transfer) X(BlindTransfer) X(GetCallProgress) X(GenerateDtmf) X(Play)           \
    X(PlayCached) X(StopPlay) X(PlayTimeLeft) X(Record) X(StopRecord) X(GetRecordBuffer) X(GetRecordSize)     \
    X(RecordTimeLeft) X(SetAudioCallback)

const char* const kModuleName = "vaxo-dt-qpl.dev";
const char* const kLevel0Ini = "[Debug]\r\nLevel=0\r\n";

// Typed as the header declares them, so that a 32-bit build calls them
// __stdcall exactly as a host compiled against the header does.
struct Api {
#define X(name) decltype(&::name) name = nullptr;
    VAXO_EXPORT_LIST(X)
#undef X
};

// A module installed the way a host installs it: the DLL and its INI side
// by side in a folder of their own (dir, when given, holds one already).
class InstalledModule {
public:
    explicit InstalledModule(const char* iniText, const std::string& dir = std::string())
        : dir_(dir.empty() ? FreshFolder("module") : dir), path_(dir_ + "\\" + kModuleName) {
        char own[MAX_PATH];
        std::string from(own, GetModuleFileNameA(nullptr, own, sizeof own));
        from = from.substr(0, from.find_last_of('\\') + 1) + kModuleName;
        if (dir.empty() && !CopyFileA(from.c_str(), path_.c_str(), FALSE)) {
            error_ = "cannot copy the module to " + path_;
            return;
        }
        if (iniText != nullptr) WriteFileText(dir_ + "\\vaxo-dt-qpl.ini", iniText);
        if ((handle_ = LoadLibraryA(path_.c_str())) == nullptr) {
            error_ = "LoadLibrary failed: " + std::to_string(GetLastError());
            return;
        }
#define X(name) \
    api_.name = reinterpret_cast<decltype(&::name)>(reinterpret_cast<void (*)()>(GetProcAddress(handle_, #name)));
        VAXO_EXPORT_LIST(X)
#undef X
    }
    ~InstalledModule() { Unload(); }

    bool Unload() {
        BOOL ok = handle_ == nullptr || FreeLibrary(handle_);
        handle_ = nullptr;
        api_ = Api();
        return ok != FALSE;
    }
    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    HMODULE handle() const { return handle_; }
    const Api* operator->() const { return &api_; }
    const Api& api() const { return api_; }
    const std::string& dir() const { return dir_; }
    const std::string& path() const { return path_; }
    std::string Log() const { return ReadFileText(dir_ + "\\vaxo-dt-qpl.log"); }
    bool WaitForLog(const std::string& text, DWORD timeoutMs) const {
        return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
    }

private:
    std::string dir_, path_, error_;
    HMODULE handle_ = nullptr;
    Api api_;
};

#define REQUIRE_LOADED(m) ((m).loaded() ? (void)0 : FAIL_NOW((m).error()))

// Init broadcasts on every adapter: only where scripts/test-windows says
// this process runs in its private network, and only when the adapters are
// exactly the ones it made there.
inline void RequirePrivateNetwork() {
    const char* ok = getenv("VAXO_TEST_PRIVATE_NET");
    std::set<std::string> want = ExpectedAdapters(), got;
    if (ok == nullptr || std::string(ok) != "1" || want.empty())
        SKIP("not in a private network namespace (run through scripts/test-windows)");
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) == ERROR_BUFFER_OVERFLOW) {
        std::vector<unsigned char> buf(size);
        auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buf.data());
        if (GetAdaptersInfo(info, &size) == ERROR_SUCCESS)
            for (IP_ADAPTER_INFO* a = info; a != nullptr; a = a->Next)
                if (std::string(a->IpAddressList.IpAddress.String) != "0.0.0.0")
                    got.insert(std::string(a->IpAddressList.IpAddress.String) + "/" + a->IpAddressList.IpMask.String);
    }
    if (got != want) FAIL_NOW("the adapters are not those of the private network: not calling Init");
}

}  // namespace wintest
