// The two media threads of a card for real, in a private network lab: a
// stand-in card streams packets at the line rate; while a play, a recording,
// DTMF detection and the host callback run, the media threads allocate
// nothing, and they stop promptly.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/prctl.h>

#include <algorithm>
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
#include "core/trace.h"
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

// Counts the allocations of the threads named "vaxo-audio-rx" and "vaxo-media-tick".
void* CountedAllocation(size_t size, size_t alignment) {
    char name[16] = {};
    if (prctl(PR_GET_NAME, name, 0, 0, 0) == 0 && (!strcmp(name, "vaxo-audio-rx") || !strcmp(name, "vaxo-media-tick")))
        g_mediaThreadAllocations.fetch_add(1, std::memory_order_relaxed);
    size = std::max<size_t>(size, 1);
    return alignment <= alignof(std::max_align_t) ? malloc(size) : aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

}  // namespace

#if VAXO_COUNT_ALLOCATIONS
// The array and nothrow forms call these; the library's deletes call free.
void* operator new(size_t size) {
    if (void* p = CountedAllocation(size, 0)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, std::align_val_t a) {
    if (void* p = CountedAllocation(size, static_cast<size_t>(a))) return p;
    throw std::bad_alloc();
}
#endif

namespace {

using mediatest::MediaRig;

constexpr int kSlot = 1;
constexpr int kFrames = 40;  // 5 ms per packet on one trunk

int CountThreadsNamed(const char* name) {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    for (dirent* e; (e = readdir(dir)) != nullptr;) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string line;
        n += std::getline(comm, line) && line == name;
    }
    closedir(dir);
    return n;
}

// A card's audio side: a packet of kFrames frames every 5 ms to the module,
// counting what comes back.
class StreamingCard {
public:
    StreamingCard(plat::Socket s, uint32_t to, uint16_t port) : thread_([=] { Run(s, to, port); }) {}
    ~StreamingCard() {
        stop_ = true;
        thread_.join();
    }
    std::atomic<uint64_t> sent{0}, received{0};

private:
    void Run(plat::Socket s, uint32_t to, uint16_t port) {
        const auto speech = mediatest::Pattern(40000, 1);
        std::vector<uint8_t> packet(8 + kFrames * 32, 0xD5);
        uint8_t in[1600];
        uint32_t from;
        uint16_t fromPort;
        auto next = std::chrono::steady_clock::now();
        for (uint32_t seq = 0; !stop_; ++seq) {
            packet[0] = 0xFF, packet[1] = 0x55, packet[6] = seq == 0 ? 2 : 0;
            media::PutPacketSequence(packet.data(), seq);
            for (size_t k = 0, pos = seq * kFrames; k < kFrames; ++k, ++pos)
                packet[8 + k * 32 + kSlot] = pos < speech.size() ? speech[pos] : 0xD5;
            if (plat::SendTo(s, packet.data(), packet.size(), to, port) > 0) ++sent;
            while (plat::ReceiveFrom(s, in, sizeof in, &from, &fromPort) > 0) ++received;
            std::this_thread::sleep_until(next += std::chrono::microseconds(5000));
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;  // last: starts once the rest is set up
};

TEST(AudioThreads, StreamWithoutAllocatingAndStopPromptly) {
    VAXO_REQUIRE_LAB(lab, 1);
    driver::g_traceLevel = 2;  // event trace lines off, as configured by default
#if VAXO_COUNT_ALLOCATIONS
    std::thread([] {  // the hook itself sees a thread of that name allocate
        prctl(PR_SET_NAME, "vaxo-media-tick", 0, 0, 0);
        int* volatile p = new int(1);
        delete p;
        int* volatile q = new (std::nothrow) int[4];
        delete[] q;
        void* volatile r = ::operator new(64, std::align_val_t(64), std::nothrow);
        ::operator delete(r, std::align_val_t(64));
    }).join();
    EXPECT_EQ(g_mediaThreadAllocations.exchange(0), 3u);
#endif
    plat::Socket cardSocket = plat::kNoSocket;
    ASSERT_TRUE(lab->InCard(0, [&] {
        cardSocket = plat::UdpSocket();
        plat::Bind(cardSocket, lab->CardAddress(0), transport::kCardPort);
        plat::SetNonBlocking(cardSocket, true);
    }));
    ASSERT_NE(cardSocket, plat::kNoSocket);

    MediaRig rig(1, 16);
    ASSERT_TRUE(rig.ok());
    transport::CardLink& card = rig.card();
    card.cardAddress = lab->CardAddress(0);
    media::SetAudioPacketTap(card, nullptr, nullptr);  // to the socket
    driver::CDevice& port = rig.Port(0, kSlot);
    port.Open();
    ASSERT_TRUE(media::OpenAudioSocket(card, lab->HostAddress()) && card.audioPort != 0);
    ASSERT_TRUE(media::StartCardMedia(card));
    EXPECT_TRUE(testsupport::WaitUntil(
        [] { return CountThreadsNamed("vaxo-audio-rx") == 1 && CountThreadsNamed("vaxo-media-tick") == 1; }, 5000))
        << "the allocation count relies on these names";
    {
        StreamingCard streaming(cardSocket, lab->HostAddress(), card.audioPort);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return streaming.received > 40; }, 5000));
        const auto prompt = mediatest::Pattern(4000, 2);
        ASSERT_TRUE(media::Play(port, prompt.data(), 4000, false) && media::Record(port, 1000));
        static std::atomic<int> callbacks{0};
        media::SetAudioCallback(port, 1, [](int, uint32_t, unsigned char*, int) { ++callbacks; });
        g_mediaThreadAllocations = 0;
        const uint64_t sentBefore = streaming.sent;

        ASSERT_TRUE(testsupport::WaitUntil([&] { return port.wave.recordState.load() == media::kRecordStopped; }, 10000));
        EXPECT_EQ(media::RecordSize(port), 8000);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return media::PlayTimeLeft(port) == 0; }, 10000));
        EXPECT_GE(streaming.sent - sentBefore, 200u) << "a second of audio went through";
        EXPECT_GT(callbacks.load(), 100);
#if VAXO_COUNT_ALLOCATIONS
        EXPECT_EQ(g_mediaThreadAllocations.load(), 0u);
#endif
        // One packet back for every packet (and two for the start).
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] { return streaming.received + 2 >= streaming.sent && streaming.received > 0; }, 2000))
            << streaming.received << " of " << streaming.sent;
        media::SetAudioCallback(port, 0, nullptr);
    }
    const auto events = MediaRig::Events(port);
    for (uint32_t code : {driver::kEventPlayEnds, driver::kEventRecordEnds}) EXPECT_EQ(std::count(events.begin(), events.end(), code), 1) << code;

    // Close as CardClose does; the receive thread notices within its wait.
    const auto start = std::chrono::steady_clock::now();
    media::RequestMediaStop(card);
    media::CloseAudioSocket(card);
    media::JoinAudioReceiveThread(card);
    media::JoinMediaTickThread(card);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_TRUE(!card.audioReceive.started.load() && !card.mediaTick.started.load() && card.audio == plat::kNoSocket);
    EXPECT_EQ(CountThreadsNamed("vaxo-audio-rx"), 0);
    port.Close();
    plat::CloseSocket(cardSocket);
}

}  // namespace
