// DTMF detector: digits, durations, debounce, level floor, twist, peaks,
// buffer limits, a Q.24-style acceptance sweep and talk-off on speech.
#include "media/dtmf_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/wait.h"
#include "media/g711.h"

namespace {

using media::CDtmfDecode;

constexpr double kRate = 8000.0;         // samples per second
constexpr int kSamplesPerMs = 8;
constexpr size_t kTickBytes = 160;       // what the media tick thread feeds
constexpr double kZeroDbm0Peak = 22827;  // 0 dBm0 sine peak: overload (+3.14 dBm0) at 32768
constexpr double kPi = 3.14159265358979323846;
constexpr char kDigits[] = "123A456B789C*0#D";
constexpr double kRowHz[] = {697, 770, 852, 941};
constexpr double kColHz[] = {1209, 1336, 1477, 1633};

struct Pair {
    double rowHz, colHz;
    double rowAmp, colAmp;
    double extraHz = 0, extraAmp = 0;  // an interfering third tone
};

Pair DigitPair(char digit, double rowAmp = 2000, double colAmp = 2000) {
    int i = static_cast<int>(std::string(kDigits).find(digit));
    return {kRowHz[i / 4], kColHz[i % 4], rowAmp, colAmp};
}

// Linear samples built up piece by piece; the tone phase runs on across
// silences so a gap is a clean interruption.
class Signal {
public:
    Signal& Silence(int ms) { return Samples(ms * kSamplesPerMs, nullptr); }
    Signal& Tone(const Pair& p, int ms) { return Samples(ms * kSamplesPerMs, &p); }
    Signal& Samples(int n, const Pair* p) {
        for (int i = 0; i < n; ++i, ++t_) {
            double v = 0;
            if (p) {
                v = p->rowAmp * std::sin(2 * kPi * p->rowHz * t_ / kRate) +
                    p->colAmp * std::sin(2 * kPi * p->colHz * t_ / kRate) +
                    p->extraAmp * std::sin(2 * kPi * p->extraHz * t_ / kRate);
            }
            pcm_.push_back(static_cast<int16_t>(std::lround(std::fmax(-32768, std::fmin(32767, v)))));
        }
        return *this;
    }
    std::vector<uint8_t> Alaw() const {
        std::vector<uint8_t> out;
        for (int16_t x : pcm_) out.push_back(media::LinearToAlaw(x));
        return out;
    }

private:
    std::vector<int16_t> pcm_;
    long t_ = 0;
};

// Feeds A-law in tick-sized blocks and collects digits after each, as the
// media tick thread does.
std::string Detect(CDtmfDecode& d, const std::vector<uint8_t>& alaw) {
    std::string found;
    for (size_t i = 0; i < alaw.size(); i += kTickBytes) {
        d.AddBlock(alaw.data() + i, std::min(kTickBytes, alaw.size() - i));
        char c = 0;
        while (d.TakeDigit(&c) == 1 && c != 0) found += c;
    }
    return found;
}

std::string Detect(const std::vector<uint8_t>& alaw) {
    CDtmfDecode d;
    return Detect(d, alaw);
}

// The thresholds every detector gets from an INI file without a [Dtmf] section.
void Configured(CDtmfDecode& d) { d.SetThresholds(7.0f, 7.0f, 6.3f, 6.3f, 40.0f); }

std::string DetectConfigured(const std::vector<uint8_t>& alaw) {
    CDtmfDecode d;
    Configured(d);
    return Detect(d, alaw);
}

// One burst of the given length after `offset` samples of silence.
std::vector<uint8_t> Burst(const Pair& p, int toneMs, int offset) {
    Signal s;
    s.Samples(offset, nullptr).Tone(p, toneMs).Silence(60);
    return s.Alaw();
}

double Dbm0(double level) { return kZeroDbm0Peak * std::pow(10.0, level / 20); }

TEST(DtmfDecode, AllSixteenDigitsThroughAlaw) {
    Signal s;
    s.Silence(30);
    for (const char* d = kDigits; *d; ++d) s.Tone(DigitPair(*d), 60).Silence(60);
    EXPECT_EQ(Detect(s.Alaw()), kDigits);
    EXPECT_EQ(DetectConfigured(s.Alaw()), kDigits);
}

TEST(DtmfDecode, DurationAtEveryBlockPhase) {
    const Pair five = DigitPair('5');
    for (int offset = 0; offset < static_cast<int>(CDtmfDecode::kBlockSamples); ++offset) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        EXPECT_EQ(Detect(Burst(five, 40, offset)), "5");
        EXPECT_EQ(Detect(Burst(five, 35, offset)), "5");
        EXPECT_EQ(Detect(Burst(five, 20, offset)), "");
    }
}

