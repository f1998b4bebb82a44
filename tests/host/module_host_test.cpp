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

struct LogLine {
    std::string date;  // dd/mm/yyyy
    std::string port;  // the column as written: "  5", "  G", "1234"
    std::string text;
};

// Splits the log into lines; every line must be CR LF terminated and
// carry the stamp and port column.
std::vector<LogLine> ParseLog(const std::string& log) {
    static const std::regex kLine(R"((\d\d/\d\d/\d{4}) \d\d:\d\d:\d\d (  G|[ \d-]{3}|-?\d{4,}) :(.*))");
    std::vector<LogLine> lines;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        EXPECT_NE(end, std::string::npos) << "line without CR LF at " << pos;
        if (end == std::string::npos) break;
        std::string line = log.substr(pos, end - pos);
        EXPECT_EQ(line.find('\n'), std::string::npos) << "bare LF in " << line;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, kLine)) << "malformed line: " << line;
        if (m.size() == 4) lines.push_back({m[1], m[2], m[3]});
        pos = end + 2;
    }
    return lines;
}

std::vector<std::string> Texts(const std::vector<LogLine>& lines) {
    std::vector<std::string> out;
    for (const LogLine& l : lines) out.push_back(l.text);
    return out;
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

TEST(ModuleHost, InitWithoutCardsStartsWithNoPorts) {
    REQUIRE_EMPTY_NETNS();
    ModuleHost host(kTraceAll);
    ASSERT_TRUE(host.loaded());
    EXPECT_TRUE(host->Init());
    EXPECT_EQ(host->NoofPorts(), 0);
    EXPECT_FALSE(host->IsPort(0));
    EXPECT_STREQ(host->GetDriverName(), "VaxoBoard Digital E1");
    host->Shutdown();
    EXPECT_EQ(host->NoofPorts(), 0);

    std::vector<LogLine> lines = ParseLog(host.ReadLog());
    std::vector<std::string> expected = {"Enter Init()", "Exit Init() -> true", "Enter Shutdown()",
                                         "Exit Shutdown() -> void"};
    EXPECT_EQ(Texts(lines), expected);
    for (const LogLine& l : lines) EXPECT_EQ(l.port, "  G");
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
    std::string log = host.ReadLog();
    EXPECT_EQ(Count(log, "Enter Init()"), 1);
    EXPECT_EQ(Count(log, "Exit Init() -> true"), 1);
    EXPECT_EQ(Count(log, "Enter Shutdown()"), 1);
    EXPECT_EQ(Count(log, "Exit Shutdown() -> void"), 1);
    EXPECT_LT(log.find("Exit Transfer"), log.find("Enter Shutdown()"));

    // A new first Init starts everything again and appends to the same file.
    EXPECT_TRUE(host->Init());
    host->Shutdown();
    log = host.ReadLog();
    EXPECT_EQ(Count(log, "Enter Init()"), 2);
    EXPECT_EQ(Count(log, "Exit Shutdown() -> void"), 2);

    // A Shutdown without Init lowers the count to -1: the next Init only
    // counts back to 0, the one after it starts.
    host->Shutdown();
    EXPECT_TRUE(host->Init());
    EXPECT_EQ(Count(host.ReadLog(), "Enter Init()"), 2);
    EXPECT_TRUE(host->Init());
    host->Shutdown();
    EXPECT_EQ(Count(host.ReadLog(), "Enter Init()"), 3);
}

// Every export with a port that fails the lookup; null texts and buffers
// must never be touched.
void ExpectBadPort(const testsupport::ModuleApi& m, int port) {
    SCOPED_TRACE(port);
    static unsigned char audio[160];
    int fd = -1;
    EXPECT_FALSE(m.IsPort(port));
    EXPECT_EQ(m.GetPortName(port), nullptr);
    ASSERT_NE(m.GetSerialNo(port), nullptr);
    EXPECT_STREQ(m.GetSerialNo(port), "");
    EXPECT_EQ(m.GetError(port), nullptr);
    m.SetEventHandle(port, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    m.SetEventHandle(port, nullptr);
    EXPECT_EQ(m.GetEvent(port), 0);
    EXPECT_FALSE(m.IsEventPending(port));
    EXPECT_FALSE(m.OpenPort(port));
    m.ClosePort(port);
    EXPECT_EQ(m.GetRings(port), 0);
    EXPECT_EQ(m.GetKey(port), 0);
    EXPECT_EQ(m.GetInfo(port, "CLI"), nullptr);
    EXPECT_EQ(m.GetInfo(port, nullptr), nullptr);
    EXPECT_FALSE(m.SetInfo(port, "DIALCLI", "123"));
    EXPECT_FALSE(m.SetInfo(port, nullptr, nullptr));
    EXPECT_EQ(m.DeviceSpecific(port, "IsReady", ""), nullptr);
    EXPECT_EQ(m.DeviceSpecific(port, nullptr, nullptr), nullptr);
    EXPECT_FALSE(m.Answer(port));
    EXPECT_FALSE(m.Hangup(port));
    EXPECT_FALSE(m.Reject(port));
    EXPECT_FALSE(m.Dial(port, "0123"));
    EXPECT_FALSE(m.Dial(port, nullptr));
    EXPECT_FALSE(m.IsCallActive(port));
    EXPECT_FALSE(m.Transfer(port, nullptr));
    EXPECT_FALSE(m.BlindTransfer(port, nullptr));
    EXPECT_EQ(m.GetCallProgress(port), nullptr);
    m.GenerateDtmf(port, nullptr);
    EXPECT_FALSE(m.Play(port, audio, sizeof audio));
    EXPECT_FALSE(m.Play(port, nullptr, INT_MAX));
    EXPECT_FALSE(m.PlayCached(port, nullptr, -1));
    m.StopPlay(port);
    EXPECT_EQ(m.PlayTimeLeft(port), 0);
    EXPECT_FALSE(m.Record(port, -1));
    EXPECT_FALSE(m.StopRecord(port));
    EXPECT_EQ(m.GetRecordBuffer(port), nullptr);
    EXPECT_EQ(m.GetRecordSize(port), 0);
    EXPECT_EQ(m.RecordTimeLeft(port), 0);
    m.SetAudioCallback(port, 7, nullptr);
}

TEST(ModuleHost, IdentityAndBadPortsBeforeDuringAndAfterInit) {
    ModuleHost host(kTraceAll);
    ASSERT_TRUE(host.loaded());
    EXPECT_STREQ(host->GetDriverName(), "VaxoBoard Digital E1");
    EXPECT_STREQ(host->GetDriverVer(), "3.0.877:27123");
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

TEST(ModuleHost, TracedExportsWriteTheirEntryAndExitLines) {
    REQUIRE_EMPTY_NETNS();
    ModuleHost host(kTraceAll);
    ASSERT_TRUE(host.loaded());
    std::string before = Today();
    ASSERT_TRUE(host->Init());
    static unsigned char audio[320];
    char address[32];
    snprintf(address, sizeof address, "%" PRIXPTR, reinterpret_cast<uintptr_t>(audio));
    const std::string a = address;

    EXPECT_FALSE(host->OpenPort(5));
    host->ClosePort(5);
    EXPECT_FALSE(host->Answer(5));
    EXPECT_FALSE(host->Hangup(5));
    EXPECT_FALSE(host->Reject(5));
    EXPECT_FALSE(host->StopRecord(5));
    host->StopPlay(5);
    EXPECT_FALSE(host->Dial(5, "0123"));
    EXPECT_FALSE(host->Transfer(3, "123"));
    EXPECT_FALSE(host->BlindTransfer(5, "77"));
    host->GenerateDtmf(5, "12#");
    EXPECT_EQ(host->DeviceSpecific(5, "IsReady", "x"), nullptr);
    EXPECT_FALSE(host->Play(5, audio, 320));
    EXPECT_FALSE(host->PlayCached(5, audio, 160));
    EXPECT_FALSE(host->Record(5, 2500));
    EXPECT_FALSE(host->OpenPort(-1));
    EXPECT_FALSE(host->OpenPort(1234));
    // Untraced exports write nothing.
    host->GetEvent(5);
    host->GetInfo(5, "CLI");
    host->GetRings(5);
    host->Shutdown();
    std::string after = Today();

    std::vector<LogLine> lines = ParseLog(host.ReadLog());
    const std::vector<std::string> expected = {
        "Enter Init()",
        "Exit Init() -> true",
        "Enter OpenPort(5)",
        "Exit OpenPort(5) -> false",
        "Enter ClosePort(5)",
        "Exit ClosePort() -> void",
        "Enter Answer(5)",
        "Exit Answer(5) -> false",
        "Enter Hangup(5)",
        "Exit Hangup(5) -> false",
        "Enter Reject(5)",
        "Exit Reject(5) -> false",
        "Enter StopRecord(5)",
        "Exit StopRecord(5) -> false",
        "Enter StopPlay(5)",
        "Exit StopPlay(5) -> void",
        "Enter Dial(5,\"0123\")",
        "Exit Dial(5,\"0123\") -> false",
        "Enter Transfer(3,\"123\")",
        "Exit Transfer(3,\"123\") -> false",
        "Enter BlindTransfer(5,\"77\")",
        "Exit BlindTransfer(5,\"77\") -> false",
        "Enter GenerateDtmf(5,\"12#\")",
        "Exit GenerateDtmf(5,\"12#\") -> void",
        "Enter DeviceSpecific(5,\"IsReady\",\"x\")",
        "Exit DeviceSpecific(5,\"IsReady\",\"x\") -> \"\"",
        "Enter Play(5," + a + ",320)",
        "Exit Play(5," + a + ",320) -> false",
        "Enter PlayCached(5," + a + ",160)",
        "Exit PlayCached(5," + a + ",160) -> false",
        "Enter Record(5,2500)",
        "Exit Record(5,2500) -> false",
        "Enter OpenPort(-1)",
        "Exit OpenPort(-1) -> false",
        "Enter OpenPort(1234)",
        "Exit OpenPort(1234) -> false",
        "Enter Shutdown()",
        "Exit Shutdown() -> void",
    };
    ASSERT_EQ(Texts(lines), expected);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& t = lines[i].text;
        std::string column = "  5";
        if (t.find("Init()") != std::string::npos || t.find("Shutdown()") != std::string::npos ||
            t.find("(-1)") != std::string::npos)
            column = "  G";  // no port, or port -1
        else if (t.find("Transfer(3") != std::string::npos)
            column = "  3";
        else if (t.find("(1234)") != std::string::npos)
            column = "1234";
        EXPECT_EQ(lines[i].port, column) << t;
        EXPECT_TRUE(lines[i].date == before || lines[i].date == after) << lines[i].date;
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
