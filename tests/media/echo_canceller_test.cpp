// Line echo canceller: behaviour of the algorithm, bit identity of the
// vectorised implementation (every kernel the CPU has) with the reference,
// cancellation quality on the ITU-T G.168 echo path models, and the
// create/destroy lifecycle.
#include "media/echo_canceller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "media/echo_canceller_kernels.h"
#include "media/g711.h"

#ifdef VAXO_HAVE_SPANDSP
#include <spandsp/g168models.h>
#endif

namespace {

using media::EchoCanceller;
using media::EchoCancellerProbe;
using media::EchoCancellerReference;
using Kernel = EchoCanceller::Kernel;

constexpr double kPi = 3.14159265358979323846;

int16_t Clamp16(double v) {
    if (v > 32767.0) return 32767;
    if (v < -32768.0) return -32768;
    return static_cast<int16_t>(std::lround(v));
}

std::vector<Kernel> AllKernels() { return {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2}; }

std::string ProbeText(const EchoCancellerProbe& p) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "tx %d rx %d clean %d nlp %d hang %d pos %d cond %d P %d adapted %d factor %d "
                  "shift %d Ltx %d/%d Lrx %d/%d Lclean %d/%d Lbg %d/%d Lbgn %d/%d",
                  p.tx, p.rx, p.clean, p.cleanNlp, p.hangover, p.position, p.condMet, p.pStates,
                  p.adapted, p.factor, p.shift, p.lTx, p.accTx, p.lRx, p.accRx, p.lClean,
                  p.accClean, p.lCleanBg, p.accCleanBg, p.lBgn, p.accBgn);
    return buf;
}

// ---------------------------------------------------------------------------
// Signals.

// Noise shaped by two formant resonators, with a syllabic envelope that never
// quite closes; scaled to the given RMS.
std::vector<double> SpeechLike(size_t n, uint32_t seed, double rms) {
    std::mt19937 g(seed);
    std::normal_distribution<double> nd(0.0, 1.0);
    std::vector<double> out(n);
    const double r1 = 0.97, w1 = 2 * kPi * 500 / 8000;
    const double r2 = 0.93, w2 = 2 * kPi * 1500 / 8000;
    double a1 = 0, a2 = 0, b1 = 0, b2 = 0;
    const double syll = 2 * kPi * (3.0 + (seed % 7) * 0.2) / 8000;
    for (size_t i = 0; i < n; ++i) {
        const double x = nd(g);
        const double a = x + 2 * r1 * std::cos(w1) * a1 - r1 * r1 * a2;
        a2 = a1;
        a1 = a;
        const double b = x + 2 * r2 * std::cos(w2) * b1 - r2 * r2 * b2;
        b2 = b1;
        b1 = b;
        const double env = 0.25 + 0.75 * (0.5 - 0.5 * std::cos(syll * static_cast<double>(i)));
        out[i] = (a + 0.7 * b) * env;
    }
    double p = 0;
    for (double v : out) p += v * v;
    const double scale = rms / std::sqrt(p / static_cast<double>(n));
    for (double& v : out) v *= scale;
    return out;
}

std::vector<double> WhiteNoise(size_t n, uint32_t seed, double rms) {
    std::mt19937 g(seed);
    std::normal_distribution<double> nd(0.0, rms);
    std::vector<double> out(n);
    for (double& v : out) v = nd(g);
    return out;
}

// ---------------------------------------------------------------------------
// Echo paths: a model impulse response after a pure delay.

struct PathModel {
    std::string name;
    std::vector<double> ir;
};