TEST(DtmfDecode, ShortGapBridgedLongGapSplits) {
    const Pair five = DigitPair('5');
    for (int offset = 0; offset < static_cast<int>(CDtmfDecode::kBlockSamples); offset += 3) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        Signal bridged, split;
        bridged.Samples(offset, nullptr).Tone(five, 60).Silence(3).Tone(five, 60).Silence(60);
        split.Samples(offset, nullptr).Tone(five, 60).Silence(40).Tone(five, 60).Silence(60);
        EXPECT_EQ(Detect(bridged.Alaw()), "5");
        EXPECT_EQ(Detect(split.Alaw()), "55");
    }
}

TEST(DtmfDecode, DigitChangingEveryBlockGivesNothing) {
    const int block = static_cast<int>(CDtmfDecode::kBlockSamples);
    const Pair five = DigitPair('5'), six = DigitPair('6'), nine = DigitPair('9');
    Signal s;
    s.Samples(block, &five).Samples(block, &six).Samples(block, &nine).Silence(60);
    EXPECT_EQ(Detect(s.Alaw()), "");
    // Once reported, a digit is not reported again across a one-block dropout.
    Signal t;
    t.Samples(3 * block, &five).Samples(block, nullptr).Samples(3 * block, &five).Silence(60);
    EXPECT_EQ(Detect(t.Alaw()), "5");
}

TEST(DtmfDecode, PowerFloor) {
    for (int offset : {0, 51}) {
        EXPECT_EQ(Detect(Burst(DigitPair('5', 200, 200), 60, offset)), "5");
        EXPECT_EQ(Detect(Burst(DigitPair('5', 150, 150), 60, offset)), "");
    }
}

TEST(DtmfDecode, TwistLimits) {
    const double base = 2000;
    auto rowHigh = [&](double powerRatio) {
        return DetectConfigured(Burst(DigitPair('5', base * std::sqrt(powerRatio), base), 60, 0));
    };
    auto colHigh = [&](double powerRatio) {
        return DetectConfigured(Burst(DigitPair('5', base, base * std::sqrt(powerRatio)), 60, 0));
    };
    EXPECT_EQ(rowHigh(6), "5");
    EXPECT_EQ(rowHigh(8), "");
    EXPECT_EQ(colHigh(6), "5");
    EXPECT_EQ(colHigh(8), "");
    // The constructor's reverse twist (2.5) is tighter.
    EXPECT_EQ(Detect(Burst(DigitPair('5', base, base * std::sqrt(2.0)), 60, 0)), "5");
    EXPECT_EQ(Detect(Burst(DigitPair('5', base, base * std::sqrt(3.0)), 60, 0)), "");
}

TEST(DtmfDecode, ThirdToneAgainstPeakLimits) {
    // A second column (or row) tone within a power ratio of 6.3 of the
    // digit's own tone rejects the block; a weaker one does not.
    for (double extraHz : {1477.0, 941.0}) {
        SCOPED_TRACE(extraHz);
        Pair p = DigitPair('5');
        p.extraHz = extraHz;
        p.extraAmp = 2000 / std::sqrt(10.0);
        EXPECT_EQ(Detect(Burst(p, 60, 0)), "5");
        p.extraAmp = 2000 / std::sqrt(4.0);
        EXPECT_EQ(Detect(Burst(p, 60, 0)), "");
    }
}

