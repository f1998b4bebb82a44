// The Win32 platform layer on its own: locks, events, clock, threads, INI
// reading, shared appending files, module file name, sockets on loopback
// and the adapter list of the private network the test runs in.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

#include "check.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/ini.h"
#include "platform/lock.h"
#include "platform/module.h"
#include "platform/shared_file.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "win_helpers.h"

using wintest::FreshFolder;
using wintest::ReadFileText;
using wintest::WaitUntil;
using wintest::WriteFileText;

// ---------------------------------------------------------------- locks

namespace {
struct TryArgs {
    plat::RecursiveLock* lock;
    std::atomic<int> result{-1};
};
DWORD WINAPI TryFromOtherThread(LPVOID raw) {
    auto* a = static_cast<TryArgs*>(raw);
    bool got = a->lock->TryEnter();
    if (got) a->lock->Leave();
    a->result = got ? 1 : 0;
    return 0;
}
int TryOnOtherThread(plat::RecursiveLock& lock) {
    TryArgs args;
    args.lock = &lock;
    HANDLE t = CreateThread(nullptr, 0, TryFromOtherThread, &args, 0, nullptr);
    if (t == nullptr) return -2;
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    return args.result.load();
}
}  // namespace

TEST_CASE("lock: recursive on one thread, exclusive across threads") {
    plat::RecursiveLock lock;
    lock.Enter();
    lock.Enter();  // the same thread may enter again
    CHECK(lock.TryEnter());
    lock.Leave();
    CHECK_EQ(TryOnOtherThread(lock), 0);  // held twice: others are kept out
    lock.Leave();
    CHECK_EQ(TryOnOtherThread(lock), 0);  // still held once
    lock.Leave();
    CHECK_EQ(TryOnOtherThread(lock), 1);
}

// ---------------------------------------------------------------- events

namespace {
DWORD WINAPI SetLater(LPVOID raw) {
    Sleep(50);
    static_cast<plat::ManualResetEvent*>(raw)->Set();
    return 0;
}
}  // namespace

TEST_CASE("event: manual reset, timed waits, set from another thread") {
    plat::ManualResetEvent e;
    CHECK(!e.Wait(0));
    CHECK(!e.Wait(30));  // not signalled when made
    e.Set();
    CHECK(e.Wait(0));
    CHECK(e.Wait(0));  // stays signalled: manual reset
    e.Reset();
    CHECK(!e.Wait(0));

    HANDLE t = CreateThread(nullptr, 0, SetLater, &e, 0, nullptr);
    REQUIRE(t != nullptr);
    CHECK(e.Wait(10000));
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
}

TEST_CASE("event: the host's event handle is signalled with SetEvent") {
    HANDLE host = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    REQUIRE(host != nullptr);
    plat::SignalHostEvent(host);
    CHECK_EQ(WaitForSingleObject(host, 0), WAIT_OBJECT_0);
    CloseHandle(host);
    plat::SignalHostEvent(nullptr);  // no handle: nothing happens
    plat::SignalHostEvent(INVALID_HANDLE_VALUE);
}

// ---------------------------------------------------------------- clock

TEST_CASE("clock: tick count, test offset, local and UTC time") {
    uint32_t t0 = plat::TickCountMs();
    plat::SleepMs(60);
    uint32_t t1 = plat::TickCountMs();
    CHECK(t1 - t0 >= 40);  // GetTickCount steps by about 16 ms

    plat::SetTickOffsetForTests(100000);
    uint32_t shifted = plat::TickCountMs();
    plat::SetTickOffsetForTests(0);
    uint32_t back = plat::TickCountMs();
    CHECK(shifted - back >= 99000 && shifted - back <= 100000);

    plat::UtcTimeval utc = plat::UtcNow();
    long long now = static_cast<long long>(time(nullptr));
    CHECK(utc.seconds >= now - 2 && utc.seconds <= now + 2);
    CHECK(utc.microseconds >= 0 && utc.microseconds < 1000000);

    SYSTEMTIME st;
    GetLocalTime(&st);
    plat::CalendarTime lt = plat::LocalTimeNow();
    CHECK_EQ(lt.year, st.wYear);
    CHECK(lt.month >= 1 && lt.month <= 12);
    CHECK(lt.day >= 1 && lt.day <= 31);
    CHECK(lt.hour < 24 && lt.minute < 60 && lt.second < 61 && lt.millisecond < 1000);
}

