// Line echo canceller, one state per channel.
//
// Dual-path design: a foreground FIR produces the output, a background FIR
// adapts by normalised LMS and its taps are copied into the foreground when
// they have done better for 6 samples running; a level-based double-talk
// detector freezes adaptation (600-sample hangover), and a non-linear
// processor clips small residuals to the background-noise level.
//
// Implementations with bit-identical results:
//   - EchoCancellerBank (echo_canceller_bank.h): the one the module uses, a
//     group of channels side by side. FIR and tap update are vectorised
//     (SSE2, or AVX2 or AVX-512 where the CPU has it, chosen at run time; a
//     portable scalar kernel elsewhere), and so is the per-sample control
//     across the channels.
//   - EchoCanceller: one channel on its own (a bank of one), with the
//     kernel choice and the tail-to-taps rule.
//   - EchoCancellerReference: the plain integer algorithm, step by step, kept
//     for tests and benchmarks that compare the two.
//
// All arithmetic is 32-bit integer with two's-complement wraparound (FIR sums,
// the adaptation factor and products) and 16-bit wraparound for tap updates;
// results are defined for every input, including overflow.
//
// Threading: a state is used by one thread at a time. Create/Destroy
// allocate and free; Update never allocates.
#pragma once
#include <cstddef>
#include <cstdint>

#include "media/echo_canceller_bank.h"

namespace media {

class EchoCanceller {
public:
    // Largest tap count Create accepts (1024 ms of tail).
    static constexpr int kMaxTaps = EchoCancellerBank::kMaxTaps;
    static constexpr int32_t kMaxEchoTailMs = kMaxTaps / 8;
    static constexpr int32_t kDoubleTalkHangover = 600;  // samples (75 ms)

    // Tap count for a trunk's EchoTail (milliseconds): EchoTail x 8. A tail
    // above kMaxEchoTailMs is taken as kMaxEchoTailMs, so that a mistyped
    // value still leaves the trunk a canceller (the caller traces it).
    // Returns 0, meaning "no canceller for this trunk", when EchoTail < 1:
    // such a tail has no taps. The caller writes a trace line and leaves
    // the trunk's channels without a canceller; an uncreated canceller
    // passes audio through unchanged (see Update).
    static int TapsForEchoTail(int32_t echoTailMs);

    // The vector kernel used for the FIR and the tap update.
    using Kernel = EchoKernel;
    static bool KernelSupported(Kernel k);
    static Kernel BestKernel();
    static const char* KernelName(Kernel k);

    // Unsupported kernels fall back to BestKernel().
    explicit EchoCanceller(Kernel kernel = Kernel::kAuto) : bank_(kernel) {}

    // Destroys first if created; sets up N = taps with all state zero.
    // Returns false (nothing kept, not created) when taps is outside
    // 1..kMaxTaps or memory cannot be allocated.
    bool Create(int taps) { return bank_.Create(1, taps); }
    // Frees the buffers; harmless when not created.
    void Destroy() { bank_.Destroy(); }

    // One sample: tx is the echo reference (what we sent), rx what we
    // received, both 16-bit linear. Returns the cleaned sample.
    // When not created, returns rx unchanged.
    int16_t Update(int16_t tx, int16_t rx);
    // The same in A-law. When not created, returns rxAlaw unchanged.
    uint8_t UpdateAlaw(uint8_t txAlaw, uint8_t rxAlaw);

    bool created() const { return bank_.created(); }
    int taps() const { return bank_.taps(); }
    int log2Taps() const { return bank_.log2Taps(); }
    Kernel kernel() const { return bank_.kernel(); }
    int32_t levelRx() const { return bank_.levelRx(0); }
    int32_t levelClean() const { return bank_.levelClean(0); }

    // Diagnostics and tests.
    EchoCancellerProbe Probe() const { return bank_.Probe(0); }
    // Tap set 0 (foreground) or 1 (background); nullptr when not created.
    const int16_t* tapSet(int set) { return bank_.TapSet(0, set); }
    // Test seam: after `count` more successful allocations, allocations made
    // by Create fail as if memory were exhausted. -1 (default) = no limit.
    void SetAllocationLimitForTest(int count) { bank_.SetAllocationLimitForTest(count); }

private:
    EchoCancellerBank bank_;
};

// The algorithm as written: two FIR structures with their own histories and
// positions, the sums walked in the specified order. Same interface.
class EchoCancellerReference {
public:
    EchoCancellerReference() = default;
    virtual ~EchoCancellerReference();
    EchoCancellerReference(const EchoCancellerReference&) = delete;
    EchoCancellerReference& operator=(const EchoCancellerReference&) = delete;

    bool Create(int taps);
    void Destroy();
    int16_t Update(int16_t tx, int16_t rx);
    uint8_t UpdateAlaw(uint8_t txAlaw, uint8_t rxAlaw);

    bool created() const { return created_; }
    int taps() const { return taps_; }
    int log2Taps() const { return log2Taps_; }
    EchoCancellerProbe Probe() const;
    const int16_t* tapSet(int set) const { return tapSets_[set == 0 ? 0 : 1]; }
    void SetAllocationLimitForTest(int count) { allocLimit_ = count; }

private:
    struct Fir {
        int32_t taps = 0;
        int32_t currPos = 0;
        const int16_t* coeffs = nullptr;
        int16_t* history = nullptr;
    };
    static int16_t FirStep(Fir& fir, int16_t x);
    void LmsAdaptBackground(int32_t cleanBg, int shift);
    int16_t* AllocateSamples(int count);

    int allocLimit_ = -1;
    bool created_ = false;
    int32_t taps_ = 0;
    int32_t log2Taps_ = 0;
    int32_t currPos_ = 0;
    Fir fir_;
    Fir firBg_;
    int16_t* tapSets_[2] = {nullptr, nullptr};
    EchoCancellerProbe s_;
};

}  // namespace media