TEST(DtmfDecode, SingleToneAndSingleGroupRejected) {
    for (double amp : {2000.0, 12000.0}) {
        EXPECT_EQ(Detect(Burst({1000, 1000, amp / 2, amp / 2}, 200, 0)), "");
        EXPECT_EQ(Detect(Burst({770, 1336, amp, 0}, 200, 0)), "");  // row tone alone
        EXPECT_EQ(Detect(Burst({697, 770, amp, amp}, 200, 0)), "");  // two rows
    }
}

TEST(DtmfDecode, AddSampleAndOddSizedBlocksAgree) {
    Signal s;
    for (char d : std::string("159D*#0")) s.Tone(DigitPair(d), 45).Silence(37);
    const std::vector<uint8_t> alaw = s.Alaw();
    CDtmfDecode bySample, byPieces;
    for (uint8_t b : alaw) bySample.AddSample(media::AlawToLinear(b));
    const size_t sizes[] = {1, 7, 160, 101, 102, 333};
    for (size_t i = 0, k = 0; i < alaw.size(); ++k) {
        size_t n = std::min(sizes[k % 6], alaw.size() - i);
        byPieces.AddBlock(alaw.data() + i, n);
        i += n;
    }
    byPieces.AddBlock(nullptr, 160);
    std::string a, b;
    for (char c; bySample.TakeDigit(&c);) a += c;
    for (char c; byPieces.TakeDigit(&c);) b += c;
    EXPECT_EQ(a, "159D*#0");
    EXPECT_EQ(b, a);
}

TEST(DtmfDecode, BufferHolds128AndCountsDrops) {
    Signal s;
    std::string sent;
    for (int i = 0; i < 130; ++i) {
        char d = kDigits[i % 16];
        sent += d;
        s.Tone(DigitPair(d), 40).Silence(40);
    }
    CDtmfDecode d;
    const std::vector<uint8_t> alaw = s.Alaw();
    d.AddBlock(alaw.data(), alaw.size());
    EXPECT_EQ(d.PendingDigits(), 128u);
    EXPECT_EQ(d.Overflows(), 2u);
    EXPECT_EQ(d.TakeDigit(nullptr), 0);
    std::string got;
    for (char c; d.TakeDigit(&c);) got += c;
    EXPECT_EQ(got, sent.substr(0, 128));
    char untouched = 'x';
    EXPECT_EQ(d.TakeDigit(&untouched), 0);
    EXPECT_EQ(untouched, 'x');

    d.AddBlock(alaw.data(), alaw.size());
    d.Reset();
    EXPECT_EQ(d.PendingDigits(), 0u);
    EXPECT_EQ(d.Overflows(), 0u);
}

TEST(DtmfDecode, DigitsTakenFromAnotherThread) {
    Signal s;
    for (int i = 0; i < 40; ++i) s.Tone(DigitPair(kDigits[i % 16]), 40).Silence(40);
    const std::vector<uint8_t> alaw = s.Alaw();
    CDtmfDecode d;
    std::string got;
    std::atomic<bool> fed{false};
    std::thread tick([&] {
        for (size_t i = 0; i < alaw.size(); i += kTickBytes) d.AddBlock(alaw.data() + i, kTickBytes);
        fed = true;
    });
    bool done = testsupport::WaitUntil([&] {
        for (char c; d.TakeDigit(&c);) got += c;
        return fed && got.size() >= 40;
    }, 10000, 1);
    tick.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(got.size(), 40u);
    EXPECT_EQ(got.substr(0, 16), kDigits);
}