// ---------------------------------------------------------------- threads

namespace {
struct Blocker {
    HANDLE release;
    std::atomic<int> ran{0};
    std::atomic<int> priority{-99};
};
void BlockBody(void* raw) {
    auto* b = static_cast<Blocker*>(raw);
    b->priority = GetThreadPriority(GetCurrentThread());
    b->ran = 1;
    WaitForSingleObject(b->release, 10000);
    b->ran = 2;
}
void ProAudioBody(void* raw) {
    plat::EnterProAudioClass();
    plat::EnterProAudioClass();  // twice is harmless
    plat::SetCurrentThreadName("vaxo media tick, a long name that is cut");
    static_cast<std::atomic<int>*>(raw)->store(1);
}
}  // namespace

TEST_CASE("thread: start, time-critical priority, join and a join that gives up") {
    Blocker b;
    b.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        plat::Thread t;
        REQUIRE(t.Start(BlockBody, &b, plat::ThreadPriority::TimeCritical));
        CHECK(t.Started());
        CHECK(!t.Start(BlockBody, &b));  // one body per thread object
        CHECK(WaitUntil([&] { return b.ran.load() == 1; }, 5000));
        CHECK_EQ(b.priority.load(), THREAD_PRIORITY_TIME_CRITICAL);
        CHECK(!t.Join(50));  // still blocked: the join gives up, the thread runs on
        CHECK(!t.Started());
    }
    SetEvent(b.release);  // the abandoned thread finishes on its own
    CHECK(WaitUntil([&] { return b.ran.load() == 2; }, 5000));

    Blocker c;
    c.release = b.release;  // already set: runs straight through
    plat::Thread t2;
    REQUIRE(t2.Start(BlockBody, &c));
    CHECK(t2.Join(10000));
    CHECK_EQ(c.ran.load(), 2);
    CHECK_EQ(c.priority.load(), THREAD_PRIORITY_NORMAL);
    CHECK(t2.Join(0));  // nothing left to join
    CloseHandle(b.release);
}

TEST_CASE("thread: Pro Audio class and thread names never fail the thread") {
    std::atomic<int> done{0};
    plat::Thread t;
    REQUIRE(t.Start(ProAudioBody, &done, plat::ThreadPriority::TimeCritical));
    CHECK(t.Join(10000));
    CHECK_EQ(done.load(), 1);
    plat::SetCurrentThreadName(nullptr);
}

// ---------------------------------------------------------------- INI

