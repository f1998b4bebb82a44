#include "transport/card_setup.h"

#include "core/card_link.h"
#include "core/config.h"
#include "core/trace.h"
#include "media/card_media.h"
#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/socket.h"
#include "transport/card_messages.h"
#include "transport/hdlc_capture.h"
#include "transport/pri_glue.h"
#include "transport/signalling.h"

namespace transport {

namespace {

constexpr int kConnectWaitMs = 2000;
constexpr int kControlBufferBytes = 358400;
constexpr int kInfoRequestRetries = 2;     // after the thread's own request
constexpr uint32_t kThreadJoinMs = 3000;
constexpr uint32_t kAfterMediaStartMs = 20;
constexpr uint32_t kAfterTrunkConfigMs = 1;
constexpr int32_t kDefaultClientType = 2;   // user side (TE)
constexpr int32_t kDefaultSwitchType = 5;   // EuroISDN E1

void ResetTrunks(CardLink& card) {
    for (TrunkLink& t : card.trunks) {
        plat::LockGuard guard(t.lock);
        t.echoCanceller = false;
        t.lineStatus = kLineStatusUnknown;
        t.clientType = kDefaultClientType;
        t.switchType = kDefaultSwitchType;
        t.dchannelUp = false;
    }
}

// The signalling thread may hold the socket's number between its wait and
// its receive; closed under it, the number could be taken by another socket
// and read. So the socket is only shut down here, which wakes the thread,
// and closed once the thread has ended.
void RetireControl(CardLink& card) {
    plat::LockGuard guard(card.controlLock);
    plat::Socket s = card.control.exchange(plat::kNoSocket);
    if (s == plat::kNoSocket) return;
    plat::SetNonBlocking(s, false);
    if (!card.signalling.started.load()) {
        plat::CloseSocket(s);
        return;
    }
    plat::ShutdownSocket(s);
    card.retiredControl = s;  // one retired earlier belongs to a thread that never ended: kept
}

void JoinSignallingThread(CardLink& card) {
    if (!card.signalling.started.load()) return;
    bool ended = card.signalling.thread.Join(kThreadJoinMs);
    card.signalling.started = false;
    if (!ended) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: signalling thread did not end", card.cardIndex);
        return;
    }
    plat::Socket s = card.retiredControl;
    card.retiredControl = plat::kNoSocket;
    if (s != plat::kNoSocket) plat::CloseSocket(s);
}

// Steps 2-6: a connected control socket, or kNoSocket.
plat::Socket Connect(CardLink& card, const char* cardAddress, uint32_t localAddress) {
    plat::Socket s = plat::TcpSocket();
    if (s == plat::kNoSocket) return s;
    plat::SetNonBlocking(s, false);
    uint32_t address = 0;
    bool ok = plat::ResolveIpv4(cardAddress, &address) && plat::SetNonBlocking(s, true) &&
              plat::Bind(s, localAddress, 0) && plat::ConnectStart(s, address, kCardPort);
    // A wait that ends without an answer leaves the connect pending; the
    // card information wait decides then.
    if (ok && plat::WaitWritable(s, kConnectWaitMs) < 0) ok = false;
    if (!ok) {
        plat::CloseSocket(s);
        return plat::kNoSocket;
    }
    plat::SetBufferSizes(s, kControlBufferBytes, kControlBufferBytes);
    plat::SetNoDelay(s);  // D-channel frames are small and wait for no one
    card.cardAddress = address;
    return s;
}

bool StartSignalling(CardLink& card) {
    card.infoReceived = 0;
    card.infoRejected = 0;
    card.signalling.stop = false;
    card.signalling.started = false;
    if (!card.signalling.thread.Start(SignallingThread, &card, plat::ThreadPriority::Normal)) return false;
    card.signalling.started = true;
    plat::SleepMs(0);
    return true;
}

// Step 8: the thread asked once; ask twice more.
void AwaitCardInfo(CardLink& card) {
    if (WaitCardInfo(card)) return;
    for (int i = 0; i < kInfoRequestRetries; ++i) {
        card.infoReceived = 0;
        card.infoRejected = 0;
        SendCardMessage(card, CardMessage::InfoRequest());
        if (WaitCardInfo(card)) return;
    }
}

// A card must have given its serial number and a trunk count the tables
// can hold.
bool CardFactsUsable(CardLink& card) {
    if (card.serial.load() == 0) return false;
    if (UsableTrunks(card) == 0) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: reports %d trunks; card not used", card.cardIndex,
                   card.trunkCount.load());
        return false;
    }
    return true;
}

