// The receive side of the media path end to end against a simulated card
// streaming audio: what recordings keep under load, and the audio callback
// on a port not open. Plays, the order of packets and digits are the media
// tests' (PlayTest, AudioSequence, AudioStream.Batches...) and, end to end,
// the echo path's and the sample host's (tests/host/ivr_flow_test.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "transport_lab.h"

namespace {

using namespace transport_e2e;
using Bytes = std::vector<uint8_t>;

constexpr int kRecordEnds = 60;
constexpr int kStreamMs = 10000;
constexpr uint8_t kFill = 0xD5;

Bytes Pattern(size_t n, uint32_t seed) {
    Bytes out(n);
    uint32_t x = 2463534242u + seed;
    for (auto& b : out) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
        if (b == 0xD5 || b == 0x54) b = 0x99;
    }
    return out;
}

// True when data[0, n) is what the card sent from speech, in order: all of
// it from the second block on, and the first block's bytes as far as they
// come after the source was set (the rest is the silence before it).
bool FromSource(const uint8_t* data, size_t n, const Bytes& speech) {
    if (n < 320) return false;
    const auto at = std::search(speech.begin(), speech.end(), data + 160, data + 320);
    if (at == speech.end()) return false;
    const size_t p = static_cast<size_t>(at - speech.begin());
    if (p + n - 160 > speech.size() || !std::equal(data + 160, data + n, at)) return false;
    for (size_t i = 0; i < 160; ++i)
        if (p + i >= 160 && data[i] != speech[p + i - 160]) return false;
    return true;
}

sim::AudioSource Source(sim::AudioSource::Kind kind, const Bytes& alaw) {
    sim::AudioSource s;
    s.kind = kind, s.alaw = alaw;
    return s;
}

std::mutex g_seenLock;
Bytes g_seen[2];

void VAXO_CALL Seen(int direction, uint32_t context, unsigned char* data, int length) {
    if (context != 5 || direction < 0 || direction > 1) return;
    std::lock_guard<std::mutex> guard(g_seenLock);
    g_seen[direction].insert(g_seen[direction].end(), data, data + length);
}

TEST(MediaE2e, TheAudioCallbackSeesBothDirectionsOfAPortNotOpen) {
    E2E_CARDS(env, {Card(4711)});
    ASSERT_TRUE(env.Start("[General]\nAudioBuffers=4\n"));
    ASSERT_EQ(env->NoofPorts(), 30);
    ASSERT_TRUE(WaitUntil([&] { return env.card().Captured(0, 1).size() > 1600; }, kStreamMs));
    // Port 1 (timeslot 2) is never opened.
    const Bytes speech = Pattern(40000, 4);
    env.card().SetSource(0, 2, Source(sim::AudioSource::Alaw, speech));
    env->SetAudioCallback(1, 5, Seen);
    auto size = [](int d) {
        std::lock_guard<std::mutex> guard(g_seenLock);
        return g_seen[d].size();
    };
    ASSERT_TRUE(WaitUntil([&] { return size(0) >= 3200 && size(1) >= 3200; }, kStreamMs));
    env->SetAudioCallback(1, 0, nullptr);
    std::lock_guard<std::mutex> guard(g_seenLock);
    EXPECT_EQ(g_seen[0].size() % 160, 0u);
    EXPECT_TRUE(FromSource(g_seen[0].data(), 3200, speech));
    EXPECT_TRUE(std::all_of(g_seen[1].begin(), g_seen[1].end(), [](uint8_t b) { return b == kFill; }));
}

