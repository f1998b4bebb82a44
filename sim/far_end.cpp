#include "sim/far_end.h"

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "sim/q931_patch.h"

#if defined(__SANITIZE_ADDRESS__)
#define VAXO_SIM_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VAXO_SIM_LEAK_CHECK 1
#endif
#endif
#ifdef VAXO_SIM_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace sim {
namespace {

constexpr int kNormalClearing = 16;
constexpr int kReleaseCause = 26;    // a cause libpri clears with RELEASE
constexpr int kMaxTimerRuns = 64;    // timer events handled per trunk and pass
constexpr int kChannelMask = 0xFF;
constexpr int kAnyChannel = 0xFF;
constexpr size_t kQ921ControlOffset = 2;  // after the two address bytes
constexpr uint8_t kQ921Sabme = 0x6F;        // control field, poll bit clear
constexpr uint8_t kQ921PollBit = 0x10;

// Timeslot named by libpri's channel encoding, -1 for none or any.
int Timeslot(int priChannel) {
    if (priChannel == -1) return -1;
    int ch = priChannel & kChannelMask;
    return (ch == 0 || ch == kAnyChannel) ? -1 : ch;
}

long long MsUntil(const timeval& when) {
    timeval now{};
    gettimeofday(&now, nullptr);
    return (static_cast<long long>(when.tv_sec) - now.tv_sec) * 1000 +
           (static_cast<long long>(when.tv_usec) - now.tv_usec) / 1000;
}

}  // namespace

void RetireController(struct pri* ctrl) {
    if (ctrl == nullptr) return;
    pri_set_userdata(ctrl, nullptr);
#ifdef VAXO_SIM_LEAK_CHECK
    __lsan_ignore_object(ctrl);
#endif
}

struct FarEnd::Callback {
    struct Context {
        FarEnd* owner;
        int trunk;
    };
    // libpri asks for the frame ReceiveFrame put aside.
    static int Read(struct pri* ctrl, void* buf, int size) {
        auto* ctx = static_cast<Context*>(pri_get_userdata(ctrl));
        if (ctx == nullptr || buf == nullptr || size <= 0) return 0;
        auto& pending = ctx->owner->trunks_[static_cast<size_t>(ctx->trunk)]->pending;
        int n = static_cast<int>(std::min(pending.size(), static_cast<size_t>(size)));
        if (n > 0) std::memcpy(buf, pending.data(), static_cast<size_t>(n));
        pending.clear();
        return n;
    }
    // Every frame libpri sends, check bytes included, goes to the card.
    static int Write(struct pri* ctrl, void* buf, int size) {
        auto* ctx = static_cast<Context*>(pri_get_userdata(ctrl));
        if (ctx == nullptr || buf == nullptr || size < 2) return 0;
        ctx->owner->SendFrame(ctx->trunk, static_cast<const uint8_t*>(buf), static_cast<size_t>(size));
        return size;
    }
};

FarEnd::FarEnd(int trunks, bool moduleIsNetworkSide, int switchType, FrameSink sink) : sink_(std::move(sink)) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    int count = std::max(0, std::min(trunks, wire::kMaxTrunks));
    const int node = moduleIsNetworkSide ? PRI_CPE : PRI_NETWORK;
    for (int i = 0; i < count; ++i) {
        trunks_.push_back(std::make_unique<Trunk>());
        Trunk& t = *trunks_.back();
        auto* ctx = new Callback::Context{this, i};
        t.ctrl = pri_new_cb(i, node, switchType, &Callback::Read, &Callback::Write, ctx);
        if (t.ctrl == nullptr) {
            delete ctx;
            continue;
        }
        pri_set_debug(t.ctrl, 0);
        pri_hangup_fix_enable(t.ctrl, 1);
        pri_connect_ack_enable(t.ctrl, 1);
    }
}

FarEnd::~FarEnd() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    // libpri offers no way to free a controller: detach it from us so that
    // nothing reaches this object through it again.
    for (auto& t : trunks_) {
        if (t->ctrl == nullptr) continue;
        auto* ctx = static_cast<Callback::Context*>(pri_get_userdata(t->ctrl));
        RetireController(t->ctrl);
        delete ctx;
    }
}

