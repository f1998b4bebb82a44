// The echo cancellers of a group of channels that step together (half of a
// trunk's bearer channels), run side by side: for each sample, the FIR pass
// of each channel, then the per-sample control of all of them at once in
// vector lanes. Same results, channel by channel, as EchoCanceller.
//
// Threading: Create/Destroy by card set-up and release while the card's audio
// receive thread does not run it; UpdateAlaw and the levels by that thread
// only. UpdateAlaw never allocates.
#pragma once
#include <cstddef>
#include <cstdint>

#include "media/echo_canceller_kernels.h"

namespace media {

// The vector kernel used for the FIR and the tap update.
enum class EchoKernel : uint8_t {
    kAuto,    // best the CPU supports (resolved in the constructor)
    kScalar,  // portable C++
    kSse2,    // x86-64 only
    kAvx2,    // x86-64 with AVX2 only
    kAvx512,  // x86-64 with AVX-512 F and BW only
};

// Everything the canceller keeps besides its taps and histories, for tests
// and diagnostics. Names follow the algorithm: L* are levels, acc* their
// single-pole accumulators.
struct EchoCancellerProbe {
    int16_t tx = 0, rx = 0;            // last inputs as given
    int16_t clean = 0, cleanNlp = 0;   // last output before / after the NLP (halved scale)
    int32_t hangover = 0;              // double-talk hangover counter, samples
    int32_t position = 0;              // current position in the tap ring
    int32_t condMet = 0;               // transfer condition counter
    int32_t pStates = 0;               // power of the filter history
    int16_t adapted = 0;               // last step copied the background taps
    int32_t factor = 0;                // adaptation factor of the last step
    int16_t shift = 0;                 // adaptation shift of the last step
    int32_t accTx = 0, lTx = 0;
    int32_t accRx = 0, lRx = 0;
    int32_t accClean = 0, lClean = 0;
    int32_t accCleanBg = 0, lCleanBg = 0;
    int32_t accBgn = 0, lBgn = 0;

    bool operator==(const EchoCancellerProbe& o) const;
    bool operator!=(const EchoCancellerProbe& o) const { return !(*this == o); }
};


class EchoCancellerBank {
public:
    static constexpr int kMaxChannels = ec_kernels::kMaxLanes;
    static constexpr int kMaxTaps = 8192;  // 1024 ms of tail
    static constexpr uint32_t kMaxFrames = 256;  // frames per UpdateAlaw call

    explicit EchoCancellerBank(EchoKernel kernel = EchoKernel::kAuto);
    ~EchoCancellerBank();
    EchoCancellerBank(const EchoCancellerBank&) = delete;
    EchoCancellerBank& operator=(const EchoCancellerBank&) = delete;

    // Destroys first; sets up `channels` cancellers of `taps` taps, all state
    // zero. False (nothing kept) when channels is outside 1..kMaxChannels,
    // taps outside 1..kMaxTaps, or memory is short.
    bool Create(int channels, int taps);
    void Destroy();

    // One sample of every channel, 16-bit linear: tx[l], rx[l] and out[l] for
    // l below kMaxChannels (the values past channels() are ignored).
    void UpdateLinear(const int16_t* tx, const int16_t* rx, int16_t* out);

    // frames samples of every channel in A-law: channel l's frame k is
    // tx[offset[l] + k * stride] (the echo reference) and
    // rx[offset[l] + k * stride]; its cleaned byte goes to out[l * outStride + k].
    // frames above kMaxFrames are cut to kMaxFrames. When not created, does
    // nothing (the caller passes the received bytes on as they are).
    void UpdateAlaw(const uint8_t* tx, const uint8_t* rx, const uint16_t* offset, size_t stride,
                    uint32_t frames, uint8_t* out, size_t outStride);

    bool created() const { return created_; }
    int channels() const { return bank_.lanes; }
    int taps() const { return bank_.taps; }
    int log2Taps() const { return bank_.log2Taps; }
    EchoKernel kernel() const { return kernel_; }
    // Levels of the received and the cleaned signal of one channel (statistics).
    int32_t levelRx(int channel) const { return bank_.s.lRx[channel]; }
    int32_t levelClean(int channel) const { return bank_.s.lClean[channel]; }
    // Diagnostics and tests: one channel's state as EchoCanceller::Probe gives it.
    EchoCancellerProbe Probe(int channel) const;
    // Tap set 0 (foreground) or 1 (background) of a channel; nullptr when not
    // created. Applies the background update and transfer that the next
    // sample would make first, so the taps are those of the algorithm.
    const int16_t* TapSet(int channel, int set);

    void SetAllocationLimitForTest(int count) { allocLimit_ = count; }

private:
    EchoKernel kernel_;
    ec_kernels::FrameFn frame_;
    int allocLimit_ = -1;
    bool created_ = false;
    void* block_ = nullptr;
    ec_kernels::LaneBank bank_;
};

}  // namespace media
