// Line echo canceller: behaviour, bit identity of every kernel the CPU has
// with the reference, quality on the ITU-T G.168 echo paths, lifecycle.
#include "media/echo_canceller.h"
#include "media/echo_canceller_bank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "media/g711.h"

#ifdef VAXO_HAVE_SPANDSP
#include <spandsp/g168models.h>
#endif

namespace {

using media::EchoCanceller;
using media::EchoCancellerReference;
using Kernel = EchoCanceller::Kernel;
using Samples = std::vector<int16_t>;

constexpr double kPi = 3.14159265358979323846;

int16_t Clamp16(double v) { return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))); }

Samples RandomSamples(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> d(-32768, 32767);
    Samples out(n);
    for (int16_t& v : out) v = static_cast<int16_t>(d(g));
    return out;
}

// Runs f on the reference and on a canceller of every kernel the CPU has.
template <class F>
void ForEachImplementation(F f) {
    { SCOPED_TRACE("reference"); EchoCancellerReference ref; f(ref); }
    for (Kernel k : {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2, Kernel::kAvx512}) {
        if (!EchoCanceller::KernelSupported(k)) continue;
        SCOPED_TRACE(EchoCanceller::KernelName(k));
        EchoCanceller ec(k);
        f(ec);
    }
}

// Noise through two formant resonators with a syllabic envelope, at the given RMS.
std::vector<double> SpeechLike(size_t n, uint32_t seed, double rms) {
    std::mt19937 g(seed);
    std::normal_distribution<double> nd(0.0, 1.0);
    std::vector<double> out(n);
    const double r1 = 0.97, c1 = 2 * r1 * std::cos(2 * kPi * 500 / 8000), r2 = 0.93, c2 = 2 * r2 * std::cos(2 * kPi * 1500 / 8000);
    const double syll = 2 * kPi * (3.0 + (seed % 7) * 0.2) / 8000;
    double a1 = 0, a2 = 0, b1 = 0, b2 = 0, p = 0;
    for (size_t i = 0; i < n; ++i) {
        const double x = nd(g), a = x + c1 * a1 - r1 * r1 * a2, b = x + c2 * b1 - r2 * r2 * b2;
        a2 = a1, a1 = a, b2 = b1, b1 = b;
        out[i] = (a + 0.7 * b) * (0.25 + 0.75 * (0.5 - 0.5 * std::cos(syll * static_cast<double>(i))));
        p += out[i] * out[i];
    }
    for (double& v : out) v *= rms / std::sqrt(p / static_cast<double>(n));
    return out;
}

std::vector<double> WhiteNoise(size_t n, uint32_t seed, double rms) {
    std::mt19937 g(seed);
    std::normal_distribution<double> nd(0.0, rms);
    std::vector<double> out(n);
    for (double& v : out) v = nd(g);
    return out;
}

struct PathModel { std::string name; std::vector<double> ir; };