void FarEnd::SendFrame(int trunk, const uint8_t* frame, size_t size) {
    if (patchRestartAll_ && size >= wire::kCheckSequenceBytes) {
        std::vector<uint8_t> copy(frame, frame + size);
        if (q931::MakeWholeInterfaceRestart(&copy, size - wire::kCheckSequenceBytes)) {
            sink_(trunk, copy.data(), copy.size());
            return;
        }
    }
    if (patchType_ >= 0 && q931::MessageType(frame, size) == patchType_) {
        std::vector<uint8_t> copy(frame, frame + size);
        q931::ReplaceCause(copy.data(), size - wire::kCheckSequenceBytes, patchCause_);
        sink_(trunk, copy.data(), copy.size());
        return;
    }
    sink_(trunk, frame, size);
}

void FarEnd::ReceiveFrame(int trunk, const uint8_t* frame, size_t size) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (trunk < 0 || trunk >= trunks() || frame == nullptr) return;
    Trunk& t = *trunks_[static_cast<size_t>(trunk)];
    if (t.ctrl == nullptr) return;
    t.pending.assign(frame, frame + size);
    t.pending.resize(size + wire::kCheckSequenceBytes, 0);  // dummy check sequence
    pri_event* e = pri_check_event(t.ctrl);
    t.pending.clear();
    if (e != nullptr) HandleEvent(trunk, e);
    // SABME (either poll bit): the module sets its link up, also over a
    // link this side still held (libpri reports no new D-channel up then).
    if (size >= kQ921ControlOffset + 1 && (frame[kQ921ControlOffset] & ~kQ921PollBit) == kQ921Sabme) ++t.setUps;
}

int FarEnd::RunTimers(int capMs) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    long long next = capMs;
    for (int i = 0; i < trunks(); ++i) {
        struct pri* ctrl = trunks_[static_cast<size_t>(i)]->ctrl;
        if (ctrl == nullptr) continue;
        for (int run = 0; run < kMaxTimerRuns; ++run) {
            timeval* when = pri_schedule_next(ctrl);
            if (when == nullptr) break;
            long long ms = MsUntil(*when);
            if (ms > 0) {
                next = std::min(next, ms);
                break;
            }
            pri_event* e = pri_schedule_run(ctrl);
            if (e != nullptr) HandleEvent(i, e);
        }
    }
    return static_cast<int>(std::max(0LL, next));
}

bool FarEnd::DChannelUp(int trunk) const {
    if (trunk < 0 || trunk >= trunks()) return false;
    return trunks_[static_cast<size_t>(trunk)]->up.load();
}

uint64_t FarEnd::LinkSetUps(int trunk) const {
    if (trunk < 0 || trunk >= trunks()) return 0;
    return trunks_[static_cast<size_t>(trunk)]->setUps.load();
}

FarEnd::Call* FarEnd::ByHandle(int trunk, q931_call* c) {
    if (c == nullptr) return nullptr;
    auto it = live_.find(c);
    if (it == live_.end()) return nullptr;
    Call& call = calls_[static_cast<size_t>(it->second)];
    return call.record.trunk == trunk ? &call : nullptr;
}

int FarEnd::AddCall(const Call& c) {
    const int id = static_cast<int>(calls_.size());
    calls_.push_back(c);
    calls_.back().record.id = id;
    if (c.call != nullptr) live_[c.call] = id;
    return id;
}

void FarEnd::Forget(Call* c) {
    if (c->call != nullptr) live_.erase(c->call);
    c->call = nullptr;
}

int64_t SimClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FarEnd::Call* FarEnd::ById(int callId) {
    if (callId < 0 || callId >= static_cast<int>(calls_.size())) return nullptr;
    return &calls_[static_cast<size_t>(callId)];
}

const FarEnd::Call* FarEnd::ById(int callId) const {
    if (callId < 0 || callId >= static_cast<int>(calls_.size())) return nullptr;
    return &calls_[static_cast<size_t>(callId)];
}