// Q.24-style acceptance: every digit, 50 ms on / 50 ms off, after `lead`
// samples of silence, detector with the configured thresholds. Returns the
// digits detected.
std::string Q24Run(double rowFactor, double colFactor, double rowDbm0, double colDbm0,
                   int lead = 160) {
    Signal s;
    s.Samples(lead, nullptr);
    for (const char* d = kDigits; *d; ++d) {
        Pair p = DigitPair(*d, Dbm0(rowDbm0), Dbm0(colDbm0));
        p.rowHz *= rowFactor;
        p.colHz *= colFactor;
        s.Tone(p, 50).Silence(50);
    }
    return DetectConfigured(s.Alaw());
}

// Digits of kDigits not found, in order, in got.
int Missed(const std::string& got) {
    int missed = 0;
    size_t at = 0;
    for (const char* d = kDigits; *d; ++d) {
        size_t f = got.find(*d, at);
        if (f == std::string::npos) {
            ++missed;
        } else {
            at = f + 1;
        }
    }
    return missed;
}

TEST(DtmfDecodeQ24, FrequencyToleranceAccepted) {
    // One tone 1.5% off is always accepted. With both off, the pair can lose
    // enough Goertzel power that, depending on the tone phases, a block fails
    // the total-energy test (40 against at most about 51 for a clean pair in
    // 102 samples): some digits are missed. Reported, with a loose bound.
    const int kLeads = 34;
    for (double r : {-0.015, 0.0, 0.015}) {
        for (double c : {-0.015, 0.0, 0.015}) {
            int missed = 0, extra = 0;
            for (int lead = 0; lead < 3 * kLeads; lead += 3) {
                std::string got = Q24Run(1 + r, 1 + c, -10, -10, lead);
                missed += Missed(got);
                extra += static_cast<int>(got.size()) - (16 - Missed(got));
            }
            std::printf("[ Q.24     ] row %+.1f%% column %+.1f%%: %d of %d digits missed\n", r * 100,
                        c * 100, missed, 16 * kLeads);
            SCOPED_TRACE("row " + std::to_string(r) + " col " + std::to_string(c));
            EXPECT_EQ(extra, 0);
            if (r == 0 || c == 0) {
                EXPECT_EQ(missed, 0);
            } else {
                EXPECT_LE(missed, 16 * kLeads / 4);
            }
        }
    }
}

TEST(DtmfDecodeQ24, FrequencyOutsideToleranceReport) {
    // Q.24 wants these rejected. The detector has no frequency check of its
    // own (a filter's main lobe over 102 samples is about +-78 Hz wide); the
    // total-energy and peak tests reject most such pairs, not all. Reported,
    // not asserted.
    for (double off : {-0.05, -0.035, 0.035, 0.05}) {
        size_t both = Q24Run(1 + off, 1 + off, -10, -10).size();
        size_t row = Q24Run(1 + off, 1, -10, -10).size();
        size_t col = Q24Run(1, 1 + off, -10, -10).size();
        std::printf("[ Q.24     ] tones %+.1f%% off: digits detected of 16 (should be 0): "
                    "both off %zu, row off %zu, column off %zu\n", off * 100, both, row, col);
    }
}

TEST(DtmfDecodeQ24, LevelsAndTwist) {
    for (double level = -3; level >= -30; level -= 3) {
        SCOPED_TRACE("level " + std::to_string(level));
        EXPECT_EQ(Q24Run(1, 1, level, level), kDigits);
    }
    // Below the power floor (about -41 dBm0 per tone) nothing passes.
    EXPECT_EQ(Q24Run(1, 1, -45, -45), "");
    // Twist up to 6 dB either way passes; 10 dB does not.
    for (double twist : {-6.0, -4.0, 4.0, 6.0}) {
        SCOPED_TRACE("twist " + std::to_string(twist));
        EXPECT_EQ(Q24Run(1, 1, -10, -10 + twist), kDigits);
    }
    EXPECT_EQ(Q24Run(1, 1, -10, -20), "");
    EXPECT_EQ(Q24Run(1, 1, -20, -10), "");
}