std::vector<PathModel> PathModels() {
    std::vector<PathModel> models;
#ifdef VAXO_HAVE_SPANDSP
#define VAXO_G168(d, D)                                  \
    models.push_back({"G.168 " #d, {}});                 \
    for (int32_t c : line_model_##d##_coeffs) models.back().ir.push_back(c * LINE_MODEL_##D##_GAIN)
    VAXO_G168(d2, D2); VAXO_G168(d3, D3); VAXO_G168(d4, D4); VAXO_G168(d5, D5);
    VAXO_G168(d6, D6); VAXO_G168(d7, D7); VAXO_G168(d8, D8); VAXO_G168(d9, D9);
#undef VAXO_G168
#else
    models.push_back({"synthetic hybrid", {}});  // a decaying oscillation
    for (int i = 0; i < 64; ++i) models.back().ir.push_back(std::exp(-i / 8.0) * std::cos(2 * kPi * i * 0.11));
#endif
    return models;
}

// The echo of tx through `ir` after `delay` samples, erlDb below tx in power.
std::vector<double> MakeEcho(const Samples& tx, const std::vector<double>& ir, int delay, double erlDb) {
    std::vector<double> echo(tx.size(), 0.0);
    double pt = 0, pe = 0;
    for (size_t i = 0; i < tx.size(); ++i) {
        for (size_t k = 0; k < ir.size() && i >= delay + k; ++k) echo[i] += ir[k] * tx[i - delay - k];
        pt += static_cast<double>(tx[i]) * tx[i], pe += echo[i] * echo[i];
    }
    for (double& v : echo) v *= std::sqrt(pt / pe * std::pow(10.0, -erlDb / 10.0));
    return echo;
}

Samples ThroughAlaw(const std::vector<double>& x) {
    Samples out;
    for (double v : x) out.push_back(media::AlawToLinear(media::LinearToAlaw(Clamp16(v))));
    return out;
}

double PowerRatioDb(const std::vector<double>& num, const std::vector<double>& den, size_t from, size_t to) {
    double a = 0, b = 0;
    for (size_t i = from; i < to; ++i) a += num[i] * num[i], b += den[i] * den[i];
    return b <= 0 ? 99.0 : std::min(99.0, 10 * std::log10(a / b));
}

// One line through A-law both ways, the echo plus quiet line noise coming
// back: what came in (rx), what went back (out) and the linear residual
// before the non-linear processor.
struct LineRun { std::vector<double> rx, out, linear; };

LineRun RunLine(const Samples& tx, const std::vector<double>& echo, int taps, uint32_t noiseSeed) {
    EchoCanceller ec;
    EXPECT_TRUE(ec.Create(taps));
    const auto noise = WhiteNoise(tx.size(), noiseSeed, 4.0);
    LineRun r;
    for (size_t i = 0; i < tx.size(); ++i) {
        const uint8_t rxByte = media::LinearToAlaw(Clamp16(echo[i] + noise[i]));
        r.out.push_back(media::AlawToLinear(ec.UpdateAlaw(media::LinearToAlaw(tx[i]), rxByte)));
        r.rx.push_back(media::AlawToLinear(rxByte));
        r.linear.push_back(2.0 * ec.Probe().clean);
    }
    return r;
}

TEST(EchoCancellerBasics, TxZeroGivesRxWithLowBitClearedAndTapsStayZero) {
    const auto rx = RandomSamples(20000, 7);
    ForEachImplementation([&](auto& ec) {
        ASSERT_TRUE(ec.Create(256));
        for (size_t i = 0; i < rx.size(); ++i) ASSERT_EQ(ec.Update(0, rx[i]), static_cast<int16_t>(rx[i] & ~1)) << i;
        for (int set = 0; set < 2; ++set)
            for (int i = 0; i < ec.taps(); ++i) ASSERT_EQ(ec.tapSet(set)[i], 0) << "set " << set << " tap " << i;
    });
}

TEST(EchoCancellerBasics, TapsFromEchoTail) {
    for (int32_t bad : {0, -1, INT32_MIN}) EXPECT_EQ(EchoCanceller::TapsForEchoTail(bad), 0) << bad;  // no canceller
    for (int32_t big : {EchoCanceller::kMaxEchoTailMs + 1, INT32_MAX})
        EXPECT_EQ(EchoCanceller::TapsForEchoTail(big), EchoCanceller::kMaxTaps) << big;  // the largest
    struct Case { int32_t tail; int taps, log2; };
    for (const Case& c : {Case{16, 128, 7}, Case{20, 160, 7}, Case{1, 8, 3}, Case{100, 800, 9}, Case{1024, 8192, 13}}) {
        SCOPED_TRACE(c.tail);
        EXPECT_EQ(EchoCanceller::TapsForEchoTail(c.tail), c.taps);
        ForEachImplementation([&](auto& ec) {
            ASSERT_TRUE(ec.Create(c.taps));
            EXPECT_TRUE(ec.taps() == c.taps && ec.log2Taps() == c.log2) << ec.taps() << " " << ec.log2Taps();
        });
    }
}

// Near-end speech holds adaptation off; after the last sample that detects
// it, 599 more samples do not adapt and the 600th does.
TEST(EchoCancellerBasics, NearEndSpeechStopsAdaptationFor600Samples) {
    ForEachImplementation([](auto& ec) {
        ASSERT_TRUE(ec.Create(128));
        std::mt19937 g(11);
        std::uniform_int_distribution<int> far(-1000, 1000), near(-12000, 12000);
        Samples tx(6000), before(128);
        for (int16_t& t : tx) t = static_cast<int16_t>(far(g));
        int lastDetect = -1, firstAdaptAfter = -1;
        bool adaptedDuringSpeech = false;
        for (int i = 0; i < 6000; ++i) {
            const bool speech = i >= 2000 && i < 4000;
            std::memcpy(before.data(), ec.tapSet(1), 128 * sizeof(int16_t));
            const int hangBefore = ec.Probe().hangover;
            ec.Update(tx[i], Clamp16((i >= 10 ? tx[i - 10] / 4 : 0) + (speech ? near(g) : 0)));
            const bool tapsChanged = std::memcmp(before.data(), ec.tapSet(1), 128 * sizeof(int16_t)) != 0;
            ASSERT_FALSE(hangBefore != 0 && tapsChanged) << "sample " << i;
            if (ec.Probe().hangover == EchoCanceller::kDoubleTalkHangover - 1) lastDetect = i;
            adaptedDuringSpeech |= speech && i > 2100 && tapsChanged;
            if (i >= 4000 && lastDetect >= 0 && firstAdaptAfter < 0 && i > lastDetect && tapsChanged) firstAdaptAfter = i;
        }
        ASSERT_GE(lastDetect, 4000) << "near-end speech never detected, or its end not seen";
        EXPECT_LT(lastDetect, 4400);
        EXPECT_FALSE(adaptedDuringSpeech);
        EXPECT_EQ(firstAdaptAfter - lastDetect, 600) << "last detection " << lastDetect << ", adaptation " << firstAdaptAfter;
    });
}

template <class Ec>
void ExpectPassesAudio(Ec& ec) {
    EXPECT_FALSE(ec.created());
    for (int v = -32768; v <= 32767; v += 7) ASSERT_EQ(ec.Update(1234, static_cast<int16_t>(v)), v);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(ec.UpdateAlaw(0x2A, static_cast<uint8_t>(b)), b);
}

// Never created, refused tap counts, and every allocation failing in turn
// (from a used state): nothing kept, audio passes unchanged. Created again,
// it starts from scratch.
TEST(EchoCancellerLifecycle, UncreatedCancellerPassesAudioUnchanged) {
    const auto tx = ThroughAlaw(SpeechLike(4000, 5, 3000));
    ForEachImplementation([&](auto& ec) {
        ExpectPassesAudio(ec);
        ec.Destroy();
        for (int taps : {0, -1, INT_MIN, EchoCanceller::kMaxTaps + 1, INT_MAX}) {
            EXPECT_FALSE(ec.Create(taps)) << taps;
            ExpectPassesAudio(ec);
        }
        for (int allowed = 0;; ++allowed) {
            ec.SetAllocationLimitForTest(-1);
            ASSERT_TRUE(ec.Create(128));
            for (int16_t t : tx) ec.Update(t, static_cast<int16_t>(t / 3));
            ec.SetAllocationLimitForTest(allowed);
            if (ec.Create(256)) break;
            ExpectPassesAudio(ec);
            ASSERT_LT(allowed, 8);
        }
        std::decay_t<decltype(ec)> fresh;
        ASSERT_TRUE(fresh.Create(256));
        for (size_t i = 0; i < tx.size(); ++i) {
            const int16_t rx = static_cast<int16_t>(i >= 20 ? tx[i - 20] / 2 : 0);
            ASSERT_EQ(ec.Update(tx[i], rx), fresh.Update(tx[i], rx)) << i;
        }
        EXPECT_EQ(ec.Probe(), fresh.Probe());
    });
}

// ---------------------------------------------------------------------------
// Bit identity of the vectorised canceller with the reference.

struct Inputs { Samples tx, rx; };

// Visits every branch: echo of loud noise (transfers, overflowing sums), an
// echo louder than its source (taps that wrap), double talk, near silence,
// a tone and full-scale extremes.
Inputs MixedInputs(size_t n, uint32_t seed) {
    Inputs in;
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> full(-32768, 32767);
    std::normal_distribution<double> nd(0.0, 1.0);
    const auto speech = SpeechLike(n, seed + 1, 4000);
    const size_t delay = 5 + g() % 60;
    const double gain = 0.2 + (g() % 100) / 100.0;
    for (size_t i = 0; i < n; ++i) {
        switch ((i / 700 + seed) % 7) {
            case 0: in.tx.push_back(static_cast<int16_t>(full(g))); break;
            case 1: in.tx.push_back(Clamp16(speech[i])); break;
            case 2: in.tx.push_back(Clamp16(12000 * std::sin(2 * kPi * 1004 * static_cast<double>(i) / 8000))); break;
            case 3: in.tx.push_back((i & 1) ? int16_t{-32768} : int16_t{32767}); break;
            case 4: in.tx.push_back(Clamp16(nd(g) * 3)); break;
            default: in.tx.push_back(Clamp16(speech[i] * 2)); break;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const double e = i >= delay ? in.tx[i - delay] : 0.0, near = nd(g) * 4;
        in.rx.push_back(Clamp16(e * ((i / 700 + seed) % 7 == 5 ? -3.0 : gain) + near + ((i / 450) % 5 == 3 ? nd(g) * 9000 : 0)));
    }
    return in;
}

// Drives the FIR sums past 32 bits: taps trained on a long path of random-sign
// coefficients, then full-scale far-end bursts whose signs line up with them.
Inputs OverloadInputs(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> full(-32768, 32767);
    std::normal_distribution<double> nd(0.0, 1.0);
    const int len = 64, delay = 3;
    std::vector<double> path(len);
    for (double& a : path) a = (g() & 1) ? 0.1 : -0.1;
    Inputs in;
    for (size_t i = 0; i < n; ++i) {
        const long phase = static_cast<long>(i % 1000), k = 900 + len - 1 - phase;
        if (i >= 8000 && phase >= 900 && phase < 900 + len + delay)
            in.tx.push_back((k < 0 || k >= len || path[k] > 0) ? int16_t{32767} : int16_t{-32768});
        else
            in.tx.push_back(static_cast<int16_t>(full(g)));
    }
    for (size_t i = 0; i < n; ++i) {
        double e = nd(g) * 4;
        for (int k = 0; k < len && i >= static_cast<size_t>(delay + k); ++k) e += path[k] * in.tx[i - delay - k];
        in.rx.push_back(Clamp16(e));
    }
    return in;
}

// A tone or speech-like far end through a G.168 model.
Inputs EchoPathInputs(size_t n, uint32_t seed, bool tone) {
    std::vector<double> src = SpeechLike(n, seed, 3000);
    for (size_t i = 0; tone && i < n; ++i)
        src[i] = 6000 * (std::sin(2 * kPi * 697 * i / 8000.0) + std::sin(2 * kPi * 1209 * i / 8000.0));
    const auto models = PathModels();
    const auto tx = ThroughAlaw(src);
    return {tx, ThroughAlaw(MakeEcho(tx, models[seed % models.size()].ir, 40, 6.0))};
}

struct Stats { long transfers = 0, hangoverSamples = 0, clipped = 0; };

// Reference and fast side by side; fails at the first sample where output or
// state differ (taps compared every 31 samples).
void ExpectIdentical(Kernel kernel, int taps, const Inputs& in, Stats& stats) {
    EchoCancellerReference ref;
    EchoCanceller fast(kernel);
    ASSERT_EQ(fast.kernel(), kernel);
    ASSERT_TRUE(ref.Create(taps) && fast.Create(taps));
    const size_t tapBytes = static_cast<size_t>(taps) * sizeof(int16_t);
    for (size_t i = 0; i < in.tx.size(); ++i) {
        ASSERT_EQ(ref.Update(in.tx[i], in.rx[i]), fast.Update(in.tx[i], in.rx[i])) << "sample " << i;
        const media::EchoCancellerProbe p = ref.Probe();
        ASSERT_EQ(p, fast.Probe()) << "sample " << i;
        for (int set = 0; set < 2 && (i % 31 == 0 || i + 1 == in.tx.size()); ++set)
            ASSERT_EQ(std::memcmp(ref.tapSet(set), fast.tapSet(set), tapBytes), 0) << "tap set " << set << ", sample " << i;
        stats.transfers += p.adapted, stats.hangoverSamples += p.hangover != 0, stats.clipped += p.cleanNlp != p.clean;
    }
}

class EchoCancellerIdentity : public ::testing::TestWithParam<Kernel> {};

TEST_P(EchoCancellerIdentity, MatchesTheReference) {
    if (!EchoCanceller::KernelSupported(GetParam())) GTEST_SKIP() << "CPU lacks this kernel";
    struct Case { std::string name; int taps; Inputs in; };
    std::vector<Case> cases = {
        {"random", 256, {RandomSamples(30000, 1), RandomSamples(30000, 2)}},
        {"random, 160 taps", 160, {RandomSamples(10000, 3), RandomSamples(10000, 4)}},
        {"mixed", 256, MixedInputs(60000, 3)},
        {"sums beyond 32 bits", 256, OverloadInputs(30000, 6)},
        {"sums beyond 32 bits, 72 taps", 72, OverloadInputs(20000, 7)},
        {"tone through echo path", 256, EchoPathInputs(20000, 4, true)},
        {"speech-like through echo path", 256, EchoPathInputs(20000, 5, false)},
    };
    for (int32_t tail = 1; tail <= 128; ++tail)
        cases.push_back({"tail " + std::to_string(tail) + " ms", EchoCanceller::TapsForEchoTail(tail), MixedInputs(2000, 100 + tail)});
    for (int taps : {1, 2, 3, 7, 13, 17, 33, 47, 63, 65, 127, 129, 255, 257, 1023, 1025})
        cases.push_back({"odd taps " + std::to_string(taps), taps, MixedInputs(1500, static_cast<uint32_t>(taps))});
    Stats st;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectIdentical(GetParam(), c.taps, c.in, st);
        if (HasFatalFailure()) return;
    }
    // The inputs reach every branch.
    EXPECT_TRUE(st.transfers > 1000 && st.hangoverSamples > 1000 && st.clipped > 100)
        << st.transfers << " transfers, " << st.hangoverSamples << " samples in hangover, " << st.clipped << " clipped";
}

INSTANTIATE_TEST_SUITE_P(Kernels, EchoCancellerIdentity, ::testing::Values(Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2, Kernel::kAvx512),
                         [](const auto& info) { return std::string(EchoCanceller::KernelName(info.param)); });

// A bank of channels run side by side, as the audio receive thread runs half
// a trunk: each channel's bytes and state are its own reference's, whatever
// the other channels carry (loud, overloaded, silent, double talk) and
// whatever the run lengths; a bank with fewer channels than lanes too.
TEST_P(EchoCancellerIdentity, BankOfChannelsMatchesTheReference) {
    if (!EchoCanceller::KernelSupported(GetParam())) GTEST_SKIP() << "CPU lacks this kernel";
    for (const auto& [channels, taps] : {std::pair<int, int>{15, 256}, {16, 47}, {3, 1}}) {
        SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(taps) + " taps");
        constexpr size_t kFrames = 6000;
        const size_t stride = 2 * static_cast<size_t>(channels) + 1;  // tx and rx bytes of every channel, one spare
        std::vector<uint8_t> line(kFrames * stride);
        std::vector<uint16_t> offset(static_cast<size_t>(channels));
        std::vector<std::unique_ptr<EchoCancellerReference>> refs;
        for (int c = 0; c < channels; ++c) {
            const Inputs in = c % 4 == 3 ? OverloadInputs(kFrames, 20 + c) : MixedInputs(kFrames, 30 + c);
            offset[static_cast<size_t>(c)] = static_cast<uint16_t>(2 * c);
            for (size_t i = 0; i < kFrames; ++i) {
                line[i * stride + 2 * c] = media::LinearToAlaw(in.tx[i]);
                line[i * stride + 2 * c + 1] = media::LinearToAlaw(in.rx[i]);
            }
            refs.push_back(std::make_unique<EchoCancellerReference>());
            ASSERT_TRUE(refs.back()->Create(taps));
        }
        media::EchoCancellerBank bank(GetParam());
        ASSERT_EQ(bank.kernel(), GetParam());
        ASSERT_TRUE(bank.Create(channels, taps));
        std::mt19937 g(7);
        constexpr size_t kOutStride = 46;
        std::vector<uint8_t> out(static_cast<size_t>(channels) * kOutStride);
        for (size_t i = 0; i < kFrames;) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(g() % 46, kFrames - i));
            bank.UpdateAlaw(&line[i * stride], &line[i * stride + 1], offset.data(), stride, n, out.data(), kOutStride);
            for (int c = 0; c < channels; ++c) {
                for (uint32_t k = 0; k < n; ++k) {
                    const size_t at = (i + k) * stride + 2 * static_cast<size_t>(c);
                    ASSERT_EQ(out[static_cast<size_t>(c) * kOutStride + k], refs[static_cast<size_t>(c)]->UpdateAlaw(line[at], line[at + 1]))
                        << "channel " << c << ", sample " << i + k;
                }
                ASSERT_EQ(refs[static_cast<size_t>(c)]->Probe(), bank.Probe(c)) << "channel " << c << ", sample " << i + n;
            }
            i += n;
        }
    }
    media::EchoCancellerBank bank;
    EXPECT_FALSE(bank.Create(0, 256) || bank.Create(media::EchoCancellerBank::kMaxChannels + 1, 256) ||
                 bank.Create(4, EchoCanceller::kMaxTaps + 1) || bank.created());
}

