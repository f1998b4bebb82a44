// The pieces of the Win32 platform layer that differ from POSIX and that
// only Windows code reaches: events, threads, INI reading, shared appending
// files, module file name, sockets and the adapter list of the private
// network the test runs in. What the module itself exercises under wine
// (the host's event handle signalled, non-blocking UDP receives) is checked
// through it by module_test and e2e_test.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <string>

#include "check.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/ini.h"
#include "platform/module.h"
#include "platform/shared_file.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "win_helpers.h"

using namespace wintest;

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct SocketCloser {
    plat::Socket s;
    ~SocketCloser() { plat::CloseSocket(s); }
};

// A port nothing listens on any more.
uint16_t ClosedPort(plat::Socket (*make)()) {
    SocketCloser c{make()};
    return plat::Bind(c.s, kLoopback, 0) ? plat::LocalPort(c.s) : 0;
}

}  // namespace

TEST_CASE("event and thread: manual reset; time-critical from the start, a join that gives up") {
    plat::ManualResetEvent e;
    CHECK(!e.Wait(30));  // not signalled when made
    e.Set();
    CHECK(e.Wait(0) && e.Wait(0));  // stays signalled: manual reset
    e.Reset();
    CHECK(!e.Wait(0));

    static std::atomic<int> ran{0}, priority{-99};
    auto body = [](void* release) {
        plat::EnterProAudioClass();  // never fails the thread, twice neither
        plat::EnterProAudioClass();
        plat::SetCurrentThreadName("vaxo media tick, a long name that is cut");
        priority = GetThreadPriority(GetCurrentThread());
        ran = 1;
        static_cast<plat::ManualResetEvent*>(release)->Wait(10000);
        ran = 2;
    };
    {
        plat::Thread t;
        REQUIRE(t.Start(body, &e, plat::ThreadPriority::TimeCritical));
        CHECK(!t.Start(body, &e));  // one body per thread object
        CHECK(WaitUntil([&] { return ran.load() == 1; }, 5000));
        CHECK_EQ(priority.load(), THREAD_PRIORITY_TIME_CRITICAL);
        CHECK(!t.Join(50));  // still blocked: the join gives up
        CHECK(!t.Started());
    }
    e.Set();  // the abandoned thread finishes on its own
    CHECK(WaitUntil([&] { return ran.load() == 2; }, 5000));
}

TEST_CASE("ini: integers and texts through the system reader") {
    std::string dir = FreshFolder("ini"), path = dir + "\\test.ini", missing = dir + "\\missing.ini";
    WriteFileText(path,
                  "; driver settings\r\n[Debug]\r\nLevel=0\r\nFlushImmediate = 1\r\n"
                  "[general]\r\nNegative=-12\r\nWords=abc\r\nMixed=12abc\r\n"
                  "Huge=99999999999\r\nHugeNegative=-99999999999\r\nEmpty=\r\n"
                  "[Dtmf]\r\nRowPeak=6.5\r\nQuoted=\"7.25\"\r\n[123456-1]\r\nSwitchType=1001\r\n");
    const char* p = path.c_str();
    const struct { const char *section, *key; int dflt; const char* file; int want; } ints[] = {
        {"DEBUG", "flushimmediate", 0, p, 1},  // case does not matter
        {"General", "Missing", 16, p, 16},     {"Nowhere", "Level", 7, p, 7},
        {"General", "Negative", 0, p, -12},    {"General", "Words", 5, p, 5},  // no number: the default
        {"General", "Empty", 5, p, 5},         {"General", "Mixed", 5, p, 12},
        {"General", "Huge", 0, p, INT_MAX},    {"General", "HugeNegative", 0, p, INT_MIN},
        {"123456-1", "SwitchType", 5, p, 1001}, {"Debug", "Level", 2, missing.c_str(), 2},
        {nullptr, "Level", 3, p, 3},           {"Debug", nullptr, 3, p, 3},
        {"Debug", "Level", 3, nullptr, 3}};
    for (const auto& t : ints) CHECK_EQ(plat::IniReadInt(t.section, t.key, t.dflt, t.file), t.want);

    const char* texts[][4] = {
        {"Dtmf", "RowPeak", "6.3", "6.5"},   {"Dtmf", "Quoted", "", "7.25"},
        {"Dtmf", "ColPeak", "6.3", "6.3"},   {"Dtmf", "ColPeak", nullptr, ""},
        {"Dtmf", nullptr, "dflt", "dflt"},  // not the list of the section's keys
        {nullptr, "RowPeak", "dflt", "dflt"},
    };
    char buf[100], small[3] = {'x', 'x', 'x'}, one[1] = {'x'};
    for (const auto& t : texts) {
        plat::IniReadString(t[0], t[1], t[2], buf, sizeof buf, p);
        CHECK_STREQ(buf, t[3]);
    }
    CHECK_EQ(plat::IniReadString("Dtmf", "RowPeak", "", buf, sizeof buf, p), 3u);
    plat::IniReadString("Dtmf", "RowPeak", "", small, sizeof small, p);  // cut to the buffer, always terminated
    CHECK(small[0] == '6' && small[2] == '\0');
    CHECK_EQ(plat::IniReadString("Dtmf", "RowPeak", "", one, 1, p), 0u);
    CHECK_EQ(one[0], '\0');
    CHECK_EQ(plat::IniReadString("Dtmf", "RowPeak", "", nullptr, 10, p), 0u);
}

