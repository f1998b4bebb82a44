#include "media/dtmf_decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

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
// the whole module: f / 8000 in single precision, times 2 pi in double,
// rounded to single precision before the cosine.
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
// filters and the block energy. The arithmetic is exactly s = x + c * s1 - s2
// per filter, in this order; only the grouping of the eight independent
// filters into vector lanes differs between the two versions.
void CDtmfDecode::Feed(const float* x, size_t n) {
    float energy = energy_;
#if defined(__SSE__) || defined(_M_X64)
    // The recursion is bound by the latency of one multiply, add and
    // subtract per sample, so the states stay in registers for the whole run.
    const __m128 cLo = _mm_loadu_ps(coef_), cHi = _mm_loadu_ps(coef_ + 4);
    __m128 s1Lo = _mm_loadu_ps(filt_.s1), s1Hi = _mm_loadu_ps(filt_.s1 + 4);
    __m128 s2Lo = _mm_loadu_ps(filt_.s2), s2Hi = _mm_loadu_ps(filt_.s2 + 4);
    for (size_t i = 0; i < n; ++i) {
        const float v = x[i];
        energy += v * v;
        const __m128 xv = _mm_set1_ps(v);
        const __m128 sLo = _mm_sub_ps(_mm_add_ps(xv, _mm_mul_ps(cLo, s1Lo)), s2Lo);
        const __m128 sHi = _mm_sub_ps(_mm_add_ps(xv, _mm_mul_ps(cHi, s1Hi)), s2Hi);
        s2Lo = s1Lo;
        s2Hi = s1Hi;
        s1Lo = sLo;
        s1Hi = sHi;
    }
    _mm_storeu_ps(filt_.s1, s1Lo);
    _mm_storeu_ps(filt_.s1 + 4, s1Hi);
    _mm_storeu_ps(filt_.s2, s2Lo);
    _mm_storeu_ps(filt_.s2 + 4, s2Hi);
#else
    for (size_t i = 0; i < n; ++i) {
        const float v = x[i];
        energy += v * v;
        for (int k = 0; k < kFilters; ++k) {
            float s = v + coef_[k] * filt_.s1[k] - filt_.s2[k];
            filt_.s2[k] = filt_.s1[k];
            filt_.s1[k] = s;
        }
    }
#endif
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

uint32_t CDtmfDecode::PendingDigits() const {
    plat::LockGuard hold(lock_);
    return digitCount_;
}

uint32_t CDtmfDecode::Overflows() const {
    plat::LockGuard hold(lock_);
    return overflows_;
}

}  // namespace media
