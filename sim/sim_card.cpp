// SimCard: sockets and the card's two threads. The control thread accepts
// and reads the control connection, feeds the far end and sends the
// keep-alive; the audio thread answers discovery, paces the card's audio
// packets by the steady clock and takes in the module's.
#include "sim/sim.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/adapters.h"
#include "platform/thread.h"
#include "sim/audio_engine.h"
#include "sim/control_parser.h"
#include "sim/far_end.h"
#include "sim/wire.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kControlPollCapMs = 10;     // longest control thread wait: stop flag, API-made timers
constexpr int kAudioPollCapMs = 20;       // longest audio thread wait while not streaming
constexpr int kJoinDeadlineMs = 3000;
constexpr int kSendTimeoutMs = 2000;      // a module that stops reading cannot hold the card
constexpr size_t kReceiveBytes = 8192;
constexpr int kMaxDatagramsPerWake = 64;
constexpr int64_t kMaxLagPackets = 64;    // beyond this the stream skips ahead instead of bursting
constexpr int kSplitByteGapMs = 2;        // lets each byte of a split message arrive on its own
constexpr int kListenBacklog = 4;
constexpr int64_t kNanosPerFrame = 1000000000LL / wire::kFramesPerSecond;
constexpr int kWaitPollMs = 2;
constexpr int kAbortWaitMs = 1000;        // the control thread aborts within one of its waits

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

int BoundSocket(int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (type == SOCK_DGRAM) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in sa = SocketAddress(INADDR_ANY, wire::kCardPort);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && listen(fd, kListenBacklog) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    const int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        if (pred()) return true;
        if (NowMs() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    }
}

}  // namespace

struct SimCard::Impl {
    explicit Impl(const CardProfile& s)
        : profile(s), parser([this](const ControlMessage& m) { OnMessage(m); }) {
        answerInfo = s.answerInfoRequest;
        const int statusBytes = s.trunks > 0 ? std::min(s.trunks, 127) : 0;
        lineStatus.assign(static_cast<size_t>(statusBytes), 0);
        farEnd = std::make_unique<FarEnd>(s.trunks, s.moduleIsNetworkSide, s.switchType,
                                          [this](int t, const uint8_t* f, size_t n) { SendFrame(t, f, n); });
        audio = std::make_unique<AudioEngine>(s.trunks, s.framesPerPacket, s.captureAudio);
    }

    CardProfile profile;
    std::atomic<bool> running{false}, stop{false};
    bool abandoned = false;  // a thread outlived Stop's deadline
    std::atomic<bool> answerInfo{true}, answerDiscovery{true}, silent{false};
    int udp = -1, listener = -1;
    std::atomic<int> conn{-1};          // changed by the control thread only, under sendLock
    std::mutex sendLock;                 // one writer at a time on the connection
    std::atomic<bool> infoSent{false};   // on the current connection
    std::atomic<int64_t> lastKeepAliveMs{0};
    uint32_t cardAddress = 0, broadcast = INADDR_BROADCAST;
    std::atomic<uint32_t> moduleAddress{0};
    std::atomic<uint16_t> audioPort{0};
    std::atomic<uint16_t> audioSourcePort{0};  // of the module's latest audio packet
    std::atomic<bool> streaming{false};
    std::atomic<bool> abortPending{false};        // the control thread aborts the connection
    std::atomic<int64_t> audioStallUntilMs{0};
    std::atomic<int64_t> dropUntilMs[wire::kMaxTrunks] = {};
    std::atomic<bool> lineDown[wire::kMaxTrunks] = {};

    mutable std::mutex stateLock;        // received, peers, registers, lineStatus
    std::vector<ControlMessage> received;
    std::vector<uint32_t> peers;
    std::map<uint16_t, uint8_t> registers;
    std::vector<uint8_t> lineStatus;

    std::unique_ptr<FarEnd> farEnd;
    std::unique_ptr<AudioEngine> audio;
    ModuleMessageParser parser;
    plat::Thread controlThread, audioThread;