void ConfigureTrunkLines(CardLink& card, int trunks) {
    uint32_t serial = card.serial.load();
    for (int s = 0; s < trunks; ++s) {
        int32_t crc4 = driver::ReadTrunkCrc4(serial, static_cast<uint32_t>(s + 1));
        card.trunks[s].crc4 = crc4;
        SendTrunkConfig(card, s);
    }
    plat::SleepMs(kAfterTrunkConfigMs);
}

void ConfigureTrunkSignalling(CardLink& card, int trunks) {
    uint32_t serial = card.serial.load();
    for (int s = 0; s < trunks; ++s) {
        driver::TrunkConfig c = driver::ReadTrunkConfig(serial, static_cast<uint32_t>(s + 1));
        TrunkLink& t = card.trunks[s];
        OpenCapture(card, s, c.hdlcLog);
        {
            plat::LockGuard guard(t.lock);
            t.hangupOnAlerting = c.hangupOnAlerting;
            t.numberType = c.numberType;
            t.clientType = c.clientType;
            t.switchType = c.switchType;
        }
        media::CreateEchoCancellers(card, s, c.echoTailMs);
        t.echoCanceller = c.echoCanceller;
        // Trunks without ports get no signalling.
        if (s < card.portTrunks.load()) CreateController(card, s);
    }
}

bool Fail(CardLink& card) {
    CardClose(card);
    return false;
}

}  // namespace

bool CardSetUp(CardLink& card, const char* cardAddress, const char* localAddress) {
    ResetTrunks(card);
    media::PrepareCardMedia(card);
    uint32_t local = 0;
    if (localAddress == nullptr || !plat::ResolveIpv4(localAddress, &local)) return false;
    plat::Socket s = Connect(card, cardAddress, local);
    if (s == plat::kNoSocket) return false;
    card.control = s;
    if (!StartSignalling(card)) return Fail(card);
    AwaitCardInfo(card);
    if (!CardFactsUsable(card)) return Fail(card);
    int trunks = UsableTrunks(card);
    if (!media::OpenAudioSocket(card, local)) return Fail(card);
    if (!media::StartCardMedia(card)) return Fail(card);
    SendCardMessage(card, CardMessage::MediaStarted());
    plat::SleepMs(kAfterMediaStartMs);
    ConfigureTrunkLines(card, trunks);
    ConfigureTrunkSignalling(card, trunks);
    SendCardMessage(card, CardMessage::AudioPort(card.audioPort));
    StatusCallback cb = card.statusCallback.load();
    if (cb != nullptr) cb(kStatusUpDown, card.statusContext, nullptr, 1);
    card.open = 1;
    return true;
}

void CardClose(CardLink& card) {
    card.open = 0;
    for (int s = 0; s < kMaxTrunks; ++s) ReleaseController(card, s);
    card.signalling.stop = true;
    media::RequestMediaStop(card);
    media::CloseAudioSocket(card);
    RetireControl(card);
    media::JoinAudioReceiveThread(card);
    JoinSignallingThread(card);
    media::JoinMediaTickThread(card);
    media::ReleaseCardMedia(card);
    for (int s = 0; s < kMaxTrunks; ++s) CloseCapture(card, s);
}

}  // namespace transport

