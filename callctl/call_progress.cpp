// GetCallProgress: the next call-progress entry of a port as a text, and
// the Q.931 cause table of disconnect texts. Host threads.
#include "callctl/call_progress.h"

#include <string>

#include "callctl/call_ops.h"
#include "callctl/port_call.h"
#include "core/device.h"
#include "core/trace.h"
#include "platform/lock.h"

namespace callctl {

namespace {

struct CauseName {
    uint32_t cause;
    const char* text;
};

// Q.850 cause values (35 is unassigned there but named here all the same).
constexpr CauseName kCauseNames[] = {
    {1, "DISCONNECTED-UNALLOCATED"},
    {2, "DISCONNECTED-NOROUTETRANSIT"},
    {3, "DISCONNECTED-NOROUTEDEST"},
    {6, "DISCONNECTED-CHANNELUNACCEPTABLE"},
    {7, "DISCONNECTED-AWARDEDDELIVERED"},
    {16, "DISCONNECTED-NORMALCLEARING"},
    {17, "DISCONNECTED-BUSY"},
    {18, "DISCONNECTED-NOUSERRESPONSE"},
    {19, "DISCONNECTED-NOANSWER"},
    {21, "DISCONNECTED-REJECTED"},
    {22, "DISCONNECTED-NUMBERCHANGED"},
    {26, "DISCONNECTED-USERCLEARING"},
    {27, "DISCONNECTED-DESTOUTOFORDER"},
    {28, "DISCONNECTED-INVALIDNUMBERFORMAT"},
    {29, "DISCONNECTED-FACILITYREJECTED"},
    {30, "DISCONNECTED-RESPTOSTATUSENQUIRY"},
    {31, "DISCONNECTED-NORMALUNSPECIFIED"},
    {34, "DISCONNECTED-CONGESTION"},
    {35, "DISCONNECTED-DESTUNATTAINABLE"},
    {38, "DISCONNECTED-NETWORKOUTOFORDER"},
    {41, "DISCONNECTED-TEMPORARYFAILURE"},
    {42, "DISCONNECTED-SWITCHCONGESTION"},
    {43, "DISCONNECTED-ACCESSINFODISCARDED"},
    {44, "DISCONNECTED-CHANNELUNAVAILABLE"},
    {45, "DISCONNECTED-PREEMPTED"},
    {47, "DISCONNECTED-RESOURCEUNAVAIL"},
    {50, "DISCONNECTED-FACILITYNOTSUBSCRIBED"},
    {52, "DISCONNECTED-OUTGOINGCALLBARRED"},
    {54, "DISCONNECTED-INCOMINGCALLBARREDR"},
    {57, "DISCONNECTED-BEARERCAPNOTAUTH"},
    {58, "DISCONNECTED-BEARERCAPNOTAVAIL"},
    {63, "DISCONNECTED-SERVICEOROPTIONNOTAVAIL"},
    {65, "DISCONNECTED-BEARERCAPNOTIMPL"},
    {66, "DISCONNECTED-CHANNELNOTIMPL"},
    {69, "DISCONNECTED-FACILITYNOTIMPL"},
    {81, "DISCONNECTED-INVALIDCALLREF"},
    {82, "DISCONNECTED-CHANNELDOESNOTEXIST"},
    {88, "DISCONNECTED-INCOMPATIBLEDEST"},
    {95, "DISCONNECTED-INVALIDMSG"},
    {96, "DISCONNECTED-MANDATORYIEMISSING"},
    {97, "DISCONNECTED-MSGTYPENONEXIST"},
    {98, "DISCONNECTED-WRONGMESSAGE"},
    {99, "DISCONNECTED-IENONEXIST"},
    {100, "DISCONNECTED-INVALIDIECONTENTS"},
    {101, "DISCONNECTED-INVALIDCALLSTATE"},
    {102, "DISCONNECTED-TIMEREXPIRE"},
    {103, "DISCONNECTED-IELENGTHERROR"},
    {111, "DISCONNECTED-PROTOCOLERROR"},
    {127, "DISCONNECTED-INTERWORKING"},
};

constexpr const char* kUnknownCause = "DISCONNECTED-UNKNOWN";
// Longest disconnect text: the longest cause name, "-Q931_" and ten digits.
constexpr size_t kProgressTextCapacity = 64;

// The disconnect text of an entry, kept in the port's progress text so that
// the pointer stays valid until the port's next disconnect entry is read.
const char* DisconnectText(driver::CDevice& port, uint32_t cause) {
    plat::LockGuard info(port.infoLock);
    // Reserved once, so rewriting never moves the characters a caller holds.
    if (port.progressText.capacity() < kProgressTextCapacity) port.progressText.reserve(kProgressTextCapacity);
    std::string text = driver::FormatText("%s-Q931_%u", CauseText(cause), cause);
    port.progressText.assign(text);  // a copy into the reserved room, not a move
    return port.progressText.c_str();
}

const char* EntryText(driver::CDevice& port, uint32_t code, uint32_t parameter) {
    switch (code) {
    case kProgressAlerting: return "RINGBACK";
    case kProgressConnected: return "CONNECTED";
    case kProgressDisconnected: return DisconnectText(port, parameter);
    case kProgressProceeding: return "PROCEEDING";
    case kProgressProgress: return "PROGRESS";
    default: return "UNKNOWN";
    }
}

}  // namespace

const char* CauseText(uint32_t cause) {
    for (const CauseName& name : kCauseNames)
        if (name.cause == cause) return name.text;
    return kUnknownCause;
}

const char* GetCallProgress(driver::CDevice& port) {
    uint32_t code = 0;
    uint32_t parameter = 0;
    if (!port.progressQueue.PopPair(&code, &parameter)) return "";
    const char* text = EntryText(port, code, parameter);
    VAXO_TRACE(1, static_cast<int>(port.portNumber), "GetCallProgress() -> %s [%X,%X] ", text, code, parameter);
    return text;
}

}  // namespace callctl
