// Line echo canceller: the vectorised implementation used by the module, its
// scalar kernels and the run-time kernel choice. The step-by-step reference is
// in echo_canceller_reference.cpp; both must stay bit-identical (tests/media/
// echo_canceller_test.cpp checks it).
#include "media/echo_canceller.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "media/echo_canceller_kernels.h"
#include "media/g711.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define VAXO_EC_INLINE __forceinline
#else
#define VAXO_EC_INLINE inline __attribute__((always_inline))
#endif

namespace media {

namespace {

constexpr int32_t kMinTxPowerForAdaption = 64;
constexpr int32_t kMinRxPowerForAdaption = 64;
constexpr int32_t kTransferAfter = 6;
constexpr size_t kAlign = 64;

// Index of the highest set bit; v > 0.
int TopBit(uint32_t v) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanReverse(&index, v);
    return static_cast<int>(index);
#else
    return 31 - __builtin_clz(v);
#endif
}

int32_t Abs32(int32_t v) { return v < 0 ? -v : v; }

size_t RoundUp(size_t v, size_t m) { return (v + m - 1) / m * m; }

#if VAXO_EC_X86
bool CpuHasAvx2() {
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) return false;
    __cpuid(r, 1);
    const bool osxsave = (r[2] & (1 << 27)) != 0;
    const bool avx = (r[2] & (1 << 28)) != 0;
    if (!osxsave || !avx) return false;
    if ((_xgetbv(0) & 6) != 6) return false;  // XMM and YMM state enabled by the OS
    __cpuidex(r, 7, 0);
    return (r[1] & (1 << 5)) != 0;
#else
    // libgcc's check includes the OS's XSAVE support for the YMM state.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#endif
}

bool CpuHasAvx512() {
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) return false;
    __cpuid(r, 1);
    if ((r[2] & (1 << 27)) == 0) return false;
    if ((_xgetbv(0) & 0xE6) != 0xE6) return false;  // XMM, YMM, opmask and ZMM state enabled by the OS
    __cpuidex(r, 7, 0);
    return (r[1] & (1 << 16)) != 0 && (r[1] & (1 << 30)) != 0;  // F and BW
#else
    // libgcc's check includes the OS's XSAVE support for the ZMM state.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0;
#endif
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Scalar kernels (the semantics every vector kernel must match).

namespace ec_kernels {

void AdaptScalar(int16_t* c, const int16_t* h, int n, int32_t factor) {
    const uint32_t f = static_cast<uint32_t>(factor);
    for (int i = 0; i < n; ++i) {
        const uint32_t p = static_cast<uint32_t>(int32_t{h[i]}) * f + 16384u;
        const int32_t v = static_cast<int32_t>(p) >> 15;
        c[i] = static_cast<int16_t>(
            static_cast<uint16_t>(static_cast<uint16_t>(c[i]) + static_cast<uint16_t>(v)));
    }
}

void StepScalar(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
                int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1) {
    if (factor != 0) AdaptScalar(c1, hPrev, n, factor);
    if (copy) std::memcpy(c0, c1, static_cast<size_t>(n) * sizeof(int16_t));
    uint32_t s0 = static_cast<uint32_t>(int32_t{c0[0]} * x);
    uint32_t s1 = static_cast<uint32_t>(int32_t{c1[0]} * x);
    for (int i = 1; i < n; ++i) {
        s0 += static_cast<uint32_t>(int32_t{c0[i]} * hCur[i]);
        s1 += static_cast<uint32_t>(int32_t{c1[i]} * hCur[i]);
    }
    *y0 = static_cast<int32_t>(s0);
    *y1 = static_cast<int32_t>(s1);
}

}  // namespace ec_kernels

// ---------------------------------------------------------------------------

