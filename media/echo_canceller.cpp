// Line echo canceller: the scalar kernels, the run-time kernel choice and the
// one-channel canceller. The step-by-step reference is
// in echo_canceller_reference.cpp; both must stay bit-identical (tests/media/
// echo_canceller_test.cpp checks it).
#include "media/echo_canceller.h"

#include <algorithm>
#include <cstring>

#include "media/echo_canceller_kernels.h"
#include "media/g711.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace media {

namespace {


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

namespace {
#include "media/echo_canceller_lanes.inc"
}  // namespace

void FrameScalar(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out) {
    FrameImpl<StepScalar>(b, txIn, rxIn, out);
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

int16_t EchoCanceller::Update(int16_t txIn, int16_t rxIn) {
    if (!bank_.created()) return rxIn;
    int16_t tx[EchoCancellerBank::kMaxChannels] = {txIn};
    int16_t rx[EchoCancellerBank::kMaxChannels] = {rxIn};
    int16_t out[EchoCancellerBank::kMaxChannels];
    bank_.UpdateLinear(tx, rx, out);
    return out[0];
}

uint8_t EchoCanceller::UpdateAlaw(uint8_t txAlaw, uint8_t rxAlaw) {
    if (!bank_.created()) return rxAlaw;
    return LinearToAlaw(Update(AlawToLinear(txAlaw), AlawToLinear(rxAlaw)));
}

}  // namespace media