    // --- control connection -------------------------------------------
    bool SendControl(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> g(sendLock);
        return SendLocked(data, size);
    }
    bool SendLocked(const uint8_t* data, size_t size) {
        int fd = conn.load();
        if (fd < 0 || silent) return false;
        while (size > 0) {
            ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool SendControl(const std::vector<uint8_t>& m) { return SendControl(m.data(), m.size()); }

    // No D-channel frame passes while the line is down or a drop lasts.
    bool DChannelBlocked(int trunk) const {
        if (trunk < 0 || trunk >= wire::kMaxTrunks) return false;
        return lineDown[trunk].load() || NowMs() < dropUntilMs[trunk].load();
    }

    void SendFrame(int trunk, const uint8_t* frame, size_t size) {
        if (DChannelBlocked(trunk)) return;
        std::vector<uint8_t> m(5 + size);
        m[0] = wire::kMessageStart;
        m[1] = wire::kFrame;
        m[2] = static_cast<uint8_t>(trunk + 1);
        wire::PutLe16(&m[3], static_cast<uint16_t>(size));
        std::memcpy(&m[5], frame, size);
        SendControl(m);
    }

    void SendLineStatus() {
        std::vector<uint8_t> m = {wire::kMessageStart, wire::kLineStatus};
        {
            std::lock_guard<std::mutex> g(stateLock);
            if (lineStatus.empty()) return;
            m.insert(m.end(), lineStatus.begin(), lineStatus.end());
        }
        SendControl(m);
        lastKeepAliveMs = NowMs();
    }

    // abort: the peer gets a reset instead of an orderly end.
    void DropConnection(bool abort = false) {
        std::lock_guard<std::mutex> g(sendLock);
        int fd = conn.exchange(-1);
        if (fd >= 0 && abort) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        if (fd >= 0) close(fd);
        streaming = false;
        infoSent = false;
    }

    void Accept() {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) return;
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        DropConnection();  // a new session replaces the old one
        parser.Reset();
        moduleAddress = peer.sin_addr.s_addr;
        audioPort = 0;
        audioSourcePort = 0;
        {
            std::lock_guard<std::mutex> g(stateLock);
            peers.push_back(peer.sin_addr.s_addr);
        }
        std::lock_guard<std::mutex> g(sendLock);
        conn = fd;
    }

    void ReadConnection() {
        uint8_t buf[kReceiveBytes];
        ssize_t n = recv(conn.load(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) {
            DropConnection();
            return;
        }
        parser.Feed(buf, static_cast<size_t>(n));
    }

    void OnMessage(const ControlMessage& m) {
        {
            std::lock_guard<std::mutex> g(stateLock);
            if (profile.keepControlMessages) received.push_back(m);
        }
        if (silent) return;  // a hung card reads but does nothing
        const auto& b = m.bytes;
        switch (m.type) {
            case wire::kInfoRequest:
                if (answerInfo && SendControl(wire::CardInfoMessage(profile))) {
                    infoSent = true;
                    SendLineStatus();
                }
                break;
            case wire::kRegisterRead:
                if (b.size() == 6) AnswerRegister(b[2], wire::GetLe16(&b[3]));
                break;
            case wire::kAudioPort:
                if (b.size() == 5) {
                    audioPort = wire::GetLe16(&b[2]);
                    audio->Restart();
                    streaming = true;
                }
                break;
            case wire::kFrame:
                if (b.size() >= 6 && !DChannelBlocked(b[2] - 1) && b.size() == 6u + wire::GetLe16(&b[3]))
                    farEnd->ReceiveFrame(b[2] - 1, &b[5], b.size() - 6);
                break;
            default: break;
        }
    }

    void AnswerRegister(uint8_t link, uint16_t reg) {
        uint8_t value = 0;
        {
            std::lock_guard<std::mutex> g(stateLock);
            auto it = registers.find(reg);
            if (it != registers.end()) value = it->second;
        }
        std::vector<uint8_t> m = {wire::kMessageStart, wire::kRegisterValue, link, 0, 0, value};
        wire::PutLe16(&m[3], reg);
        SendControl(m);
    }

    void ControlLoop() {
        while (!stop) {
            if (abortPending.load()) {
                DropConnection(true);
                abortPending = false;
            }
            int timeout = farEnd->RunTimers(kControlPollCapMs);
            pollfd fds[2] = {{listener, POLLIN, 0}, {conn.load(), POLLIN, 0}};
            const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
            if (poll(fds, count, timeout) > 0) {
                if (fds[0].revents & POLLIN) Accept();
                else if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadConnection();
            }
            if (conn >= 0 && infoSent && profile.keepAliveMs > 0 &&
                NowMs() - lastKeepAliveMs >= static_cast<int64_t>(profile.keepAliveMs))
                SendLineStatus();
        }
        DropConnection();
    }

    // --- audio socket ---------------------------------------------------
    void OnDatagram(const uint8_t* d, size_t n, uint32_t from, uint16_t fromPort) {
        if (n >= wire::kTagBytes && std::memcmp(d, wire::kDiscoveryQuery, wire::kTagBytes) == 0) {
            if (!answerDiscovery) return;
            auto reply = wire::Announcement(wire::kReplyTag, profile.serial);
            sockaddr_in to = SocketAddress(from, wire::kCardPort);
            sendto(udp, reply.data(), reply.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
        } else if (n >= 2 && d[0] == wire::kAudioMagic0 && d[1] == wire::kAudioMagic1) {
            audioSourcePort = fromPort;
            audio->OnModulePacket(d, n);
        }
    }

    void ReceiveDatagrams() {
        uint8_t buf[2048];
        for (int i = 0; i < kMaxDatagramsPerWake; ++i) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(udp, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) return;
            OnDatagram(buf, static_cast<size_t>(n), from.sin_addr.s_addr, ntohs(from.sin_port));
        }
    }

    void SendAudio() {
        sockaddr_in to = SocketAddress(moduleAddress, audioPort);
        std::vector<AudioEngine::Datagram> out;
        audio->NextPackets(&out);
        for (const auto& d : out)
            sendto(udp, d.data(), d.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    void AudioLoop() {
        const int64_t period = kNanosPerFrame * audio->frames();
        bool wasStreaming = false;
        Clock::time_point start{};
        int64_t sent = 0;
        while (!stop) {
            int64_t waitNs = int64_t(kAudioPollCapMs) * 1000000;
            // A stall ends like a new start: the pacing starts again, the
            // numbering goes on.
            const bool live = streaming && NowMs() >= audioStallUntilMs.load();
            if (live) {
                const Clock::time_point now = Clock::now();
                if (!wasStreaming) {
                    start = now;
                    sent = 0;
                }
                const int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
                const int64_t due = elapsed / period + 1;
                if (due - sent > kMaxLagPackets) {  // the machine stalled: skip ahead
                    audio->CountLate(0, static_cast<uint64_t>(due - 1 - sent));
                    sent = due - 1;
                }
                if (due - sent > 1) audio->CountLate(static_cast<uint64_t>(due - sent - 1), 0);
                for (; sent < due && streaming; ++sent) SendAudio();
                waitNs = std::max<int64_t>(0, std::min(waitNs, sent * period - elapsed));
            }
            wasStreaming = live;
            pollfd fd = {udp, POLLIN, 0};
            timespec ts{static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};
            if (ppoll(&fd, 1, &ts, nullptr) > 0) ReceiveDatagrams();
        }
    }

    static void ControlBody(void* arg) { static_cast<Impl*>(arg)->ControlLoop(); }
    static void AudioBody(void* arg) { static_cast<Impl*>(arg)->AudioLoop(); }

    bool Start() {
        if (running) return false;
        udp = BoundSocket(SOCK_DGRAM);
        listener = BoundSocket(SOCK_STREAM);
        if (udp < 0 || listener < 0) {
            CloseSockets();
            return false;
        }
        plat::AdapterAddress a[4] = {};
        if (plat::ListAdapters(a, 4) > 0) {
            cardAddress = a[0].address;
            broadcast = a[0].address | ~a[0].mask;
        }
        stop = false;
        if (!controlThread.Start(&ControlBody, this) || !audioThread.Start(&AudioBody, this)) {
            Stop();
            return false;
        }
        running = true;
        return true;
    }

    void CloseSockets() {
        if (udp >= 0) close(udp);
        if (listener >= 0) close(listener);
        udp = listener = -1;
    }

    void Stop() {
        stop = true;
        bool joined = true;
        if (controlThread.Started()) joined = controlThread.Join(kJoinDeadlineMs) && joined;
        if (audioThread.Started()) joined = audioThread.Join(kJoinDeadlineMs) && joined;
        running = false;
        if (!joined) {
            abandoned = true;  // a thread still runs: keep everything it uses
            return;
        }
        DropConnection();
        CloseSockets();
    }
};

SimCard::SimCard(const CardProfile& profile) : impl_(std::make_unique<Impl>(profile)) {}

SimCard::~SimCard() {
    Stop();
    if (impl_->abandoned) (void)impl_.release();  // a thread outlived Stop and still uses it
}

bool SimCard::Start() { return impl_->Start(); }

void SimCard::Stop() {
    if (impl_->running) impl_->Stop();
}

const CardProfile& SimCard::profile() const { return impl_->profile; }

bool SimCard::Connected() const { return impl_->conn >= 0; }

bool SimCard::WaitConnected(int timeoutMs) const {
    return WaitFor([this] { return Connected(); }, timeoutMs);
}

std::vector<ControlMessage> SimCard::Received() const {
    std::lock_guard<std::mutex> g(impl_->stateLock);
    return impl_->received;
}

std::vector<uint32_t> SimCard::ControlPeers() const {
    std::lock_guard<std::mutex> g(impl_->stateLock);
    return impl_->peers;
}

std::vector<ControlMessage> SimCard::ReceivedOfType(uint8_t type) const {
    std::lock_guard<std::mutex> g(impl_->stateLock);
    std::vector<ControlMessage> out;
    for (const auto& m : impl_->received)
        if (m.type == type) out.push_back(m);
    return out;
}

uint16_t SimCard::ModuleAudioPort() const { return impl_->audioPort; }
uint16_t SimCard::ModuleAudioSourcePort() const { return impl_->audioSourcePort; }

bool SimCard::DChannelUp(int trunk) const { return impl_->farEnd->DChannelUp(trunk); }
uint64_t SimCard::LinkSetUps(int trunk) const { return impl_->farEnd->LinkSetUps(trunk); }

bool SimCard::WaitDChannelUp(int trunk, int timeoutMs) const {
    return WaitFor([&] { return DChannelUp(trunk); }, timeoutMs);
}

uint32_t SimCard::Address() const { return impl_->cardAddress; }

void SimCard::SetRegisterValue(uint16_t reg, uint8_t value) {
    std::lock_guard<std::mutex> g(impl_->stateLock);
    impl_->registers[reg] = value;
}

void SimCard::SetAnswerDiscovery(bool on) { impl_->answerDiscovery = on; }

void SimCard::SendHdlcError(int trunkIndex, uint8_t code) {
    impl_->SendControl({wire::kMessageStart, wire::kHdlcError, static_cast<uint8_t>(trunkIndex), code});
}

void SimCard::SetLineStatus(int trunkIndex, uint8_t status) {
    {
        std::lock_guard<std::mutex> g(impl_->stateLock);
        if (trunkIndex < 0 || trunkIndex >= static_cast<int>(impl_->lineStatus.size())) return;
        impl_->lineStatus[static_cast<size_t>(trunkIndex)] = status;
    }
    if (trunkIndex < wire::kMaxTrunks) impl_->lineDown[trunkIndex] = status != 0;
    impl_->SendLineStatus();
}

void SimCard::SetSilent(bool silent) { impl_->silent = silent; }

void SimCard::ResetConnection() {
    if (!impl_->running) return;
    impl_->abortPending = true;
    WaitFor([this] { return !impl_->abortPending.load(); }, kAbortWaitMs);
}

void SimCard::Restart(int offMs) {
    ResetConnection();
    if (offMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(offMs));
    AnnounceRestart();
}

void SimCard::DropDChannel(int trunk, int ms) {
    if (trunk < 0 || trunk >= wire::kMaxTrunks) return;
    impl_->dropUntilMs[trunk] = NowMs() + std::max(ms, 0);
}

void SimCard::SendCardInfo(const CardProfile& facts) { impl_->SendControl(wire::CardInfoMessage(facts)); }

void SimCard::SendGarbage(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> junk(bytes);
    uint32_t x = seed != 0 ? seed : 1;
    for (auto& b : junk) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
        if (b == wire::kMessageStart) b = 0;  // noise, not the start of a message
    }
    impl_->SendControl(junk);
}

void SimCard::CloseConnection() {
    std::lock_guard<std::mutex> g(impl_->sendLock);
    int fd = impl_->conn.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);  // the control thread sees the end and closes it
}

void SimCard::SendRaw(const std::vector<uint8_t>& bytes, bool splitEachByte) {
    if (!splitEachByte) {
        impl_->SendControl(bytes);
        return;
    }
    // Holding the send lock keeps other messages out of the split one.
    std::lock_guard<std::mutex> g(impl_->sendLock);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kSplitByteGapMs));
        impl_->SendLocked(&bytes[i], 1);
    }
}