bool EchoCancellerProbe::operator==(const EchoCancellerProbe& o) const {
    return tx == o.tx && rx == o.rx && clean == o.clean && cleanNlp == o.cleanNlp &&
           hangover == o.hangover && position == o.position && condMet == o.condMet &&
           pStates == o.pStates && adapted == o.adapted && factor == o.factor &&
           shift == o.shift && accTx == o.accTx && lTx == o.lTx && accRx == o.accRx &&
           lRx == o.lRx && accClean == o.accClean && lClean == o.lClean &&
           accCleanBg == o.accCleanBg && lCleanBg == o.lCleanBg && accBgn == o.accBgn &&
           lBgn == o.lBgn;
}

int EchoCanceller::TapsForEchoTail(int32_t echoTailMs) {
    if (echoTailMs < 1) return 0;
    return static_cast<int>(std::min(echoTailMs, kMaxEchoTailMs) * 8);
}

bool EchoCanceller::KernelSupported(Kernel k) {
    switch (k) {
        case Kernel::kAuto:
        case Kernel::kScalar:
            return true;
        case Kernel::kSse2:
            return VAXO_EC_X86 != 0;
        case Kernel::kAvx2: {
#if VAXO_EC_X86
            static const bool has = ec_kernels::Avx2KernelBuilt() && CpuHasAvx2();
            return has;
#else
            return false;
#endif
        }
        case Kernel::kAvx512: {
#if VAXO_EC_X86
            static const bool has = ec_kernels::Avx512KernelBuilt() && CpuHasAvx512();
            return has;
#else
            return false;
#endif
        }
    }
    return false;
}

EchoCanceller::Kernel EchoCanceller::BestKernel() {
    if (KernelSupported(Kernel::kAvx512)) return Kernel::kAvx512;
    if (KernelSupported(Kernel::kAvx2)) return Kernel::kAvx2;
    if (KernelSupported(Kernel::kSse2)) return Kernel::kSse2;
    return Kernel::kScalar;
}

const char* EchoCanceller::KernelName(Kernel k) {
    switch (k) {
        case Kernel::kAuto: return "auto";
        case Kernel::kScalar: return "scalar";
        case Kernel::kSse2: return "sse2";
        case Kernel::kAvx2: return "avx2";
        case Kernel::kAvx512: return "avx512";
    }
    return "?";
}

EchoCanceller::EchoCanceller(Kernel kernel) {
    if (kernel == Kernel::kAuto || !KernelSupported(kernel)) kernel = BestKernel();
    kernel_ = kernel;
    step_ = ec_kernels::StepScalar;
#if VAXO_EC_X86
    if (kernel == Kernel::kSse2) step_ = ec_kernels::StepSse2;
    else if (kernel == Kernel::kAvx2) step_ = ec_kernels::StepAvx2;
    else if (kernel == Kernel::kAvx512) step_ = ec_kernels::StepAvx512;
#endif
}

EchoCanceller::~EchoCanceller() { Destroy(); }

void* EchoCanceller::Allocate(size_t bytes) {
    if (allocLimit_ == 0) return nullptr;
    void* p = ::operator new(bytes, std::align_val_t(kAlign), std::nothrow);
    if (p != nullptr && allocLimit_ > 0) --allocLimit_;
    return p;
}

bool EchoCanceller::Create(int taps) {
    Destroy();
    if (taps < 1 || taps > kMaxTaps) return false;
    // Each array starts on its own 64-byte line.
    const size_t tapBytes = RoundUp(static_cast<size_t>(taps) * sizeof(int16_t), kAlign);
    const size_t histBytes = RoundUp(2 * static_cast<size_t>(taps) * sizeof(int16_t), kAlign);
    const size_t total = 2 * tapBytes + histBytes;
    void* block = Allocate(total);
    if (block == nullptr) return false;
    std::memset(block, 0, total);
    block_ = block;
    auto* bytes = static_cast<unsigned char*>(block);
    fg_ = reinterpret_cast<int16_t*>(bytes);
    bg_ = reinterpret_cast<int16_t*>(bytes + tapBytes);
    hist_ = reinterpret_cast<int16_t*>(bytes + 2 * tapBytes);

    taps_ = taps;
    log2Taps_ = TopBit(static_cast<uint32_t>(taps));
    round_ = (int32_t{1} << log2Taps_) >> 1;
    s_ = EchoCancellerProbe{};
    s_.position = taps - 1;
    pending_ = Pending{};
    created_ = true;
    return true;
}