void FarEnd::NoteChannel(Call* c, int priChannel) {
    if (c == nullptr || Timeslot(priChannel) < 0) return;
    c->priChannel = priChannel;
    c->record.channel = Timeslot(priChannel);
}

void FarEnd::HandleEvent(int trunk, pri_event* e) {
    Trunk& t = *trunks_[static_cast<size_t>(trunk)];
    switch (e->e) {
        case PRI_EVENT_DCHAN_UP: t.up = true; break;
        case PRI_EVENT_DCHAN_DOWN: t.up = false; break;
        case PRI_EVENT_RESTART:
            t.restarts.push_back(Timeslot(e->restart.channel));
            ForgetCalls(trunk, Timeslot(e->restart.channel));
            break;
        case PRI_EVENT_RING: OnRing(trunk, e->ring); break;
        case PRI_EVENT_SETUP_ACK:
            if (Call* c = ByHandle(trunk, e->setup_ack.call)) {
                c->record.gotSetupAck = true;
                NoteChannel(c, e->setup_ack.channel);
            }
            break;
        case PRI_EVENT_PROCEEDING:
            if (Call* c = ByHandle(trunk, e->proceeding.call)) {
                c->record.gotProceeding = true;
                NoteChannel(c, e->proceeding.channel);
            }
            break;
        case PRI_EVENT_PROGRESS:
            if (Call* c = ByHandle(trunk, e->proceeding.call)) NoteChannel(c, e->proceeding.channel);
            break;
        case PRI_EVENT_RINGING:
            if (Call* c = ByHandle(trunk, e->ringing.call)) {
                c->record.gotAlerting = true;
                if (c->record.alertingUs == 0) c->record.alertingUs = SimClockUs();
                c->record.alertingHadInbandProgress = (e->ringing.progressmask & PRI_PROG_INBAND_AVAILABLE) != 0;
                NoteChannel(c, e->ringing.channel);
            }
            break;
        case PRI_EVENT_ANSWER:
            if (Call* c = ByHandle(trunk, e->answer.call)) {
                c->record.gotConnect = true;
                if (c->record.connectUs == 0) c->record.connectUs = SimClockUs();
                NoteChannel(c, e->answer.channel);
                if (!withholdConnectAck_) pri_connect_ack(t.ctrl, c->call, 0);
            }
            break;
        case PRI_EVENT_CONNECT_ACK:
            if (Call* c = ByHandle(trunk, e->connect_ack.call)) c->record.gotConnectAck = true;
            break;
        case PRI_EVENT_HANGUP_REQ:
        case PRI_EVENT_HANGUP:
        case PRI_EVENT_HANGUP_ACK: OnCleared(trunk, e); break;
        default: break;
    }
}

void FarEnd::OnRing(int trunk, const pri_event_ring& ring) {
    Trunk& t = *trunks_[static_cast<size_t>(trunk)];
    Call c;
    c.call = ring.call;
    c.record.trunk = trunk;
    c.record.incomingToSim = true;
    c.record.calling = ring.callingnum;
    c.record.called = ring.callednum;
    c.record.redirecting = ring.redirectingnum;
    c.record.setupUs = SimClockUs();
    NoteChannel(&c, ring.channel);
    c.record.id = AddCall(c);
    const int ch = c.priChannel;
    switch (t.policy) {
        case IncomingPolicy::Ignore: break;
        case IncomingPolicy::Proceed: pri_proceeding(t.ctrl, ring.call, ch, 0); break;
        case IncomingPolicy::Alert:
            pri_proceeding(t.ctrl, ring.call, ch, 0);
            pri_acknowledge(t.ctrl, ring.call, ch, 0);
            break;
        case IncomingPolicy::Answer:
            pri_proceeding(t.ctrl, ring.call, ch, 0);
            pri_acknowledge(t.ctrl, ring.call, ch, 0);
            pri_answer(t.ctrl, ring.call, ch, 0);
            break;
        case IncomingPolicy::Busy:  // as an exchange does: proceeding, then DISCONNECT with the cause
            pri_proceeding(t.ctrl, ring.call, ch, 0);
            Disconnect(c.record.id, t.busyCause);
            break;
    }
}