std::vector<PathModel> PathModels() {
    std::vector<PathModel> models;
#ifdef VAXO_HAVE_SPANDSP
    auto add = [&](const char* name, const int32_t* c, size_t len, double gain) {
        PathModel m{name, {}};
        for (size_t i = 0; i < len; ++i) m.ir.push_back(c[i] * gain);
        models.push_back(m);
    };
#define VAXO_G168(d, D)                                                                   \
    add("G.168 " #d, line_model_##d##_coeffs,                                              \
        sizeof(line_model_##d##_coeffs) / sizeof(line_model_##d##_coeffs[0]), LINE_MODEL_##D##_GAIN)
    VAXO_G168(d2, D2);
    VAXO_G168(d3, D3);
    VAXO_G168(d4, D4);
    VAXO_G168(d5, D5);
    VAXO_G168(d6, D6);
    VAXO_G168(d7, D7);
    VAXO_G168(d8, D8);
    VAXO_G168(d9, D9);
#undef VAXO_G168
#else
    // Without spandsp's header: a hybrid-like decaying oscillation.
    PathModel m{"synthetic hybrid", {}};
    for (int i = 0; i < 64; ++i) m.ir.push_back(std::exp(-i / 8.0) * std::cos(2 * kPi * i * 0.11));
    models.push_back(m);
#endif
    return models;
}

// The echo of tx (A-law decoded, as on the line) through `ir` after `delay`
// samples, scaled so that echo power is `erlDb` below tx power over the signal.
std::vector<double> MakeEcho(const std::vector<int16_t>& txLin, const std::vector<double>& ir,
                             int delay, double erlDb) {
    const size_t n = txLin.size();
    std::vector<double> echo(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        double acc = 0;
        for (size_t k = 0; k < ir.size(); ++k) {
            const long j = static_cast<long>(i) - delay - static_cast<long>(k);
            if (j < 0) break;
            acc += ir[k] * txLin[static_cast<size_t>(j)];
        }
        echo[i] = acc;
    }
    double pt = 0, pe = 0;
    for (size_t i = 0; i < n; ++i) {
        pt += static_cast<double>(txLin[i]) * txLin[i];
        pe += echo[i] * echo[i];
    }
    const double scale = std::sqrt(pt / pe * std::pow(10.0, -erlDb / 10.0));
    for (double& v : echo) v *= scale;
    return echo;
}

std::vector<int16_t> ThroughAlaw(const std::vector<double>& x) {
    std::vector<int16_t> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = media::AlawToLinear(media::LinearToAlaw(Clamp16(x[i])));
    return out;
}

double PowerRatioDb(const std::vector<double>& num, const std::vector<double>& den, size_t from,
                    size_t to) {
    double a = 0, b = 0;
    for (size_t i = from; i < to; ++i) {
        a += num[i] * num[i];
        b += den[i] * den[i];
    }
    if (b <= 0) return 99.0;
    return std::min(99.0, 10 * std::log10(a / b));
}

// One line: what we send (tx), the echo plus near-end signal received (rx),
// both passing through A-law as on the line; the canceller's output goes back
// through A-law. Records the received signal, the output, and the linear
// residual before the non-linear processor.
struct LineRun {
    std::vector<double> rx, out, linear;
};

template <class Ec>
LineRun RunLine(Ec& ec, const std::vector<int16_t>& txLin, const std::vector<double>& rxAnalog) {
    LineRun r;
    const size_t n = txLin.size();
    r.rx.resize(n);
    r.out.resize(n);
    r.linear.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t txByte = media::LinearToAlaw(txLin[i]);
        const uint8_t rxByte = media::LinearToAlaw(Clamp16(rxAnalog[i]));
        const uint8_t outByte = ec.UpdateAlaw(txByte, rxByte);
        r.rx[i] = media::AlawToLinear(rxByte);
        r.out[i] = media::AlawToLinear(outByte);
        r.linear[i] = 2.0 * ec.Probe().clean;
    }
    return r;
}

// ---------------------------------------------------------------------------
// Basic behaviour.

template <class Ec>
void CheckTxZero(Ec& ec) {
    ASSERT_TRUE(ec.Create(256));
    std::mt19937 g(7);
    std::uniform_int_distribution<int> d(-32768, 32767);
    for (int i = 0; i < 20000; ++i) {
        const int16_t rx = static_cast<int16_t>(d(g));
        const int16_t out = ec.Update(0, rx);
        ASSERT_EQ(out, static_cast<int16_t>((rx >> 1) * 2)) << "sample " << i;
        ASSERT_EQ(out, static_cast<int16_t>(rx & ~1));
        const EchoCancellerProbe p = ec.Probe();
        ASSERT_EQ(p.lTx, 0);
        ASSERT_EQ(p.cleanNlp, p.clean);  // never clipped
    }
    for (int set = 0; set < 2; ++set)
        for (int i = 0; i < ec.taps(); ++i) ASSERT_EQ(ec.tapSet(set)[i], 0) << "set " << set << " tap " << i;
}

TEST(EchoCancellerBasics, TxZeroGivesRxWithLowBitClearedAndTapsStayZero) {
    EchoCancellerReference ref;
    CheckTxZero(ref);
    for (Kernel k : AllKernels()) {
        if (!EchoCanceller::KernelSupported(k)) continue;
        SCOPED_TRACE(EchoCanceller::KernelName(k));
        EchoCanceller ec(k);
        CheckTxZero(ec);
    }
}

TEST(EchoCancellerBasics, TapsFromEchoTail) {
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(16), 128);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(20), 160);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(32), 256);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(1), 8);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(128), 1024);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(EchoCanceller::kMaxEchoTailMs), EchoCanceller::kMaxTaps);
    // No canceller: nothing to cancel with, or a tail beyond any line echo.
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(0), 0);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(-1), 0);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(INT32_MIN), 0);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(EchoCanceller::kMaxEchoTailMs + 1), 0);
    EXPECT_EQ(EchoCanceller::TapsForEchoTail(INT32_MAX), 0);

    struct Case { int32_t tail; int taps; int log2; };
    for (const Case& c : {Case{16, 128, 7}, Case{20, 160, 7}, Case{32, 256, 8}, Case{1, 8, 3},
                          Case{64, 512, 9}, Case{100, 800, 9}}) {
        EchoCanceller ec;
        EchoCancellerReference ref;
        ASSERT_TRUE(ec.Create(EchoCanceller::TapsForEchoTail(c.tail)));
        ASSERT_TRUE(ref.Create(EchoCanceller::TapsForEchoTail(c.tail)));
        EXPECT_EQ(ec.taps(), c.taps);
        EXPECT_EQ(ec.log2Taps(), c.log2);
        EXPECT_EQ(ref.taps(), c.taps);
        EXPECT_EQ(ref.log2Taps(), c.log2);
        EXPECT_EQ(ec.Probe().position, c.taps - 1);
        EXPECT_EQ(ref.Probe().position, c.taps - 1);
    }
}

