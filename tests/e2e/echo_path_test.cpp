// The echo canceller end to end: the module loaded as a host loads it, one
// simulated card of two trunks whose line returns what the module sends on
// timeslot 1 of each trunk, attenuated and delayed, while the far end
// itself is silent. Trunk 1 has the canceller on (the [General] switch),
// trunk 2 has it off (its own section). The same noise is played on both
// ports; after a second to converge, a recording of each port shows the
// echo: on trunk 2 at the level of the path loss, on trunk 1 removed.
// Then a tone from the far end must still get through on both alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "media/g711.h"
#include "transport_lab.h"

namespace {

using testsupport::WaitUntil;
using transport_e2e::Started;

constexpr int kRecordEnds = 60;
constexpr int kWaitMs = 10000;

constexpr uint32_t kSerial = 4711;
constexpr int kOnPort = 0;    // trunk 1, timeslot 1
constexpr int kOffPort = 30;  // trunk 2, timeslot 1
constexpr int kTimeslot = 1;

constexpr double kPathLossDb = 10.0;
constexpr int kEchoTailMs = 32;      // 256 taps
constexpr int kPrimeBuffers = 8;     // PrimeECBuffers
constexpr int kEchoDelayMs = 28;     // the card's echo path
constexpr int kSamplesPerMs = 8;
constexpr double kPi = 3.14159265358979323846;

constexpr size_t kPlayBytes = 4 * 8000;  // outlasts convergence and recording
constexpr size_t kConvergeSamples = 8000;
constexpr int kRecordMs = 1000;
constexpr int kToneRecordMs = 500;

// Where the echo sits in the canceller's window, in taps (samples).
//
// The card adds to each sample it sends on the channel the module's sample
// it received kEchoDelayMs of stream earlier: the path is set before the
// stream starts, so its queue starts with that many samples of silence and
// received sample n carries the echo of sent sample n - 8 x kEchoDelayMs.
// (The r packets the module sends ahead on its first re-sync only lengthen
// the card's queue; they do not shift the echo.)
//
// The module takes as the echo reference of its received packet j the
// packet it sent as number j - P, P = PrimeECBuffers: the P primed silent
// references come first, then every sent packet in order. With F frames
// per packet the reference of received sample n is sent sample n - P x F,
// so the echo is at tap 8 x kEchoDelayMs - P x F. It must be at least 0
// (an echo arriving before its reference cannot be cancelled) and below the
// tail (256 taps). With two trunks F = 22: 224 - 176 = 48.
//
// Why so long a path and so many primed references rather than a short
// path alone: the card's echo line must never run dry. When either side
// stalls, the card sends packets without the module's answers coming in
// between; once its queue is empty the echo of the next samples is lost
// and every later echo comes back that much later, for good. A path of
// 28 ms rides out stalls of about 30 ms, and should the echo still move,
// it moves towards the end of the tail, which is 208 taps away.
int EchoTap(int framesPerPacket) { return kEchoDelayMs * kSamplesPerMs - kPrimeBuffers * framesPerPacket; }

// Band-limited noise (about 300 to 3400 Hz) at about -22 dBov, A-law.
std::vector<uint8_t> Noise(size_t n) {
    std::vector<double> x(n);
    uint32_t s = 0x9E3779B9u;
    auto uniform = [&] {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return static_cast<double>(s) / 4294967296.0 * 2.0 - 1.0;
    };
    const double hp = std::exp(-2.0 * kPi * 300.0 / 8000.0);
    const double lp = std::exp(-2.0 * kPi * 3400.0 / 8000.0);
    double prevIn = 0, high = 0, low = 0, energy = 0;
    for (double& v : x) {
        const double in = uniform() + uniform() + uniform();
        high = hp * (high + in - prevIn);
        prevIn = in;
        low = (1.0 - lp) * high + lp * low;
        v = low;
        energy += v * v;
    }
    const double scale = 2600.0 / std::sqrt(energy / static_cast<double>(n));
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        const double v = std::max(-32000.0, std::min(32000.0, x[i] * scale));
        out[i] = media::LinearToAlaw(static_cast<int16_t>(std::lround(v)));
    }
    return out;
}

std::vector<double> Linear(const std::vector<uint8_t>& alaw) {
    std::vector<double> out(alaw.size());
    for (size_t i = 0; i < alaw.size(); ++i) out[i] = media::AlawToLinear(alaw[i]);
    return out;
}

double Energy(const double* x, size_t n) {
    double e = 0;
    for (size_t i = 0; i < n; ++i) e += x[i] * x[i];
    return e / static_cast<double>(n);
}

