// Echo cancellers run side by side: set-up, the A-law frame loop and the
// kernel choice. The lane arithmetic is in echo_canceller_lanes.inc, built
// once per instruction set by the kernel files.
#include "media/echo_canceller_bank.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "media/echo_canceller.h"
#include "media/g711.h"

namespace media {

namespace {

constexpr size_t kAlign = 64;

size_t RoundUp(size_t v, size_t m) { return (v + m - 1) / m * m; }

int TopBitOf(uint32_t v) {
    int b = 0;
    while (v >>= 1) ++b;
    return b;
}

ec_kernels::FrameFn FrameFor(EchoKernel k) {
#if VAXO_EC_X86
    switch (k) {
        case EchoKernel::kAvx512: return ec_kernels::FrameAvx512;
        case EchoKernel::kAvx2: return ec_kernels::FrameAvx2;
        case EchoKernel::kSse2: return ec_kernels::FrameSse2;
        default: break;
    }
#else
    (void)k;
#endif
    return ec_kernels::FrameScalar;
}

}  // namespace

EchoCancellerBank::EchoCancellerBank(EchoKernel kernel) {
    if (kernel == EchoKernel::kAuto || !EchoCanceller::KernelSupported(kernel))
        kernel = EchoCanceller::BestKernel();
    kernel_ = kernel;
    frame_ = FrameFor(kernel);
}

EchoCancellerBank::~EchoCancellerBank() { Destroy(); }

bool EchoCancellerBank::Create(int channels, int taps) {
    Destroy();
    if (channels < 1 || channels > kMaxChannels || taps < 1 || taps > kMaxTaps) return false;
    if (allocLimit_ == 0) return false;
    // Per channel, as in EchoCanceller: both tap sets and the history twice
    // over, each array on its own 64-byte line.
    const size_t tapBytes = RoundUp(static_cast<size_t>(taps) * sizeof(int16_t), kAlign);
    const size_t histBytes = RoundUp(2 * static_cast<size_t>(taps) * sizeof(int16_t), kAlign);
    const size_t perChannel = 2 * tapBytes + histBytes;
    const size_t total = perChannel * static_cast<size_t>(channels);
    void* block = ::operator new(total, std::align_val_t(kAlign), std::nothrow);
    if (block == nullptr) return false;
    if (allocLimit_ > 0) --allocLimit_;
    std::memset(block, 0, total);
    block_ = block;
    bank_ = ec_kernels::LaneBank{};
    auto* bytes = static_cast<unsigned char*>(block);
    for (int l = 0; l < channels; ++l) {
        unsigned char* at = bytes + perChannel * static_cast<size_t>(l);
        bank_.fg[l] = reinterpret_cast<int16_t*>(at);
        bank_.bg[l] = reinterpret_cast<int16_t*>(at + tapBytes);
        bank_.hist[l] = reinterpret_cast<int16_t*>(at + 2 * tapBytes);
    }
    bank_.lanes = channels;
    bank_.taps = taps;
    bank_.log2Taps = TopBitOf(static_cast<uint32_t>(taps));
    bank_.round = (int32_t{1} << bank_.log2Taps) >> 1;
    bank_.position = taps - 1;
    created_ = true;
    return true;
}

void EchoCancellerBank::Destroy() {
    if (block_ != nullptr) ::operator delete(block_, std::align_val_t(kAlign));
    block_ = nullptr;
    bank_ = ec_kernels::LaneBank{};
    created_ = false;
}

void EchoCancellerBank::UpdateAlaw(const uint8_t* tx, const uint8_t* rx, const uint16_t* offset, size_t stride,
                                   uint32_t frames, uint8_t* out, size_t outStride) {
    frames = std::min(frames, kMaxFrames);
    const int lanes = bank_.lanes;
    if (!created_) return;  // no channels: nothing to pass on
    alignas(64) int16_t txIn[kMaxChannels] = {}, rxIn[kMaxChannels] = {}, cleaned[kMaxChannels];
    for (uint32_t k = 0; k < frames; ++k) {
        const size_t at = k * stride;
        for (int l = 0; l < lanes; ++l) {
            txIn[l] = AlawToLinear(tx[offset[l] + at]);
            rxIn[l] = AlawToLinear(rx[offset[l] + at]);
        }
        frame_(bank_, txIn, rxIn, cleaned);
        for (int l = 0; l < lanes; ++l) out[static_cast<size_t>(l) * outStride + k] = LinearToAlaw(cleaned[l]);
    }
}

void EchoCancellerBank::UpdateLinear(const int16_t* tx, const int16_t* rx, int16_t* out) {
    if (!created_) return;
    alignas(64) int16_t txIn[kMaxChannels] = {}, rxIn[kMaxChannels] = {};
    std::copy(tx, tx + bank_.lanes, txIn);
    std::copy(rx, rx + bank_.lanes, rxIn);
    frame_(bank_, txIn, rxIn, out);
}

const int16_t* EchoCancellerBank::TapSet(int l, int set) {
    if (!created_ || l < 0 || l >= bank_.lanes) return nullptr;
    ec_kernels::LaneState& s = bank_.s;
    if (s.pendingFactor[l] != 0) {
        // The window of the last sample: its position is one above the
        // current one (cyclically).
        const int32_t last = bank_.position + 1 < bank_.taps ? bank_.position + 1 : 0;
        ec_kernels::AdaptScalar(bank_.bg[l], bank_.hist[l] + last, bank_.taps, s.pendingFactor[l]);
    }
    if (s.pendingCopy[l] != 0)
        std::memcpy(bank_.fg[l], bank_.bg[l], static_cast<size_t>(bank_.taps) * sizeof(int16_t));
    s.pendingFactor[l] = 0;
    s.pendingCopy[l] = 0;
    return set == 0 ? bank_.fg[l] : bank_.bg[l];
}

EchoCancellerProbe EchoCancellerBank::Probe(int l) const {
    EchoCancellerProbe p;
    if (!created_ || l < 0 || l >= bank_.lanes) return p;
    const ec_kernels::LaneState& s = bank_.s;
    p.tx = static_cast<int16_t>(s.tx[l]);
    p.rx = static_cast<int16_t>(s.rx[l]);
    p.clean = static_cast<int16_t>(s.clean[l]);
    p.cleanNlp = static_cast<int16_t>(s.cleanNlp[l]);
    p.hangover = s.hangover[l];
    p.position = bank_.position;
    p.condMet = s.condMet[l];
    p.pStates = s.pStates[l];
    p.adapted = static_cast<int16_t>(s.adapted[l]);
    p.factor = s.factor[l];
    p.shift = static_cast<int16_t>(s.shift[l]);
    p.accTx = s.accTx[l];
    p.lTx = s.lTx[l];
    p.accRx = s.accRx[l];
    p.lRx = s.lRx[l];
    p.accClean = s.accClean[l];
    p.lClean = s.lClean[l];
    p.accCleanBg = s.accCleanBg[l];
    p.lCleanBg = s.lCleanBg[l];
    p.accBgn = s.accBgn[l];
    p.lBgn = s.lBgn[l];
    return p;
}

}  // namespace media
