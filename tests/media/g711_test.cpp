// A-law coding: known codes, the round trip, and an independent reference.
#include "media/g711.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#ifdef VAXO_HAVE_SPANDSP
#include <spandsp.h>
#endif

namespace {

// Reference encoder in the two's-complement style of the ITU-T software
// tools: negative input is complemented, not negated.
uint8_t ReferenceAlaw(int16_t linear) {
    int ix = (linear < 0 ? ~linear : linear) >> 4, exponent = 1;
    if (ix > 15) {
        for (; ix > 16 + 15; ++exponent) ix >>= 1;
        ix += (exponent << 4) - 16;
    }
    return static_cast<uint8_t>((linear >= 0 ? ix | 0x80 : ix) ^ 0x55);
}

// Width of the quantisation interval that holds magnitude m (16-bit scale).
int StepAt(int m) {
    int step = m < 512 ? 16 : 32;
    for (int top = 1024; m >= top && step < 1024; top *= 2) step *= 2;
    return step;
}

TEST(G711, KnownCodes) {
    struct Case { int16_t linear; uint8_t code; int16_t decoded; };
    for (const Case& c : {Case{0, 0xD5, 8}, Case{-1, 0x55, -8}, Case{-8, 0x55, -8}, Case{32767, 0xAA, 32256},
                          Case{-32767, 0x2A, -32256}, Case{-32768, 0x2A, -32256}})
        EXPECT_TRUE(media::LinearToAlaw(c.linear) == c.code && media::AlawToLinear(c.code) == c.decoded) << c.linear;
}

TEST(G711, RoundTripWithinHalfAStepAndMonotonic) {
    for (int x = -32768, previous = -32768, y; x <= 32767; ++x, previous = y) {
        y = media::AlawToLinear(media::LinearToAlaw(static_cast<int16_t>(x)));
        ASSERT_TRUE(std::abs(y - x) <= StepAt(std::min(std::abs(x), 32767)) / 2 && y >= previous) << x << " -> " << y;
    }
#ifdef VAXO_HAVE_SPANDSP
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(media::AlawToLinear(static_cast<uint8_t>(code)), alaw_to_linear(static_cast<uint8_t>(code))) << code;
#endif
}

// Equal for every input but the 127 negative interval edges (-16, -32, ...
// -496, then -512, -544, ... -31744), which land one step further from 0.
TEST(G711, EncoderMatchesReferenceExceptNegativeEdges) {
    std::set<int> edges, differing;
    for (int m = 16; m < 32768; m += StepAt(m)) edges.insert(m);
    edges.erase(32768);
    ASSERT_EQ(edges.size(), 127u);
    for (int x = -32768; x <= 32767; ++x) {
        const uint8_t ours = media::LinearToAlaw(static_cast<int16_t>(x)), ref = ReferenceAlaw(static_cast<int16_t>(x));
#ifdef VAXO_HAVE_SPANDSP
        ASSERT_EQ(ref, linear_to_alaw(x)) << x;
#endif
        if (ours == ref) continue;
        ASSERT_LT(x, 0);
        differing.insert(-x);
        EXPECT_EQ(media::AlawToLinear(ours) - media::AlawToLinear(ref), -(StepAt(-x - 1) + StepAt(-x)) / 2) << x;
    }
    EXPECT_EQ(differing, edges);
}

}  // namespace
