// Call-progress texts with the cause table, the port information keys and ResetChannel.
#include <cstdio>

#include "call_fixture.h"

namespace pritest {
namespace {

// Entries come back in order, at most nineteen; causes the table does not name read UNKNOWN.
TEST_F(CallTest, ProgressTextsInOrderWithTheCauseTable) {
    driver::CDevice& port = Port(0, 0);
    EXPECT_STREQ(GetCallProgress(port), "");
    Texts expected = {"PROCEEDING", "RINGBACK", "PROGRESS", "CONNECTED", "UNKNOWN"};
    for (char code : std::string("PARCX")) QueueProgress(port, static_cast<uint8_t>(code), 0);
    const std::pair<uint32_t, const char*> causes[] = {
        {0, "UNKNOWN"},           {1, "UNALLOCATED"},         {4, "UNKNOWN"},      {16, "NORMALCLEARING"},
        {17, "BUSY"},             {21, "REJECTED"},           {35, "DESTUNATTAINABLE"}, {44, "CHANNELUNAVAILABLE"},
        {54, "INCOMINGCALLBARREDR"}, {111, "PROTOCOLERROR"},  {127, "INTERWORKING"}, {128, "UNKNOWN"},
        {200, "UNKNOWN"},         {0xFFFFFFFF, "UNKNOWN"}};
    for (const auto& cause : causes) {
        QueueProgress(port, 'D', cause.first);
        expected.push_back(std::string("DISCONNECTED-") + cause.second + "-Q931_" + std::to_string(cause.first));
    }
    EXPECT_EQ(Progress(port), expected);
    for (int i = 0; i < 25; ++i) QueueProgress(port, 'P', 0);
    EXPECT_EQ(Progress(port).size(), 19u);
}

TEST_F(CallTest, DisconnectTextStaysUntilTheNextOneIsReadAndEachReadIsTraced) {
    driver::CDevice& port = Port(0, 3);
    driver::g_traceLevel = 1;
    TraceCapture trace;
    GetCallProgress(port);  // empty: no line
    QueueProgress(port, 'D', 17);
    QueueProgress(port, 'P', 0);
    QueueProgress(port, 'D', 16);
    const char* busy = GetCallProgress(port);
    EXPECT_STREQ(GetCallProgress(port), "PROCEEDING");
    EXPECT_STREQ(busy, "DISCONNECTED-BUSY-Q931_17");
    const char* normal = GetCallProgress(port);
    EXPECT_EQ(normal, busy) << "one text per port, rewritten in place";
    EXPECT_STREQ(normal, "DISCONNECTED-NORMALCLEARING-Q931_16");
    std::string text = trace.Text();
    EXPECT_NE(text.find("  3 :GetCallProgress() -> DISCONNECTED-BUSY-Q931_17 [44,11] \r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("GetCallProgress() ->  ["), std::string::npos);
}

TEST_F(CallTest, InformationKeys) {
    Start(2);
    driver::CDevice& port = Port(1, 15);  // timeslot 17
    snprintf(port.serialText, sizeof port.serialText, "%u", 4711u);
    port.featureFlags = 4000000000u;
    port.firmwareVersion = 200;
    port.firmwareDate = "26120110";
    port.burnDate = "26113000";
    port.wave.format = media::AlawFormat();
    const std::pair<const char*, const char*> keys[] = {
        {"CHANNEL", "18"},       {"PhysicalPorts", "2"},       {"SERIALNO", "4711"},     {"FEATUREFLAGS", "4000000000"},
        {"FIRMWAREVER", "200"},  {"FIRMWAREDATE", "26120110"}, {"BURNDATE", "26113000"}, {"CLITYPE", "DIGITAL"},
        {"opentype", "ALAW"},    {"CALLTYPE", ""},             {"INPUTTYPE", ""},        {"NOSUCHKEY", ""},
        {nullptr, ""},           {"CLIX", ""},                 {"CHANNELSTATE", "READY"},
    };
    for (const auto& key : keys) EXPECT_EQ(Info(port, key.first), key.second) << (key.first ? key.first : "null");
    // Closed, then open with the channel down, in an unknown state, up with a call.
    const std::pair<int, const char*> states[] = {{-1, "DOWN"}, {driver::kChannelDown, "DOWN"}, {5, "UNKNOWN"}};
    for (const auto& state : states) {
        port.open.store(state.first >= 0);
        if (state.first >= 0) port.channelState.store(state.first);
        EXPECT_EQ(Info(port, "channelstate"), state.second) << state.first;
    }
    port.channelState.store(driver::kChannelUp);
    Ring(1, 15);
    EXPECT_EQ(Info(port, "CHANNELSTATE"), "INUSE");
    port.DigitReceived('5');
    EXPECT_EQ(port.TakeKey(), '5');
    EXPECT_EQ(Info(port, "INPUTTYPE"), "T");
}

// Numbers: blanks and a sign, up to the first non-digit, saturating. Only DIALCLI answers true.
TEST_F(CallTest, SetInfoKeysAndDeviceSpecificCommands) {
    driver::CDevice& port = Port(0, 0);
    EXPECT_TRUE(SetInfoKey(port, "dialcli", "0301"));
    EXPECT_TRUE(SetInfoKey(port, "DIALCLI", nullptr));
    EXPECT_EQ(port.dialCli, "");
    const std::pair<const char*, bool> allow[] = {{"abc", false}, {"  +7x", true}, {nullptr, false}};
    for (const auto& a : allow) {
        EXPECT_FALSE(SetInfoKey(port, "ALLOWINCOMING", a.first));
        EXPECT_EQ(port.allowIncoming.load(), a.second) << (a.first ? a.first : "null");
    }
    const std::pair<const char*, int32_t> limits[] = {{" -3", -3}, {"99999999999", 2147483647}, {"x", 0}};
    for (const auto& limit : limits) {
        EXPECT_FALSE(SetInfoKey(port, "MAXINCOMING", limit.first));
        EXPECT_EQ(callctl::MaxIncomingCalls(), limit.second) << limit.first;
    }
    EXPECT_FALSE(SetInfoKey(port, nullptr, "1") || SetInfoKey(port, "OTHER", "1"));
    EXPECT_STREQ(DeviceSpecificCommand(port, "isready", nullptr), "1");
    EXPECT_EQ(DeviceSpecificCommand(port, "Other", "x"), nullptr);
    EXPECT_EQ(DeviceSpecificCommand(port, nullptr, nullptr), nullptr);
}

TEST_F(CallTest, ResetChannelRestartsTheTimeslotAndForgetsTheCall) {
    driver::CDevice& port = Port(0, 20);  // timeslot 22
    Connected(0, 20);
    port.DigitReceived('1');
    QueueProgress(port, 'P', 0);
    EXPECT_EQ(DeviceSpecificCommand(port, "RESETCHANNEL", "now"), nullptr);
    EXPECT_EQ(State(port), "idle rings=0 CLI=");
    EXPECT_EQ(port.TakeKey(), 0);
    EXPECT_EQ(port.clearingCause.load(), 16);
    EXPECT_STREQ(GetCallProgress(port), "");
    EXPECT_TRUE(Wait([&] { return loop().Restarts(0) == std::vector<int>{22}; }));

    // Without a libpri controller (the loop forgets it at its end anyway) Dial fails and ResetChannel still clears.
    driver::CDevice& ringing = Port(0, 1);
    Ring(0, 1);
    {
        plat::LockGuard guard(loop().card().trunks[0].lock);
        loop().card().trunks[0].controller = nullptr;
    }
    EXPECT_FALSE(Dial(Port(0, 6), "123"));
    EXPECT_EQ(Port(0, 6).callHandle.load(), nullptr);
    DeviceSpecificCommand(ringing, "ResetChannel", nullptr);
    EXPECT_EQ(State(ringing), "idle rings=0 CLI=");
}

}  // namespace
}  // namespace pritest