TEST_CASE("ini: integers and texts through the system reader") {
    std::string dir = FreshFolder("ini");
    std::string path = dir + "\\test.ini";
    WriteFileText(path,
                  "; driver settings\r\n"
                  "[Debug]\r\n"
                  "Level=0\r\n"
                  "FlushImmediate = 1\r\n"
                  "[general]\r\n"
                  "AudioBuffers=24\r\n"
                  "Negative=-12\r\n"
                  "Words=abc\r\n"
                  "Mixed=12abc\r\n"
                  "Huge=99999999999\r\n"
                  "HugeNegative=-99999999999\r\n"
                  "Empty=\r\n"
                  "[Dtmf]\r\n"
                  "RowPeak=6.5\r\n"
                  "Quoted=\"7.25\"\r\n"
                  "[123456-1]\r\n"
                  "SwitchType=1001\r\n");
    const char* p = path.c_str();
    CHECK_EQ(plat::IniReadInt("Debug", "Level", 2, p), 0);
    CHECK_EQ(plat::IniReadInt("DEBUG", "flushimmediate", 0, p), 1);  // case does not matter
    CHECK_EQ(plat::IniReadInt("General", "AudioBuffers", 16, p), 24);
    CHECK_EQ(plat::IniReadInt("General", "Missing", 16, p), 16);
    CHECK_EQ(plat::IniReadInt("Nowhere", "Level", 7, p), 7);
    CHECK_EQ(plat::IniReadInt("General", "Negative", 0, p), -12);
    CHECK_EQ(plat::IniReadInt("General", "Words", 5, p), 5);  // no number: the default
    CHECK_EQ(plat::IniReadInt("General", "Empty", 5, p), 5);
    CHECK_EQ(plat::IniReadInt("General", "Mixed", 5, p), 12);
    CHECK_EQ(plat::IniReadInt("General", "Huge", 0, p), INT_MAX);
    CHECK_EQ(plat::IniReadInt("General", "HugeNegative", 0, p), INT_MIN);
    CHECK_EQ(plat::IniReadInt("123456-1", "SwitchType", 5, p), 1001);
    CHECK_EQ(plat::IniReadInt("Debug", "Level", 2, (dir + "\\missing.ini").c_str()), 2);
    CHECK_EQ(plat::IniReadInt(nullptr, "Level", 3, p), 3);
    CHECK_EQ(plat::IniReadInt("Debug", nullptr, 3, p), 3);
    CHECK_EQ(plat::IniReadInt("Debug", "Level", 3, nullptr), 3);

    char buf[100];
    CHECK_EQ(plat::IniReadString("Dtmf", "RowPeak", "6.3", buf, sizeof buf, p), 3u);
    CHECK_STREQ(buf, "6.5");
    plat::IniReadString("Dtmf", "Quoted", "", buf, sizeof buf, p);
    CHECK_STREQ(buf, "7.25");
    plat::IniReadString("Dtmf", "ColPeak", "6.3", buf, sizeof buf, p);
    CHECK_STREQ(buf, "6.3");
    plat::IniReadString("Dtmf", "ColPeak", nullptr, buf, sizeof buf, p);
    CHECK_STREQ(buf, "");
    // A null key must give the default, not the list of the section's keys.
    plat::IniReadString("Dtmf", nullptr, "dflt", buf, sizeof buf, p);
    CHECK_STREQ(buf, "dflt");
    plat::IniReadString(nullptr, "RowPeak", "dflt", buf, sizeof buf, p);
    CHECK_STREQ(buf, "dflt");
    // Cut to the buffer, always terminated.
    char small[3] = {'x', 'x', 'x'};
    plat::IniReadString("Dtmf", "RowPeak", "", small, sizeof small, p);
    CHECK_EQ(small[2], '\0');
    CHECK_EQ(small[0], '6');
    char one[1] = {'x'};
    CHECK_EQ(plat::IniReadString("Dtmf", "RowPeak", "", one, 1, p), 0u);
    CHECK_EQ(one[0], '\0');
    CHECK_EQ(plat::IniReadString("Dtmf", "RowPeak", "", nullptr, 10, p), 0u);
}

// ---------------------------------------------------------------- files

TEST_CASE("shared file: appends, keeps contents, shares read, write and delete") {
    std::string dir = FreshFolder("file");
    std::string path = dir + "\\trace.log";
    {
        plat::AppendFile f;
        CHECK(!f.IsOpen());
        CHECK_EQ(f.Write("x", 1), -1);  // closed
        REQUIRE(f.Open(path.c_str()));
        CHECK(f.IsOpen());
        CHECK_EQ(f.Write("one\r\n", 5), 5);
        CHECK_EQ(f.Write(nullptr, 0), 0);
    }  // closed by the destructor
    CHECK(ReadFileText(path) == "one\r\n");

    plat::AppendFile f;
    REQUIRE(f.Open(path.c_str()));
    // Others may read and write the file while it is open...
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(other != INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE) {
        // ...and what they add stays: the next write goes after it.
        SetFilePointer(other, 0, nullptr, FILE_END);
        DWORD n = 0;
        WriteFile(other, "other\r\n", 7, &n, nullptr);
        CloseHandle(other);
    }
    CHECK_EQ(f.Write("two\r\n", 5), 5);
    f.Close();
    CHECK(!f.IsOpen());
    CHECK(ReadFileText(path) == "one\r\nother\r\ntwo\r\n");

    REQUIRE(f.Open(path.c_str()));
    CHECK(DeleteFileA(path.c_str()) != FALSE);  // deleting is shared too
    f.Close();

    CHECK(!f.Open((dir + "\\no such folder\\x.log").c_str()));
    CHECK(!f.Open(nullptr));
    CHECK(!f.Open(""));
}

// ---------------------------------------------------------------- module

TEST_CASE("module: file name of the code's own file, backslash separator") {
    CHECK_EQ(plat::kPathSeparator, '\\');
    char name[MAX_PATH];
    REQUIRE(plat::ModuleFileName(name, sizeof name));
    std::string s(name);
    CHECK(s.size() > 4 && s.find('\\') != std::string::npos);
    CHECK(s.find("platform_test.exe") != std::string::npos);
    char small[4] = {'x', 'x', 'x', 'x'};
    CHECK(!plat::ModuleFileName(small, sizeof small));  // cut names are refused
    CHECK(!plat::ModuleFileName(nullptr, 100));
    plat::DebugOutput("platform_test: debugger text\n");
    plat::DebugOutput(nullptr);
}