// Near-end speech (L_rx above 64 and above L_tx) holds adaptation off; after
// the last sample that detects it, the next 599 samples still do not adapt and
// the 600th does.
template <class Ec>
void CheckDoubleTalkHangover(Ec& ec) {
    const int n = 128;
    ASSERT_TRUE(ec.Create(n));
    std::mt19937 g(11);
    std::uniform_int_distribution<int> far(-1000, 1000);
    std::uniform_int_distribution<int> near(-12000, 12000);
    std::vector<int16_t> tx;
    const int total = 6000;
    for (int i = 0; i < total; ++i) tx.push_back(static_cast<int16_t>(far(g)));
    auto echoAt = [&](int i) { return i >= 10 ? tx[static_cast<size_t>(i - 10)] / 4 : 0; };

    std::vector<int16_t> before(static_cast<size_t>(n));
    int lastDetect = -1;
    int firstAdaptAfter = -1;
    bool adaptedDuringSpeech = false;
    for (int i = 0; i < total; ++i) {
        const bool speech = i >= 2000 && i < 4000;
        const int rx = echoAt(i) + (speech ? near(g) : 0);
        std::memcpy(before.data(), ec.tapSet(1), before.size() * sizeof(int16_t));
        const int hangBefore = ec.Probe().hangover;
        ec.Update(tx[static_cast<size_t>(i)], Clamp16(rx));
        const EchoCancellerProbe p = ec.Probe();
        const bool tapsChanged = std::memcmp(before.data(), ec.tapSet(1), before.size() * sizeof(int16_t)) != 0;
        // Adaptation runs exactly when the counter was 0 at the step.
        if (hangBefore != 0) {
            ASSERT_EQ(p.shift, 0) << "sample " << i;
            ASSERT_FALSE(tapsChanged) << "sample " << i;
        }
        if (p.hangover == EchoCanceller::kDoubleTalkHangover - 1) lastDetect = i;
        if (speech && i > 2100 && tapsChanged) adaptedDuringSpeech = true;
        if (i >= 4000 && lastDetect >= 0 && firstAdaptAfter < 0 && i > lastDetect && tapsChanged)
            firstAdaptAfter = i;
    }
    ASSERT_GE(lastDetect, 4000) << "near-end speech never detected, or its end not seen";
    EXPECT_LT(lastDetect, 4400);
    EXPECT_FALSE(adaptedDuringSpeech);
    EXPECT_EQ(firstAdaptAfter - lastDetect, 600)
        << "last detection at " << lastDetect << ", first adaptation at " << firstAdaptAfter;
}

TEST(EchoCancellerBasics, NearEndSpeechStopsAdaptationFor600Samples) {
    {
        SCOPED_TRACE("reference");
        EchoCancellerReference ref;
        CheckDoubleTalkHangover(ref);
    }
    EchoCanceller ec;
    SCOPED_TRACE(EchoCanceller::KernelName(ec.kernel()));
    CheckDoubleTalkHangover(ec);
}

TEST(EchoCancellerBasics, UpdateAlawIsUpdateBetweenCodecs) {
    EchoCanceller a, b;
    ASSERT_TRUE(a.Create(256));
    ASSERT_TRUE(b.Create(256));
    std::mt19937 g(3);
    for (int i = 0; i < 8000; ++i) {
        const uint8_t t = static_cast<uint8_t>(g()), r = static_cast<uint8_t>(g());
        ASSERT_EQ(a.UpdateAlaw(t, r),
                  media::LinearToAlaw(b.Update(media::AlawToLinear(t), media::AlawToLinear(r))));
    }
}

// ---------------------------------------------------------------------------
// Lifecycle and failure handling.

TEST(EchoCancellerLifecycle, UncreatedCancellerPassesAudioUnchanged) {
    EchoCanceller ec;
    EchoCancellerReference ref;
    EXPECT_FALSE(ec.created());
    EXPECT_EQ(ec.taps(), 0);
    EXPECT_EQ(ec.tapSet(0), nullptr);
    for (int v = -32768; v <= 32767; v += 7) {
        EXPECT_EQ(ec.Update(1234, static_cast<int16_t>(v)), v);
        EXPECT_EQ(ref.Update(1234, static_cast<int16_t>(v)), v);
    }
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(ec.UpdateAlaw(0x2A, static_cast<uint8_t>(b)), b);
        EXPECT_EQ(ref.UpdateAlaw(0x2A, static_cast<uint8_t>(b)), b);
    }
    ec.Destroy();  // harmless when not created
    ec.Destroy();
}

