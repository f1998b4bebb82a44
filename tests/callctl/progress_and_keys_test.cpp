// Call-progress texts with the cause table, and the port information keys.
#include <cstdio>
#include <map>

#include "call_fixture.h"
#include "callctl/port_call.h"

namespace pritest {
namespace {

using callctl::GetCallProgress;
using driver::DeviceSpecificCommand;
using driver::SetInfoKey;

const std::map<uint32_t, std::string> kCauseTexts = {
    {1, "UNALLOCATED"}, {2, "NOROUTETRANSIT"}, {3, "NOROUTEDEST"}, {6, "CHANNELUNACCEPTABLE"},
    {7, "AWARDEDDELIVERED"}, {16, "NORMALCLEARING"}, {17, "BUSY"}, {18, "NOUSERRESPONSE"},
    {19, "NOANSWER"}, {21, "REJECTED"}, {22, "NUMBERCHANGED"}, {26, "USERCLEARING"},
    {27, "DESTOUTOFORDER"}, {28, "INVALIDNUMBERFORMAT"}, {29, "FACILITYREJECTED"},
    {30, "RESPTOSTATUSENQUIRY"}, {31, "NORMALUNSPECIFIED"}, {34, "CONGESTION"}, {35, "DESTUNATTAINABLE"},
    {38, "NETWORKOUTOFORDER"}, {41, "TEMPORARYFAILURE"}, {42, "SWITCHCONGESTION"},
    {43, "ACCESSINFODISCARDED"}, {44, "CHANNELUNAVAILABLE"}, {45, "PREEMPTED"}, {47, "RESOURCEUNAVAIL"},
    {50, "FACILITYNOTSUBSCRIBED"}, {52, "OUTGOINGCALLBARRED"}, {54, "INCOMINGCALLBARREDR"},
    {57, "BEARERCAPNOTAUTH"}, {58, "BEARERCAPNOTAVAIL"}, {63, "SERVICEOROPTIONNOTAVAIL"},
    {65, "BEARERCAPNOTIMPL"}, {66, "CHANNELNOTIMPL"}, {69, "FACILITYNOTIMPL"}, {81, "INVALIDCALLREF"},
    {82, "CHANNELDOESNOTEXIST"}, {88, "INCOMPATIBLEDEST"}, {95, "INVALIDMSG"}, {96, "MANDATORYIEMISSING"},
    {97, "MSGTYPENONEXIST"}, {98, "WRONGMESSAGE"}, {99, "IENONEXIST"}, {100, "INVALIDIECONTENTS"},
    {101, "INVALIDCALLSTATE"}, {102, "TIMEREXPIRE"}, {103, "IELENGTHERROR"}, {111, "PROTOCOLERROR"},
    {127, "INTERWORKING"},
};

TEST_F(CallTest, EveryCauseHasItsDisconnectText) {
    driver::CDevice& port = Port(0, 0);
    for (uint32_t cause : {0u, 4u, 35u, 126u, 127u, 128u, 200u, 0xFFFFFFFFu}) {
        callctl::QueueProgress(port, callctl::kProgressDisconnected, cause);
    }
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-UNKNOWN-Q931_0");
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-UNKNOWN-Q931_4");
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-DESTUNATTAINABLE-Q931_35");
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-UNKNOWN-Q931_126");
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-INTERWORKING-Q931_127");
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-UNKNOWN-Q931_128");
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-UNKNOWN-Q931_200");
    EXPECT_STREQ(GetCallProgress(port), "DISCONNECTED-UNKNOWN-Q931_4294967295");
    for (uint32_t cause = 1; cause <= 127; ++cause) {
        callctl::QueueProgress(port, callctl::kProgressDisconnected, cause);
        auto named = kCauseTexts.find(cause);
        std::string expected = "DISCONNECTED-" + (named != kCauseTexts.end() ? named->second : "UNKNOWN") +
                               "-Q931_" + std::to_string(cause);
        EXPECT_EQ(GetCallProgress(port), expected);
    }
}

TEST_F(CallTest, ProgressEntriesComeBackInOrderAndAtMostNineteen) {
    driver::CDevice& port = Port(0, 0);
    EXPECT_STREQ(GetCallProgress(port), "");
    const uint32_t codes[] = {'P', 'A', 'R', 'C', 'X'};
    for (uint32_t code : codes) callctl::QueueProgress(port, code, 0);
    EXPECT_EQ(Progress(port), (std::vector<std::string>{"PROCEEDING", "RINGBACK", "PROGRESS", "CONNECTED", "UNKNOWN"}));
    for (int i = 0; i < 25; ++i) callctl::QueueProgress(port, 'P', 0);
    EXPECT_EQ(Progress(port).size(), 19u);
}

TEST_F(CallTest, DisconnectTextStaysUntilTheNextDisconnectIsRead) {
    driver::CDevice& port = Port(0, 0);
    callctl::QueueProgress(port, 'D', 17);
    callctl::QueueProgress(port, 'P', 0);
    callctl::QueueProgress(port, 'D', 16);
    const char* busy = GetCallProgress(port);
    EXPECT_STREQ(GetCallProgress(port), "PROCEEDING");
    EXPECT_STREQ(busy, "DISCONNECTED-BUSY-Q931_17");
    const char* normal = GetCallProgress(port);
    EXPECT_EQ(normal, busy) << "one text per port, rewritten in place";
    EXPECT_STREQ(normal, "DISCONNECTED-NORMALCLEARING-Q931_16");
}

TEST_F(CallTest, ReadingAnEntryIsTracedAtLevelOne) {
    driver::CDevice& port = Port(0, 3);
    driver::g_traceLevel = 1;
    TraceCapture trace;
    GetCallProgress(port);  // empty: no line
    callctl::QueueProgress(port, 'D', 17);
    GetCallProgress(port);
    std::string text = trace.Text();
    EXPECT_NE(text.find("  3 :GetCallProgress() -> DISCONNECTED-BUSY-Q931_17 [44,11] \r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("GetCallProgress() ->  ["), std::string::npos);
}

TEST_F(CallTest, InformationKeys) {
    LoopOptions options;
    options.trunks = 2;
    Start(options);
    driver::CDevice& port = Port(1, 15);  // timeslot 17
    snprintf(port.serialText, sizeof port.serialText, "%u", 4711u);
    port.featureFlags = 4000000000u;
    port.firmwareVersion = 200;
    port.firmwareDate = "26120110";
    port.burnDate = "26113000";
    port.wave.format = media::AlawFormat();
    EXPECT_EQ(Info(port, "CHANNEL"), "18");
    EXPECT_EQ(Info(port, "PhysicalPorts"), "2");
    EXPECT_EQ(Info(port, "SERIALNO"), "4711");
    EXPECT_EQ(Info(port, "FEATUREFLAGS"), "4000000000");
    EXPECT_EQ(Info(port, "FIRMWAREVER"), "200");
    EXPECT_EQ(Info(port, "FIRMWAREDATE"), "26120110");
    EXPECT_EQ(Info(port, "BURNDATE"), "26113000");
    EXPECT_EQ(Info(port, "CLITYPE"), "DIGITAL");
    EXPECT_EQ(Info(port, "opentype"), "ALAW");
    EXPECT_EQ(Info(port, "CALLTYPE"), "");
    EXPECT_EQ(Info(port, "INPUTTYPE"), "");
    EXPECT_EQ(Info(port, "NOSUCHKEY"), "");
    EXPECT_EQ(Info(port, nullptr), "");
    EXPECT_EQ(Info(port, "CLIX"), "");

    EXPECT_EQ(Info(port, "CHANNELSTATE"), "READY");
    port.open.store(false);
    EXPECT_EQ(Info(port, "channelstate"), "DOWN");
    port.open.store(true);
    port.channelState.store(driver::kChannelDown);
    EXPECT_EQ(Info(port, "CHANNELSTATE"), "DOWN");
    port.channelState.store(5);
    EXPECT_EQ(Info(port, "CHANNELSTATE"), "UNKNOWN");
    port.channelState.store(driver::kChannelUp);
    Ring(1, 15);
    EXPECT_EQ(Info(port, "CHANNELSTATE"), "INUSE");
    port.DigitReceived('5');
    EXPECT_EQ(port.TakeKey(), '5');
    EXPECT_EQ(Info(port, "INPUTTYPE"), "T");
}

TEST_F(CallTest, SetInfoKeysAndDeviceSpecificCommands) {
    driver::CDevice& port = Port(0, 0);
    EXPECT_TRUE(SetInfoKey(port, "dialcli", "0301"));
    EXPECT_EQ(port.dialCli, "0301");
    EXPECT_TRUE(SetInfoKey(port, "DIALCLI", nullptr));
    EXPECT_EQ(port.dialCli, "");
    EXPECT_FALSE(SetInfoKey(port, "ALLOWINCOMING", "abc"));
    EXPECT_FALSE(port.allowIncoming.load());
    EXPECT_FALSE(SetInfoKey(port, "ALLOWINCOMING", "  +7x"));
    EXPECT_TRUE(port.allowIncoming.load());
    EXPECT_FALSE(SetInfoKey(port, "ALLOWINCOMING", nullptr));
    EXPECT_FALSE(port.allowIncoming.load());
    EXPECT_FALSE(SetInfoKey(port, "MAXINCOMING", " -3"));
    EXPECT_EQ(callctl::MaxIncomingCalls(), -3);
    EXPECT_FALSE(SetInfoKey(port, "MAXINCOMING", "99999999999"));
    EXPECT_EQ(callctl::MaxIncomingCalls(), 2147483647);
    EXPECT_FALSE(SetInfoKey(port, "MAXINCOMING", "x"));
    EXPECT_EQ(callctl::MaxIncomingCalls(), 0);
    EXPECT_FALSE(SetInfoKey(port, nullptr, "1"));
    EXPECT_FALSE(SetInfoKey(port, "OTHER", "1"));
    EXPECT_STREQ(DeviceSpecificCommand(port, "isready", nullptr), "1");
    EXPECT_EQ(DeviceSpecificCommand(port, "Other", "x"), nullptr);
    EXPECT_EQ(DeviceSpecificCommand(port, nullptr, nullptr), nullptr);
}

TEST_F(CallTest, ResetChannelRestartsTheTimeslotAndForgetsTheCall) {
    driver::CDevice& port = Port(0, 20);  // timeslot 22
    Connected(0, 20);
    port.DigitReceived('1');
    callctl::QueueProgress(port, 'P', 0);
    EXPECT_EQ(DeviceSpecificCommand(port, "RESETCHANNEL", "now"), nullptr);
    EXPECT_FALSE(callctl::IsCallActive(port));
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_EQ(port.Rings(), 0);
    EXPECT_EQ(port.TakeKey(), 0);
    EXPECT_EQ(Info(port, "CLI"), "");
    EXPECT_EQ(port.clearingCause.load(), 16);
    EXPECT_STREQ(GetCallProgress(port), "");
    EXPECT_TRUE(Wait([&] { return loop().Restarts(0) == std::vector<int>{22}; }));
}

// Without a libpri controller Dial fails and ResetChannel still clears.
TEST_F(CallTest, TrunkWithoutControllerDialFailsAndResetStillClears) {
    driver::CDevice& port = Port(0, 1);
    Ring(0, 1);
    struct pri* controller = loop().card().trunks[0].controller;
    {
        plat::LockGuard guard(loop().card().trunks[0].lock);
        loop().card().trunks[0].controller = nullptr;
    }
    EXPECT_FALSE(callctl::Dial(Port(0, 6), "123"));
    EXPECT_EQ(Port(0, 6).callHandle.load(), nullptr);
    DeviceSpecificCommand(port, "ResetChannel", nullptr);
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_EQ(port.Rings(), 0);
    plat::LockGuard guard(loop().card().trunks[0].lock);
    loop().card().trunks[0].controller = controller;
}

}  // namespace
}  // namespace pritest