double Db(double ratio) { return 10.0 * std::log10(std::max(ratio, 1e-12)); }

// The position in played of the recorded echo: the best correlation of a
// stretch of the recording against every offset of what was played.
size_t EchoOffset(const std::vector<double>& recorded, const std::vector<double>& played, size_t from, size_t len) {
    size_t best = 0;
    double bestValue = -1;
    for (size_t k = 0; k + len <= played.size(); ++k) {
        double c = 0;
        for (size_t i = 0; i < len; ++i) c += recorded[from + i] * played[k + i];
        if (c > bestValue) {
            bestValue = c;
            best = k;
        }
    }
    return best;
}

class EchoPath : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        lab_ = testsupport::NetworkLab::Create(1, &why);
        if (!lab_) GTEST_SKIP() << "no private network lab: " << why;
        ASSERT_TRUE(lab_->EnterHost());
        sim::CardProfile twoTrunks;
        twoTrunks.serial = kSerial;
        twoTrunks.trunks = 2;
        ASSERT_TRUE(transport_e2e::StartCards(*lab_, {twoTrunks}, &cards_));
        // Before the stream starts: see EchoTap.
        card().SetEchoPath(0, kTimeslot, kPathLossDb, kEchoDelayMs);
        card().SetEchoPath(1, kTimeslot, kPathLossDb, kEchoDelayMs);
        const std::string ini = "[General]\nAudioBuffers=4\nEchoCanceller=1\nEchoTail=" + std::to_string(kEchoTailMs) +
                                "\nPrimeECBuffers=" + std::to_string(kPrimeBuffers) + "\n[" + std::to_string(kSerial) +
                                "-2]\nEchoCanceller=0\n";
        host_ = std::make_unique<testsupport::ModuleHost>(ini);
        started_ = std::make_unique<Started>(*host_);
        ASSERT_TRUE(started_->ok());
        ASSERT_GE(api()->NoofPorts(), 60);
        ASSERT_TRUE(WaitUntil([&] { return card().Captured(1, kTimeslot).size() > 1600; }, kWaitMs));
    }
    void TearDown() override {
        started_.reset();
        host_.reset();
        for (auto& c : cards_) c->Stop();
    }

    const testsupport::ModuleHost& api() const { return *host_; }
    sim::SimCard& card() { return *cards_[0]; }

    bool WaitEvent(int port, int code, int timeoutMs) {
        return WaitUntil(
            [&] {
                for (int e = api()->GetEvent(port); e != 0; e = api()->GetEvent(port)) {
                    if (e == code) return true;
                }
                return false;
            },
            timeoutMs, 1);
    }

    void OpenWithEvents(int port) {
        api()->SetEventHandle(port, host_->NewEventHandle());
        ASSERT_TRUE(api()->OpenPort(port));
    }

    // Records both ports for ms and returns the recordings.
    void RecordBoth(int ms, std::vector<uint8_t>* on, std::vector<uint8_t>* off) {
        ASSERT_TRUE(api()->Record(kOnPort, ms));
        ASSERT_TRUE(api()->Record(kOffPort, ms));
        ASSERT_TRUE(WaitEvent(kOnPort, kRecordEnds, kWaitMs));
        ASSERT_TRUE(WaitEvent(kOffPort, kRecordEnds, kWaitMs));
        const size_t bytes = static_cast<size_t>(ms) * kSamplesPerMs;
        for (auto [port, out] : {std::pair{kOnPort, on}, std::pair{kOffPort, off}}) {
            ASSERT_EQ(api()->GetRecordSize(port), static_cast<int>(bytes));
            const auto* data = static_cast<const uint8_t*>(api()->GetRecordBuffer(port));
            ASSERT_NE(data, nullptr);
            out->assign(data, data + bytes);
        }
    }

    std::unique_ptr<testsupport::NetworkLab> lab_;
    std::vector<std::unique_ptr<sim::SimCard>> cards_;
    std::unique_ptr<testsupport::ModuleHost> host_;
    std::unique_ptr<Started> started_;
};