TEST(EchoCancellerLifecycle, BadTapCountsAreRefused) {
    for (int taps : {0, -1, INT_MIN, EchoCanceller::kMaxTaps + 1, INT_MAX}) {
        EchoCanceller ec;
        EchoCancellerReference ref;
        EXPECT_FALSE(ec.Create(taps)) << taps;
        EXPECT_FALSE(ref.Create(taps)) << taps;
        EXPECT_FALSE(ec.created());
        EXPECT_FALSE(ref.created());
        EXPECT_EQ(ec.Update(100, 555), 555);
    }
    EchoCanceller one;
    ASSERT_TRUE(one.Create(1));  // the smallest: log2 N = 0
    EXPECT_EQ(one.log2Taps(), 0);
    one.Update(1000, 1000);
}

TEST(EchoCancellerLifecycle, AllocationFailureLeavesNothingCreated) {
    EchoCanceller ec;
    ASSERT_TRUE(ec.Create(256));
    for (int i = 0; i < 100; ++i) ec.Update(static_cast<int16_t>(i * 100), static_cast<int16_t>(i * 30));
    ec.SetAllocationLimitForTest(0);
    EXPECT_FALSE(ec.Create(256));  // the old state is destroyed first
    EXPECT_FALSE(ec.created());
    EXPECT_EQ(ec.taps(), 0);
    EXPECT_EQ(ec.tapSet(0), nullptr);
    EXPECT_EQ(ec.tapSet(1), nullptr);
    EXPECT_EQ(ec.Update(100, -777), -777);
    EXPECT_EQ(ec.UpdateAlaw(0xD5, 0x13), 0x13);
    ec.SetAllocationLimitForTest(-1);
    EXPECT_TRUE(ec.Create(256));
    EXPECT_TRUE(ec.created());

    // The reference allocates four arrays; failing any one frees the others
    // (the sanitizer build would report a leak).
    for (int allowed = 0; allowed < 4; ++allowed) {
        EchoCancellerReference ref;
        ref.SetAllocationLimitForTest(allowed);
        EXPECT_FALSE(ref.Create(256)) << allowed;
        EXPECT_FALSE(ref.created());
        EXPECT_EQ(ref.Update(1, 2), 2);
    }
    EchoCancellerReference ref;
    ref.SetAllocationLimitForTest(4);
    EXPECT_TRUE(ref.Create(256));
}

TEST(EchoCancellerLifecycle, CreateAgainStartsFromScratch) {
    const auto tx = ThroughAlaw(SpeechLike(4000, 5, 3000));
    EchoCanceller used, fresh;
    ASSERT_TRUE(used.Create(128));
    for (size_t i = 0; i < tx.size(); ++i) used.Update(tx[i], static_cast<int16_t>(tx[i] / 3));
    ASSERT_TRUE(used.Create(256));
    ASSERT_TRUE(fresh.Create(256));
    EXPECT_EQ(used.Probe(), fresh.Probe());
    for (size_t i = 0; i < tx.size(); ++i) {
        const int16_t rx = static_cast<int16_t>(i >= 20 ? tx[i - 20] / 2 : 0);
        ASSERT_EQ(used.Update(tx[i], rx), fresh.Update(tx[i], rx)) << i;
    }
    EXPECT_EQ(used.Probe(), fresh.Probe());
}

// ---------------------------------------------------------------------------
// The FIR pass kernels against a 64-bit model of the wraparound arithmetic.

