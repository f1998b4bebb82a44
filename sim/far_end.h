// The ISDN far end of every trunk of a simulated card: one libpri
// controller per trunk on the side opposite the module, a call table, and
// what the module sent on each call. The card's control thread feeds it
// frames and runs its timers; test threads place and clear calls. All
// libpri work happens under one lock.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/sim.h"
#include "sim/wire.h"

// libpri's C interface; its header carries no C++ linkage guards.
extern "C" {
#include <libpri.h>
}

namespace sim {

// libpri has no call that frees a controller: detaches one from its user
// data for good and tells the leak checker (when built with it) that the
// memory is kept on purpose.
void RetireController(struct pri* ctrl);

class FarEnd {
public:
    // Called under the far end's lock with a frame and its two check bytes.
    using FrameSink = std::function<void(int trunk, const uint8_t* frame, size_t size)>;

    FarEnd(int trunks, bool moduleIsNetworkSide, int switchType, FrameSink sink);
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    int trunks() const { return static_cast<int>(trunks_.size()); }

    // A frame from the module (without check bytes).
    void ReceiveFrame(int trunk, const uint8_t* frame, size_t size);
    // Runs the timers that are due; returns the milliseconds until the next
    // one, at most capMs.
    int RunTimers(int capMs);
    bool DChannelUp(int trunk) const;
    // How often the module asked to set the link up (SABME frames).
    uint64_t LinkSetUps(int trunk) const;

    int PlaceCall(int trunk, int channel, const std::string& calling, const std::string& called,
                  const std::string& redirecting);
    bool Alert(int callId);
    bool Answer(int callId);
    bool Proceed(int callId);
    bool Progress(int callId);
    bool Disconnect(int callId, int cause);
    bool Release(int callId, int cause);
    bool SendConnectAck(int callId);
    void SetWithholdConnectAck(bool on) { withholdConnectAck_ = on; }
    void SetWithholdRelease(bool on) { withholdRelease_ = on; }
    void ReleaseWithheld();
    void SetIncomingPolicy(int trunk, IncomingPolicy policy, int busyCause);
    std::vector<CallRecord> Calls() const;
    size_t CallCount() const;
    bool FindCall(int callId, CallRecord* out) const;
    std::vector<int> RestartsReceived(int trunk) const;
    // RESTART from the network for one B-channel, or for the whole
    // interface; the far end forgets its calls there as a network does.
    bool RestartChannel(int trunk, int channel);
    bool RestartInterface(int trunk);

private:
    struct Trunk {
        struct pri* ctrl = nullptr;
        std::atomic<bool> up{false};
        std::atomic<uint64_t> setUps{0};
        IncomingPolicy policy = IncomingPolicy::Alert;
        int busyCause = 17;
        std::vector<int> restarts;
        std::vector<uint8_t> pending;  // frame handed to libpri by the read callback
    };
    struct Call {
        CallRecord record;
        q931_call* call = nullptr;  // null once libpri has let the call go
        int priChannel = 0;         // libpri's channel encoding, 0 while unknown
    };
    struct Callback;  // libpri's read and write callbacks

    void HandleEvent(int trunk, pri_event* e);
    void OnRing(int trunk, const pri_event_ring& ring);
    void OnCleared(int trunk, pri_event* e);
    Call* ByHandle(int trunk, q931_call* c);
    Call* ById(int callId);
    const Call* ById(int callId) const;
    void NoteChannel(Call* c, int priChannel);
    int AddCall(const Call& c);
    void Forget(Call* c);  // libpri has let the call go
    template <typename Fn>
    bool OnLiveCall(int callId, Fn fn);

    bool ClearWith(int callId, int cause, int libpriCause, uint8_t messageType);
    bool SendRestart(int trunk, int channel, bool wholeInterface);
    // Lets go of the calls on a restarted channel (-1: all of the trunk).
    void ForgetCalls(int trunk, int channel);
    void SendFrame(int trunk, const uint8_t* frame, size_t size);

    mutable std::recursive_mutex lock_;
    // While a clearing message is built: its type and the cause to put in.
    int patchType_ = -1;
    uint8_t patchCause_ = 0;
    bool patchRestartAll_ = false;  // while a whole-interface RESTART is built
    std::vector<std::unique_ptr<Trunk>> trunks_;
    std::vector<Call> calls_;
    std::unordered_map<const q931_call*, int> live_;  // libpri's call handle -> call id
    FrameSink sink_;
    std::atomic<bool> withholdConnectAck_{false};
    std::atomic<bool> withholdRelease_{false};
};

}  // namespace sim