void FarEnd::OnCleared(int trunk, pri_event* e) {
    Call* c = ByHandle(trunk, e->hangup.call);
    if (c == nullptr) return;
    c->record.cleared = true;
    if (!c->record.clearedBySim && c->record.cause < 0) c->record.cause = e->hangup.cause;
    struct pri* ctrl = trunks_[static_cast<size_t>(trunk)]->ctrl;
    if (e->e == PRI_EVENT_HANGUP_REQ) {
        if (withholdRelease_) {
            c->record.releaseWithheld = true;
            return;
        }
        pri_hangup(ctrl, c->call, kNormalClearing);  // answers DISCONNECT with RELEASE
        return;
    }
    if (e->e == PRI_EVENT_HANGUP) pri_hangup(ctrl, c->call, kNormalClearing);  // lets libpri free it
    Forget(c);
}

int FarEnd::PlaceCall(int trunk, int channel, const std::string& calling, const std::string& called,
                      const std::string& redirecting) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (trunk < 0 || trunk >= trunks()) return -1;
    struct pri* ctrl = trunks_[static_cast<size_t>(trunk)]->ctrl;
    if (ctrl == nullptr) return -1;
    q931_call* call = pri_new_call(ctrl);
    if (call == nullptr) return -1;
    const bool named = channel > 0 && channel < wire::kTimeslots;
    struct pri_sr* sr = pri_sr_new();
    if (sr == nullptr) {
        pri_destroycall(ctrl, call);
        return -1;
    }
    std::string callingCopy = calling, calledCopy = called, redirectingCopy = redirecting;
    pri_sr_set_channel(sr, named ? channel : kAnyChannel, named ? 1 : 0, 0);
    pri_sr_set_bearer(sr, PRI_TRANS_CAP_SPEECH, PRI_LAYER_1_ALAW);
    pri_sr_set_called(sr, calledCopy.data(), PRI_UNKNOWN, 1);
    pri_sr_set_caller(sr, callingCopy.empty() ? nullptr : callingCopy.data(), nullptr, PRI_UNKNOWN,
                      PRES_ALLOWED_USER_NUMBER_NOT_SCREENED);
    if (!redirectingCopy.empty())
        pri_sr_set_redirecting(sr, redirectingCopy.data(), PRI_UNKNOWN, PRES_ALLOWED_USER_NUMBER_NOT_SCREENED,
                               PRI_REDIR_UNKNOWN);
    Call c;
    c.call = call;
    c.record.trunk = trunk;
    c.record.calling = calling;
    c.record.called = called;
    c.record.redirecting = redirecting;
    if (named) {
        c.priChannel = channel;
        c.record.channel = channel;
    }
    c.record.setupUs = SimClockUs();
    const int id = AddCall(c);
    int rc = pri_setup(ctrl, call, sr);
    pri_sr_free(sr);
    if (rc < 0) {
        pri_destroycall(ctrl, call);
        Call& failed = calls_[static_cast<size_t>(id)];
        Forget(&failed);
        failed.record.cleared = true;
        failed.record.clearedBySim = true;
        return -1;
    }
    return id;
}

template <typename Fn>
bool FarEnd::OnLiveCall(int callId, Fn fn) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    Call* c = ById(callId);
    if (c == nullptr || c->call == nullptr) return false;
    struct pri* ctrl = trunks_[static_cast<size_t>(c->record.trunk)]->ctrl;
    if (ctrl == nullptr) return false;
    return fn(ctrl, *c) >= 0;
}

bool FarEnd::Alert(int callId) {
    return OnLiveCall(callId, [](struct pri* p, Call& c) { return pri_acknowledge(p, c.call, c.priChannel, 0); });
}

bool FarEnd::Answer(int callId) {
    return OnLiveCall(callId, [](struct pri* p, Call& c) { return pri_answer(p, c.call, c.priChannel, 0); });
}

bool FarEnd::Proceed(int callId) {
    return OnLiveCall(callId, [](struct pri* p, Call& c) { return pri_proceeding(p, c.call, c.priChannel, 0); });
}

bool FarEnd::Progress(int callId) {
    return OnLiveCall(callId, [](struct pri* p, Call& c) { return pri_progress(p, c.call, c.priChannel, 1); });
}

