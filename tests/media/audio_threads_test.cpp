// The two media threads of a card for real, inside a private network lab:
// a stand-in card streams audio packets at the line rate to the module's
// audio socket, and every allocation made on the media threads is counted.
// While audio streams, with a play, a recording, DTMF detection and the
// host callback running, the media threads allocate nothing.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <thread>

#include "common/lab.h"
#include "common/wait.h"
#include "driver/trace.h"
#include "media/play.h"
#include "media_rig.h"
#include "platform/socket.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VAXO_COUNT_ALLOCATIONS 0  // the sanitizers bring their own operator new
#else
#define VAXO_COUNT_ALLOCATIONS 1
#endif

namespace {

std::atomic<uint64_t> g_mediaThreadAllocations{0};

// The media threads name themselves "vaxo-audio-rx" and "vaxo-media-tick".
bool OnMediaThread() {
    char name[16] = {};
    if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0) return false;
    return strcmp(name, "vaxo-audio-rx") == 0 || strcmp(name, "vaxo-media-tick") == 0;
}

void* CountedAllocation(size_t size, size_t alignment) {
    if (OnMediaThread()) g_mediaThreadAllocations.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return malloc(size);
    return aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

}  // namespace

#if VAXO_COUNT_ALLOCATIONS
void* operator new(size_t size) {
    if (void* p = CountedAllocation(size, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size, 0); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size, 0); }
void* operator new(size_t size, std::align_val_t a) {
    if (void* p = CountedAllocation(size, static_cast<size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t a) { return operator new(size, a); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedAllocation(size, static_cast<size_t>(a));
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedAllocation(size, static_cast<size_t>(a));
}
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }
#endif

namespace {

using mediatest::Pattern;
using mediatest::PortNumber;

constexpr int kSlot = 1;
constexpr int kFrames = 40;  // 5 ms per packet on one trunk
constexpr uint32_t kCardIndex = transport::kMaxCards - 2;

int CountThreadsNamed(const char* name) {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (dirent* e = readdir(dir)) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++n;
    }
    closedir(dir);
    return n;
}

// A card's audio side: one packet of kFrames frames every 5 ms to the
// module, whatever the module sends is counted.
class StreamingCard {
public:
    StreamingCard(plat::Socket s, uint32_t moduleAddress, uint16_t modulePort, std::vector<uint8_t> speech)
        : socket_(s), to_(moduleAddress), port_(modulePort), speech_(std::move(speech)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~StreamingCard() {
        stop_ = true;
        thread_.join();
    }
    uint64_t sent() const { return sent_.load(); }
    uint64_t received() const { return received_.load(); }

private:
    void Run() {
        std::vector<uint8_t> packet(8 + kFrames * 32, 0xD5);
        uint8_t in[1600];
        auto next = std::chrono::steady_clock::now();
        uint32_t seq = 0;
        size_t pos = 0;
        while (!stop_) {
            packet[0] = 0xFF;
            packet[1] = 0x55;
            media::PutPacketSequence(packet.data(), seq);
            packet[6] = seq == 0 ? 2 : 0;
            for (int k = 0; k < kFrames; ++k) {
                packet[8 + k * 32 + kSlot] = pos < speech_.size() ? speech_[pos] : 0xD5;
                ++pos;
            }
            if (plat::SendTo(socket_, packet.data(), packet.size(), to_, port_) > 0) ++sent_;
            ++seq;
            uint32_t from;
            uint16_t fromPort;
            while (plat::ReceiveFrom(socket_, in, sizeof in, &from, &fromPort) > 0) ++received_;
            next += std::chrono::microseconds(5000);
            std::this_thread::sleep_until(next);
        }
    }

    plat::Socket socket_;
    uint32_t to_;
    uint16_t port_;
    std::vector<uint8_t> speech_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0}, received_{0};
    std::thread thread_;
};

TEST(AudioThreads, StreamWithoutAllocatingAndStopPromptly) {
    VAXO_REQUIRE_LAB(lab, 1);
    driver::g_traceLevel = 2;  // event trace lines off, as configured by default
#if VAXO_COUNT_ALLOCATIONS
    std::thread([] {  // the hook itself: it sees a thread of that name allocate
        prctl(PR_SET_NAME, "vaxo-media-tick", 0, 0, 0);
        int* volatile p = new int(1);
        delete p;
    }).join();
    EXPECT_EQ(g_mediaThreadAllocations.exchange(0), 1u);
#endif

    plat::Socket cardSocket = plat::kNoSocket;
    ASSERT_TRUE(lab->InCard(0, [&] {
        cardSocket = plat::UdpSocket();
        plat::Bind(cardSocket, lab->CardAddress(0), transport::kCardPort);
        plat::SetNonBlocking(cardSocket, true);
    }));
    ASSERT_NE(cardSocket, plat::kNoSocket);

    transport::CardLink card;
    card.cardIndex = kCardIndex;
    card.serial = 99;
    card.trunkCount = 1;
    card.cardAddress = lab->CardAddress(0);
    card.mediaContext = 0;
    card.mediaCallback = media::MediaDispatch;
    transport::CardLink* saved = transport::g_cards[kCardIndex];
    transport::g_cards[kCardIndex] = &card;

    driver::CDevice port;
    const int number = PortNumber(0, kSlot);
    port.portNumber = static_cast<uint32_t>(number);
    port.cardIndex = kCardIndex;
    port.timeslot = kSlot;
    port.hostEvent = reinterpret_cast<void*>(static_cast<intptr_t>(eventfd(0, EFD_NONBLOCK)));
    driver::CDevice* savedPort = driver::g_ports[number];
    driver::g_ports[number] = &port;
    port.Open();

    media::PrepareCardMedia(card);
    ASSERT_TRUE(media::OpenAudioSocket(card, lab->HostAddress()));
    ASSERT_NE(card.audioPort, 0);
    ASSERT_TRUE(media::StartCardMedia(card));
    EXPECT_TRUE(testsupport::WaitUntil(
        [] { return CountThreadsNamed("vaxo-audio-rx") == 1 && CountThreadsNamed("vaxo-media-tick") == 1; }, 5000))
        << "the allocation count relies on these names";

    {
        StreamingCard streaming(cardSocket, lab->HostAddress(), card.audioPort, Pattern(40000, 1));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return streaming.received() > 40; }, 5000));

        // Everything the media path does per block, at once.
        const auto prompt = Pattern(4000, 2);
        ASSERT_TRUE(media::Play(port, prompt.data(), 4000, false));
        ASSERT_TRUE(media::Record(port, 1000));
        static std::atomic<int> callbacks{0};
        media::SetAudioCallback(port, 1, [](int, uint32_t, unsigned char*, int) { ++callbacks; });
        g_mediaThreadAllocations = 0;
        const uint64_t sentBefore = streaming.sent();

        ASSERT_TRUE(testsupport::WaitUntil(
            [&] { return port.wave.recordState.load() == media::kRecordStopped; }, 10000));
        EXPECT_EQ(media::RecordSize(port), 8000);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return media::PlayTimeLeft(port) == 0; }, 10000));
        EXPECT_GE(streaming.sent() - sentBefore, 200u) << "a second of audio went through";
        EXPECT_GT(callbacks.load(), 100);
