#include "transport/card_messages.h"

#include <cstring>

#include "core/card_link.h"
#include "platform/clock.h"
#include "platform/lock.h"

namespace transport {

namespace {

constexpr uint32_t kInfoWaitMs = 1000;
constexpr uint32_t kInfoPollMs = 50;
constexpr uint8_t kTrunkConfigVersion = 0x01;

uint8_t LinkNumber(int trunk) { return static_cast<uint8_t>(trunk + 1); }

bool InfoArrived(const CardLink& card) { return card.infoReceived.load() != 0 || card.infoRejected.load() != 0; }

}  // namespace

CardMessage CardMessage::Begin(uint8_t type) {
    CardMessage m;
    m.Put(kMessageStart);
    m.Put(type);
    return m;
}

CardMessage CardMessage::InfoRequest() { return Begin(kOutInfoRequest); }

CardMessage CardMessage::RegisterRead(uint8_t link, uint16_t reg) {
    CardMessage m = Begin(kOutRegisterRead);
    m.Put(link);
    m.Put16(reg);
    m.Put(kMessageEnd);
    return m;
}

CardMessage CardMessage::MediaStarted() { return Begin(kOutMediaStarted); }

CardMessage CardMessage::AudioPort(uint16_t port) {
    CardMessage m = Begin(kOutAudioPort);
    m.Put16(port);
    m.Put(kMessageEnd);
    return m;
}

CardMessage CardMessage::TrunkConfig(uint8_t link, int32_t crc4) {
    CardMessage m = Begin(kOutTrunkConfig);
    m.Put(link);
    m.Put(kTrunkConfigVersion);
    m.Put(static_cast<uint8_t>(crc4 & 0xFF));
    for (int i = 0; i < 4; ++i) m.Put(0);
    return m;
}

bool CardMessage::HdlcFrame(uint8_t link, const uint8_t* frame, size_t n, CardMessage* out) {
    out->length_ = 0;
    if (n > kMaxOutgoingFrameBytes || (n > 0 && frame == nullptr)) return false;
    out->Put(kMessageStart);
    out->Put(kOutHdlcFrame);
    out->Put(link);
    out->Put16(static_cast<uint16_t>(n));
    if (n > 0) memcpy(out->bytes_ + out->length_, frame, n);
    out->length_ += n;
    out->Put(kMessageEnd);
    return true;
}

bool SendCardMessage(CardLink& card, const uint8_t* data, size_t size) {
    plat::LockGuard guard(card.controlLock);
    plat::Socket s = card.control.load();
    if (s == plat::kNoSocket) return false;
    plat::Send(s, data, size);
    return true;
}

void SendTrunkConfig(CardLink& card, int trunk) {
    if (trunk < 0 || trunk >= kMaxTrunks) return;
    plat::LockGuard guard(card.txLock);
    CardMessage m = CardMessage::TrunkConfig(LinkNumber(trunk), card.trunks[trunk].crc4);
    memcpy(card.txBuffer, m.data(), m.size());
    card.txLength = static_cast<uint32_t>(m.size());
    SendCardMessage(card, card.txBuffer, card.txLength);
    card.txLength = 0;
}

bool SendHdlcFrame(CardLink& card, int trunk, const uint8_t* frame, int n) {
    if (trunk < 0 || trunk >= kMaxTrunks || n < 0) return false;
    CardMessage m;
    if (!CardMessage::HdlcFrame(LinkNumber(trunk), frame, static_cast<size_t>(n), &m)) return false;
    SendCardMessage(card, m);
    return true;
}

void SendRegisterReads(CardLink& card, int trunk) {
    for (uint16_t reg : kStartupRegisters) SendCardMessage(card, CardMessage::RegisterRead(LinkNumber(trunk), reg));
}

bool WaitCardInfo(CardLink& card) {
    uint32_t start = plat::TickCountMs();
    while (!InfoArrived(card)) {
        if (plat::TickCountMs() - start >= kInfoWaitMs) break;
        plat::SleepMs(kInfoPollMs);
    }
    return InfoArrived(card);
}

}  // namespace transport
