// The module as a Windows IVR host sees it: copied into a folder of its own
// with its INI file, loaded with LoadLibrary, every export looked up by its
// plain name, then started and stopped. Init broadcasts on every adapter, so
// the tests that call it run only inside the private network that
// scripts/test-windows makes, and check its adapters before they start.
#include <climits>
#include <set>
#include <string>

#include "module_loader.h"

using namespace wintest;

namespace {

// Every line ends with CR LF and starts "DD/MM/YYYY HH:MM:SS PPP :".
bool WellFormedLines(const std::string& log, std::string* bad) {
    size_t start = 0;
    while (start < log.size()) {
        size_t nl = log.find('\n', start);
        if (nl == std::string::npos || nl == start || log[nl - 1] != '\r') {
            *bad = log.substr(start, 80);
            return false;
        }
        std::string line = log.substr(start, nl - 1 - start);
        bool ok = line.size() >= 25;
        static const char kShape[] = "dd/dd/dddd dd:dd:dd";
        for (size_t i = 0; ok && i < sizeof kShape - 1; ++i)
            ok = kShape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == kShape[i];
        size_t colon = ok ? line.find(" :", 19) : std::string::npos;
        ok = ok && line[19] == ' ' && colon != std::string::npos && colon >= 23;
        if (!ok) {
            *bad = line;
            return false;
        }
        start = nl + 1;
    }
    return true;
}

}  // namespace

// ------------------------------------------------------------ exports

TEST_CASE("exports: the 39 plain names and no others") {
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
#define X(name) \
    if (m->name == nullptr) ::wintest::Fail(__FILE__, __LINE__, "missing export " #name);
    VAXO_EXPORT_LIST(X)
#undef X
    // Read the export directory itself: exactly these names, undecorated.
    std::set<std::string> want;
#define X(name) want.insert(#name);
    VAXO_EXPORT_LIST(X)
#undef X
    CHECK_EQ(want.size(), 39u);
    auto* base = reinterpret_cast<const unsigned char*>(m.handle());
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    REQUIRE(dir.VirtualAddress != 0);
    auto* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* names = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    std::set<std::string> got;
    for (DWORD i = 0; i < exp->NumberOfNames; ++i) got.insert(reinterpret_cast<const char*>(base + names[i]));
    CHECK_EQ(exp->NumberOfNames, 39u);
    CHECK(got == want);
    for (const std::string& n : got)
        if (want.count(n) == 0) std::printf("  unexpected export %s\n", n.c_str());
    CHECK(GetProcAddress(m.handle(), "_Init@0") == nullptr);
    CHECK(GetProcAddress(m.handle(), "Init@0") == nullptr);
    CHECK(GetProcAddress(m.handle(), "DllMain") == nullptr);
}

// ------------------------------------------------------------ before Init

TEST_CASE("identity: name, version and no ports before Init") {
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
    CHECK_STREQ(m->GetDriverName(), "VaxoBoard Digital E1");
    CHECK_STREQ(m->GetDriverVer(), "3.0.877:27123");
    CHECK_EQ(m->NoofPorts(), 0);
    CHECK(m->IsDeviceActive());
    CHECK(!m->IsPort(0));
    CHECK_STREQ(m->GetSerialNo(0), "");
    CHECK(m->GetPortName(0) == nullptr);
    CHECK(m->GetError(0) == nullptr);
}

TEST_CASE("bad ports before Init: defaults, never a crash") {
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
    const Api& a = m.api();
    const int bad[] = {-1, 0, 5, 1023, 1024, INT_MAX, INT_MIN};
    char buffer[320] = {0};
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int p : bad) {
        CHECK(!a.IsPort(p));
        CHECK(a.GetPortName(p) == nullptr);
        CHECK_STREQ(a.GetSerialNo(p), "");
        CHECK(a.GetError(p) == nullptr);
        a.SetEventHandle(p, ev);
        CHECK_EQ(a.GetEvent(p), 0);
        CHECK(!a.IsEventPending(p));
        CHECK(!a.OpenPort(p));
        a.ClosePort(p);
        CHECK_EQ(a.GetRings(p), 0);
        CHECK_EQ(a.GetKey(p), 0);
        CHECK(a.GetInfo(p, "CLI") == nullptr);
        CHECK(a.GetInfo(p, nullptr) == nullptr);
        CHECK(!a.SetInfo(p, "DIALCLI", "123"));
        CHECK(!a.SetInfo(p, nullptr, nullptr));
        CHECK(a.DeviceSpecific(p, "IsReady", "") == nullptr);
        CHECK(a.DeviceSpecific(p, nullptr, nullptr) == nullptr);
        CHECK(!a.Answer(p));
        CHECK(!a.Hangup(p));
        CHECK(!a.Reject(p));
        CHECK(!a.Dial(p, "123"));
        CHECK(!a.Dial(p, nullptr));
        CHECK(!a.IsCallActive(p));
        CHECK(!a.Transfer(p, "123"));
        CHECK(!a.BlindTransfer(p, nullptr));
        CHECK(a.GetCallProgress(p) == nullptr);
        a.GenerateDtmf(p, "123");
        a.GenerateDtmf(p, nullptr);
        CHECK(!a.Play(p, buffer, sizeof buffer));
        CHECK(!a.Play(p, nullptr, -5));
        CHECK(!a.PlayCached(p, buffer, INT_MAX));
        a.StopPlay(p);
        CHECK_EQ(a.PlayTimeLeft(p), 0);
        CHECK(!a.Record(p, 1000));
        CHECK(!a.StopRecord(p));
        CHECK(a.GetRecordBuffer(p) == nullptr);
        CHECK_EQ(a.GetRecordSize(p), 0);
        CHECK_EQ(a.RecordTimeLeft(p), 0);
        a.SetAudioCallback(p, 7, nullptr);
    }
    CHECK_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // never signalled
    CloseHandle(ev);
}