void EchoCanceller::Destroy() {
    if (block_ != nullptr) ::operator delete(block_, std::align_val_t(kAlign));
    block_ = nullptr;
    fg_ = bg_ = hist_ = nullptr;
    created_ = false;
    taps_ = 0;
    log2Taps_ = 0;
    round_ = 0;
    pending_ = Pending{};
    s_ = EchoCancellerProbe{};
}

void EchoCanceller::ApplyPending() {
    if (!created_) return;
    if (pending_.factor != 0) {
        // The window of the last sample: its position is one above the
        // current one (cyclically).
        const int32_t last = s_.position + 1 < taps_ ? s_.position + 1 : 0;
        ec_kernels::AdaptScalar(bg_, hist_ + last, taps_, pending_.factor);
    }
    if (pending_.copy) std::memcpy(fg_, bg_, static_cast<size_t>(taps_) * sizeof(int16_t));
    pending_ = Pending{};
}

const int16_t* EchoCanceller::tapSet(int set) {
    ApplyPending();
    return set == 0 ? fg_ : bg_;
}

// One sample of the algorithm on a state the caller holds (the object's own,
// or a copy in registers for a run of samples). Both Update and
// UpdateAlawRun go through here, so they cannot drift apart.
VAXO_EC_INLINE int16_t EchoCanceller::Step(EchoCancellerProbe& s, Pending& pending, int16_t txIn, int16_t rxIn) {
    const int32_t n = taps_;

    // 1. Inputs, halved.
    s.tx = txIn;
    s.rx = rxIn;
    const int32_t tx = txIn >> 1;
    const int32_t rx = rxIn >> 1;

    // 2. Power of the history, sliding: the sample leaving is the one at the
    // current position.
    const int32_t pos = s.position;
    int16_t* h = hist_ + pos;
    {
        const int32_t old = h[0];
        const int32_t inc = ((tx * tx - old * old) + round_) >> log2Taps_;
        s.pStates = static_cast<int32_t>(static_cast<uint32_t>(s.pStates) + static_cast<uint32_t>(inc));
        if (s.pStates < 0) s.pStates = 0;
    }

    // 3. Levels.
    s.accTx += Abs32(tx) - s.lTx;
    s.lTx = (s.accTx + 16) >> 5;
    s.accRx += Abs32(rx) - s.lRx;
    s.lRx = (s.accRx + 16) >> 5;

    // 4./5. Both FIRs in one pass over the shared history window, after the
    // previous sample's background update and transfer (deferred to here).
    // The new sample is stored after the pass: the previous window, which the
    // update reads, ends with the sample that leaves now.
    const int32_t prev = pos + 1 < n ? pos + 1 : 0;
    int32_t y0, y1;
    step_(fg_, bg_, hist_ + prev, h, static_cast<int16_t>(tx), n, pending.factor, pending.copy, &y0, &y1);
    pending.factor = 0;
    pending.copy = false;
    h[0] = static_cast<int16_t>(tx);
    h[n] = static_cast<int16_t>(tx);

    const int16_t clean = static_cast<int16_t>(rx - static_cast<int16_t>(y0 >> 15));
    s.clean = clean;
    s.accClean += Abs32(clean) - s.lClean;
    s.lClean = (s.accClean + 16) >> 5;

    const int32_t cleanBg = rx - static_cast<int16_t>(y1 >> 15);
    s.accCleanBg += Abs32(cleanBg) - s.lCleanBg;
    s.lCleanBg = (s.accCleanBg + 16) >> 5;

    // 6. Background adaptation (carried out by the next sample's pass).
    s.factor = 0;
    s.shift = 0;
    if (s.hangover == 0) {
        const uint32_t p = static_cast<uint32_t>(kMinTxPowerForAdaption) + static_cast<uint32_t>(s.pStates);
        const int shift = 28 - TopBit(p) - log2Taps_;
        const int32_t factor = shift > 0
            ? static_cast<int32_t>(static_cast<uint32_t>(cleanBg) << shift)
            : cleanBg >> -shift;
        s.shift = static_cast<int16_t>(shift);
        s.factor = factor;
        pending.factor = factor;
    }

    // 7. Double talk.
    if (s.lRx > kMinRxPowerForAdaption && s.lRx > s.lTx) s.hangover = kDoubleTalkHangover;
    if (s.hangover != 0) --s.hangover;

    // 8. Transfer.
    s.adapted = 0;
    if (s.hangover == 0 && 8 * s.lCleanBg < 7 * s.lClean && 8 * s.lCleanBg < s.lTx) {
        if (s.condMet == kTransferAfter) {
            s.adapted = 1;
            pending.copy = true;  // after this sample's update, in the next pass
        } else {
            ++s.condMet;
        }
    } else {
        s.condMet = 0;
    }

    // 9. Non-linear processing: clip, or track the background noise.
    s.cleanNlp = clean;
    if (16 * s.lClean < s.lTx) {
        if (s.cleanNlp > s.lBgn) s.cleanNlp = static_cast<int16_t>(s.lBgn);
        if (s.cleanNlp < -s.lBgn) s.cleanNlp = static_cast<int16_t>(-s.lBgn);
    } else if (s.lClean < 40) {
        s.accBgn += Abs32(clean) - s.lBgn;
        s.lBgn = (s.accBgn + 2048) >> 12;
    }

    // 10. Move the position.
    if (s.position <= 0) s.position = n;
    --s.position;

    // 11. Back to full scale.
    return static_cast<int16_t>(s.cleanNlp * 2);
}