// ---------------------------------------------------------------- sockets

namespace {
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct SocketCloser {
    plat::Socket s;
    ~SocketCloser() { plat::CloseSocket(s); }
};
}  // namespace

TEST_CASE("socket: UDP on loopback, cut datagrams, would-block, waits") {
    REQUIRE(plat::SocketsStartup());
    plat::Socket rx = plat::UdpSocket(), tx = plat::UdpSocket();
    SocketCloser c1{rx}, c2{tx};
    REQUIRE(rx != plat::kNoSocket && tx != plat::kNoSocket);
    CHECK(plat::SetReuseAddress(rx));
    CHECK(plat::SetBufferSizes(rx, 65536, 4194304));
    CHECK(plat::SetBufferSizes(rx, -1, -1));
    REQUIRE(plat::Bind(rx, kLoopback, 0));
    uint16_t port = plat::LocalPort(rx);
    CHECK(port != 0);
    CHECK(plat::SetBroadcast(tx));
    REQUIRE(plat::SetNonBlocking(rx, true));

    char buf[64];
    CHECK_EQ(plat::WaitReadable(rx, 0), 0);
    CHECK_EQ(plat::Receive(rx, buf, sizeof buf), -1);
    CHECK(plat::LastErrorWouldBlock());

    CHECK_EQ(plat::SendTo(tx, "VAXO D", 6, kLoopback, port), 6);
    CHECK_EQ(plat::WaitReadable(rx, 5000), 1);
    uint32_t from = 0;
    uint16_t fromPort = 0;
    CHECK_EQ(plat::ReceiveFrom(rx, buf, sizeof buf, &from, &fromPort), 6);
    CHECK(memcmp(buf, "VAXO D", 6) == 0);
    CHECK_EQ(from, kLoopback);
    CHECK_EQ(fromPort, plat::LocalPort(tx));

    // A datagram longer than the buffer comes back cut, as BSD sockets do.
    char big[200];
    memset(big, 'b', sizeof big);
    CHECK_EQ(plat::SendTo(tx, big, sizeof big, kLoopback, port), 200);
    CHECK_EQ(plat::WaitReadable(rx, 5000), 1);
    memset(buf, 0, sizeof buf);
    CHECK_EQ(plat::ReceiveFrom(rx, buf, 50, nullptr, nullptr), 50);
    CHECK_EQ(buf[49], 'b');
    CHECK_EQ(plat::WaitReadable(rx, 0), 0);  // the rest is gone with it
}

TEST_CASE("socket: a send to a closed port does not break the next receive") {
    plat::Socket a = plat::UdpSocket(), b = plat::UdpSocket(), gone = plat::UdpSocket();
    SocketCloser c1{a}, c2{b};
    REQUIRE(a != plat::kNoSocket && b != plat::kNoSocket && gone != plat::kNoSocket);
    REQUIRE(plat::Bind(a, kLoopback, 0) && plat::Bind(b, kLoopback, 0) && plat::Bind(gone, kLoopback, 0));
    uint16_t closedPort = plat::LocalPort(gone);
    plat::CloseSocket(gone);  // nothing listens there any more
    CHECK_EQ(plat::SendTo(a, "x", 1, kLoopback, closedPort), 1);
    plat::SleepMs(50);  // time for the port-unreachable answer
    CHECK_EQ(plat::SendTo(b, "hello", 5, kLoopback, plat::LocalPort(a)), 5);
    CHECK_EQ(plat::WaitReadable(a, 5000), 1);
    char buf[16];
    CHECK_EQ(plat::ReceiveFrom(a, buf, sizeof buf, nullptr, nullptr), 5);
}