// ---------------------------------------------------------------------------
// Quality: ERLE = received / output power over 1-2 s (after 1 s to converge);
// "linear" before the non-linear processor, "out" on the line. A canceller
// that does not cancel shows about 0 dB, so the bounds are generous.

Samples FarEnd(bool speech, size_t n, uint32_t seed) {
    return ThroughAlaw(speech ? SpeechLike(n, seed, 3000) : WhiteNoise(n, seed, 3000));
}

// ERLE {linear, out} over [from, to) of a run.
std::pair<double, double> Erle(const LineRun& run, size_t from, size_t to) {
    return {PowerRatioDb(run.rx, run.linear, from, to), PowerRatioDb(run.rx, run.out, from, to)};
}

TEST(EchoCancellerQuality, ErleOnG168EchoPaths) {
    uint32_t seed = 20;
    for (const auto& model : PathModels()) {
        for (double erl : {6.0, 12.0}) {
            for (int delayMs : {2, 12, 24}) {
                const int delay = delayMs * 8, taps = delay + static_cast<int>(model.ir.size()) <= 256 ? 256 : 512;
                const auto tn = FarEnd(false, 16000, seed), ts = FarEnd(true, 16000, seed);
                const auto noise = Erle(RunLine(tn, MakeEcho(tn, model.ir, delay, erl), taps, seed + 77), 8000, 16000);
                const auto speech = Erle(RunLine(ts, MakeEcho(ts, model.ir, delay, erl), taps, seed + 77), 8000, 16000);
                ++seed;
                std::printf("[ quality  ] %-16s %3d taps %2d ms ERL %2.0f | noise lin/out %5.1f %5.1f | speech %5.1f %5.1f\n",
                            model.name.c_str(), taps, delayMs, erl, noise.first, noise.second, speech.first, speech.second);
                // Speech-like converges far more slowly.
                EXPECT_TRUE(noise.first > 25 && noise.second > 25 && speech.first > 6 && speech.second > 6)
                    << model.name << " ERL " << erl << " delay " << delayMs;
            }
        }
    }
}