// Talk-off: speech-like signals must not make digits. The counts are printed;
// only a generous bound is asserted.
constexpr int kTalkOffBound = 5;

int FalseDigits(const std::vector<int16_t>& pcm) {
    std::vector<uint8_t> alaw;
    for (int16_t x : pcm) alaw.push_back(media::LinearToAlaw(x));
    return static_cast<int>(DetectConfigured(alaw).size());
}

TEST(DtmfDecodeTalkOff, SyntheticVowels) {
    // Glottal-pulse-like harmonic series with a gliding pitch and three
    // formant peaks, vowel after vowel.
    const double formants[][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240},
                                  {530, 1840, 2480}, {570, 840, 2410}, {660, 1720, 2410}};
    std::vector<int16_t> pcm;
    double phase = 0;
    for (int v = 0; v < 60; ++v) {
        const double* f = formants[v % 6];
        for (int i = 0; i < 2400; ++i) {
            double f0 = 90 + 140 * (0.5 + 0.5 * std::sin(2 * kPi * (v * 2400 + i) / 19000.0));
            phase += 2 * kPi * f0 / kRate;
            double y = 0;
            for (int h = 1; h * f0 < 3800; ++h) {
                double g = 0;
                for (int k = 0; k < 3; ++k) g += 1.0 / (1 + std::pow((h * f0 - f[k]) / 90, 2));
                y += g / h * std::sin(h * phase);
            }
            pcm.push_back(static_cast<int16_t>(std::fmax(-32000, std::fmin(32000, 6000 * y))));
        }
    }
    int n = FalseDigits(pcm);
    std::printf("[ talk-off ] synthetic vowels, %.0f s: %d false digits\n", pcm.size() / kRate, n);
    EXPECT_LE(n, kTalkOffBound);
}

#ifndef _WIN32
bool HaveTool(const char* name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// Spoken text at 8000 samples/s, peak-normalised to -3 dBFS; empty on failure.
std::vector<int16_t> Speak(const std::string& voice, int pitch, const std::string& text) {
    std::string cmd = "espeak-ng --stdout -v " + voice + " -p " + std::to_string(pitch) + " \"" +
                      text + "\" 2>/dev/null | sox -t wav - -t raw -r 8000 -e signed-integer -b 16"
                      " -c 1 -L - gain -n -3 2>/dev/null";
    std::vector<int16_t> pcm;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return pcm;
    unsigned char b[2];
    while (std::fread(b, 1, 2, p) == 2) pcm.push_back(static_cast<int16_t>(b[0] | (b[1] << 8)));
    pclose(p);
    return pcm;
}

TEST(DtmfDecodeTalkOff, SpokenText) {
    if (!HaveTool("espeak-ng") || !HaveTool("sox")) {
        GTEST_SKIP() << "espeak-ng or sox not installed: spoken talk-off not checked";
    }
    const char* texts[] = {
        "Please enter your account number followed by the hash key.",
        "Thank you for calling. All of our agents are busy at the moment, please hold.",
        "One two three four five six seven eight nine zero star hash.",
        "She sells sea shells by the sea shore, and the shells she sells are surely sea shells.",
        "Eeeee, aaaah, ooooh, mmmmm, high pitched singing, la la la la la.",
    };
    const std::pair<const char*, int> voices[] = {{"en", 50}, {"en+f3", 70}, {"en+m3", 20},
                                                 {"de", 60}, {"fr+f2", 90}};
    size_t samples = 0;
    int total = 0;
    for (const auto& v : voices) {
        for (const char* t : texts) {
            std::vector<int16_t> pcm = Speak(v.first, v.second, t);
            samples += pcm.size();
            total += FalseDigits(pcm);
        }
    }
    ASSERT_GT(samples, 8000u) << "no speech produced";
    std::printf("[ talk-off ] espeak-ng speech, %.0f s: %d false digits\n", samples / kRate, total);
    EXPECT_LE(total, kTalkOffBound);
}
#endif

}  // namespace
