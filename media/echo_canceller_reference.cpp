// Line echo canceller, reference implementation: the algorithm step by step,
// with two FIR structures (own history and position each) and the sums walked
// in the order given for the FIR step. Kept for tests and benchmarks; the
// module runs EchoCanceller (echo_canceller.cpp), which must match it bit for
// bit.
//
// Signed 32-bit wraparound is written with uint32_t arithmetic (defined in
// C++), 16-bit wraparound with explicit truncation.
#include <cstdlib>
#include <cstring>
#include <new>

#include "media/echo_canceller.h"
#include "media/g711.h"

namespace media {

namespace {

// Mode bits, fixed: adaptation + non-linear processing + clipping.
constexpr int32_t kUseAdaption = 0x01;
constexpr int32_t kUseNlp = 0x02;
constexpr int32_t kUseClip = 0x08;
constexpr int32_t kMode = kUseAdaption | kUseNlp | kUseClip;

constexpr int32_t kMinTxPowerForAdaption = 64;
constexpr int32_t kMinRxPowerForAdaption = 64;
constexpr int32_t kDtdHangover = 600;

int TopBitRef(uint32_t v) {
    int bit = -1;
    while (v != 0) {
        v >>= 1;
        ++bit;
    }
    return bit;
}

int16_t Wrap16(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v))); }
int32_t Add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t Mul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

}  // namespace

EchoCancellerReference::~EchoCancellerReference() { Destroy(); }

int16_t* EchoCancellerReference::AllocateSamples(int count) {
    if (allocLimit_ == 0) return nullptr;
    auto* p = static_cast<int16_t*>(std::calloc(static_cast<size_t>(count), sizeof(int16_t)));
    if (p != nullptr && allocLimit_ > 0) --allocLimit_;
    return p;
}

bool EchoCancellerReference::Create(int taps) {
    if (created_) Destroy();
    if (taps < 1 || taps > EchoCanceller::kMaxTaps) return false;
    s_ = EchoCancellerProbe{};
    taps_ = taps;
    log2Taps_ = TopBitRef(static_cast<uint32_t>(taps));
    currPos_ = taps - 1;

    tapSets_[0] = AllocateSamples(taps);
    tapSets_[1] = AllocateSamples(taps);
    fir_.history = AllocateSamples(taps);
    firBg_.history = AllocateSamples(taps);
    if (tapSets_[0] == nullptr || tapSets_[1] == nullptr || fir_.history == nullptr ||
        firBg_.history == nullptr) {
        std::free(tapSets_[0]);
        std::free(tapSets_[1]);
        std::free(fir_.history);
        std::free(firBg_.history);
        tapSets_[0] = tapSets_[1] = nullptr;
        fir_ = Fir{};
        firBg_ = Fir{};
        taps_ = log2Taps_ = currPos_ = 0;
        return false;
    }
    fir_.taps = taps;
    fir_.currPos = taps - 1;
    fir_.coeffs = tapSets_[0];
    firBg_.taps = taps;
    firBg_.currPos = taps - 1;
    firBg_.coeffs = tapSets_[1];
    (void)kMode;  // adaptation, NLP and clipping are always on
    created_ = true;
    return true;
}

void EchoCancellerReference::Destroy() {
    if (!created_) return;
    std::free(fir_.history);
    std::free(firBg_.history);
    std::free(tapSets_[0]);
    std::free(tapSets_[1]);
    fir_ = Fir{};
    firBg_ = Fir{};
    tapSets_[0] = tapSets_[1] = nullptr;
    taps_ = log2Taps_ = currPos_ = 0;
    s_ = EchoCancellerProbe{};
    created_ = false;
}

int16_t EchoCancellerReference::FirStep(Fir& fir, int16_t x) {
    fir.history[fir.currPos] = x;
    int32_t y = 0;
    const int32_t offset1 = fir.taps - fir.currPos;
    const int32_t offset2 = fir.currPos;
    int32_t i;
    for (i = fir.taps - 1; i >= offset1; i--) y = Add32(y, fir.coeffs[i] * fir.history[i - offset1]);
    for (; i >= 0; i--) y = Add32(y, fir.coeffs[i] * fir.history[i + offset2]);
    if (fir.currPos <= 0) fir.currPos = fir.taps;
    fir.currPos--;
    return Wrap16(y >> 15);
}