TEST(EchoCancellerKernels, MatchWraparoundModel) {
    using namespace media::ec_kernels;
    std::mt19937 g(99);
    std::uniform_int_distribution<int> s16(-32768, 32767);
    auto extreme = [&]() -> int16_t {
        switch (g() % 6) {
            case 0: return -32768;
            case 1: return 32767;
            case 2: return -16384;
            default: return static_cast<int16_t>(s16(g));
        }
    };
    struct K { Kernel kernel; StepFn step; };
    std::vector<K> kernels{{Kernel::kScalar, StepScalar}};
#if VAXO_EC_X86
    kernels.push_back({Kernel::kSse2, StepSse2});
    if (EchoCanceller::KernelSupported(Kernel::kAvx2)) kernels.push_back({Kernel::kAvx2, StepAvx2});
#endif
    const int32_t factors[] = {0, 1, -1, 16383, 16384, -16384, 32767, -32768, 32768, -32769, 65535,
                               65536, -65536, 0x7FFFFFFF, INT32_MIN, 0x12345678, -0x12345678};
    const int nf = static_cast<int>(sizeof factors / sizeof factors[0]);
    int overflowedSums = 0;
    for (int round = 0; round < 4000; ++round) {
        const int n = 1 + static_cast<int>(g() % 300);
        const size_t un = static_cast<size_t>(n);
        std::vector<int16_t> c0(un), c1(un), hist(2 * un + 2), other(un);
        for (auto* v : {&c0, &c1, &hist, &other})
            for (auto& e : *v) e = extreme();
        const int16_t x = extreme();
        // The canceller's case: the previous window one sample above the
        // current one; also an unrelated window.
        const int16_t* hCur = hist.data() + 1;
        const int16_t* hPrev = (round & 1) ? hist.data() + 2 : other.data();
        // Fixed factors, then random ones: full 32-bit, and 16-bit (the usual).
        const int32_t factor = round < nf * 20 ? factors[round % nf]
                               : (round & 2)   ? static_cast<int32_t>(g())
                                               : static_cast<int16_t>(g());
        const bool copy = (g() % 3) == 0;

        std::vector<int16_t> e0(c0), e1(c1);
        if (factor != 0) {
            for (size_t i = 0; i < un; ++i) {
                const uint32_t prod = static_cast<uint32_t>(int64_t{hPrev[i]} * factor + 16384);
                const int32_t v = static_cast<int32_t>(prod) >> 15;
                e1[i] = static_cast<int16_t>(static_cast<uint16_t>(e1[i] + v));
            }
        }
        if (copy) e0 = e1;
        int64_t s0 = 0, s1 = 0;
        for (size_t i = 0; i < un; ++i) {
            const int64_t w = i == 0 ? x : hCur[i];
            s0 += e0[i] * w;
            s1 += e1[i] * w;
        }
        if (s0 != static_cast<int32_t>(static_cast<uint32_t>(s0))) ++overflowedSums;
        const int32_t w0 = static_cast<int32_t>(static_cast<uint32_t>(s0));
        const int32_t w1 = static_cast<int32_t>(static_cast<uint32_t>(s1));

        for (const K& k : kernels) {
            std::vector<int16_t> a0(c0), a1(c1);
            int32_t y0 = 0, y1 = 0;
            k.step(a0.data(), a1.data(), hPrev, hCur, x, n, factor, copy, &y0, &y1);
            const std::string what = std::string(EchoCanceller::KernelName(k.kernel)) + " n " + std::to_string(n) +
                                     " factor " + std::to_string(factor) + " copy " + std::to_string(copy);
            ASSERT_EQ(y0, w0) << what;
            ASSERT_EQ(y1, w1) << what;
            ASSERT_EQ(a0, e0) << what;
            ASSERT_EQ(a1, e1) << what;
        }
    }
    EXPECT_GT(overflowedSums, 100);  // the wraparound was exercised
}

// ---------------------------------------------------------------------------
// Bit identity of the vectorised canceller with the reference.

struct Inputs {
    std::vector<int16_t> tx, rx;
};

// Independent full-scale noise in both directions.
Inputs RandomInputs(size_t n, uint32_t seed) {
    Inputs in;
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> d(-32768, 32767);
    for (size_t i = 0; i < n; ++i) {
        in.tx.push_back(static_cast<int16_t>(d(g)));
        in.rx.push_back(static_cast<int16_t>(d(g)));
    }
    return in;
}

// A mixture that visits every branch: echo of loud noise (adaptation and
// transfers, with sums that overflow), an echo stronger than its source (taps
// that grow and wrap), near-end bursts (double talk), silence (the noise
// tracker), a tone, and full-scale extremes.
Inputs MixedInputs(size_t n, uint32_t seed) {
    Inputs in;
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> full(-32768, 32767);
    std::normal_distribution<double> nd(0.0, 1.0);
    const auto speech = SpeechLike(n, seed + 1, 4000);
    const int delay = 5 + static_cast<int>(g() % 60);
    const double gain = 0.2 + (g() % 100) / 100.0;
    for (size_t i = 0; i < n; ++i) {
        const size_t seg = (i / 700 + seed) % 7;
        int16_t t;
        switch (seg) {
            case 0: t = static_cast<int16_t>(full(g)); break;
            case 1: t = Clamp16(speech[i]); break;
            case 2: t = Clamp16(12000 * std::sin(2 * kPi * 1004 * static_cast<double>(i) / 8000)); break;
            case 3: t = (i & 1) ? int16_t{-32768} : int16_t{32767}; break;
            case 4: t = Clamp16(nd(g) * 3); break;  // near silence
            default: t = Clamp16(speech[i] * 2); break;
        }
        in.tx.push_back(t);
    }
    for (size_t i = 0; i < n; ++i) {
        double e = i >= static_cast<size_t>(delay) ? in.tx[i - static_cast<size_t>(delay)] : 0.0;
        const size_t seg = (i / 700 + seed) % 7;
        if (seg == 5) e *= -3.0;  // echo louder than its source
        else e *= gain;
        double near = nd(g) * 4;
        if ((i / 450) % 5 == 3) near += nd(g) * 9000;  // double talk
        in.rx.push_back(Clamp16(e + near));
    }
    return in;
}