TEST(EchoCancellerQuality, RecoversAfterAbruptPathChange) {
    const auto models = PathModels();
    const PathModel &a = models.front(), &b = models[models.size() / 2];
    const size_t change = 8000, n = 24000;
    for (int speech = 0; speech < 2; ++speech) {
        SCOPED_TRACE(speech ? "speech-like" : "noise");
        const auto tx = FarEnd(speech, n, 31);
        auto echo = MakeEcho(tx, a.ir, 64, 6.0);  // 8 ms, ERL 6 dB, then 16 ms, ERL 10 dB
        const auto echoB = MakeEcho(tx, b.ir, 128, 10.0);
        std::copy(echoB.begin() + change, echoB.end(), echo.begin() + change);
        const LineRun run = RunLine(tx, echo, 256, 32);
        const auto before = Erle(run, change - 4000, change), at = Erle(run, change, change + 800),
                   half = Erle(run, change + 4000, change + 8000), last = Erle(run, change + 8000, n);
        std::printf("[ quality  ] path change %s -> %s, linear: before %.1f, 0-0.1 s %.1f, 0.5-1 s %.1f, 1-2 s %.1f\n",
                    a.name.c_str(), b.name.c_str(), before.first, at.first, half.first, last.first);
        EXPECT_LT(at.first, before.first - 6.0) << "the change is seen";
        const double bound = speech ? 8.0 : 25.0;  // noise recovers within a second, speech-like more slowly
        EXPECT_TRUE(before.first > bound && last.first > bound && (speech ? last.second : half.first) > bound);
    }
}

}  // namespace
