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
        std::string line = log.substr(start, (nl = log.find('\n', start)) == std::string::npos ? nl : nl - start);
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
    CHECK(want.size() == 39u && exp->NumberOfNames == 39u && got == want);
}

TEST_CASE("before Init: identity, no ports, bad ports give defaults and never crash") {
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
    const Api& a = m.api();
    CHECK_STREQ(a.GetDriverName(), "VaxoBoard Digital E1");
    CHECK_STREQ(a.GetDriverVer(), VAXO_DRIVER_VERSION);
    CHECK(a.NoofPorts() == 0 && a.IsDeviceActive());
    char buffer[320] = {0};
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int p : {-1, 0, 5, 1023, 1024, INT_MAX, INT_MIN}) {
        a.SetEventHandle(p, ev), a.ClosePort(p), a.GenerateDtmf(p, "123"), a.GenerateDtmf(p, nullptr);
        a.StopPlay(p), a.SetAudioCallback(p, 7, nullptr);
        // Every query gives false, null or 0.
#define NONE(call) \
    if (a.call) Fail(__FILE__, __LINE__, #call " not false/null/0 for port " + std::to_string(p))
        NONE(IsPort(p)); NONE(IsEventPending(p)); NONE(OpenPort(p)); NONE(SetInfo(p, "DIALCLI", "123"));
        NONE(SetInfo(p, nullptr, nullptr)); NONE(Answer(p)); NONE(Hangup(p)); NONE(Reject(p)); NONE(Dial(p, "123"));
        NONE(Dial(p, nullptr)); NONE(IsCallActive(p)); NONE(Transfer(p, "123")); NONE(BlindTransfer(p, nullptr));
        NONE(Play(p, buffer, sizeof buffer)); NONE(Play(p, nullptr, -5)); NONE(PlayCached(p, buffer, INT_MAX));
        NONE(Record(p, 1000)); NONE(StopRecord(p)); NONE(GetPortName(p)); NONE(GetError(p)); NONE(GetInfo(p, "CLI"));
        NONE(GetInfo(p, nullptr)); NONE(DeviceSpecific(p, "IsReady", "")); NONE(DeviceSpecific(p, nullptr, nullptr));
        NONE(GetCallProgress(p)); NONE(GetRecordBuffer(p)); NONE(GetEvent(p)); NONE(GetRings(p)); NONE(GetKey(p));
        NONE(PlayTimeLeft(p)); NONE(GetRecordSize(p)); NONE(RecordTimeLeft(p));
#undef NONE
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
    CHECK(m->Init() && m->NoofPorts() == 0 && !m->IsPort(0));
    CHECK(m->Init());  // nested: only counts
    CHECK(!m->Transfer(3, "123") && !m->OpenPort(5) && !m->OpenPort(1234));
    m->ClosePort(5);
    m->Shutdown();  // back to one: still started, the log runs on
    CHECK(m->NoofPorts() == 0 && !m->Dial(2, "4711"));
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
        for (int i = 0; i < 2; ++i) {  // started again: paths, log, configuration
            CHECK(m->Init() && m->NoofPorts() == 0);
            m->Shutdown();
        }
        CHECK_EQ(CountOf(m.Log(), "Exit Init() -> true"), 2);
        CHECK(m.Unload());
        // Every thread of the module has ended and let go of it.
        CHECK(GetModuleHandleA(m.path().c_str()) == nullptr);
    }
    InstalledModule again(nullptr, dir);
    REQUIRE_LOADED(again);
    CHECK(again->Init());
    again->Shutdown();
    CHECK(CountOf(again.Log(), "Enter Init()") == 3 && CountOf(again.Log(), "Exit Shutdown() -> void") == 3);
}

