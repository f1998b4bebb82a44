// The module as a host sees it: loaded by path from its own folder, every
// Init inside an empty network namespace so that discovery finds no
// adapter to broadcast on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/lab.h"
#include "common/module_host.h"
#include "common/wait.h"

using testsupport::ModuleHost;

namespace {

// Puts the test's thread back into the namespace it started in, so that
// later tests in this process see the machine's loopback again.
class NamespaceRestorer {
public:
    NamespaceRestorer() : saved_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {}
    ~NamespaceRestorer() {
        if (saved_ < 0) return;
        EXPECT_EQ(setns(saved_, CLONE_NEWNET), 0);
        close(saved_);
    }

private:
    int saved_;
};

// Every Init runs in a namespace without adapters; skipped where none can
// be made.
#define REQUIRE_EMPTY_NETNS()                                                          \
    NamespaceRestorer namespaceRestorer_;                                              \
    do {                                                                               \
        std::string why_;                                                              \
        if (!::testsupport::EnterEmptyNetworkNamespace(&why_))                         \
            GTEST_SKIP() << "no private network namespace: " << why_;                  \
    } while (0)

const char* kTraceAll = "[Debug]\r\nLevel=0\r\n";

// The lines of the log without their time stamps ("  G :Enter Init()"):
// every line must be CR LF terminated and carry the stamp and port column.
std::vector<std::string> ParseLog(const std::string& log, std::set<std::string>* dates = nullptr) {
    static const std::regex kLine(R"((\d\d/\d\d/\d{4}) \d\d:\d\d:\d\d ((  G|[ \d-]{3}|-?\d{4,}) :.*))");
    std::vector<std::string> lines;
    for (size_t pos = 0, end; pos < log.size(); pos = end + 2) {
        end = log.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "line without CR LF at " << pos;
            break;
        }
        std::string line = log.substr(pos, end - pos);
        std::smatch m;
        EXPECT_EQ(line.find('\n'), std::string::npos) << "bare LF in " << line;
        EXPECT_TRUE(std::regex_match(line, m, kLine)) << "malformed line: " << line;
        if (m.size() < 3) continue;
        lines.push_back(m[2]);
        if (dates != nullptr) dates->insert(m[1]);
    }
    return lines;
}

int Count(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) ++n;
    return n;
}

std::string Today() {
    time_t now = time(nullptr);
    tm parts;
    localtime_r(&now, &parts);
    char buf[48];
    snprintf(buf, sizeof buf, "%02d/%02d/%04d", parts.tm_mday, parts.tm_mon + 1, parts.tm_year + 1900);
    return buf;
}

TEST(ModuleHost, OnlyOutermostInitAndShutdownTrace) {
    REQUIRE_EMPTY_NETNS();
    ModuleHost host(kTraceAll);
    ASSERT_TRUE(host.loaded());
    EXPECT_TRUE(host->Init());
    EXPECT_TRUE(host->Init());
    host->Shutdown();
    // Still started: the writer takes this line.
    EXPECT_FALSE(host->Transfer(3, "1"));
    EXPECT_TRUE(host.WaitForLog("Exit Transfer(3,\"1\") -> false", 5000));
    host->Shutdown();
    const std::vector<std::string> once = {"  G :Enter Init()", "  G :Exit Init() -> true",
                                           "  3 :Enter Transfer(3,\"1\")", "  3 :Exit Transfer(3,\"1\") -> false",
                                           "  G :Enter Shutdown()", "  G :Exit Shutdown() -> void"};
    EXPECT_EQ(ParseLog(host.ReadLog()), once);

    // A new first Init starts everything again and appends to the same file.
    EXPECT_TRUE(host->Init());
    host->Shutdown();
    EXPECT_EQ(Count(host.ReadLog(), "Enter Init()"), 2);
    EXPECT_EQ(Count(host.ReadLog(), "Exit Shutdown() -> void"), 2);

    // Shutdowns without an Init are ignored: the next Init starts.
    host->Shutdown();
    host->Shutdown();
    EXPECT_TRUE(host->Init());
    host->Shutdown();
    EXPECT_EQ(Count(host.ReadLog(), "Enter Init()"), 3);
    EXPECT_EQ(Count(host.ReadLog(), "Exit Shutdown() -> void"), 3);
}

