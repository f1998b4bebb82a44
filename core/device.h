// One port: everything the driver knows about one bearer channel. Host
// threads call the exports on it; the card's signalling thread (call
// control, card events) and media threads (digits, play and record) update
// it concurrently under the locks named with each field.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "core/dword_queue.h"
#include "core/wave.h"
#include "platform/event.h"
#include "platform/lock.h"

struct q931_call;

namespace driver {

constexpr int kErrorTextChars = 513;
constexpr int kPortNameChars = 513;
constexpr int kSerialTextChars = 20;
constexpr uint32_t kEventQueueCapacity = 100;
constexpr uint32_t kProgressQueueCapacity = 40;
constexpr uint32_t kDigitQueueCapacity = 40;
constexpr int32_t kChannelDown = -1;
constexpr int32_t kChannelUp = 1;
constexpr uint32_t kRingPeriodMs = 2000;  // GetRings counts one ring per period

enum HostEvent : uint32_t {
    kEventNone = 0,
    kEventPortDown = 10,
    kEventRing = 20,
    kEventCallProgress = 30,
    kEventKey = 40,
    kEventPlayEnds = 50,
    kEventRecordEnds = 60,
};

// Trace name of an event code, padded to 20 characters.
const char* EventName(uint32_t code);

class CDevice {
public:
    CDevice();
    virtual ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    // Queues a host event and signals the host's handle (no handle: dropped).
    void PostEvent(uint32_t code);
    // A DTMF digit from the media path.
    void DigitReceived(char digit);
    // Empties the error text.
    void ClearError();
    void SetError(const char* text);

    // GetRings: the ring count, recomputed while the call is not active
    // (under the call lock).
    int32_t Rings();
    char TakeKey();
    bool Open();
    void Close();

    media::CWave wave;
    std::atomic<bool> open{false};
    CDwordQueue progressQueue;
    std::atomic<uint32_t> echoValue{0};
    std::atomic<bool> lineUp{false};
    std::atomic<int32_t> ringCount{0};
    uint32_t cardIndex = 0;
    uint32_t trunkIndex = 0;
    plat::ManualResetEvent callEvent;
    std::atomic<q931_call*> callHandle{nullptr};
    uint32_t timeslot = 0;
    uint32_t portNumber = 0;
    char errorText[kErrorTextChars];
    char serialText[kSerialTextChars];
    char portName[kPortNameChars];
    std::atomic<bool> callActive{false};
    std::atomic<void*> hostEvent{nullptr};
    CDwordQueue eventQueue;
    std::string infoReply;
    std::string progressText;
    uint32_t featureFlags = 0;
    std::string firmwareDate;
    std::string burnDate;
    uint8_t firmwareVersion = 0;
    std::atomic<int32_t> channelState{kChannelDown};
    std::atomic<int32_t> clearingCause{0};
    CDwordQueue digitQueue;
    std::string progressText2;
    plat::RecursiveLock callLock;
    std::atomic<uint32_t> ringStart{0};
    std::string dialCli;
    std::atomic<bool> allowIncoming{true};
    plat::RecursiveLock infoLock;  // CLI, DLI, RLI, ANI, CALLTYPE, INPUTTYPE, cause, digit queue
    std::string cli, dli, rli;
    std::string ani;  // the network-provided calling number of an incoming call; CLI once connected
    const char* callType = "";
    const char* inputType = "";
};

}  // namespace driver