// Drives the FIR sums past 32 bits: taps trained on a long path of small
// random-sign coefficients (sum of magnitudes ~6, yet an echo quieter than its
// source, so no double talk), then full-scale far-end bursts whose signs line
// up with the taps, between stretches of noise that keep the training going.
Inputs OverloadInputs(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> full(-32768, 32767);
    std::normal_distribution<double> nd(0.0, 1.0);
    const int len = 64, delay = 3;
    std::vector<double> path(static_cast<size_t>(len));
    for (double& a : path) a = (g() & 1) ? 0.1 : -0.1;
    Inputs in;
    for (size_t i = 0; i < n; ++i) {
        const size_t phase = i % 1000;
        if (i >= 8000 && phase >= 900 && phase < 900 + static_cast<size_t>(len) + delay) {
            // Aligned: tx[m - delay - k] = sign(a_k) for m = the end of the burst.
            const long k = static_cast<long>(900 + len + delay - 1 - phase) - delay;
            const double a = (k >= 0 && k < len) ? path[static_cast<size_t>(k)] : 1.0;
            in.tx.push_back(a > 0 ? int16_t{32767} : int16_t{-32768});
        } else {
            in.tx.push_back(static_cast<int16_t>(full(g)));
        }
    }
    for (size_t i = 0; i < n; ++i) {
        double e = nd(g) * 4;
        for (int k = 0; k < len; ++k) {
            const long j = static_cast<long>(i) - delay - k;
            if (j >= 0) e += path[static_cast<size_t>(k)] * in.tx[static_cast<size_t>(j)];
        }
        in.rx.push_back(Clamp16(e));
    }
    return in;
}

// Far end through a G.168 model (or the built-in one), as a real line.
Inputs EchoPathInputs(size_t n, uint32_t seed, bool tone) {
    std::vector<double> src;
    if (tone) {
        for (size_t i = 0; i < n; ++i)
            src.push_back(6000 * std::sin(2 * kPi * 697 * static_cast<double>(i) / 8000) +
                          6000 * std::sin(2 * kPi * 1209 * static_cast<double>(i) / 8000));
    } else {
        src = SpeechLike(n, seed, 3000);
    }
    const auto models = PathModels();
    const auto& model = models[seed % models.size()];
    Inputs in;
    in.tx = ThroughAlaw(src);
    const auto echo = MakeEcho(in.tx, model.ir, 40, 6.0);
    std::vector<double> rx(n);
    for (size_t i = 0; i < n; ++i) rx[i] = echo[i];
    in.rx = ThroughAlaw(rx);
    return in;
}

struct Stats {
    long transfers = 0;
    long adaptations = 0;
    long hangoverSamples = 0;
    long clipped = 0;
};

// Runs the reference and a fast canceller side by side; fails at the first
// sample where output or state differ (taps compared every `tapEvery`).
void ExpectIdentical(Kernel kernel, int taps, const Inputs& in, Stats* stats, int tapEvery = 61) {
    EchoCancellerReference ref;
    EchoCanceller fast(kernel);
    ASSERT_EQ(fast.kernel(), kernel);
    ASSERT_TRUE(ref.Create(taps));
    ASSERT_TRUE(fast.Create(taps));
    const size_t tapBytes = static_cast<size_t>(taps) * sizeof(int16_t);
    for (size_t i = 0; i < in.tx.size(); ++i) {
        const int16_t a = ref.Update(in.tx[i], in.rx[i]);
        const int16_t b = fast.Update(in.tx[i], in.rx[i]);
        const EchoCancellerProbe pa = ref.Probe(), pb = fast.Probe();
        ASSERT_EQ(a, b) << "taps " << taps << " sample " << i;
        ASSERT_EQ(pa, pb) << "taps " << taps << " sample " << i << "\n ref  " << ProbeText(pa)
                          << "\n fast " << ProbeText(pb);
        if (i % static_cast<size_t>(tapEvery) == 0 || i + 1 == in.tx.size()) {
            ASSERT_EQ(std::memcmp(ref.tapSet(0), fast.tapSet(0), tapBytes), 0) << "fg taps, taps " << taps << " sample " << i;
            ASSERT_EQ(std::memcmp(ref.tapSet(1), fast.tapSet(1), tapBytes), 0) << "bg taps, taps " << taps << " sample " << i;
        }
        if (stats) {
            stats->transfers += pa.adapted;
            stats->adaptations += pa.shift != 0 || pa.factor != 0;
            stats->hangoverSamples += pa.hangover != 0;
            stats->clipped += pa.cleanNlp != pa.clean;
        }
    }
}

class EchoCancellerIdentity : public ::testing::TestWithParam<Kernel> {
protected:
    void SetUp() override {
        if (!EchoCanceller::KernelSupported(GetParam())) GTEST_SKIP() << "CPU lacks this kernel";
    }
};

TEST_P(EchoCancellerIdentity, LongRandom) {
    ExpectIdentical(GetParam(), 256, RandomInputs(60000, 1), nullptr);
    ExpectIdentical(GetParam(), 160, RandomInputs(20000, 2), nullptr);
}

