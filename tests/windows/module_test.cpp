// The module as a Windows IVR host sees it: copied into a folder of its own
// with its INI file, loaded with LoadLibrary, every export looked up by its
// plain name, then started and stopped. Init broadcasts on every adapter,
// so the cases that call it run only inside scripts/test-windows's private
// network, and check its adapters before they start.
#include <climits>
#include <regex>
#include <set>
#include <string>
#include <utility>

#include "module_loader.h"

using namespace wintest;

namespace {

std::string Today() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    char text[16];
    snprintf(text, sizeof text, "%02u/%02u/%04u", st.wDay, st.wMonth, st.wYear);
    return text;
}

// "" when every line ends with CR LF and starts "DD/MM/YYYY HH:MM:SS PPP :"
// with one of the given local dates; else the first line that does not.
std::string BadLine(const std::string& log, const std::set<std::string>& days) {
    static const std::regex kLine(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d (  G|[ \d-]{3}|-?\d{4,}) :[^\r\n]*\r)");
    for (size_t start = 0, nl; start < log.size(); start = nl + 1) {
        nl = log.find('\n', start);
        std::string line = log.substr(start, nl == std::string::npos ? nl : nl - start);
        if (nl == std::string::npos || !std::regex_match(line, kLine) || days.count(line.substr(0, 10)) == 0)
            return line;
    }
    return "";
}

}  // namespace

TEST_CASE("exports: the 39 plain names and no others") {
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
    std::set<std::string> want;
#define X(name) want.insert(#name);
    VAXO_EXPORT_LIST(X)
#undef X
    // The export directory itself: exactly these names, undecorated.
    auto* base = reinterpret_cast<const unsigned char*>(m.handle());
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    REQUIRE(dir.VirtualAddress != 0);
    auto* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* names = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    std::set<std::string> got;
    for (DWORD i = 0; i < exp->NumberOfNames; ++i) got.insert(reinterpret_cast<const char*>(base + names[i]));
    CHECK_EQ(want.size(), 39u);
    CHECK_EQ(exp->NumberOfNames, 39u);
    CHECK(got == want);
}

TEST_CASE("before Init: identity, no ports, bad ports give defaults and never crash") {
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
    const Api& a = m.api();
    CHECK_STREQ(a.GetDriverName(), "VaxoBoard Digital E1");
    CHECK_STREQ(a.GetDriverVer(), "3.0.877:27123");
    CHECK_EQ(a.NoofPorts(), 0);
    CHECK(a.IsDeviceActive());
    char buffer[320] = {0};
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int p : {-1, 0, 5, 1023, 1024, INT_MAX, INT_MIN}) {
        a.SetEventHandle(p, ev);
        a.ClosePort(p);
        a.GenerateDtmf(p, "123");
        a.GenerateDtmf(p, nullptr);
        a.StopPlay(p);
        a.SetAudioCallback(p, 7, nullptr);
        const std::pair<const char*, bool> trues[] = {
            {"IsPort", a.IsPort(p)}, {"IsEventPending", a.IsEventPending(p)}, {"OpenPort", a.OpenPort(p)},
            {"SetInfo", a.SetInfo(p, "DIALCLI", "123")}, {"SetInfo null", a.SetInfo(p, nullptr, nullptr)},
            {"Answer", a.Answer(p)}, {"Hangup", a.Hangup(p)}, {"Reject", a.Reject(p)}, {"Dial", a.Dial(p, "123")},
            {"Dial null", a.Dial(p, nullptr)}, {"IsCallActive", a.IsCallActive(p)}, {"Transfer", a.Transfer(p, "123")},
            {"BlindTransfer", a.BlindTransfer(p, nullptr)}, {"Play", a.Play(p, buffer, sizeof buffer)},
            {"Play null", a.Play(p, nullptr, -5)}, {"PlayCached", a.PlayCached(p, buffer, INT_MAX)},
            {"Record", a.Record(p, 1000)}, {"StopRecord", a.StopRecord(p)}};
        const std::pair<const char*, const void*> pointers[] = {
            {"GetPortName", a.GetPortName(p)}, {"GetError", a.GetError(p)}, {"GetInfo", a.GetInfo(p, "CLI")},
            {"GetInfo null", a.GetInfo(p, nullptr)}, {"DeviceSpecific", a.DeviceSpecific(p, "IsReady", "")},
            {"DeviceSpecific null", a.DeviceSpecific(p, nullptr, nullptr)}, {"GetCallProgress", a.GetCallProgress(p)},
            {"GetRecordBuffer", a.GetRecordBuffer(p)}};
        const std::pair<const char*, int> numbers[] = {
            {"GetEvent", a.GetEvent(p)},         {"GetRings", a.GetRings(p)},
            {"GetKey", a.GetKey(p)},             {"PlayTimeLeft", a.PlayTimeLeft(p)},
            {"GetRecordSize", a.GetRecordSize(p)}, {"RecordTimeLeft", a.RecordTimeLeft(p)}};
        const std::string port = " for port " + std::to_string(p);
        for (const auto& r : trues)
            if (r.second) Fail(__FILE__, __LINE__, std::string(r.first) + " true" + port);
        for (const auto& r : pointers)
            if (r.second != nullptr) Fail(__FILE__, __LINE__, std::string(r.first) + " not null" + port);
        for (const auto& r : numbers)
            if (r.second != 0) Fail(__FILE__, __LINE__, std::string(r.first) + " not 0" + port);
        CHECK_STREQ(a.GetSerialNo(p), "");
    }
    CHECK_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // never signalled
    CloseHandle(ev);
}