// Every export with a port that fails the lookup; null texts and buffers
// must never be touched.
void ExpectBadPort(const testsupport::ModuleApi& m, int port) {
    SCOPED_TRACE(port);
    static unsigned char audio[160];
    m.SetEventHandle(port, reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
    m.SetEventHandle(port, nullptr);
    m.ClosePort(port);
    m.GenerateDtmf(port, nullptr);
    m.StopPlay(port);
    m.SetAudioCallback(port, 7, nullptr);
    const std::pair<const char*, bool> falses[] = {
        {"IsPort", m.IsPort(port)}, {"IsEventPending", m.IsEventPending(port)}, {"OpenPort", m.OpenPort(port)},
        {"SetInfo", m.SetInfo(port, "DIALCLI", "123")}, {"SetInfo null", m.SetInfo(port, nullptr, nullptr)},
        {"Answer", m.Answer(port)}, {"Hangup", m.Hangup(port)}, {"Reject", m.Reject(port)},
        {"Dial", m.Dial(port, "0123")}, {"Dial null", m.Dial(port, nullptr)}, {"IsCallActive", m.IsCallActive(port)},
        {"Transfer", m.Transfer(port, nullptr)}, {"BlindTransfer", m.BlindTransfer(port, nullptr)},
        {"Play", m.Play(port, audio, sizeof audio)}, {"Play null", m.Play(port, nullptr, INT_MAX)},
        {"PlayCached", m.PlayCached(port, nullptr, -1)}, {"Record", m.Record(port, -1)},
        {"StopRecord", m.StopRecord(port)}};
    for (const auto& f : falses) EXPECT_FALSE(f.second) << f.first;
    const std::pair<const char*, const void*> nulls[] = {
        {"GetPortName", m.GetPortName(port)}, {"GetError", m.GetError(port)}, {"GetInfo", m.GetInfo(port, "CLI")},
        {"GetInfo null", m.GetInfo(port, nullptr)}, {"DeviceSpecific", m.DeviceSpecific(port, "IsReady", "")},
        {"DeviceSpecific null", m.DeviceSpecific(port, nullptr, nullptr)},
        {"GetCallProgress", m.GetCallProgress(port)}, {"GetRecordBuffer", m.GetRecordBuffer(port)}};
    for (const auto& n : nulls) EXPECT_EQ(n.second, nullptr) << n.first;
    const std::pair<const char*, int> zeros[] = {
        {"GetEvent", m.GetEvent(port)},         {"GetRings", m.GetRings(port)},
        {"GetKey", m.GetKey(port)},             {"PlayTimeLeft", m.PlayTimeLeft(port)},
        {"GetRecordSize", m.GetRecordSize(port)}, {"RecordTimeLeft", m.RecordTimeLeft(port)}};
    for (const auto& z : zeros) EXPECT_EQ(z.second, 0) << z.first;
    ASSERT_NE(m.GetSerialNo(port), nullptr);
    EXPECT_STREQ(m.GetSerialNo(port), "");
}

TEST(ModuleHost, IdentityAndBadPortsBeforeDuringAndAfterInit) {
    ModuleHost host(kTraceAll);
    ASSERT_TRUE(host.loaded());
    EXPECT_STREQ(host->GetDriverName(), "VaxoBoard Digital E1");
    EXPECT_STREQ(host->GetDriverVer(), VAXO_DRIVER_VERSION);
    EXPECT_EQ(host->NoofPorts(), 0);
    EXPECT_TRUE(host->IsDeviceActive());
    const int ports[] = {-1, 0, 1, 1023, 1024, 4096, INT_MIN, INT_MAX};
    for (int port : ports) ExpectBadPort(host.api(), port);  // before Init

    REQUIRE_EMPTY_NETNS();
    ASSERT_TRUE(host->Init());
    for (int port : ports) ExpectBadPort(host.api(), port);
    ExpectBadPort(host.api(), host->NoofPorts());
    host->Shutdown();
    for (int port : ports) ExpectBadPort(host.api(), port);  // after Shutdown
}

TEST(ModuleHost, InitWithoutCardsAndTracedExportsWriteTheirEntryAndExitLines) {
    REQUIRE_EMPTY_NETNS();
    ModuleHost host(kTraceAll);
    ASSERT_TRUE(host.loaded());
    std::set<std::string> days = {Today()};
    ASSERT_TRUE(host->Init());
    EXPECT_EQ(host->NoofPorts(), 0);
    EXPECT_FALSE(host->IsPort(0));
    static unsigned char audio[320];
    char address[32];
    snprintf(address, sizeof address, "%" PRIXPTR, reinterpret_cast<uintptr_t>(audio));
    const std::string a = address;
    const testsupport::ModuleApi& m = host.api();
    // Each call writes "Enter <call>" and "Exit <exit or call> -> <result>" in its port's column.
    const struct {
        std::function<void()> run;
        const char* column;
        std::string call, result, exit = "";
    } calls[] = {
        {[&] { m.OpenPort(5); }, "  5", "OpenPort(5)", "false"},
        {[&] { m.ClosePort(5); }, "  5", "ClosePort(5)", "void", "ClosePort()"},
        {[&] { m.Answer(5); }, "  5", "Answer(5)", "false"},
        {[&] { m.Hangup(5); }, "  5", "Hangup(5)", "false"},
        {[&] { m.Reject(5); }, "  5", "Reject(5)", "false"},
        {[&] { m.StopRecord(5); }, "  5", "StopRecord(5)", "false"},
        {[&] { m.StopPlay(5); }, "  5", "StopPlay(5)", "void"},
        {[&] { m.Dial(5, "0123"); }, "  5", "Dial(5,\"0123\")", "false"},
        {[&] { m.Transfer(3, "123"); }, "  3", "Transfer(3,\"123\")", "false"},
        {[&] { m.BlindTransfer(5, "77"); }, "  5", "BlindTransfer(5,\"77\")", "false"},
        {[&] { m.GenerateDtmf(5, "12#"); }, "  5", "GenerateDtmf(5,\"12#\")", "void"},
        {[&] { m.DeviceSpecific(5, "IsReady", "x"); }, "  5", "DeviceSpecific(5,\"IsReady\",\"x\")", "\"\""},
        {[&] { m.Play(5, audio, 320); }, "  5", "Play(5," + a + ",320)", "false"},
        {[&] { m.PlayCached(5, audio, 160); }, "  5", "PlayCached(5," + a + ",160)", "false"},
        {[&] { m.Record(5, 2500); }, "  5", "Record(5,2500)", "false"},
        {[&] { m.OpenPort(-1); }, "  G", "OpenPort(-1)", "false"},  // port -1 is the general column
        {[&] { m.OpenPort(1234); }, "1234", "OpenPort(1234)", "false"},
    };
    std::vector<std::string> expected = {"  G :Enter Init()", "  G :Exit Init() -> true"};
    for (const auto& c : calls) {
        c.run();
        expected.push_back(std::string(c.column) + " :Enter " + c.call);
        expected.push_back(std::string(c.column) + " :Exit " + (c.exit.empty() ? c.call : c.exit) + " -> " + c.result);
    }
    // Untraced exports write nothing.
    m.GetEvent(5);
    m.GetInfo(5, "CLI");
    m.GetRings(5);
    host->Shutdown();
    EXPECT_EQ(host->NoofPorts(), 0);
    days.insert(Today());
    expected.insert(expected.end(), {"  G :Enter Shutdown()", "  G :Exit Shutdown() -> void"});
    std::set<std::string> dates;
    EXPECT_EQ(ParseLog(host.ReadLog(), &dates), expected);
    for (const std::string& d : dates) EXPECT_EQ(days.count(d), 1u) << d;
}

// Loaded through a link in another folder, by an absolute and by a
// relative path, the module reads its INI and writes its log beside the
// link, not beside the file the link points to.
TEST(ModuleHost, FilesLieBesideThePathTheHostLoaded) {
    REQUIRE_EMPTY_NETNS();
    namespace fs = std::filesystem;
    testsupport::TempDir dir;
    const std::string real = dir.File("real"), link = dir.File("link");
    fs::create_directories(real);
    fs::create_directories(link);
    fs::copy_file(VAXO_MODULE_PATH, real + "/vaxo-dt-qpl.dev");
    fs::create_symlink("../real/vaxo-dt-qpl.dev", link + "/vaxo-dt-qpl.dev");
    testsupport::WriteFile(link + "/vaxo-dt-qpl.ini", kTraceAll);
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    for (const std::string& path : {link + "/vaxo-dt-qpl.dev", std::string("./link/vaxo-dt-qpl.dev")}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        testsupport::ModuleApi m{};
        std::string error;
        void* handle = hostapi::LoadModule(path, &m, &error);
        ASSERT_EQ(chdir(saved), 0);
        ASSERT_NE(handle, nullptr) << error;
        ASSERT_TRUE(m.Init());
        m.Shutdown();
        hostapi::UnloadModule(handle);
        EXPECT_NE(testsupport::ReadFile(link + "/vaxo-dt-qpl.log").find("Exit Shutdown()"), std::string::npos)
            << "the INI beside the link asks for every line";
        EXPECT_FALSE(fs::exists(real + "/vaxo-dt-qpl.log"));
        fs::remove(link + "/vaxo-dt-qpl.log");
    }
}

TEST(ModuleHost, TraceLevelOneWritesNoEntryOrExitLines) {
    REQUIRE_EMPTY_NETNS();
    ModuleHost host("[Debug]\nLevel=1\n");
    ASSERT_TRUE(host.loaded());
    ASSERT_TRUE(host->Init());
    EXPECT_FALSE(host->Transfer(3, "123"));
    EXPECT_FALSE(host->OpenPort(0));
    host->Shutdown();
    EXPECT_EQ(host.ReadLog().find("Enter"), std::string::npos);
    EXPECT_EQ(host.ReadLog().find("Exit"), std::string::npos);
}

TEST(ModuleHost, TwoCopiesAreIndependentInstances) {
    REQUIRE_EMPTY_NETNS();
    ModuleHost first(kTraceAll);
    ModuleHost second(kTraceAll);
    ASSERT_TRUE(first.loaded());
    ASSERT_TRUE(second.loaded());
    EXPECT_NE(reinterpret_cast<void*>(first->Init), reinterpret_cast<void*>(second->Init));

    ASSERT_TRUE(first->Init());
    EXPECT_FALSE(first->Transfer(1, "first"));
    ASSERT_TRUE(second->Init());  // its own start count: a first Init again
    EXPECT_FALSE(second->Transfer(2, "second"));
    first->Shutdown();
    EXPECT_FALSE(second->Transfer(3, "still running"));
    EXPECT_TRUE(second.WaitForLog("Exit Transfer(3,", 5000));
    second->Shutdown();

    std::string a = first.ReadLog(), b = second.ReadLog();
    EXPECT_EQ(Count(a, "Enter Init()"), 1);
    EXPECT_EQ(Count(b, "Enter Init()"), 1);
    EXPECT_NE(a.find("Transfer(1,\"first\")"), std::string::npos);
    EXPECT_EQ(a.find("second"), std::string::npos);
    EXPECT_NE(b.find("Transfer(3,\"still running\")"), std::string::npos);
    EXPECT_EQ(b.find("first"), std::string::npos);
}

TEST(ModuleHost, ExportsExactlyTheThirtyNineNames) {
    const std::set<std::string> expected = {
        "Init", "Shutdown", "GetDriverName", "GetDriverVer", "NoofPorts", "IsDeviceActive", "IsPort",
        "GetPortName", "GetSerialNo", "GetError", "SetEventHandle", "GetEvent", "IsEventPending",
        "OpenPort", "ClosePort", "GetRings", "GetKey", "GetInfo", "SetInfo", "DeviceSpecific", "Answer",
        "Hangup", "Reject", "Dial", "IsCallActive", "Transfer", "BlindTransfer", "GetCallProgress",
        "GenerateDtmf", "Play", "PlayCached", "StopPlay", "PlayTimeLeft", "Record", "StopRecord",
        "GetRecordBuffer", "GetRecordSize", "RecordTimeLeft", "SetAudioCallback"};
    ASSERT_EQ(expected.size(), 39u);

    std::string command = std::string("nm -D --defined-only '") + VAXO_MODULE_PATH + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> found;
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        char type = 0;
        char name[400] = {0};
        // "<address> <type> <name>"; version nodes have type A.
        if (sscanf(line, "%*s %c %399s", &type, name) == 2 && type != 'A') found.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << "nm failed";
    EXPECT_EQ(found, expected);
}

}  // namespace
