// Software DTMF detector of one channel: eight Goertzel filters over blocks
// of 102 samples, level/twist/peak/energy tests, two-block debounce and a
// small buffer of found digits.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/lock.h"

namespace media {

// Fed only by the card's media tick thread (AddSample, AddBlock); TakeDigit
// and the counters may be read from any thread. Reset and SetThresholds are
// meant for link setup, while the tick thread is not feeding this detector.
class CDtmfDecode {
public:
    static constexpr int kFilters = 8;            // row 0, column 0, row 1, column 1, ...
    static constexpr uint32_t kBlockSamples = 102; // 12.75 ms at 8000 samples/s
    static constexpr float kMinPower = 8.0e7f;    // Goertzel power (squared magnitude) floor
    static constexpr uint32_t kDigitCapacity = 128;

    CDtmfDecode();
    virtual ~CDtmfDecode();
    CDtmfDecode(const CDtmfDecode&) = delete;
    CDtmfDecode& operator=(const CDtmfDecode&) = delete;

    // Clears the filters, the debounce state and the digit buffer.
    void Reset();
    // All thresholds are ratios of Goertzel powers, not decibels.
    void SetThresholds(float normalTwist, float reverseTwist, float rowPeak, float colPeak,
                       float totalEnergy);

    // One 16-bit linear sample.
    void AddSample(int16_t sample);
    // n A-law bytes, decoded and fed in order; a null pointer feeds nothing.
    void AddBlock(const uint8_t* alaw, size_t n);

    // Moves the oldest buffered digit to *out and returns 1; returns 0 (and
    // leaves *out alone) when none is buffered or out is null.
    int TakeDigit(char* out);

    uint32_t PendingDigits() const;
    // Digits dropped because the buffer was full.
    uint32_t Overflows() const;

private:
    // Filter states, kept as plain arrays so the per-sample step can run over
    // all eight filters at once.
    struct Filters {
        float s1[kFilters];  // previous output
        float s2[kFilters];  // the one before
    };

    void Feed(const float* x, size_t n);
    void EndBlock();
    char Classify();
    void Debounce(char current);
    void Report(char digit);

    // Thresholds (power ratios).
    float normalTwist_;   // row may exceed column by this
    float reverseTwist_;  // column may exceed row by this
    float totalEnergy_;   // row + column power vs. block energy
    float rowPeak_;       // best row vs. every other row
    float colPeak_;       // best column vs. every other column

    alignas(16) float coef_[kFilters];
    alignas(16) Filters filt_;
    float energy_;        // sum of squared samples of the block
    uint32_t count_;      // samples in the current block
    char previous_;       // previous block's result, 0 for none
    char last_;           // last reported digit, 0 for none

    mutable plat::RecursiveLock lock_;  // guards the digit buffer and Reset
    char digits_[kDigitCapacity + 1];  // NUL-terminated
    uint32_t digitCount_;
    uint32_t overflows_;
};

}  // namespace media