TEST_CASE("init: no cards gives true and 0 ports; nested pairs only count; CR LF log lines") {
    RequirePrivateNetwork();
    InstalledModule m(kLevel0Ini);
    REQUIRE_LOADED(m);
    const std::string day = Today();
    CHECK(m->Init());
    CHECK_EQ(m->NoofPorts(), 0);
    CHECK(!m->IsPort(0));
    CHECK(m->Init());  // nested: only counts
    CHECK(!m->Transfer(3, "123"));
    CHECK(!m->OpenPort(5));
    CHECK(!m->OpenPort(1234));
    m->ClosePort(5);
    m->Shutdown();  // back to one: still started, the log runs on
    CHECK_EQ(m->NoofPorts(), 0);
    CHECK(!m->Dial(2, "4711"));
    m->Shutdown();  // the last one stops everything

    std::string log = m.Log();
    for (const char* line : {"   G :Enter Init()\r\n", "   G :Exit Init() -> true\r\n", "   G :Enter Shutdown()\r\n",
                             "   G :Exit Shutdown() -> void\r\n", "   3 :Enter Transfer(3,\"123\")\r\n",
                             "   3 :Exit Transfer(3,\"123\") -> false\r\n", "   5 :Exit OpenPort(5) -> false\r\n",
                             " 1234 :Enter OpenPort(1234)\r\n", "   5 :Exit ClosePort() -> void\r\n",
                             "   2 :Exit Dial(2,\"4711\") -> false\r\n"})
        if (CountOf(log, line) != 1) Fail(__FILE__, __LINE__, std::string("not once in the log: ") + line);
    CHECK(log.find("Exit Init()") < log.find("Enter Shutdown()"));
    CHECK(log.rfind("Exit Shutdown() -> void") > log.rfind("Dial(2"));
    CHECK_STREQ(BadLine(log, {day, Today()}).c_str(), "");
    CHECK_EQ(CountOf(log, "\n"), CountOf(log, "\r\n"));  // CR LF only
}

TEST_CASE("init: a restart and a reload append to the same log; FreeLibrary unloads") {
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
        CHECK(m.Unload());
        // Every thread of the module has ended and let go of it.
        CHECK(GetModuleHandleA(m.path().c_str()) == nullptr);
    }
    InstalledModule again(nullptr, dir);
    REQUIRE_LOADED(again);
    CHECK(again->Init());
    again->Shutdown();
    CHECK_EQ(CountOf(again.Log(), "Enter Init()"), 3);
    CHECK_EQ(CountOf(again.Log(), "Exit Shutdown() -> void"), 3);
}

WINTEST_MAIN("module_test")
