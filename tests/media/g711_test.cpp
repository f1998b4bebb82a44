// A-law coding against independent references, and the format names.
#include "media/g711.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#ifdef VAXO_HAVE_SPANDSP
#include <spandsp.h>
#endif

namespace {

// Reference A-law encoder in the two's-complement style of the ITU-T
// software tools: negative input is complemented, not negated.
uint8_t ReferenceAlaw(int16_t linear) {
    int ix = linear < 0 ? (~linear) >> 4 : linear >> 4;
    if (ix > 15) {
        int exponent = 1;
        while (ix > 16 + 15) {
            ix >>= 1;
            ++exponent;
        }
        ix -= 16;
        ix += exponent << 4;
    }
    if (linear >= 0) ix |= 0x80;
    return static_cast<uint8_t>(ix ^ 0x55);
}

// G.711 A-law expansion from the code's fields: 13-bit magnitude times 8.
int ReferenceLinear(uint8_t code) {
    int v = code ^ 0x55;
    int segment = (v >> 4) & 7;
    int mantissa = v & 0x0F;
    int magnitude = segment == 0 ? 2 * mantissa + 1 : (2 * mantissa + 33) << (segment - 1);
    return (v & 0x80) ? magnitude * 8 : -magnitude * 8;
}

// Width of the quantisation interval that holds magnitude m (16-bit scale).
int StepAt(int m) {
    if (m < 512) return 16;
    int step = 32;
    for (int top = 1024; m >= top && step < 1024; top *= 2) step *= 2;
    return step;
}

// The 127 interval edges of the positive half: 16, 32, ... 496, then
// 512, 544, ... up to 31744.
std::set<int> IntervalEdges() {
    std::set<int> edges;
    for (int m = 16; m < 32768; m += StepAt(m)) edges.insert(m);
    edges.erase(32768);
    return edges;
}

TEST(G711, KnownCodes) {
    EXPECT_EQ(media::LinearToAlaw(0), 0xD5);
    EXPECT_EQ(media::LinearToAlaw(-1), 0x55);
    EXPECT_EQ(media::LinearToAlaw(-8), 0x55);
    EXPECT_EQ(media::LinearToAlaw(32767), 0xAA);
    EXPECT_EQ(media::LinearToAlaw(-32767), 0x2A);
    EXPECT_EQ(media::LinearToAlaw(-32768), 0x2A);
    EXPECT_EQ(media::AlawToLinear(0xD5), 8);
    EXPECT_EQ(media::AlawToLinear(0x55), -8);
    EXPECT_EQ(media::AlawToLinear(0xAA), 32256);
    EXPECT_EQ(media::AlawToLinear(0x2A), -32256);
    EXPECT_EQ(media::AlawToLinear(media::kAlawSmallPositive), 8);
}

TEST(G711, DecoderTableMatchesG711) {
    for (int code = 0; code < 256; ++code) {
        SCOPED_TRACE(code);
        EXPECT_EQ(media::AlawToLinear(static_cast<uint8_t>(code)),
                  ReferenceLinear(static_cast<uint8_t>(code)));
#ifdef VAXO_HAVE_SPANDSP
        EXPECT_EQ(media::AlawToLinear(static_cast<uint8_t>(code)),
                  alaw_to_linear(static_cast<uint8_t>(code)));
#endif
    }
}

TEST(G711, RoundTripWithinHalfAStepAndMonotonic) {
    int previous = -32768;
    for (int x = -32768; x <= 32767; ++x) {
        int y = media::AlawToLinear(media::LinearToAlaw(static_cast<int16_t>(x)));
        int m = x < 0 ? -x : x;
        ASSERT_LE(std::abs(y - x), StepAt(m > 32767 ? 32767 : m) / 2) << x;
        ASSERT_GE(y, previous) << x;
        previous = y;
    }
}

TEST(G711, EncoderMatchesReferenceExceptNegativeEdges) {
    const std::set<int> edges = IntervalEdges();
    ASSERT_EQ(edges.size(), 127u);
    ASSERT_EQ(*edges.rbegin(), 31744);
    std::set<int> differing;
    for (int x = -32768; x <= 32767; ++x) {
        auto s = static_cast<int16_t>(x);
        uint8_t ours = media::LinearToAlaw(s);
        uint8_t ref = ReferenceAlaw(s);
#ifdef VAXO_HAVE_SPANDSP
        ASSERT_EQ(ref, linear_to_alaw(x)) << x;
#endif
        if (x >= 0) {
            ASSERT_EQ(ours, ref) << x;
        }
        if (ours == ref) continue;
        differing.insert(-x);
        // An edge value lands in the interval above it, one step further from 0.
        int m = -x;
        EXPECT_EQ(media::AlawToLinear(ours) - media::AlawToLinear(ref),
                  -(StepAt(m - 1) + StepAt(m)) / 2) << x;
    }
    EXPECT_EQ(differing, edges);
}

TEST(G711, FormatNamesAndDescriptor) {
    media::WaveFormat f = media::AlawFormat();
    EXPECT_EQ(f.formatTag, 6);
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.samplesPerSecond, 8000u);
    EXPECT_EQ(f.averageBytesPerSecond, 8000u);
    EXPECT_EQ(f.blockAlign, 1);
    EXPECT_EQ(f.bitsPerSample, 8);
    EXPECT_EQ(f.extraSize, 0);
    EXPECT_STREQ(media::FormatName(f), "ALAW");

    struct Case {
        uint16_t tag, bits;
        const char* name;
    };
    const Case cases[] = {{1, 8, "PCM8"}, {1, 16, "PCM16"}, {1, 12, ""},  {1, 0, ""},
                          {7, 8, "MULAW"}, {7, 3, "MULAW"}, {6, 16, "ALAW"}, {0, 8, ""},
                          {2, 16, ""},     {0xFFFF, 8, ""}};
    for (const Case& c : cases) {
        f.formatTag = c.tag;
        f.bitsPerSample = c.bits;
        EXPECT_STREQ(media::FormatName(f), c.name) << c.tag << "/" << c.bits;
    }
    EXPECT_EQ(media::PlayBytesToMs(media::kBlockBytes), 20);
}

}  // namespace
