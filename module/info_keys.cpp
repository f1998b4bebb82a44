// GetInfo, SetInfo and DeviceSpecific: the port's named properties and
// driver commands. Host threads; GetInfo builds its reply under the port's
// info lock, the same lock call control writes the call texts under.
#include "module/info_keys.h"

#include <cstdint>
#include <string>

#include "callctl/port_call.h"
#include "callctl/pri_events.h"
#include "core/card_link.h"
#include "core/device.h"
#include "core/port_table.h"
#include "core/trace.h"
#include "media/g711.h"
#include "module/media_info.h"
#include "platform/clock.h"
#include "platform/lock.h"

namespace driver {

namespace {

constexpr uint32_t kResetSettleMs = 100;  // ResetChannel gives the restart time to go out
// Room kept in the reply so that ordinary replies never move it.
constexpr size_t kReplyCapacity = 512;

// Keys and commands match without regard to case; a null never matches.
bool KeyIs(const char* key, const char* name) {
    if (key == nullptr) return false;
    for (; *key != '\0' && *name != '\0'; ++key, ++name) {
        char a = *key >= 'a' && *key <= 'z' ? static_cast<char>(*key - 'a' + 'A') : *key;
        char b = *name >= 'a' && *name <= 'z' ? static_cast<char>(*name - 'a' + 'A') : *name;
        if (a != b) return false;
    }
    return *key == '\0' && *name == '\0';
}

// A decimal integer as the host writes it: leading blanks and a sign, up to
// the first non-digit; no digits give 0. Out-of-range values saturate.
int32_t ReadInteger(const char* text) {
    if (text == nullptr) return 0;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v') ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

const char* ChannelStateText(const CDevice& port) {
    int32_t state = port.channelState.load();
    if (!port.open.load() || state == kChannelDown) return "DOWN";
    if (state == kChannelUp) return port.callHandle.load() != nullptr ? "INUSE" : "READY";
    return "UNKNOWN";
}

// The reply to a key; the caller holds the port's info lock.
std::string Reply(const CDevice& port, const char* key) {
    if (KeyIs(key, "CLI")) return port.cli;
    if (KeyIs(key, "DLI")) return port.dli;
    if (KeyIs(key, "RLI")) return port.rli;
    if (KeyIs(key, "CALLTYPE")) return port.callType;
    if (KeyIs(key, "INPUTTYPE")) return port.inputType;
    if (KeyIs(key, "OPENTYPE")) return media::FormatName(port.wave.format);
    if (KeyIs(key, "CHANNEL")) return FormatText("%d", static_cast<int>(port.timeslot) + 1);
    if (KeyIs(key, "DIRECTION")) return port.ringCount.load() >= 1 ? "INCOMING" : "OUTGOING";
    if (KeyIs(key, "CLITYPE")) return "DIGITAL";
    if (KeyIs(key, "PHYSICALPORTS")) return FormatText("%d", g_portCount.load() / kChannelsPerTrunk);
    if (KeyIs(key, "SERIALNO")) return port.serialText;
    if (KeyIs(key, "FEATUREFLAGS")) return FormatText("%u", port.featureFlags);
    if (KeyIs(key, "FIRMWAREVER")) return FormatText("%u", unsigned{port.firmwareVersion});
    if (KeyIs(key, "FIRMWAREDATE")) return port.firmwareDate;
    if (KeyIs(key, "BURNDATE")) return port.burnDate;
    if (KeyIs(key, "CHANNELSTATE")) return ChannelStateText(port);
    std::string statistic;
    if (MediaInfoReply(port, key, &statistic)) return statistic;
    return std::string();
}

// Restarts the port's timeslot in libpri and forgets its call, both under
// the trunk lock: a call offered after the restart is never wiped.
void ResetChannel(CDevice& port) {
    transport::TrunkLink* trunk = callctl::TrunkOf(port);
    {
        callctl::TrunkGuard guard(trunk);
        if (port.progressQueue.HasStorage()) port.progressQueue.Clear();
        struct pri* controller = callctl::ControllerOf(trunk);
        if (controller != nullptr) pri_reset(controller, static_cast<int>(port.timeslot));
        callctl::PortCallReset(port, callctl::kCauseNormalClearing);
    }
    plat::SleepMs(kResetSettleMs);
}

}  // namespace

const char* GetInfoKey(CDevice& port, const char* key) {
    plat::LockGuard info(port.infoLock);
    port.infoReply.clear();
    if (port.infoReply.capacity() < kReplyCapacity) port.infoReply.reserve(kReplyCapacity);
    port.infoReply.assign(Reply(port, key));
    return port.infoReply.c_str();
}

bool SetInfoKey(CDevice& port, const char* key, const char* value) {
    if (KeyIs(key, "DIALCLI")) {
        // Under the info lock so that a Dial on another thread reads it whole.
        plat::LockGuard info(port.infoLock);
        port.dialCli = value != nullptr ? value : "";
        return true;
    }
    if (KeyIs(key, "ALLOWINCOMING")) {
        port.allowIncoming.store(ReadInteger(value) != 0);
        return false;
    }
    if (KeyIs(key, "MAXINCOMING")) callctl::SetMaxIncomingCalls(ReadInteger(value));
    return false;
}

const char* DeviceSpecificCommand(CDevice& port, const char* command, const char* argument) {
    if (KeyIs(command, "IsReady")) return "1";
    if (KeyIs(command, "ResetChannel")) ResetChannel(port);
    return nullptr;
}

}  // namespace driver
