// Turns libpri events into card events (D-channel state) and PRI event
// callbacks (calls). Runs on the card's signalling thread, trunk lock held.
#include "core/pri_api.h"

#include <string>

#include "callctl/pri_events.h"
#include "core/card_link.h"
#include "core/trace.h"

namespace callctl {

namespace {

// Driver code of each libpri event type 1..27; 0 drops the event.
uint32_t DriverCode(int type) {
    switch (type) {
    case PRI_EVENT_DCHAN_UP: return transport::kCardDChannelUp;
    case PRI_EVENT_DCHAN_DOWN: return transport::kCardDChannelDown;
    case PRI_EVENT_CONFIG_ERR: return transport::kCardConfigError;
    case PRI_EVENT_RESTART: return kCallRestart;
    case PRI_EVENT_RESTART_ACK: return kCallRestartAck;
    case PRI_EVENT_RING: return kCallRing;
    case PRI_EVENT_HANGUP: return kCallHangup;
    case PRI_EVENT_HANGUP_REQ: return kCallHangupReq;
    case PRI_EVENT_CONNECT_ACK: return kCallConnectAck;
    case PRI_EVENT_HANGUP_ACK: return kCallHangupAck;
    case PRI_EVENT_INFO_RECEIVED: return kCallInfo;
    case PRI_EVENT_RINGING: return kCallAlerting;
    case PRI_EVENT_PROCEEDING: return kCallProceeding;
    case PRI_EVENT_ANSWER: return kCallAnswer;
    case PRI_EVENT_PROGRESS: return kCallProgress;
    default: return 0;
    }
}

bool IsCardEvent(uint32_t code) {
    return code == transport::kCardDChannelUp || code == transport::kCardDChannelDown ||
           code == transport::kCardConfigError;
}

// The call a call event is about (every call event's record starts alike).
q931_call* EventCall(pri_event* event) {
    switch (event->e) {
    case PRI_EVENT_RING: return event->ring.call;
    case PRI_EVENT_HANGUP:
    case PRI_EVENT_HANGUP_REQ:
    case PRI_EVENT_HANGUP_ACK: return event->hangup.call;
    case PRI_EVENT_RINGING: return event->ringing.call;
    case PRI_EVENT_ANSWER: return event->answer.call;
    case PRI_EVENT_PROCEEDING:
    case PRI_EVENT_PROGRESS: return event->proceeding.call;
    case PRI_EVENT_CONNECT_ACK: return event->connect_ack.call;
    case PRI_EVENT_INFO_RECEIVED: return event->ring.call;
    case PRI_EVENT_RESTART: return nullptr;
    default: return nullptr;
    }
}

int EventChannel(pri_event* event) {
    switch (event->e) {
    case PRI_EVENT_RING: return event->ring.channel;
    case PRI_EVENT_HANGUP:
    case PRI_EVENT_HANGUP_REQ:
    case PRI_EVENT_HANGUP_ACK: return event->hangup.channel;
    case PRI_EVENT_RINGING: return event->ringing.channel;
    case PRI_EVENT_ANSWER: return event->answer.channel;
    case PRI_EVENT_PROCEEDING:
    case PRI_EVENT_PROGRESS: return event->proceeding.channel;
    case PRI_EVENT_CONNECT_ACK: return event->connect_ack.channel;
    case PRI_EVENT_INFO_RECEIVED: return event->ring.channel;
    case PRI_EVENT_RESTART: return event->restart.channel;
    case PRI_EVENT_RESTART_ACK: return event->restartack.channel;
    default: return -1;
    }
}

}  // namespace

void PriEventBridge(transport::CardLink& card, int trunk, pri_event* event) {
    if (event == nullptr || trunk < 0 || trunk >= transport::kMaxTrunks) return;
    uint32_t code = DriverCode(event->e);
    if (code == 0) return;
    struct pri* controller = card.trunks[trunk].controller;
    if (IsCardEvent(code)) {
        transport::CardEventCallback cb = card.cardEventCallback.load();
        if (cb != nullptr) cb(static_cast<uint16_t>(trunk), code, card.cardEventContext, 0, 0);
        return;
    }
    transport::PriEventCallback cb = card.priEventCallback.load();
    // Taken before the callback: its own libpri calls may reuse the record.
    int channel = EventChannel(event);
    q931_call* call = EventCall(event);
    if (cb != nullptr)
        cb(static_cast<uint16_t>(trunk), static_cast<uint16_t>(channel & 0xFFFF), code, card.priEventContext,
           controller, event);
    if (code == kCallAnswer && controller != nullptr && call != nullptr) pri_connect_ack(controller, call, channel);
}

namespace {

// The card whose link is the controller's user data. libpri's message
// handler is process-wide, so a controller that is not one of ours (another
// user of libpri in the same process) must not be taken for a card link.
const transport::CardLink* CardOfController(struct pri* controller) {
    const void* userData = controller != nullptr ? pri_get_userdata(controller) : nullptr;
    for (int i = 0; userData != nullptr && i < transport::kMaxCards; ++i)
        if (transport::g_cards[i] == userData) return transport::g_cards[i];
    return nullptr;
}

}  // namespace

void PriMessage(struct pri* controller, char* text) {
    const transport::CardLink* card = CardOfController(controller);
    unsigned cardIndex = card != nullptr ? card->cardIndex : 0;
    unsigned link = controller != nullptr ? static_cast<unsigned>(pri_fd(controller)) : 0;
    std::string body = text != nullptr ? text : "";
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    driver::Logf(driver::kGeneralPort, "Debug Message: Card[%u] Link[%u]: %s", cardIndex, link, body.c_str());
}

void PriError(struct pri* controller, char* text) { PriMessage(controller, text); }

}  // namespace callctl
