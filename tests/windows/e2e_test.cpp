// The Windows module against a simulated card: scripts/test-windows runs
// this program under wine in the host namespace of a private lab and the
// Linux card simulator in the card's namespace, scripted so that:
//   - the card has serial 4711 and one trunk, user side for the module;
//   - every call the module places is answered;
//   - once the D-channel is up, after a pause, the card calls timeslot 1
//     from 5551234 to 100, plays the digit 5 when answered, and clears the
//     call with cause 16 a while later.
// The lab's facts reach the program in VAXO_E2E_* variables.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "module_loader.h"

using namespace wintest;

namespace {

constexpr DWORD kDChannelMs = 20000;
constexpr DWORD kCallMs = 15000;

// A host's view of one port: its event handle and what GetEvent gave.
struct PortEvents {
    const Api& api;
    int port;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int signals = 0;  // times the module signalled the handle
    ~PortEvents() { CloseHandle(event); }

    // Waits for the handle and drains GetEvent until code turns up.
    bool WaitFor(int code, DWORD timeoutMs) {
        DWORD start = GetTickCount();
        for (;;) {
            for (int e = api.GetEvent(port); e != KVEVENT_NONE; e = api.GetEvent(port))
                if (e == code) return true;
            DWORD spent = GetTickCount() - start;
            if (spent >= timeoutMs) return false;
            if (WaitForSingleObject(event, timeoutMs - spent) == WAIT_OBJECT_0) {
                ++signals;
                ResetEvent(event);
            }
        }
    }

    // Reads progress texts until one starts with prefix or the deadline.
    bool ProgressReaches(const char* prefix, DWORD timeoutMs) {
        auto seen = [&] {
            for (const char* t = api.GetCallProgress(port); t != nullptr && *t; t = api.GetCallProgress(port))
                if (strncmp(t, prefix, strlen(prefix)) == 0) return true;
            return false;
        };
        return WaitUntil(seen, timeoutMs);
    }
};

// Blocks the host's audio callback saw, by direction, and a count of
// blocks that were not 160 bytes.
std::atomic<int> g_audioBlocks[2], g_oddBlocks{0};
std::atomic<uint32_t> g_audioContext{0};

// Lowest and highest stack pointer the callback was entered with. The module
// calls it from the same places every 20 ms: if caller and callback
// disagreed on who removes the arguments, every call would move the
// caller's stack by 16 bytes and the range would grow without end.
std::atomic<uintptr_t> g_lowestSp{UINTPTR_MAX}, g_highestSp{0};

void VAXO_CALL CountAudio(int direction, uint32_t context, unsigned char* data, int length) {
#if defined(__i386__)
    uintptr_t sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    if (sp < g_lowestSp.load()) g_lowestSp.store(sp);
    if (sp > g_highestSp.load()) g_highestSp.store(sp);
#endif
    if (direction == KV_AUDIO_RECEIVED || direction == KV_AUDIO_SENT) g_audioBlocks[direction].fetch_add(1);
    if (length != 160 || data == nullptr) g_oddBlocks.fetch_add(1);
    g_audioContext.store(context);
}

}  // namespace