bool FarEnd::SendConnectAck(int callId) {
    return OnLiveCall(callId, [](struct pri* p, Call& c) { return pri_connect_ack(p, c.call, 0); });
}

// libpri picks DISCONNECT, RELEASE or RELEASE COMPLETE from the cause; it
// is given one that selects the wanted message, and the cause the caller
// asked for is written into the message on its way out.
bool FarEnd::ClearWith(int callId, int cause, int libpriCause, uint8_t messageType) {
    return OnLiveCall(callId, [&](struct pri* p, Call& c) {
        c.record.clearedBySim = true;
        patchType_ = messageType;
        patchCause_ = static_cast<uint8_t>(cause);
        int rc = pri_hangup(p, c.call, libpriCause);
        patchType_ = -1;
        return rc;
    });
}

bool FarEnd::Disconnect(int callId, int cause) { return ClearWith(callId, cause, kNormalClearing, q931::kDisconnect); }

bool FarEnd::Release(int callId, int cause) { return ClearWith(callId, cause, kReleaseCause, q931::kRelease); }

void FarEnd::SetIncomingPolicy(int trunk, IncomingPolicy policy, int busyCause) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (trunk < 0 || trunk >= trunks()) return;
    trunks_[static_cast<size_t>(trunk)]->policy = policy;
    trunks_[static_cast<size_t>(trunk)]->busyCause = busyCause;
}

std::vector<CallRecord> FarEnd::Calls() const {
    std::lock_guard<std::recursive_mutex> g(lock_);
    std::vector<CallRecord> out;
    out.reserve(calls_.size());
    for (const auto& c : calls_) out.push_back(c.record);
    return out;
}

size_t FarEnd::CallCount() const {
    std::lock_guard<std::recursive_mutex> g(lock_);
    return calls_.size();
}

bool FarEnd::FindCall(int callId, CallRecord* out) const {
    std::lock_guard<std::recursive_mutex> g(lock_);
    const Call* c = ById(callId);
    if (c == nullptr) return false;
    if (out != nullptr) *out = c->record;
    return true;
}

std::vector<int> FarEnd::RestartsReceived(int trunk) const {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (trunk < 0 || trunk >= trunks()) return {};
    return trunks_[static_cast<size_t>(trunk)]->restarts;
}

bool FarEnd::SendRestart(int trunk, int channel, bool wholeInterface) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (trunk < 0 || trunk >= trunks()) return false;
    struct pri* ctrl = trunks_[static_cast<size_t>(trunk)]->ctrl;
    if (ctrl == nullptr) return false;
    patchRestartAll_ = wholeInterface;
    const int rc = pri_reset(ctrl, channel);
    patchRestartAll_ = false;
    if (rc < 0) return false;
    ForgetCalls(trunk, wholeInterface ? -1 : channel);
    return true;
}

void FarEnd::ForgetCalls(int trunk, int channel) {
    struct pri* ctrl = trunks_[static_cast<size_t>(trunk)]->ctrl;
    for (auto& c : calls_) {
        if (c.call == nullptr || c.record.trunk != trunk || (channel >= 0 && c.record.channel != channel)) continue;
        pri_destroycall(ctrl, c.call);
        c.call = nullptr;
        c.record.cleared = true;
        c.record.releaseWithheld = false;
    }
}

void FarEnd::ReleaseWithheld() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    for (auto& c : calls_) {
        if (!c.record.releaseWithheld) continue;
        c.record.releaseWithheld = false;
        struct pri* ctrl = trunks_[static_cast<size_t>(c.record.trunk)]->ctrl;
        if (c.call != nullptr && ctrl != nullptr) pri_hangup(ctrl, c.call, kNormalClearing);
    }
}

bool FarEnd::RestartChannel(int trunk, int channel) {
    if (channel <= 0 || channel >= wire::kTimeslots || channel == wire::kDChannelTimeslot) return false;
    return SendRestart(trunk, channel, false);
}

bool FarEnd::RestartInterface(int trunk) { return SendRestart(trunk, 1, true); }

}  // namespace sim