// ------------------------------------------------------------ Init, no cards

TEST_CASE("init: no cards gives true and 0 ports; nested pairs only count; log lines") {
    RequirePrivateNetwork();
    InstalledModule m(kLevel0Ini);
    REQUIRE_LOADED(m);
    CHECK(m->Init());
    CHECK_EQ(m->NoofPorts(), 0);
    CHECK(!m->IsPort(0));
    CHECK(m->Init());  // nested: only counts
    CHECK_EQ(m->NoofPorts(), 0);
    CHECK(!m->Transfer(3, "123"));
    CHECK(!m->OpenPort(5));
    CHECK(!m->OpenPort(1234));
    m->ClosePort(5);
    m->Shutdown();  // back to one: still started
    CHECK_STREQ(m->GetDriverName(), "VaxoBoard Digital E1");
    CHECK(!m->Dial(2, "4711"));  // still traced: the log runs on
    m->Shutdown();  // the last one stops everything

    std::string log = m.Log();
    CHECK_EQ(CountOf(log, "   G :Enter Init()\r\n"), 1);
    CHECK_EQ(CountOf(log, "   G :Exit Init() -> true\r\n"), 1);
    CHECK_EQ(CountOf(log, "   G :Enter Shutdown()\r\n"), 1);
    CHECK_EQ(CountOf(log, "   G :Exit Shutdown() -> void\r\n"), 1);
    CHECK_EQ(CountOf(log, "   3 :Enter Transfer(3,\"123\")\r\n"), 1);
    CHECK_EQ(CountOf(log, "   3 :Exit Transfer(3,\"123\") -> false\r\n"), 1);
    CHECK_EQ(CountOf(log, "   5 :Enter OpenPort(5)\r\n"), 1);
    CHECK_EQ(CountOf(log, "   5 :Exit OpenPort(5) -> false\r\n"), 1);
    CHECK_EQ(CountOf(log, " 1234 :Enter OpenPort(1234)\r\n"), 1);
    CHECK_EQ(CountOf(log, "   5 :Exit ClosePort() -> void\r\n"), 1);
    CHECK_EQ(CountOf(log, "   2 :Exit Dial(2,\"4711\") -> false\r\n"), 1);
    CHECK(log.find("Enter Init()") < log.find("Exit Init()"));
    CHECK(log.find("Exit Init()") < log.find("Enter Shutdown()"));
    CHECK(log.rfind("Exit Shutdown() -> void") > log.rfind("Dial(2"));
    std::string bad;
    CHECK(WellFormedLines(log, &bad));
    if (!bad.empty()) std::printf("  bad line: %s\n", bad.c_str());
    CHECK(CountOf(log, "\n") == CountOf(log, "\r\n"));  // CR LF only
}

TEST_CASE("init: a restart and a reload append to the same log") {
    RequirePrivateNetwork();
    std::string dir;
    {
        InstalledModule m(kLevel0Ini);
        REQUIRE_LOADED(m);
        dir = m.dir();
        CHECK(m->Init());
        m->Shutdown();
        CHECK(m->Init());  // started again: paths, log, configuration
        CHECK_EQ(m->NoofPorts(), 0);
        m->Shutdown();
        CHECK_EQ(CountOf(m.Log(), "Exit Init() -> true"), 2);
        std::string path = m.path();
        CHECK(m.Unload());
        // Every thread of the module has ended and let go of it: FreeLibrary
        // really unloaded it.
        CHECK(GetModuleHandleA(path.c_str()) == nullptr);
    }
    InstalledModule again(nullptr, dir);
    REQUIRE_LOADED(again);
    CHECK(again->Init());
    again->Shutdown();
    std::string log = again.Log();
    CHECK_EQ(CountOf(log, "Enter Init()"), 3);
    CHECK_EQ(CountOf(log, "Exit Shutdown() -> void"), 3);
}

TEST_CASE("init: without an INI file the default level writes no call lines") {
    RequirePrivateNetwork();
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
    CHECK(m->Init());
    CHECK(!m->Transfer(3, "123"));
    m->Shutdown();
    std::string log = m.Log();  // may be empty: nothing else is written at level 2 without cards
    CHECK(log.find("Enter Init()") == std::string::npos);
    CHECK(log.find("Transfer") == std::string::npos);
    std::string bad;
    CHECK(WellFormedLines(log, &bad));
}

TEST_CASE("init: a Shutdown without Init leaves the next Init counting only") {
    RequirePrivateNetwork();
    InstalledModule m(kLevel0Ini);
    REQUIRE_LOADED(m);
    m->Shutdown();     // count -1
    CHECK(m->Init());  // count 0: starts nothing
    CHECK(m.Log().find("Enter Init()") == std::string::npos);
    CHECK(m->Init());  // count 1: starts
    m->Shutdown();
    CHECK_EQ(CountOf(m.Log(), "Enter Init()"), 1);
    CHECK_EQ(CountOf(m.Log(), "Exit Shutdown() -> void"), 1);
}

WINTEST_MAIN("module_test")