void EchoCancellerReference::LmsAdaptBackground(int32_t cleanBg, int shift) {
    int32_t factor;
    if (shift > 0)
        factor = static_cast<int32_t>(static_cast<uint32_t>(cleanBg) << shift);
    else
        factor = cleanBg >> -shift;
    s_.factor = factor;

    int16_t* c1 = tapSets_[1];
    const int16_t* hist = firBg_.history;
    const int32_t offset2 = currPos_;
    const int32_t offset1 = taps_ - offset2;
    int32_t i;
    for (i = taps_ - 1; i >= offset1; i--) {
        const int32_t exp = Mul32(hist[i - offset1], factor);
        c1[i] = Wrap16(c1[i] + Wrap16(Add32(exp, 1 << 14) >> 15));
    }
    for (; i >= 0; i--) {
        const int32_t exp = Mul32(hist[i + offset2], factor);
        c1[i] = Wrap16(c1[i] + Wrap16(Add32(exp, 1 << 14) >> 15));
    }
}

int16_t EchoCancellerReference::Update(int16_t tx, int16_t rx) {
    if (!created_) return rx;
    EchoCancellerProbe& s = s_;

    // 1.
    s.tx = tx;
    s.rx = rx;
    tx = static_cast<int16_t>(tx >> 1);
    rx = static_cast<int16_t>(rx >> 1);

    // 2.
    {
        const int32_t nw = int32_t{tx} * tx;
        const int32_t old = int32_t{fir_.history[fir_.currPos]} * fir_.history[fir_.currPos];
        const int32_t round = log2Taps_ > 0 ? (1 << (log2Taps_ - 1)) : 0;
        s.pStates = Add32(s.pStates, ((nw - old) + round) >> log2Taps_);
        if (s.pStates < 0) s.pStates = 0;
    }

    // 3.
    s.accTx += std::abs(int32_t{tx}) - s.lTx;
    s.lTx = (s.accTx + (1 << 4)) >> 5;
    s.accRx += std::abs(int32_t{rx}) - s.lRx;
    s.lRx = (s.accRx + (1 << 4)) >> 5;

    // 4.
    fir_.coeffs = tapSets_[0];
    int32_t echoValue = FirStep(fir_, tx);
    s.clean = Wrap16(rx - echoValue);
    s.accClean += std::abs(int32_t{s.clean}) - s.lClean;
    s.lClean = (s.accClean + (1 << 4)) >> 5;

    // 5.
    echoValue = FirStep(firBg_, tx);
    const int32_t cleanBg = rx - echoValue;
    s.accCleanBg += std::abs(cleanBg) - s.lCleanBg;
    s.lCleanBg = (s.accCleanBg + (1 << 4)) >> 5;

    // 6.
    s.factor = 0;
    s.shift = 0;
    if (s.hangover == 0) {
        const uint32_t p = static_cast<uint32_t>(kMinTxPowerForAdaption) + static_cast<uint32_t>(s.pStates);
        const int logP = TopBitRef(p) + log2Taps_;
        const int shift = 30 - 2 - logP;
        s.shift = static_cast<int16_t>(shift);
        LmsAdaptBackground(cleanBg, shift);
    }

    // 7.
    if (s.lRx > kMinRxPowerForAdaption && s.lRx > s.lTx) s.hangover = kDtdHangover;
    if (s.hangover) s.hangover--;

    // 8.
    s.adapted = 0;
    if (s.hangover == 0 && 8 * s.lCleanBg < 7 * s.lClean && 8 * s.lCleanBg < s.lTx) {
        if (s.condMet == 6) {
            s.adapted = 1;
            std::memcpy(tapSets_[0], tapSets_[1], static_cast<size_t>(taps_) * sizeof(int16_t));
        } else {
            s.condMet++;
        }
    } else {
        s.condMet = 0;
    }

    // 9.
    s.cleanNlp = s.clean;
    if (16 * s.lClean < s.lTx) {
        if (s.cleanNlp > s.lBgn) s.cleanNlp = static_cast<int16_t>(s.lBgn);
        if (s.cleanNlp < -s.lBgn) s.cleanNlp = static_cast<int16_t>(-s.lBgn);
    } else {
        if (s.lClean < 40) {
            s.accBgn += std::abs(int32_t{s.clean}) - s.lBgn;
            s.lBgn = (s.accBgn + (1 << 11)) >> 12;
        }
    }

    // 10.
    if (currPos_ <= 0) currPos_ = taps_;
    currPos_--;
    s.position = currPos_;

    // 11.
    return Wrap16(s.cleanNlp * 2);
}

uint8_t EchoCancellerReference::UpdateAlaw(uint8_t txAlaw, uint8_t rxAlaw) {
    if (!created_) return rxAlaw;
    return LinearToAlaw(Update(AlawToLinear(txAlaw), AlawToLinear(rxAlaw)));
}

EchoCancellerProbe EchoCancellerReference::Probe() const {
    EchoCancellerProbe p = s_;
    p.position = currPos_;
    return p;
}

}  // namespace media