TEST_F(EchoPath, TheCancellerRemovesTheEchoOfThePlayAndLetsTheFarEndThrough) {
    const int tap = EchoTap(card().FramesPerPacket());
    ASSERT_GE(tap, 0) << "the echo would come before its reference";
    ASSERT_LT(tap, kEchoTailMs * kSamplesPerMs) << "the echo would lie beyond the tail";

    OpenWithEvents(kOnPort);
    OpenWithEvents(kOffPort);
    const auto noise = Noise(kPlayBytes);
    ASSERT_TRUE(api()->Play(kOnPort, const_cast<uint8_t*>(noise.data()), static_cast<int>(noise.size())));
    ASSERT_TRUE(api()->Play(kOffPort, const_cast<uint8_t*>(noise.data()), static_cast<int>(noise.size())));

    // The play on the line of trunk 1, then a second of it to converge on.
    size_t playAt = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto line = card().Captured(0, kTimeslot);
            const auto at = std::search(line.begin(), line.end(), noise.begin(), noise.begin() + 320);
            if (at == line.end()) return false;
            playAt = static_cast<size_t>(at - line.begin());
            return true;
        },
        kWaitMs, 10));
    ASSERT_TRUE(WaitUntil([&] { return card().Captured(0, kTimeslot).size() >= playAt + kConvergeSamples; }, kWaitMs,
                          10));

    std::vector<uint8_t> on, off;
    RecordBoth(kRecordMs, &on, &off);
    ASSERT_GT(api()->PlayTimeLeft(kOnPort), 0) << "the play must cover the recording";
    ASSERT_GT(api()->PlayTimeLeft(kOffPort), 0) << "the play must cover the recording";

    // Line up the recording of trunk 2 with what was played.
    const auto played = Linear(noise), recOn = Linear(on), recOff = Linear(off);
    constexpr size_t kProbeFrom = 1000, kProbeLen = 1024;
    const size_t k = EchoOffset(recOff, played, kProbeFrom, kProbeLen);
    ASSERT_GE(k, kProbeFrom);
    const size_t start = k - kProbeFrom;
    const size_t n = std::min(recOff.size(), played.size() - start);
    ASSERT_GE(n, 4000u) << "the recording should lie within the play";
    double cross = 0;
    for (size_t i = 0; i < n; ++i) cross += recOff[i] * played[start + i];
    const double ePlayed = Energy(&played[start], n), eOff = Energy(recOff.data(), n), eOn = Energy(recOn.data(), n);
    const double correlation = cross / static_cast<double>(n) / std::sqrt(ePlayed * eOff);
    const double lossOff = Db(ePlayed / eOff);
    const double erle = Db(eOff / eOn);
    const double lossOn = Db(ePlayed / eOn);
    // Once converged the canceller leaves little more than the far end's
    // idle level (+8), which bounds the figure at about 40 dB here.
    std::printf("echo path: loss %.1f dB, delay %d ms, echo at tap %d of %d\n", kPathLossDb, kEchoDelayMs, tap,
                kEchoTailMs * kSamplesPerMs);
    std::printf("canceller off: echo %.1f dB below the play (correlation %.3f)\n", lossOff, correlation);
    std::printf("canceller on:  echo %.1f dB below the play; ERLE (off / on) %.1f dB\n", lossOn, erle);
    RecordProperty("erle_db", std::to_string(erle));
    RecordProperty("loss_off_db", std::to_string(lossOff));

    EXPECT_GT(correlation, 0.9) << "trunk 2 records the echo of its play";
    EXPECT_NEAR(lossOff, kPathLossDb, 3.0) << "without the canceller the echo comes through as the path leaves it";
    EXPECT_GE(erle, 10.0) << "with the canceller the echo is removed";

    // The far end speaks (a tone), the module is quiet: the canceller must
    // let it through as it is.
    api()->StopPlay(kOnPort);
    api()->StopPlay(kOffPort);
    sim::AudioSource tone;
    tone.kind = sim::AudioSource::Tones;
    tone.freq1 = 1000;
    tone.level1 = 4000;
    tone.level2 = 0;
    card().SetSource(0, kTimeslot, tone);
    card().SetSource(1, kTimeslot, tone);
    const size_t toneAt = card().Captured(0, kTimeslot).size();
    // Past the echo of the stopped play and the receive blocks queued.
    ASSERT_TRUE(WaitUntil([&] { return card().Captured(0, kTimeslot).size() >= toneAt + 2400; }, kWaitMs, 10));
    RecordBoth(kToneRecordMs, &on, &off);
    const auto toneOn = Linear(on), toneOff = Linear(off);
    const double eToneOn = Energy(toneOn.data(), toneOn.size()), eToneOff = Energy(toneOff.data(), toneOff.size());
    const double toneDb = Db(eToneOn / eToneOff);
    std::printf("far-end tone: canceller on %.2f dB against off; off %.1f dB against the tone sent\n", toneDb,
                Db(eToneOff / (4000.0 * 4000.0 / 2.0)));
    EXPECT_NEAR(Db(eToneOff / (4000.0 * 4000.0 / 2.0)), 0.0, 1.0) << "trunk 2 records the tone";
    EXPECT_NEAR(toneDb, 0.0, 1.0) << "the canceller passes the far end's speech";
}

}  // namespace
