// Call-progress texts with the cause table, the port information keys and ResetChannel.
#include <cstdio>
#include <map>

#include "call_fixture.h"
#include "media/g711.h"

namespace pritest {
namespace {

// The clearing causes by their Q.850 meaning (35 is not assigned there and is still named); every other value,
// 0 and anything above 127 included, reads UNKNOWN.
const std::map<uint32_t, std::string> kCauseNames = {
    {1, "UNALLOCATED"},                // unallocated (unassigned) number
    {2, "NOROUTETRANSIT"},             // no route to specified transit network
    {3, "NOROUTEDEST"},                // no route to destination
    {6, "CHANNELUNACCEPTABLE"},        // channel unacceptable
    {7, "AWARDEDDELIVERED"},           // call awarded, delivered in an established channel
    {16, "NORMALCLEARING"},            // normal call clearing
    {17, "BUSY"},                      // user busy
    {18, "NOUSERRESPONSE"},            // no user responding
    {19, "NOANSWER"},                  // no answer from user (user alerted)
    {21, "REJECTED"},                  // call rejected
    {22, "NUMBERCHANGED"},             // number changed
    {26, "USERCLEARING"},              // non-selected user clearing
    {27, "DESTOUTOFORDER"},            // destination out of order
    {28, "INVALIDNUMBERFORMAT"},       // invalid number format (address incomplete)
    {29, "FACILITYREJECTED"},          // facility rejected
    {30, "RESPTOSTATUSENQUIRY"},       // response to STATUS ENQUIRY
    {31, "NORMALUNSPECIFIED"},         // normal, unspecified
    {34, "CONGESTION"},                // no circuit/channel available
    {35, "DESTUNATTAINABLE"},          // (not assigned in Q.850)
    {38, "NETWORKOUTOFORDER"},         // network out of order
    {41, "TEMPORARYFAILURE"},          // temporary failure
    {42, "SWITCHCONGESTION"},          // switching equipment congestion
    {43, "ACCESSINFODISCARDED"},       // access information discarded
    {44, "CHANNELUNAVAILABLE"},        // requested circuit/channel not available
    {45, "PREEMPTED"},                 // pre-empted
    {47, "RESOURCEUNAVAIL"},           // resource unavailable, unspecified
    {50, "FACILITYNOTSUBSCRIBED"},     // requested facility not subscribed
    {52, "OUTGOINGCALLBARRED"},        // outgoing calls barred
    {54, "INCOMINGCALLBARREDR"},       // incoming calls barred
    {57, "BEARERCAPNOTAUTH"},          // bearer capability not authorized
    {58, "BEARERCAPNOTAVAIL"},         // bearer capability not presently available
    {63, "SERVICEOROPTIONNOTAVAIL"},   // service or option not available, unspecified
    {65, "BEARERCAPNOTIMPL"},          // bearer capability not implemented
    {66, "CHANNELNOTIMPL"},            // channel type not implemented
    {69, "FACILITYNOTIMPL"},           // requested facility not implemented
    {81, "INVALIDCALLREF"},            // invalid call reference value
    {82, "CHANNELDOESNOTEXIST"},       // identified channel does not exist
    {88, "INCOMPATIBLEDEST"},          // incompatible destination
    {95, "INVALIDMSG"},                // invalid message, unspecified
    {96, "MANDATORYIEMISSING"},        // mandatory information element is missing
    {97, "MSGTYPENONEXIST"},           // message type non-existent or not implemented
    {98, "WRONGMESSAGE"},              // message not compatible with call state or not implemented
    {99, "IENONEXIST"},                // information element non-existent or not implemented
    {100, "INVALIDIECONTENTS"},        // invalid information element contents
    {101, "INVALIDCALLSTATE"},         // message not compatible with call state
    {102, "TIMEREXPIRE"},              // recovery on timer expiry
    {103, "IELENGTHERROR"},            // parameter non-existent or not implemented, passed on
    {111, "PROTOCOLERROR"},            // protocol error, unspecified
    {127, "INTERWORKING"},             // interworking, unspecified
};

// Entries come back in order, at most nineteen; every cause value reads its own text.
TEST_F(CallTest, ProgressTextsInOrderWithTheCauseTable) {
    driver::CDevice& port = Port(0, 0);
    EXPECT_STREQ(GetCallProgress(port), "");
    Texts expected = {"PROCEEDING", "RINGBACK", "PROGRESS", "CONNECTED", "UNKNOWN"};
    for (char code : std::string("PARCX")) QueueProgress(port, static_cast<uint8_t>(code), 0);
    EXPECT_EQ(Progress(port), expected);
    std::vector<uint32_t> causes = {128, 200, 255, 256, 0xFFFFFFFF};
    for (uint32_t cause = 0; cause <= 127; ++cause) causes.push_back(cause);
    for (uint32_t cause : causes) {
        QueueProgress(port, 'D', cause);
        auto named = kCauseNames.find(cause);
        std::string name = named != kCauseNames.end() ? named->second : "UNKNOWN";
        EXPECT_EQ(GetCallProgress(port), "DISCONNECTED-" + name + "-Q931_" + std::to_string(cause));
    }
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