#if defined(__i386__)
// Calls fn with count 32-bit arguments pushed right to left and returns how
// far the stack pointer moved over the call: 0 when the callee removed its
// arguments (__stdcall), -4 * count when it left them to the caller
// (__cdecl). Written in assembly so that no compiler bookkeeping around the
// call can hide what the callee did.
extern "C" int ProbeCall(const void* fn, const uint32_t* args, int count) __asm__("vaxo_probe_call");
__asm__(R"(
    .text
    .globl vaxo_probe_call
vaxo_probe_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl %esp, %esi
    movl 12(%ebp), %edx
    movl 16(%ebp), %ecx
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl %esp, %eax
    subl %esi, %eax
    movl %esi, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {

uintptr_t StackPointer() {
    uintptr_t sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}

#ifdef VAXO_CDECL
constexpr bool kCalleeRemovesArguments = false;
#else
constexpr bool kCalleeRemovesArguments = true;
#endif
constexpr int kCalls = 1000;

// One export with harmless arguments (a port that does not exist): the bytes
// its arguments take must be removed by the side the header says, and many
// calls through the header's pointer type must leave the stack pointer
// where it was.
template <typename Fn, typename... Args>
void CheckConvention(const char* name, Fn fn, Args... args) {
    static_assert(((sizeof(Args) == 4) && ...), "32-bit arguments only");
    const uint32_t words[] = {0u, static_cast<uint32_t>((uintptr_t)args)...};
    const int count = static_cast<int>(sizeof...(Args));
    const int moved = ProbeCall(reinterpret_cast<const void*>(fn), words + 1, count);
    const int want = kCalleeRemovesArguments ? 0 : -4 * count;
    if (moved != want) {
        Fail(__FILE__, __LINE__, std::string(name) + ": the stack moved by " + std::to_string(moved) +
                                     " bytes over one call, the declared convention gives " + std::to_string(want));
        return;  // typed calls would now corrupt this program's stack
    }
    const uintptr_t before = StackPointer();
    for (int i = 0; i < kCalls; ++i) fn(args...);
    const uintptr_t after = StackPointer();
    if (before != after)
        Fail(__FILE__, __LINE__, std::string(name) + ": the stack pointer moved by " +
                                     std::to_string(static_cast<long>(after - before)) + " over typed calls");
}

}  // namespace

TEST_CASE("calling convention: every export removes its arguments as the header declares") {
    InstalledModule m(nullptr);
    REQUIRE_LOADED(m);
    const Api& a = m.api();
    const int bad = 5000;  // no such port before Init
    static char buffer[8];
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
#define C(name, ...) CheckConvention(#name, a.name, __VA_ARGS__)
#define C0(name) CheckConvention(#name, a.name)
    // Init and Shutdown take nothing: both conventions are the same there.
    C0(GetDriverName); C0(GetDriverVer); C0(NoofPorts); C0(IsDeviceActive);
    C(IsPort, bad); C(GetPortName, bad); C(GetSerialNo, bad); C(GetError, bad); C(OpenPort, bad); C(ClosePort, bad);
    C(SetEventHandle, bad, static_cast<void*>(ev)); C(GetEvent, bad); C(IsEventPending, bad); C(GetKey, bad);
    C(GetRings, bad); C(GetInfo, bad, "CLI"); C(SetInfo, bad, "DIALCLI", "1"); C(DeviceSpecific, bad, "IsReady", "");
    C(Answer, bad); C(Hangup, bad); C(Reject, bad); C(Dial, bad, "1"); C(IsCallActive, bad); C(Transfer, bad, "1");
    C(BlindTransfer, bad, "1"); C(GetCallProgress, bad); C(GenerateDtmf, bad, "1");
    C(Play, bad, static_cast<void*>(buffer), 8); C(PlayCached, bad, static_cast<void*>(buffer), 8); C(StopPlay, bad);
    C(PlayTimeLeft, bad); C(Record, bad, 1000); C(StopRecord, bad); C(GetRecordBuffer, bad); C(GetRecordSize, bad);
    C(RecordTimeLeft, bad); C(SetAudioCallback, bad, uint32_t{7}, static_cast<KvAudioCallback>(nullptr));
#undef C
#undef C0
    CloseHandle(ev);
}
#endif

WINTEST_MAIN("module_test")