#if VAXO_COUNT_ALLOCATIONS
        EXPECT_EQ(g_mediaThreadAllocations.load(), 0u);
#endif
        // One packet back for every packet (and two for the start).
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] { return streaming.received() + 2 >= streaming.sent() && streaming.received() > 0; }, 2000))
            << streaming.received() << " of " << streaming.sent();
        media::SetAudioCallback(port, 0, nullptr);
    }
    uint32_t code;
    int plays = 0, records = 0;
    while (port.eventQueue.Pop(&code)) {
        plays += code == driver::kEventPlayEnds;
        records += code == driver::kEventRecordEnds;
    }
    EXPECT_EQ(plays, 1);
    EXPECT_EQ(records, 1);

    // Close as CardClose does; the receive thread notices within its wait.
    const auto start = std::chrono::steady_clock::now();
    media::RequestMediaStop(card);
    media::CloseAudioSocket(card);
    media::JoinAudioReceiveThread(card);
    media::JoinMediaTickThread(card);
    media::ReleaseCardMedia(card);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_FALSE(card.audioReceive.started.load());
    EXPECT_FALSE(card.mediaTick.started.load());
    EXPECT_EQ(card.audio, plat::kNoSocket);
    EXPECT_EQ(CountThreadsNamed("vaxo-audio-rx"), 0);

    port.Close();
    driver::g_ports[number] = savedPort;
    transport::g_cards[kCardIndex] = saved;
    close(static_cast<int>(reinterpret_cast<intptr_t>(port.hostEvent.load())));
    plat::CloseSocket(cardSocket);
}

}  // namespace