// Recordings with a limit on every port of the lab, started together, while
// host threads call the ports' exports in a loop: each keeps exactly its
// bytes as the card sent them, and the module reports no dropped block.
// VAXO_E2E_RECORD_CARDS and VAXO_E2E_RECORD_TRUNKS make it a load run.
TEST(MediaE2e, RecordingsKeepEveryBlockWhileHostThreadsCallTheExports) {
    auto setting = [](const char* name, int fallback) {
        const char* v = getenv(name);
        return v != nullptr ? std::max(1, atoi(v)) : fallback;
    };
    const int cards = setting("VAXO_E2E_RECORD_CARDS", 1), trunks = setting("VAXO_E2E_RECORD_TRUNKS", 1);
    const int recordMs = setting("VAXO_E2E_RECORD_MS", 2000);
    std::vector<sim::CardProfile> profiles;
    for (int c = 0; c < cards; ++c) profiles.push_back(Card(4711 + c, trunks));
    E2E_CARDS(env, (profiles));
    constexpr size_t kLoop = 4001;  // prime: a gap anywhere shows
    auto source = [](int port) { return Pattern(kLoop, 1000 + port); };
    auto slotOf = [](int n) { return n < 15 ? n + 1 : n + 2; };
    for (int c = 0; c < cards; ++c)
        for (int s = 0; s < trunks; ++s)
            for (int n = 0; n < 30; ++n) {
                sim::AudioSource a = Source(sim::AudioSource::Alaw, source((c * trunks + s) * 30 + n));
                a.loop = true;
                env.card(c).SetSource(s, slotOf(n), a);
            }
    ASSERT_TRUE(env.Start());
    const int ports = env->NoofPorts();
    ASSERT_EQ(ports, cards * trunks * 30);
    for (int p = 0; p < ports; ++p) ASSERT_TRUE(env.Open(p));
    ASSERT_TRUE(WaitUntil([&] { return env.card().Captured(0, 1).size() > 1600; }, kStreamMs));

    std::atomic<bool> stop{false};
    std::vector<std::thread> host;
    static const uint8_t kPrompt[160] = {};
    for (int t = 0; t < 2; ++t) {
        host.emplace_back([&, t] {
            const auto& m = env.api();
            for (int round = 0; !stop.load(); ++round) {
                for (int p = t; p < ports; p += 2) {
                    m.GetRecordSize(p), m.RecordTimeLeft(p), m.GetRecordBuffer(p), m.IsCallActive(p);
                    m.GetInfo(p, "CLI"), m.PlayTimeLeft(p), m.OpenPort(p);
                    m.PlayCached(p, const_cast<uint8_t*>(kPrompt), 160);
                    if (round % 2 == 1) m.StopPlay(p);
                }
            }
        });
    }
    for (int p = 0; p < ports; ++p) ASSERT_TRUE(env->Record(p, recordMs));
    std::vector<bool> ended(size_t(ports), false);
    auto allEnded = [&] {
        for (int p = 0; p < ports; ++p)
            for (int e = env->GetEvent(p); e != 0 && !ended[size_t(p)]; e = env->GetEvent(p)) ended[size_t(p)] = e == kRecordEnds;
        return std::count(ended.begin(), ended.end(), true) == ports;
    };
    const bool done = WaitUntil(allEnded, recordMs + kStreamMs, 20);
    stop = true;
    for (auto& t : host) t.join();
    EXPECT_TRUE(done) << std::count(ended.begin(), ended.end(), true) << " of " << ports << " recordings ended";
    int whole = 0;
    for (int p = 0; p < ports; ++p) {
        const int size = env->GetRecordSize(p);
        const auto* data = static_cast<const uint8_t*>(env->GetRecordBuffer(p));
        const Bytes loop = source(p);
        bool same = size == recordMs * 8 && data != nullptr;
        const size_t at = same ? size_t(std::search(loop.begin(), loop.end(), data, data + 160) - loop.begin()) : kLoop;
        for (int i = 0; same && i < size; ++i) same = at < kLoop && data[i] == loop[(at + size_t(i)) % kLoop];
        EXPECT_TRUE(same) << "port " << p << ": " << size << " bytes";
        whole += same;
    }
    const std::string log = env.host->ReadLog();
    EXPECT_EQ(log.find("audio blocks dropped"), std::string::npos) << whole << " of " << ports << " whole\n" << log;
}

}  // namespace