TEST_P(EchoCancellerIdentity, LongMixed) {
    Stats st;
    ExpectIdentical(GetParam(), 256, MixedInputs(120000, 3), &st);
    std::printf("[ stats    ] mixed 256 taps: %ld transfers, %ld adapting samples, %ld in hangover, %ld clipped\n",
                st.transfers, st.adaptations, st.hangoverSamples, st.clipped);
    EXPECT_GT(st.transfers, 100);
    EXPECT_GT(st.adaptations, 1000);
    EXPECT_GT(st.hangoverSamples, 1000);
    EXPECT_GT(st.clipped, 100);
}

TEST_P(EchoCancellerIdentity, FirSumsBeyond32Bits) {
    ExpectIdentical(GetParam(), 256, OverloadInputs(40000, 6), nullptr);
    ExpectIdentical(GetParam(), 72, OverloadInputs(20000, 7), nullptr);
}

TEST_P(EchoCancellerIdentity, ToneThroughEchoPath) {
    ExpectIdentical(GetParam(), 256, EchoPathInputs(40000, 4, true), nullptr);
}

TEST_P(EchoCancellerIdentity, SpeechThroughEchoPath) {
    Stats st;
    ExpectIdentical(GetParam(), 256, EchoPathInputs(40000, 5, false), &st);
    EXPECT_GT(st.transfers, 100);
}

