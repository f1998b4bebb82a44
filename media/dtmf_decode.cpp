#include "media/dtmf_decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/g711.h"

namespace media {

namespace {

constexpr int kTones = 4;  // per group
constexpr float kRowHz[kTones] = {697.0f, 770.0f, 852.0f, 941.0f};
constexpr float kColHz[kTones] = {1209.0f, 1336.0f, 1477.0f, 1633.0f};
constexpr char kDigitTable[] = "123A456B789C*0#D";  // row * 4 + column
constexpr float kSamplePeriodS = 0.000125f;         // 1 / 8000 Hz
constexpr double kTwoPi = 6.283185307179586;

// Constructor thresholds (the configured ones replace them at link setup).
constexpr float kInitNormalTwist = 6.3f;
constexpr float kInitReverseTwist = 2.5f;
constexpr float kInitTotalEnergy = 42.0f;
constexpr float kInitRowPeak = 6.3f;
constexpr float kInitColPeak = 6.3f;

// 2 cos(2 pi f / 8000) for every filter, in filter order; computed once for
// the whole module. The argument is formed in single precision, scaled by 2 pi
// in double and rounded back before the cosine so every build gets the same
// coefficients.
struct Coefficients {
    float value[CDtmfDecode::kFilters];
    Coefficients() {
        for (int i = 0; i < kTones; ++i) {
            value[2 * i] = Coefficient(kRowHz[i]);
            value[2 * i + 1] = Coefficient(kColHz[i]);
        }
    }
    static float Coefficient(float hz) {
        float cycles = hz * kSamplePeriodS;
        float radians = static_cast<float>(cycles * kTwoPi);
        return 2.0f * std::cos(radians);
    }
};

const Coefficients& ModuleCoefficients() {
    static const Coefficients coefficients;
    return coefficients;
}

// Index of the largest of four powers; the lowest index wins a tie.
int Strongest(const float (&p)[kTones]) {
    int best = 0;
    for (int i = 1; i < kTones; ++i) {
        if (p[i] > p[best]) best = i;
    }
    return best;
}

// True when every other power, times peak, stays at or below p[best].
bool StandsOut(const float (&p)[kTones], int best, float peak) {
    for (int i = 0; i < kTones; ++i) {
        if (i != best && p[i] * peak > p[best]) return false;
    }
    return true;
}

}  // namespace

CDtmfDecode::CDtmfDecode()
    : normalTwist_(kInitNormalTwist),
      reverseTwist_(kInitReverseTwist),
      totalEnergy_(kInitTotalEnergy),
      rowPeak_(kInitRowPeak),
      colPeak_(kInitColPeak) {
    Reset();
}

CDtmfDecode::~CDtmfDecode() = default;

void CDtmfDecode::Reset() {
    plat::LockGuard hold(lock_);
    previous_ = 0;
    last_ = 0;
    std::memcpy(coef_, ModuleCoefficients().value, sizeof coef_);
    std::memset(&filt_, 0, sizeof filt_);
    energy_ = 0.0f;
    count_ = 0;
    digitCount_ = 0;
    overflows_ = 0;
    std::memset(digits_, 0, sizeof digits_);
}

void CDtmfDecode::SetThresholds(float normalTwist, float reverseTwist, float rowPeak,
                                float colPeak, float totalEnergy) {
    normalTwist_ = normalTwist;
    reverseTwist_ = reverseTwist;
    rowPeak_ = rowPeak;
    colPeak_ = colPeak;
    totalEnergy_ = totalEnergy;
}

// Runs n samples (no more than are left in the block) through all eight
// filters. The states stay in locals across the loop so the compiler keeps
// them in vector registers; the arithmetic is exactly s = x + c * s1 - s2 per
// filter, in this order.
void CDtmfDecode::Feed(const float* x, size_t n) {
    float s1[kFilters], s2[kFilters], c[kFilters];
    std::memcpy(s1, filt_.s1, sizeof s1);
    std::memcpy(s2, filt_.s2, sizeof s2);
    std::memcpy(c, coef_, sizeof c);
    float energy = energy_;
    for (size_t i = 0; i < n; ++i) {
        float v = x[i];
        energy += v * v;
        for (int k = 0; k < kFilters; ++k) {
            float s = v + c[k] * s1[k] - s2[k];
            s2[k] = s1[k];
            s1[k] = s;
        }
    }
    std::memcpy(filt_.s1, s1, sizeof s1);
    std::memcpy(filt_.s2, s2, sizeof s2);
    energy_ = energy;
    count_ += static_cast<uint32_t>(n);
    if (count_ >= kBlockSamples) EndBlock();
}

void CDtmfDecode::AddSample(int16_t sample) {
    float x = static_cast<float>(sample);
    Feed(&x, 1);
}

void CDtmfDecode::AddBlock(const uint8_t* alaw, size_t n) {
    if (alaw == nullptr) return;
    float x[kBlockSamples];
    while (n > 0) {
        size_t run = std::min<size_t>(n, kBlockSamples - count_);
        for (size_t i = 0; i < run; ++i) x[i] = static_cast<float>(AlawToLinear(alaw[i]));
        Feed(x, run);
        alaw += run;
        n -= run;
    }
}

void CDtmfDecode::EndBlock() {
    Debounce(Classify());
    std::memset(&filt_, 0, sizeof filt_);
    energy_ = 0.0f;
    count_ = 0;
}

// The block's digit, or 0 when the tests fail.
char CDtmfDecode::Classify() {
    float row[kTones], col[kTones];
    for (int k = 0; k < kFilters; ++k) {
        // One more step with input 0, then the power.
        float s = 0.0f + coef_[k] * filt_.s1[k] - filt_.s2[k];
        float s2 = filt_.s1[k];
        float s1 = s;
        float power = s1 * s1 + s2 * s2 - coef_[k] * s1 * s2;
        if (k % 2 == 0) {
            row[k / 2] = power;
        } else {
            col[k / 2] = power;
        }
    }
    int r = Strongest(row);
    int c = Strongest(col);
    float rp = row[r], cp = col[c];
    if (rp < kMinPower || cp < kMinPower) return 0;
    if (!(reverseTwist_ * rp > cp) || !(normalTwist_ * cp > rp)) return 0;
    if (!StandsOut(col, c, colPeak_) || !StandsOut(row, r, rowPeak_)) return 0;
    if (!(totalEnergy_ * energy_ < rp + cp)) return 0;
    return kDigitTable[r * kTones + c];
}

// A digit counts at the end of its second consecutive block; a single block
// without it does not end it, two do.
void CDtmfDecode::Debounce(char current) {
    if (current == last_ || previous_ == last_) {
        previous_ = current;
    } else if (current != 0 && current == previous_) {
        Report(current);
        last_ = current;
        previous_ = current;
    } else {
        last_ = 0;
        previous_ = 0;
    }
}

void CDtmfDecode::Report(char digit) {
    plat::LockGuard hold(lock_);
    if (digitCount_ < kDigitCapacity) {
        digits_[digitCount_++] = digit;
        digits_[digitCount_] = 0;
    } else {
        ++overflows_;
    }
}

int CDtmfDecode::TakeDigit(char* out) {
    if (out == nullptr) return 0;
    plat::LockGuard hold(lock_);
    if (digitCount_ == 0) return 0;
    *out = digits_[0];
    std::memmove(digits_, digits_ + 1, digitCount_);  // includes the NUL
    --digitCount_;
    return 1;
}

uint32_t CDtmfDecode::PendingDigits() {
    plat::LockGuard hold(lock_);
    return digitCount_;
}

uint32_t CDtmfDecode::Overflows() {
    plat::LockGuard hold(lock_);
    return overflows_;
}

}  // namespace media
