// The simulator codes A-law with its own code; it must agree with the
// module's on every sample and every code, or tone, digit and echo tests
// would measure the difference between the two.
#include <gtest/gtest.h>

#include <cstdint>

#include "media/g711.h"
#include "sim/alaw.h"

TEST(SimAlaw, AgreesWithTheModuleOnEverySampleAndCode) {
    int mismatches = 0;
    for (int s = INT16_MIN; s <= INT16_MAX; ++s) {
        const auto sample = static_cast<int16_t>(s);
        if (sim::LinearToAlaw(sample) != media::LinearToAlaw(sample) && ++mismatches < 5)
            ADD_FAILURE() << "sample " << s;
    }
    for (int c = 0; c < 256; ++c) {
        const auto code = static_cast<uint8_t>(c);
        if (sim::AlawToLinear(code) != media::AlawToLinear(code) && ++mismatches < 5) ADD_FAILURE() << "code " << c;
    }
    EXPECT_EQ(mismatches, 0);
}