TEST_CASE("socket: TCP non-blocking connect, accept, refused connect") {
    plat::Socket server = plat::TcpSocket();
    SocketCloser c1{server};
    REQUIRE(server != plat::kNoSocket);
    REQUIRE(plat::Bind(server, kLoopback, 0));
    REQUIRE(plat::Listen(server, 4));
    uint16_t port = plat::LocalPort(server);

    plat::Socket client = plat::TcpSocket();
    SocketCloser c2{client};
    REQUIRE(plat::SetNonBlocking(client, true));
    REQUIRE(plat::ConnectStart(client, kLoopback, port));
    CHECK_EQ(plat::WaitWritable(client, 5000), 1);
    CHECK_EQ(plat::WaitReadable(server, 5000), 1);
    uint32_t peer = 0;
    plat::Socket accepted = plat::Accept(server, &peer);
    SocketCloser c3{accepted};
    REQUIRE(accepted != plat::kNoSocket);
    CHECK_EQ(peer, kLoopback);
    CHECK_EQ(plat::Send(client, "\xFF\x01", 2), 2);
    CHECK_EQ(plat::WaitReadable(accepted, 5000), 1);
    char buf[8];
    CHECK_EQ(plat::Receive(accepted, buf, sizeof buf), 2);
    plat::CloseSocket(accepted);
    c3.s = plat::kNoSocket;
    CHECK_EQ(plat::WaitReadable(client, 5000), 1);
    CHECK_EQ(plat::Receive(client, buf, sizeof buf), 0);  // orderly close

    // Nothing listens on a closed port: the wait must report the failure,
    // never success (Windows shows it in the exception set).
    plat::Socket probe = plat::TcpSocket();
    REQUIRE(plat::Bind(probe, kLoopback, 0));
    uint16_t closedPort = plat::LocalPort(probe);
    plat::CloseSocket(probe);
    plat::Socket refused = plat::TcpSocket();
    SocketCloser c4{refused};
    REQUIRE(plat::SetNonBlocking(refused, true));
    if (plat::ConnectStart(refused, kLoopback, closedPort)) CHECK_EQ(plat::WaitWritable(refused, 8000), -1);

    CHECK_EQ(plat::WaitReadable(plat::kNoSocket, 0), -1);
    CHECK_EQ(plat::WaitWritable(plat::kNoSocket, 0), -1);
}

TEST_CASE("socket: address text both ways") {
    uint32_t a = 0;
    CHECK(plat::ResolveIpv4("127.0.0.1", &a));
    CHECK_EQ(a, kLoopback);
    CHECK(plat::ResolveIpv4("10.99.0.12", &a));
    CHECK_EQ(a, htonl(0x0A63000C));
    CHECK(!plat::ResolveIpv4(nullptr, &a));
    CHECK(!plat::ResolveIpv4("", &a));
    CHECK(!plat::ResolveIpv4("127.0.0.1", nullptr));
    char text[16];
    plat::Ipv4ToText(htonl(0xC0A8010A), text, sizeof text);
    CHECK_STREQ(text, "192.168.1.10");
    plat::Ipv4ToText(htonl(0xFFFFFFFF), text, sizeof text);
    CHECK_STREQ(text, "255.255.255.255");
    char small[8] = "xxxxxxx";
    plat::Ipv4ToText(htonl(0xC0A8010A), small, sizeof small);
    CHECK_STREQ(small, "");
    plat::Ipv4ToText(0, nullptr, 16);
}

// ---------------------------------------------------------------- adapters

// scripts/test-windows names the addresses it gave the private network's
// adapters in VAXO_TEST_ADAPTERS ("address/mask,address/mask").
TEST_CASE("adapters: the private network's adapters, first address and mask") {
    const char* expected = getenv("VAXO_TEST_ADAPTERS");
    if (expected == nullptr) SKIP("VAXO_TEST_ADAPTERS not set (run through scripts/test-windows)");
    std::set<std::string> want;
    std::string list(expected);
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        if (comma > pos) want.insert(list.substr(pos, comma - pos));
        pos = comma + 1;
    }
    plat::AdapterAddress found[16];
    int n = plat::ListAdapters(found, 16);
    std::set<std::string> got;
    for (int i = 0; i < n; ++i) {
        char a[16], m[16];
        plat::Ipv4ToText(found[i].address, a, sizeof a);
        plat::Ipv4ToText(found[i].mask, m, sizeof m);
        got.insert(std::string(a) + "/" + m);
    }
    for (const std::string& s : got) std::printf("  adapter %s\n", s.c_str());
    CHECK(got == want);
    if (n >= 2) {
        plat::AdapterAddress one[1];
        CHECK_EQ(plat::ListAdapters(one, 1), 1);  // never more than asked for
        CHECK_EQ(plat::ListAdapters(nullptr, 0), 0);
    }
}

WINTEST_MAIN("platform_test")