TEST_CASE("e2e: discovery, D-channel, incoming call with digit, record and play, outgoing call") {
    if (getenv("VAXO_E2E_LAB") == nullptr) SKIP("no card lab (run through scripts/test-windows)");
    RequirePrivateNetwork();
    const std::string serial = getenv("VAXO_E2E_SERIAL") != nullptr ? getenv("VAXO_E2E_SERIAL") : "4711";

    InstalledModule m("[Debug]\r\nLevel=0\r\n[General]\r\nHdlcLog=1\r\n");
    REQUIRE_LOADED(m);
    const Api& api = m.api();
    REQUIRE(api.Init());

    // Discovery: one card of one trunk, 30 ports named after it.
    if (api.NoofPorts() != 30) {
        api.Shutdown();
        FAIL_NOW("the card was not found: " + std::to_string(api.NoofPorts()) + " ports");
    }
    CHECK_STREQ(api.GetSerialNo(0), serial.c_str());
    CHECK_STREQ(api.GetPortName(0), ("VaxoBoard (1P " + serial + ") Trunk 1 Chn 1").c_str());
    CHECK_STREQ(api.GetPortName(15), ("VaxoBoard (1P " + serial + ") Trunk 1 Chn 17").c_str());
    CHECK_STREQ(api.GetInfo(0, "SERIALNO"), serial.c_str());

    PortEvents in{api, 0}, out{api, 1};
    for (PortEvents* pe : {&in, &out}) {
        api.SetEventHandle(pe->port, pe->event);
        CHECK(api.OpenPort(pe->port));
    }
    // The callback is __stdcall on 32-bit Windows, like the exports.
    api.SetAudioCallback(0, 0x5EED, CountAudio);
    CHECK_STREQ(api.GetInfo(0, "OPENTYPE"), "ALAW");

    // D-channel up: the trace says so and the ports become ready.
    CHECK(m.WaitForLog("DCHANNEL UP", kDChannelMs));
    CHECK(WaitUntil([&] { return std::string(api.GetInfo(1, "CHANNELSTATE") ?: "") == "READY"; }, kDChannelMs));

    // Incoming call from the card on timeslot 1.
    bool rang = in.WaitFor(KVEVENT_RING, kCallMs + kDChannelMs);
    CHECK(rang);
    if (rang) {
        CHECK_EQ(api.GetRings(0), 1);
        CHECK_STREQ(api.GetInfo(0, "CLI"), "5551234");
        CHECK_STREQ(api.GetInfo(0, "DLI"), "100");
        CHECK(api.Answer(0) && api.IsCallActive(0));

        // The card plays the digit 5 once the call is answered.
        CHECK(in.WaitFor(KVEVENT_KEY, kCallMs));
        CHECK_EQ(api.GetKey(0), '5');
        CHECK_EQ(api.GetKey(0), 0);

        // One second of what the card sends: exactly 8000 bytes.
        CHECK(api.Record(0, 1000));
        CHECK(in.WaitFor(KVEVENT_RECORDENDS, kCallMs));
        CHECK(api.GetRecordSize(0) == 8000 && api.GetRecordBuffer(0) != nullptr);

        // A quarter second of a tone goes out on the line.
        std::vector<unsigned char> tone(2000);
        for (size_t i = 0; i < tone.size(); ++i) tone[i] = (i / 4) % 2 ? 0xA5 : 0x25;
        CHECK(api.Play(0, tone.data(), static_cast<int>(tone.size())) && api.PlayTimeLeft(0) > 0);
        CHECK(in.WaitFor(KVEVENT_PLAYENDS, kCallMs));
        CHECK_EQ(api.PlayTimeLeft(0), 0);

        // The card clears the call with cause 16.
        CHECK(in.WaitFor(KVEVENT_CALLPROGRESS, kCallMs));
        CHECK(in.ProgressReaches("DISCONNECTED", kCallMs));
        CHECK(api.Hangup(0) && !api.IsCallActive(0));
    }

    // Outgoing call on timeslot 2, answered by the card, cleared by us.
    CHECK(api.Dial(1, "100"));
    CHECK(WaitUntil([&] { return api.IsCallActive(1); }, kCallMs));
    CHECK(out.ProgressReaches("CONNECTED", kCallMs));
    // Progress events of the outgoing call signalled the port's handle.
    CHECK_EQ(WaitForSingleObject(out.event, 0), WAIT_OBJECT_0);
    CHECK(out.WaitFor(KVEVENT_CALLPROGRESS, 0));
    CHECK(api.Hangup(1) && !api.IsCallActive(1));

    api.SetAudioCallback(0, 0, nullptr);
    // The call lasted seconds: 50 blocks a second.
    CHECK(g_audioBlocks[KV_AUDIO_RECEIVED].load() > 50 && g_audioBlocks[KV_AUDIO_SENT].load() > 50);
    CHECK(g_oddBlocks.load() == 0 && g_audioContext.load() == 0x5EEDu && in.signals > 0);
#if defined(__i386__)
    CHECK(g_highestSp.load() - g_lowestSp.load() < 1024u);
#endif
    for (int p : {0, 1}) api.ClosePort(p), api.SetEventHandle(p, nullptr);
    api.Shutdown();

    for (const char* line : {"Exit Answer(0) -> true", "Exit Dial(1,\"100\") -> true", "Exit Shutdown() -> void"})
        CHECK(m.Log().find(line) != std::string::npos);
    // The D-channel capture of the trunk went next to the module.
    CHECK(!ReadFileText(m.dir() + "\\vaxo-" + serial + "-1.hdlc").empty());
}

// Two copies of the module in one host: one drives the card (by Cards= and
// Adapters=), the other's Cards= leaves it out. The second binds its
// discovery beside the first one's card listener.
TEST_CASE("e2e: two modules in one host, each with its own cards") {
    if (getenv("VAXO_E2E_LAB") == nullptr) SKIP("no card lab (run through scripts/test-windows)");
    RequirePrivateNetwork();
    const std::string serial = getenv("VAXO_E2E_SERIAL") != nullptr ? getenv("VAXO_E2E_SERIAL") : "4711";
    const std::string mineIni = "[General]\r\nCards=" + serial + "\r\nAdapters=10.99.0.0/24\r\n";
    InstalledModule mine(mineIni.c_str());
    InstalledModule other("[General]\r\nCards=1-10, 0x12\r\n");
    REQUIRE_LOADED(mine);
    REQUIRE_LOADED(other);
    REQUIRE(mine->Init());
    REQUIRE(other->Init());
    CHECK_EQ(mine->NoofPorts(), 30);
    CHECK_EQ(other->NoofPorts(), 0);
    CHECK(mine.WaitForLog("Card 0: serial no " + serial + " at", 5000));
    CHECK(other.WaitForLog("Discovery skipped 1 card(s) outside Cards=: serial no " + serial, 5000));
    CHECK(other.WaitForLog("not a card serial number or range, ignored: 0x12", 5000));
    other->Shutdown();
    mine->Shutdown();
}

WINTEST_MAIN("e2e_test")