TEST_P(EchoCancellerIdentity, EveryTailLength1To128Ms) {
    Stats st;
    for (int32_t tail = 1; tail <= 128; ++tail) {
        const int taps = EchoCanceller::TapsForEchoTail(tail);
        ExpectIdentical(GetParam(), taps, MixedInputs(2000, static_cast<uint32_t>(100 + tail)), &st, 97);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(st.transfers, 1000);
}

TEST_P(EchoCancellerIdentity, OddTapCounts) {
    std::vector<int> counts;
    for (int t = 1; t <= 40; ++t) counts.push_back(t);
    for (int t : {47, 63, 65, 127, 129, 255, 257, 1000, 1023, 1025}) counts.push_back(t);
    for (int taps : counts) {
        ExpectIdentical(GetParam(), taps, MixedInputs(1500, static_cast<uint32_t>(taps)), nullptr, 13);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EchoCancellerIdentity,
                         ::testing::Values(Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2),
                         [](const ::testing::TestParamInfo<Kernel>& info) {
                             return std::string(EchoCanceller::KernelName(info.param));
                         });

// ---------------------------------------------------------------------------
// Quality: echo return loss enhancement on the G.168 echo paths.
//
// ERLE = received power / output power over a window, after 1 s to converge.
// "linear" is the residual before the non-linear processor, "out" what goes
// back on the line (after NLP and A-law). Two far-end signals: white noise
// (the usual G.168 convergence signal) and speech-like noise (two formants,
// syllabic envelope), which converges far more slowly with NLMS. Bounds are
// generous: a canceller that does not cancel shows about 0 dB.

enum class Far { kNoise, kSpeech };

std::vector<int16_t> FarEnd(Far f, size_t n, uint32_t seed) {
    return ThroughAlaw(f == Far::kNoise ? WhiteNoise(n, seed, 3000) : SpeechLike(n, seed, 3000));
}

struct Erle {
    double erl, linear, out;
};

Erle MeasureErle(Far far, const PathModel& model, double erlDb, int delay, int taps, uint32_t seed) {
    const size_t n = 16000;
    const auto tx = FarEnd(far, n, seed);
    const auto echo = MakeEcho(tx, model.ir, delay, erlDb);
    const auto noise = WhiteNoise(n, seed + 77, 4.0);  // quiet near-end line noise
    std::vector<double> rx(n);
    for (size_t i = 0; i < n; ++i) rx[i] = echo[i] + noise[i];
    EchoCanceller ec;
    EXPECT_TRUE(ec.Create(taps));
    const LineRun run = RunLine(ec, tx, rx);
    std::vector<double> txd(tx.begin(), tx.end());
    Erle e;
    e.erl = PowerRatioDb(txd, run.rx, 8000, n);
    e.linear = PowerRatioDb(run.rx, run.linear, 8000, n);
    e.out = PowerRatioDb(run.rx, run.out, 8000, n);
    return e;
}

TEST(EchoCancellerQuality, ErleOnG168EchoPaths) {
    const auto models = PathModels();
    std::printf("[ quality  ] ERLE in dB over 1-2 s (after 1 s to converge); linear = before NLP, out = on the line\n");
    std::printf("[ quality  ] %-16s %5s %6s %4s %6s | %13s | %13s\n", "model", "taps", "delay", "ERL", "ERL(m)",
                "noise lin/out", "speech lin/out");
    struct Sum { double worstLin = 1e9, worstOut = 1e9, sumLin = 0, sumOut = 0; } sums[2];
    int count = 0;
    uint32_t seed = 20;
    for (const auto& model : models) {
        for (double erl : {6.0, 12.0}) {
            for (int delayMs : {2, 12, 24}) {
                const int delay = delayMs * 8;
                // 32 ms (the default) when the whole path fits, else 64 ms.
                const int taps = delay + static_cast<int>(model.ir.size()) <= 256 ? 256 : 512;
                const Erle en = MeasureErle(Far::kNoise, model, erl, delay, taps, seed);
                const Erle es = MeasureErle(Far::kSpeech, model, erl, delay, taps, seed);
                ++seed;
                std::printf("[ quality  ] %-16s %5d %3d ms %4.0f %6.1f | %6.1f %6.1f | %6.1f %6.1f\n",
                            model.name.c_str(), taps, delayMs, erl, en.erl, en.linear, en.out, es.linear, es.out);
                int k = 0;
                for (const Erle* e : {&en, &es}) {
                    sums[k].worstLin = std::min(sums[k].worstLin, e->linear);
                    sums[k].worstOut = std::min(sums[k].worstOut, e->out);
                    sums[k].sumLin += e->linear;
                    sums[k].sumOut += e->out;
                    ++k;
                }
                ++count;
                const std::string what = model.name + " ERL " + std::to_string(erl) + " delay " + std::to_string(delayMs);
                EXPECT_GT(en.linear, 25.0) << "noise, " << what;
                EXPECT_GT(en.out, 25.0) << "noise, " << what;
                EXPECT_GT(es.linear, 6.0) << "speech, " << what;
                EXPECT_GT(es.out, 6.0) << "speech, " << what;
            }
        }
    }
    const char* names[2] = {"noise", "speech-like"};
    for (int k = 0; k < 2; ++k)
        std::printf("[ quality  ] %-11s %d cases: linear ERLE mean %.1f dB, worst %.1f dB; on the line mean %.1f dB, worst %.1f dB\n",
                    names[k], count, sums[k].sumLin / count, sums[k].worstLin, sums[k].sumOut / count, sums[k].worstOut);
}

TEST(EchoCancellerQuality, RecoversAfterAbruptPathChange) {
    const auto models = PathModels();
    const PathModel& a = models.front();
    const PathModel& b = models[models.size() / 2];
    const size_t change = 8000, n = 8000 + 16000;
    struct W { const char* name; size_t from, to; };
    const W windows[] = {{"last 0.5 s before", change - 4000, change},
                         {"0-100 ms after", change, change + 800},
                         {"100-250 ms after", change + 800, change + 2000},
                         {"250-500 ms after", change + 2000, change + 4000},
                         {"0.5-1 s after", change + 4000, change + 8000},
                         {"1-2 s after", change + 8000, n}};
    std::printf("[ quality  ] path change at 1 s: %s (8 ms, ERL 6 dB) -> %s (16 ms, ERL 10 dB), 256 taps\n",
                a.name.c_str(), b.name.c_str());
    std::printf("[ quality  ]   %-18s | %13s | %13s\n", "ERLE (dB)", "noise lin/out", "speech lin/out");
    double linear[2][6], out[2][6];
    for (int k = 0; k < 2; ++k) {
        const auto tx = FarEnd(k == 0 ? Far::kNoise : Far::kSpeech, n, 31);
        const auto echoA = MakeEcho(tx, a.ir, 64, 6.0);
        const auto echoB = MakeEcho(tx, b.ir, 128, 10.0);
        const auto noise = WhiteNoise(n, 32, 4.0);
        std::vector<double> rx(n);
        for (size_t i = 0; i < n; ++i) rx[i] = (i < change ? echoA[i] : echoB[i]) + noise[i];
        EchoCanceller ec;
        ASSERT_TRUE(ec.Create(256));
        const LineRun run = RunLine(ec, tx, rx);
        for (int w = 0; w < 6; ++w) {
            linear[k][w] = PowerRatioDb(run.rx, run.linear, windows[w].from, windows[w].to);
            out[k][w] = PowerRatioDb(run.rx, run.out, windows[w].from, windows[w].to);
        }
    }
    for (int w = 0; w < 6; ++w)
        std::printf("[ quality  ]   %-18s | %6.1f %6.1f | %6.1f %6.1f\n", windows[w].name, linear[0][w], out[0][w],
                    linear[1][w], out[1][w]);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(k == 0 ? "noise" : "speech-like");
        EXPECT_LT(linear[k][1], linear[k][0] - 6.0);  // the change is seen
    }
    EXPECT_GT(linear[0][0], 25.0);
    EXPECT_GT(linear[0][4], 25.0);  // noise: recovered within a second
    EXPECT_GT(linear[0][5], 25.0);  // and recovered
    EXPECT_GT(linear[1][0], 8.0);
    EXPECT_GT(linear[1][5], 8.0);   // speech-like: recovered, more slowly
    EXPECT_GT(out[1][5], 8.0);
}

}  // namespace