int16_t EchoCanceller::Update(int16_t txIn, int16_t rxIn) {
    if (!created_) return rxIn;
    return Step(s_, pending_, txIn, rxIn);
}

uint8_t EchoCanceller::UpdateAlaw(uint8_t txAlaw, uint8_t rxAlaw) {
    if (!created_) return rxAlaw;
    return LinearToAlaw(Update(AlawToLinear(txAlaw), AlawToLinear(rxAlaw)));
}

void EchoCanceller::UpdateAlawRun(const uint8_t* tx, const uint8_t* rx, size_t stride, uint32_t n, uint8_t* out) {
    if (!created_) {
        for (uint32_t k = 0; k < n; ++k) out[k] = rx[k * stride];
        return;
    }
    // Locals, so the compiler keeps the state in registers across samples
    // (through the object it must assume the kernel call may change it).
    EchoCancellerProbe s = s_;
    Pending pending = pending_;
    for (uint32_t k = 0; k < n; ++k)
        out[k] = LinearToAlaw(Step(s, pending, AlawToLinear(tx[k * stride]), AlawToLinear(rx[k * stride])));
    s_ = s;
    pending_ = pending;
}

namespace {

constexpr size_t kCacheLine = 64;

void PrefetchBytes(const void* p, size_t bytes) {
#if defined(__GNUC__) || defined(__clang__)
    const auto* c = static_cast<const char*>(p);
    for (size_t off = 0; off < bytes; off += kCacheLine) __builtin_prefetch(c + off);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace

void EchoCanceller::Prefetch() const {
    if (!created_) return;
    const size_t bytes = std::min(static_cast<size_t>(taps_) * sizeof(int16_t) + sizeof(int16_t), kPrefetchBytes);
    PrefetchBytes(hist_ + s_.position, bytes);
    PrefetchBytes(fg_, bytes);
    PrefetchBytes(bg_, bytes);
}

EchoCancellerProbe EchoCanceller::Probe() const { return s_; }

}  // namespace media
