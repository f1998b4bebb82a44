// The echo canceller end to end: one card of two trunks whose line returns
// what the module sends on timeslot 1, attenuated and delayed, while the far
// end is silent. Trunk 1 has the canceller on ([General]), trunk 2 off (its
// own section). The same noise is played on both; after a second to
// converge, recordings show the echo at the path loss on trunk 2 and removed
// on trunk 1. Then a far-end tone must get through on both alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "media/g711.h"
#include "transport_lab.h"

namespace {

using namespace transport_e2e;
using Bytes = std::vector<uint8_t>;

constexpr int kRecordEnds = 60;
constexpr int kWaitMs = 10000;
constexpr int kOnPort = 0;    // trunk 1, timeslot 1
constexpr int kOffPort = 30;  // trunk 2, timeslot 1
constexpr int kTimeslot = 1;
constexpr double kPathLossDb = 10.0;
constexpr int kEchoTailMs = 32;   // 256 taps
constexpr int kPrimeBuffers = 8;  // PrimeECBuffers
constexpr int kEchoDelayMs = 28;  // long, so stalls of ~30 ms never run the card's echo line dry

// The echo's tap in the canceller's window: received sample n carries sent
// sample n - 8 x delay, and its reference is sent sample n - P x F (P primed
// references, F frames per packet).
int EchoTap(int framesPerPacket) { return kEchoDelayMs * 8 - kPrimeBuffers * framesPerPacket; }

// Band-limited noise (about 300 to 3400 Hz) at about -22 dBov, A-law.
Bytes Noise(size_t n) {
    std::vector<double> x(n);
    uint32_t s = 0x9E3779B9u;
    auto uniform = [&] {
        s ^= s << 13, s ^= s >> 17, s ^= s << 5;
        return static_cast<double>(s) / 4294967296.0 * 2.0 - 1.0;
    };
    const double hp = std::exp(-2.0 * M_PI * 300.0 / 8000.0), lp = std::exp(-2.0 * M_PI * 3400.0 / 8000.0);
    double prevIn = 0, high = 0, low = 0, energy = 0;
    for (double& v : x) {
        const double in = uniform() + uniform() + uniform();
        high = hp * (high + in - prevIn);
        prevIn = in;
        v = low = (1.0 - lp) * high + lp * low;
        energy += v * v;
    }
    const double scale = 2600.0 / std::sqrt(energy / double(n));
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = media::LinearToAlaw(int16_t(std::lround(std::clamp(x[i] * scale, -32000.0, 32000.0))));
    return out;
}

std::vector<double> Linear(const Bytes& alaw) {
    std::vector<double> out(alaw.size());
    for (size_t i = 0; i < alaw.size(); ++i) out[i] = media::AlawToLinear(alaw[i]);
    return out;
}

double Energy(const double* x, size_t n) {
    double e = 0;
    for (size_t i = 0; i < n; ++i) e += x[i] * x[i];
    return e / double(n);
}

double Db(double ratio) { return 10.0 * std::log10(std::max(ratio, 1e-12)); }

TEST(EchoPath, TheCancellerRemovesTheEchoOfThePlayAndLetsTheFarEndThrough) {
    E2E_CARDS(env, {Card(4711, 2)});
    sim::SimCard& card = env.card();
    const int tap = EchoTap(card.FramesPerPacket());
    ASSERT_GE(tap, 0) << "the echo would come before its reference";
    ASSERT_LT(tap, kEchoTailMs * 8) << "the echo would lie beyond the tail";
    // Set before the stream starts, so the echo line starts full.
    for (int trunk : {0, 1}) card.SetEchoPath(trunk, kTimeslot, kPathLossDb, kEchoDelayMs);
    ASSERT_TRUE(env.Start("[General]\nAudioBuffers=4\nEchoCanceller=1\nEchoTail=" + std::to_string(kEchoTailMs) +
                          "\nPrimeECBuffers=" + std::to_string(kPrimeBuffers) + "\n[4711-2]\nEchoCanceller=0\n"));
    ASSERT_EQ(env->NoofPorts(), 60);
    ASSERT_TRUE(WaitUntil([&] { return card.Captured(1, kTimeslot).size() > 1600; }, kWaitMs));
    for (int port : {kOnPort, kOffPort}) ASSERT_TRUE(env.Open(port));
    auto recordBoth = [&](int ms, Bytes* on, Bytes* off) {
        for (int port : {kOnPort, kOffPort}) ASSERT_TRUE(env->Record(port, ms));
        for (auto [port, out] : {std::pair{kOnPort, on}, std::pair{kOffPort, off}}) {
            ASSERT_TRUE(env.WaitEvent(port, kRecordEnds, kWaitMs));
            ASSERT_EQ(env->GetRecordSize(port), ms * 8);
            const auto* data = static_cast<const uint8_t*>(env->GetRecordBuffer(port));
            ASSERT_NE(data, nullptr);
            out->assign(data, data + ms * 8);
        }
    };

    // The same noise on both ports, outlasting convergence and recording.
    const Bytes noise = Noise(4 * 8000);
    for (int port : {kOnPort, kOffPort}) ASSERT_TRUE(env->Play(port, const_cast<uint8_t*>(noise.data()), int(noise.size())));
    // The play on the line of trunk 1, then a second of it to converge on.
    size_t playAt = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const Bytes line = card.Captured(0, kTimeslot);
            const auto at = std::search(line.begin(), line.end(), noise.begin(), noise.begin() + 320);
            playAt = size_t(at - line.begin());
            return at != line.end();
        },
        kWaitMs, 10));
    ASSERT_TRUE(WaitUntil([&] { return card.Captured(0, kTimeslot).size() >= playAt + 8000; }, kWaitMs, 10));
    Bytes on, off;
    recordBoth(1000, &on, &off);
    if (HasFatalFailure()) return;
    for (int port : {kOnPort, kOffPort}) ASSERT_GT(env->PlayTimeLeft(port), 0) << "the play must cover the recording";

    // Line up the recording of trunk 2 with what was played: the best
    // correlation of a stretch of it against every offset of the play.
    const auto played = Linear(noise), recOn = Linear(on), recOff = Linear(off);
    constexpr size_t kProbeFrom = 1000, kProbeLen = 1024;
    size_t k = 0;
    double best = -1;
    for (size_t o = 0; o + kProbeLen <= played.size(); ++o) {
        double c = 0;
        for (size_t i = 0; i < kProbeLen; ++i) c += recOff[kProbeFrom + i] * played[o + i];
        if (c > best) best = c, k = o;
    }
    ASSERT_GE(k, kProbeFrom);
    const size_t start = k - kProbeFrom, n = std::min(recOff.size(), played.size() - start);
    ASSERT_GE(n, 4000u) << "the recording should lie within the play";
    double cross = 0;
    for (size_t i = 0; i < n; ++i) cross += recOff[i] * played[start + i];
    const double ePlayed = Energy(&played[start], n), eOff = Energy(recOff.data(), n), eOn = Energy(recOn.data(), n);
    EXPECT_GT(cross / double(n) / std::sqrt(ePlayed * eOff), 0.9) << "trunk 2 records the echo of its play";
    EXPECT_NEAR(Db(ePlayed / eOff), kPathLossDb, 3.0) << "without the canceller the echo comes through as the path leaves it";
    EXPECT_GE(Db(eOff / eOn), 10.0) << "with the canceller the echo is removed (ERLE)";

    // The far end speaks (a tone), the module is quiet: it must pass as it is.
    for (int port : {kOnPort, kOffPort}) env->StopPlay(port);
    sim::AudioSource tone;
    tone.kind = sim::AudioSource::Tones, tone.freq1 = 1000, tone.level1 = 4000, tone.level2 = 0;
    for (int trunk : {0, 1}) card.SetSource(trunk, kTimeslot, tone);
    // Past the echo of the stopped play and the receive blocks queued.
    const size_t toneAt = card.Captured(0, kTimeslot).size();
    ASSERT_TRUE(WaitUntil([&] { return card.Captured(0, kTimeslot).size() >= toneAt + 2400; }, kWaitMs, 10));
    recordBoth(500, &on, &off);
    if (HasFatalFailure()) return;
    const double eToneOn = Energy(Linear(on).data(), on.size()), eToneOff = Energy(Linear(off).data(), off.size());
    EXPECT_NEAR(Db(eToneOff / (4000.0 * 4000.0 / 2.0)), 0.0, 1.0) << "trunk 2 records the tone";
    EXPECT_NEAR(Db(eToneOn / eToneOff), 0.0, 1.0) << "the canceller passes the far end's speech";
}

}  // namespace
