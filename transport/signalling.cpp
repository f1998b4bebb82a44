#include "transport/signalling.h"

#include <memory>

#include "core/card_link.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "transport/card_messages.h"
#include "transport/message_parser.h"
#include "transport/pri_glue.h"

namespace transport {

namespace {

constexpr size_t kReceiveBytes = 8000;     // one receive per pass: the most a card gets handled at once
constexpr uint32_t kSilenceLimitMs = 1000;  // no data this long: the card is down
constexpr int kMaxWaitMs = 100;             // socket wait while the card link is open
constexpr uint32_t kClosedSleepMs = 100;    // control connection gone: idle until stopped
constexpr uint32_t kFailureSleepMs = 10;
constexpr uint32_t kTimerPassMs = 250;      // how often the ports' own timers are looked at

// The card link as the parser sees it; used on the signalling thread only.
class CardLinkSink : public CardMessageSink {
public:
    explicit CardLinkSink(CardLink& card) : card_(card) {}

    int TrunkCount() override { return UsableTrunks(card_); }
    uint8_t LineStatus(int trunk) override { return card_.trunks[trunk].lineStatus.load(); }
    void StoreLineStatus(int trunk, uint8_t status) override { card_.trunks[trunk].lineStatus.store(status); }

    void CardInformation(const CardInfo& info) override {
        if (!info.valid) {
            card_.infoRejected.fetch_add(1);
            return;
        }
        // The ports, trunks and audio of an open link were made for the facts
        // given at set-up; a reopen takes new ones.
        if (card_.open.load() != 0) {
            VAXO_TRACE(2, driver::kGeneralPort, "Card %u: card information while open ignored (serial %u, %d trunks)",
                       card_.cardIndex, info.serial, static_cast<int>(info.trunks));
            return;
        }
        {
            plat::LockGuard guard(card_.factsLock);
            card_.firmwareVersion = info.firmwareVersion;
            card_.featureFlags = info.featureFlags;
            card_.firmwareDate = info.firmwareDate;
            card_.burnDate = info.burnDate;
        }
        card_.trunkCount.store(info.trunks);
        card_.serial.store(info.serial);
        card_.infoReceived.fetch_add(1);
    }

    void CardEvent(uint16_t link, uint32_t code, uint16_t value16, uint8_t value8) override {
        CardEventCallback cb = card_.cardEventCallback.load();
        if (cb != nullptr) cb(link, code, card_.cardEventContext, value16, value8);
    }

    void Frame(int trunk, const uint8_t* frame, size_t n) override { ReceiveFrame(card_, trunk, frame, n); }

    uint32_t NowMs() override { return plat::TickCountMs(); }

private:
    CardLink& card_;
};

// State of one run of the signalling thread, used by that thread only.
class SignallingLoop {
public:
    explicit SignallingLoop(CardLink& card) : card_(card), sink_(card), parser_(sink_) {}

    void Run() {
        parser_.Reset();
        card_.controlEnded.store(false);
        if (card_.control.load() != plat::kNoSocket) SendCardMessage(card_, CardMessage::InfoRequest());
        lastDataMs_ = plat::TickCountMs();
        while (!card_.signalling.stop.load()) {
            if (!Pass()) break;
        }
    }

private:
    bool Open() const { return card_.open.load() != 0; }

    // One wait on the control connection and what follows it; false ends
    // the thread.
    bool Pass() {
        plat::Socket s = card_.control.load();
        if (s == plat::kNoSocket) {
            plat::SleepMs(kClosedSleepMs);
            return true;
        }
        // While open the wait is bounded, so that timers run and a silent
        // card is noticed even when libpri has no timer pending.
        int timeout = Open() ? NextTimerMs(card_, kMaxWaitMs) : -1;
        if (Open() && timeout < 0) timeout = kMaxWaitMs;
        int ready = plat::WaitReadable(s, timeout);
        if (ready < 0) {
            if (Open()) TimersAndSilence();
            plat::SleepMs(kFailureSleepMs);
            return true;
        }
        if (ready == 0) {
            if (card_.signalling.stop.load()) return false;
            if (Open()) TimersAndSilence();
            return true;
        }
        int n = plat::Receive(s, buffer_.get(), kReceiveBytes);
        if (n <= 0) {
            card_.controlEnded.store(true);
            if (card_.control.load() != plat::kNoSocket) SilenceCheck();
            plat::SleepMs(kFailureSleepMs);
            return true;
        }
        lastDataMs_ = plat::TickCountMs();
        card_.controlEnded.store(false);
        parser_.Feed(buffer_.get(), static_cast<size_t>(n));
        // A card that keeps the connection readable must not hold libpri's
        // timers back: the due ones run after every receive as well.
        if (Open()) Timers();
        return true;
    }

    void TimersAndSilence() {
        Timers();
        SilenceCheck();
    }

    // libpri's timers, and every kTimerPassMs a timer pass event per trunk
    // for what the ports keep due (a RESTART the network has not answered).
    void Timers() {
        RunTimers(card_);
        uint32_t now = plat::TickCountMs();
        if (now - lastTimerPassMs_ < kTimerPassMs) return;
        lastTimerPassMs_ = now;
        CardEventCallback cb = card_.cardEventCallback.load();
        for (int s = 0; cb != nullptr && s < card_.portTrunks.load() && s < kMaxTrunks; ++s)
            cb(static_cast<uint16_t>(s), kCardTimerPass, card_.cardEventContext, 0, 0);
    }

    // Reports the card down once and drops the connection; the card comes
    // back only through its restart announcement.
    void SilenceCheck() {
        if (plat::TickCountMs() - lastDataMs_ < kSilenceLimitMs) return;
        if (card_.control.load() == plat::kNoSocket) return;
        StatusCallback cb = card_.statusCallback.load();
        if (cb != nullptr) cb(kStatusUpDown, card_.statusContext, nullptr, 0);
        plat::LockGuard guard(card_.controlLock);
        plat::Socket s = card_.control.exchange(plat::kNoSocket);
        if (s != plat::kNoSocket) plat::CloseSocket(s);
    }

    CardLink& card_;
    CardLinkSink sink_;
    CardMessageParser parser_;
    std::unique_ptr<uint8_t[]> buffer_{new uint8_t[kReceiveBytes]};
    uint32_t lastDataMs_ = 0;
    uint32_t lastTimerPassMs_ = 0;
};

}  // namespace

void SignallingThread(void* arg) {
    auto* card = static_cast<CardLink*>(arg);
    if (card == nullptr) return;
    plat::SetCurrentThreadName("vaxo-signalling");
    std::unique_ptr<SignallingLoop> loop(new SignallingLoop(*card));
    loop->Run();
}

}  // namespace transport