void SimCard::AnnounceRestart() {
    if (impl_->udp < 0) return;
    auto d = wire::Announcement(wire::kRestartTag, impl_->profile.serial);
    sockaddr_in to = SocketAddress(impl_->broadcast, wire::kCardPort);
    sendto(impl_->udp, d.data(), d.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void SimCard::SetAnswerInfoRequest(bool on) { impl_->answerInfo = on; }

// --- calls -----------------------------------------------------------------

int SimCard::PlaceCall(int trunk, int channel, const std::string& calling, const std::string& called,
                       const std::string& redirecting) {
    return impl_->farEnd->PlaceCall(trunk, channel, calling, called, redirecting);
}
bool SimCard::Alert(int callId) { return impl_->farEnd->Alert(callId); }
bool SimCard::Answer(int callId) { return impl_->farEnd->Answer(callId); }
bool SimCard::Proceed(int callId) { return impl_->farEnd->Proceed(callId); }
bool SimCard::Progress(int callId) { return impl_->farEnd->Progress(callId); }
bool SimCard::Disconnect(int callId, int cause) { return impl_->farEnd->Disconnect(callId, cause); }
bool SimCard::Release(int callId, int cause) { return impl_->farEnd->Release(callId, cause); }
bool SimCard::SendConnectAck(int callId) { return impl_->farEnd->SendConnectAck(callId); }

void SimCard::SetWithholdConnectAck(bool on) {
    impl_->farEnd->SetWithholdConnectAck(on);
}

void SimCard::SetWithholdRelease(bool on) { impl_->farEnd->SetWithholdRelease(on); }
void SimCard::ReleaseWithheld() { impl_->farEnd->ReleaseWithheld(); }

void SimCard::SetIncomingPolicy(int trunk, IncomingPolicy policy, int busyCause) {
    impl_->farEnd->SetIncomingPolicy(trunk, policy, busyCause);
}

std::vector<CallRecord> SimCard::Calls() const {
    return impl_->farEnd->Calls();
}

size_t SimCard::CallCount() const { return impl_->farEnd->CallCount(); }

bool SimCard::FindCall(int callId, CallRecord* out) const { return impl_->farEnd->FindCall(callId, out); }

bool SimCard::WaitCall(int callId, bool (*pred)(const CallRecord&), int timeoutMs) const {
    if (pred == nullptr) return false;
    return WaitFor(
        [&] {
            CallRecord r;
            return impl_->farEnd->FindCall(callId, &r) && pred(r);
        },
        timeoutMs);
}

std::vector<int> SimCard::RestartsReceived(int trunk) const {
    return impl_->farEnd->RestartsReceived(trunk);
}

bool SimCard::RestartChannel(int trunk, int channel) { return impl_->farEnd->RestartChannel(trunk, channel); }
bool SimCard::RestartInterface(int trunk) { return impl_->farEnd->RestartInterface(trunk); }

// --- audio -----------------------------------------------------------------

void SimCard::SetSource(int trunk, int timeslot, const AudioSource& source) {
    impl_->audio->SetSource(trunk, timeslot, source);
}
std::vector<uint8_t> SimCard::Captured(int trunk, int timeslot) const {
    return impl_->audio->Captured(trunk, timeslot);
}
void SimCard::ClearCaptured() {
    impl_->audio->ClearCaptured();
}
void SimCard::DropNextPackets(int count) {
    impl_->audio->DropNextPackets(count);
}
void SimCard::ReorderNextPair() {
    impl_->audio->ReorderNextPair();
}
void SimCard::RepeatNextPacket(int times) {
    impl_->audio->RepeatNextPacket(times);
}
void SimCard::SetResyncCount(uint8_t r) {
    impl_->audio->SetResyncCount(r);
}
void SimCard::SetLostCount(uint8_t k) {
    impl_->audio->SetLostCount(k);
}
void SimCard::StallAudio(int ms) { impl_->audioStallUntilMs = NowMs() + std::max(ms, 0); }
uint64_t SimCard::PacketsReceived() const { return impl_->audio->Stats().packetsReceived; }
AudioStats SimCard::Stats() const { return impl_->audio->Stats(); }
int SimCard::FramesPerPacket() const {
    return impl_->profile.framesPerPacket > 0 ? impl_->profile.framesPerPacket : DefaultFramesPerPacket(impl_->profile.trunks);
}
void SimCard::SetEchoPath(int trunk, int timeslot, double lossDb, int delayMs) {
    impl_->audio->SetEchoPath(trunk, timeslot, lossDb, delayMs);
}

}  // namespace sim