TEST_CASE("shared file: appends, keeps contents, shares read, write and delete; module file name") {
    std::string dir = FreshFolder("file"), path = dir + "\\trace.log";
    plat::AppendFile f;
    CHECK_EQ(f.Write("x", 1), -1);  // closed
    REQUIRE(f.Open(path.c_str()));
    CHECK_EQ(f.Write("one\r\n", 5), 5);
    CHECK_EQ(f.Write(nullptr, 0), 0);
    // Others may write the file while it is open, and what they add stays.
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(other != INVALID_HANDLE_VALUE);
    SetFilePointer(other, 0, nullptr, FILE_END);
    DWORD n = 0;
    WriteFile(other, "other\r\n", 7, &n, nullptr);
    CloseHandle(other);
    CHECK_EQ(f.Write("two\r\n", 5), 5);
    f.Close();
    CHECK(!f.IsOpen());
    CHECK(ReadFileText(path) == "one\r\nother\r\ntwo\r\n");
    REQUIRE(f.Open(path.c_str()));
    CHECK(DeleteFileA(path.c_str()) != FALSE);  // deleting is shared too
    f.Close();
    CHECK(!f.Open((dir + "\\no such folder\\x.log").c_str()) && !f.Open(nullptr) && !f.Open(""));

    CHECK_EQ(plat::kPathSeparator, '\\');
    char name[MAX_PATH], tiny[4];
    REQUIRE(plat::ModuleFileName(name, sizeof name));
    CHECK(std::string(name).find("\\platform_test.exe") != std::string::npos);
    CHECK(!plat::ModuleFileName(tiny, sizeof tiny));  // cut names are refused
    CHECK(!plat::ModuleFileName(nullptr, 100));
}

TEST_CASE("socket: cut datagrams, no error after a port-unreachable, refused TCP connect") {
    REQUIRE(plat::SocketsStartup());
    plat::Socket rx = plat::UdpSocket(), tx = plat::UdpSocket();
    SocketCloser c1{rx}, c2{tx};
    REQUIRE(plat::Bind(rx, kLoopback, 0) && plat::Bind(tx, kLoopback, 0));
    uint16_t port = plat::LocalPort(rx), fromPort = 0;
    // A datagram longer than the buffer comes back cut, as BSD sockets do.
    char buf[64], big[200];
    memset(big, 'b', sizeof big);
    CHECK_EQ(plat::SendTo(tx, big, sizeof big, kLoopback, port), 200);
    CHECK_EQ(plat::WaitReadable(rx, 5000), 1);
    CHECK_EQ(plat::ReceiveFrom(rx, buf, 50, nullptr, &fromPort), 50);
    CHECK_EQ(buf[49], 'b');
    CHECK_EQ(fromPort, plat::LocalPort(tx));
    CHECK_EQ(plat::WaitReadable(rx, 0), 0);  // the rest is gone with it
    // The port-unreachable answer to a send must not fail the next receive.
    CHECK_EQ(plat::SendTo(rx, "x", 1, kLoopback, ClosedPort(plat::UdpSocket)), 1);
    plat::SleepMs(50);
    CHECK_EQ(plat::SendTo(tx, "hello", 5, kLoopback, port), 5);
    CHECK_EQ(plat::WaitReadable(rx, 5000), 1);
    CHECK_EQ(plat::ReceiveFrom(rx, buf, sizeof buf, nullptr, nullptr), 5);

    SocketCloser refused{plat::TcpSocket()};
    REQUIRE(plat::SetNonBlocking(refused.s, true));
    // Windows shows the failure in the exception set of select, never as writable.
    if (plat::ConnectStart(refused.s, kLoopback, ClosedPort(plat::TcpSocket)))
        CHECK_EQ(plat::WaitWritable(refused.s, 8000), -1);
    CHECK_EQ(plat::WaitReadable(plat::kNoSocket, 0), -1);
    CHECK_EQ(plat::WaitWritable(plat::kNoSocket, 0), -1);
}

TEST_CASE("adapters: the private network's adapters, first address and mask") {
    std::set<std::string> want = ExpectedAdapters(), got;
    if (want.empty()) SKIP("VAXO_TEST_ADAPTERS not set (run through scripts/test-windows)");
    plat::AdapterAddress found[16];
    int n = plat::ListAdapters(found, 16);
    for (int i = 0; i < n; ++i) {
        char a[16], m[16];
        plat::Ipv4ToText(found[i].address, a, sizeof a);
        plat::Ipv4ToText(found[i].mask, m, sizeof m);
        got.insert(std::string(a) + "/" + m);
    }
    CHECK(got == want);
    CHECK(n < 2 || (plat::ListAdapters(found, 1) == 1 && plat::ListAdapters(nullptr, 0) == 0));  // never more than asked for
}

WINTEST_MAIN("platform_test")
