#include "transport/pri_glue.h"

#include <cstdlib>
#include <cstring>

#include "callctl/pri_events.h"
#include "platform/clock.h"
#include "platform/lock.h"
#include "transport/card_messages.h"
#include "transport/hdlc_capture.h"

namespace transport {

namespace {

constexpr int kCheckBytes = 2;  // libpri's frames end with room for the check sequence
constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kMicrosPerMs = 1000;

CardLink* CardOf(struct pri* controller) {
    return controller != nullptr ? static_cast<CardLink*>(pri_get_userdata(controller)) : nullptr;
}

int TrunkOf(struct pri* controller) { return pri_fd(controller) & 0xFF; }

// libpri asks for a frame only inside ReceiveFrame's pri_check_event.
int ReadCallback(struct pri* controller, void* buf, int buflen) {
    CardLink* card = CardOf(controller);
    if (card == nullptr || buf == nullptr || buflen <= 0) return 0;
    int trunk = TrunkOf(controller);
    if (trunk >= kMaxTrunks) return 0;
    TrunkLink& t = card->trunks[trunk];
    if (t.pendingFrame == nullptr) return 0;
    int n = t.pendingLength < buflen ? t.pendingLength : buflen;
    memcpy(buf, t.pendingFrame, static_cast<size_t>(n));
    t.pendingFrame = nullptr;
    t.pendingLength = 0;
    return n;
}

// A frame from libpri, with room for the check bytes at its end. The full
// length is reported written whatever the send does.
int WriteCallback(struct pri* controller, void* buf, int length) {
    CardLink* card = CardOf(controller);
    if (card == nullptr || length < kCheckBytes || buf == nullptr) return 0;
    int trunk = TrunkOf(controller);
    if (trunk >= kMaxTrunks) return 0;
    const auto* frame = static_cast<const uint8_t*>(buf);
    Capture(*card, trunk, kCaptureOutgoing, frame, static_cast<size_t>(length - kCheckBytes));
    SendHdlcFrame(*card, trunk, frame, length - kCheckBytes);
    return length;
}

// The leading fields of libpri 1.6.0's controller record. libpri has no
// public call that frees a controller; a fresh one is exactly three blocks
// (itself, its message-line buffer and its timer table), freed here only
// when the version and the leading fields match what this layout expects.
struct ControllerHead {
    int fd;
    pri_io_cb read;
    pri_io_cb write;
    void* userdata;
    void* messageLine;
    struct pri* master;
    void* reserved;
    void* timers;
};
constexpr char kKnownLayoutVersion[] = "1.6.0";

bool LayoutKnown(struct pri* controller, const CardLink& card, int trunk) {
    const char* version = pri_get_version();
    if (version == nullptr || strcmp(version, kKnownLayoutVersion) != 0) return false;
    ControllerHead head;
    memcpy(&head, controller, sizeof head);
    return head.fd == trunk && head.read == ReadCallback && head.write == WriteCallback &&
           head.userdata == &card && head.master == nullptr;
}

void FreeController(struct pri* controller, const CardLink& card, int trunk) {
    if (!LayoutKnown(controller, card, trunk)) return;  // kept: leaking beats freeing blind
    ControllerHead head;
    memcpy(&head, controller, sizeof head);
    free(head.messageLine);
    free(head.timers);
    free(controller);
}

bool Earlier(const timeval& a, const timeval& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

}  // namespace

void CreateController(CardLink& card, int trunk) {
    if (trunk < 0 || trunk >= kMaxTrunks) return;
    TrunkLink& t = card.trunks[trunk];
    plat::LockGuard guard(t.lock);
    struct pri* controller =
        pri_new_cb(trunk, t.clientType, t.switchType, ReadCallback, WriteCallback, &card);
    if (controller == nullptr) return;
    pri_hangup_fix_enable(controller, 1);
    pri_aoc_events_enable(controller, 1);
    pri_connect_ack_enable(controller, 1);
    t.controller = controller;
}

void ReleaseController(CardLink& card, int trunk) {
    if (trunk < 0 || trunk >= kMaxTrunks) return;
    TrunkLink& t = card.trunks[trunk];
    struct pri* controller;
    {
        plat::LockGuard guard(t.lock);
        controller = t.controller;
        t.controller = nullptr;
        t.dchannelUp = false;
    }
    if (controller != nullptr) FreeController(controller, card, trunk);
}

void HandlePriEvent(CardLink& card, int trunk, pri_event* event) {
    if (event == nullptr || trunk < 0 || trunk >= kMaxTrunks) return;
    if (event->e == PRI_EVENT_DCHAN_UP) card.trunks[trunk].dchannelUp = true;
    if (event->e == PRI_EVENT_DCHAN_DOWN) card.trunks[trunk].dchannelUp = false;
    callctl::PriEventBridge(card, trunk, event);
}

void ReceiveFrame(CardLink& card, int trunk, const uint8_t* frame, size_t n) {
    if (trunk < 0 || trunk >= kMaxTrunks || frame == nullptr || n < kMinFrameBytes) return;
    TrunkLink& t = card.trunks[trunk];
    plat::LockGuard guard(t.lock);
    if (t.controller == nullptr) return;
    Capture(card, trunk, kCaptureIncoming, frame, n - kCheckBytes);
    t.pendingFrame = frame;
    t.pendingLength = static_cast<int>(n);
    pri_event* event = pri_check_event(t.controller);
    t.pendingFrame = nullptr;
    t.pendingLength = 0;
    HandlePriEvent(card, trunk, event);
}

void RunTimers(CardLink& card) {
    for (int s = 0; s < kMaxTrunks; ++s) {
        TrunkLink& t = card.trunks[s];
        plat::LockGuard guard(t.lock);
        if (t.controller == nullptr) continue;
        HandlePriEvent(card, s, pri_schedule_run(t.controller));
    }
}

int NextTimerMs(CardLink& card, int maxMs) {
    bool found = false;
    timeval earliest{};
    for (int s = 0; s < kMaxTrunks; ++s) {
        TrunkLink& t = card.trunks[s];
        plat::LockGuard guard(t.lock);
        if (t.controller == nullptr) continue;
        const timeval* next = pri_schedule_next(t.controller);
        if (next == nullptr) continue;
        if (!found || Earlier(*next, earliest)) earliest = *next;
        found = true;
    }
    if (!found) return -1;
    plat::UtcTimeval now = plat::UtcNow();
    int64_t micros = (static_cast<int64_t>(earliest.tv_sec) - now.seconds) * kMicrosPerSecond +
                     (static_cast<int64_t>(earliest.tv_usec) - now.microseconds);
    if (micros <= 0) return 0;
    int64_t ms = (micros + kMicrosPerMs - 1) / kMicrosPerMs;  // never wake before it is due
    return ms >= maxMs ? maxMs : static_cast<int>(ms);
}

}  // namespace transport
