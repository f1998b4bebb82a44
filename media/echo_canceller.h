// Line echo canceller, one state per channel.
//
// Dual-path design: a foreground FIR produces the output, a background FIR
// adapts by normalised LMS and its taps are copied into the foreground when
// they have done better for 6 samples running; a level-based double-talk
// detector freezes adaptation (600-sample hangover), and a non-linear
// processor clips small residuals to the background-noise level.
//
// Two implementations with the same interface and bit-identical results:
//   - EchoCanceller: the one the module uses. FIR and tap update are
//     vectorised (SSE2, or AVX2 or AVX-512 where the CPU has it, chosen at run time;
//     a portable scalar kernel elsewhere).
//   - EchoCancellerReference: the plain integer algorithm, step by step, kept
//     for tests and benchmarks that compare the two.
//
// All arithmetic is 32-bit integer with two's-complement wraparound (FIR sums,
// the adaptation factor and products) and 16-bit wraparound for tap updates;
// results are defined for every input, including overflow.
//
// Threading: a state is used by one thread only (the card's audio receive
// thread). Create/Destroy allocate and free; Update never allocates.
#pragma once
#include <cstddef>
#include <cstdint>

namespace media {

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

class EchoCanceller {
public:
    // Largest tap count Create accepts (1024 ms of tail).
    static constexpr int kMaxTaps = 8192;
    static constexpr int32_t kMaxEchoTailMs = kMaxTaps / 8;
    static constexpr int32_t kDoubleTalkHangover = 600;  // samples (75 ms)
    static constexpr size_t kPrefetchBytes = 1024;        // per array; the rest streams in

    // Tap count for a trunk's EchoTail (milliseconds): EchoTail x 8. A tail
    // above kMaxEchoTailMs is taken as kMaxEchoTailMs, so that a mistyped
    // value still leaves the trunk a canceller (the caller traces it).
    // Returns 0, meaning "no canceller for this trunk", when EchoTail < 1:
    // such a tail has no taps. The caller writes a trace line and leaves
    // the trunk's channels without a canceller; an uncreated canceller
    // passes audio through unchanged (see Update).
    static int TapsForEchoTail(int32_t echoTailMs);

    // The vector kernel used for the FIR and the tap update.
    enum class Kernel : uint8_t {
        kAuto,    // best the CPU supports (resolved in the constructor)
        kScalar,  // portable C++
        kSse2,    // x86-64 only
        kAvx2,    // x86-64 with AVX2 only
        kAvx512,  // x86-64 with AVX-512 F and BW only
    };
    static bool KernelSupported(Kernel k);
    static Kernel BestKernel();
    static const char* KernelName(Kernel k);

    // Unsupported kernels fall back to BestKernel().
    explicit EchoCanceller(Kernel kernel = Kernel::kAuto);
    virtual ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // Destroys first if created; sets up N = taps with all state zero.
    // Returns false (nothing kept, not created) when taps is outside
    // 1..kMaxTaps or memory cannot be allocated.
    bool Create(int taps);
    // Frees the buffers; harmless when not created.
    void Destroy();

    // One sample: tx is the echo reference (what we sent), rx what we
    // received, both 16-bit linear. Returns the cleaned sample.
    // When not created, returns rx unchanged.
    int16_t Update(int16_t tx, int16_t rx);

    // The per-byte step of the audio receive thread: decodes both A-law bytes,
    // runs Update and encodes the result. When not created, returns rxAlaw
    // unchanged (a channel whose canceller could not be set up passes its
    // received audio as it is).
    uint8_t UpdateAlaw(uint8_t txAlaw, uint8_t rxAlaw);

    // n samples of one channel as the audio receive thread has them:
    // tx[k * stride] is the echo reference of rx[k * stride]; the cleaned
    // bytes go to out[0..n). Same results as n calls of UpdateAlaw (the
    // state stays in registers between samples). When not created, copies
    // the received bytes.
    void UpdateAlawRun(const uint8_t* tx, const uint8_t* rx, size_t stride, uint32_t n, uint8_t* out);

    // Asks the CPU to fetch what the next Update will read (the history
    // window and both tap sets, up to kPrefetchBytes of each), so that a
    // caller going from channel to channel can overlap the fetch of the next
    // channel's state with the work on this one. No effect on results.
    void Prefetch() const;

    bool created() const { return created_; }
    int taps() const { return taps_; }
    int log2Taps() const { return log2Taps_; }
    Kernel kernel() const { return kernel_; }
    // Levels of the received and the cleaned signal (statistics).
    int32_t levelRx() const { return s_.lRx; }
    int32_t levelClean() const { return s_.lClean; }

    // Diagnostics and tests.
    EchoCancellerProbe Probe() const;
    // Tap set 0 (foreground) or 1 (background); nullptr when not created.
    // Applies the background update and transfer that Update defers to the
    // next sample (see below), so the taps are those of the algorithm.
    const int16_t* tapSet(int set);

    // Test seam: after `count` more successful allocations, allocations made
    // by Create fail as if memory were exhausted. -1 (default) = no limit.
    void SetAllocationLimitForTest(int count) { allocLimit_ = count; }

private:
    using StepFn = void (*)(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur,
                            int16_t x, int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1);

    // The background update of a sample and a transfer it decided are carried
    // out at the start of the next sample's FIR pass, in the same sweep over
    // the taps (nothing reads the taps in between). factor 0 = none.
    struct Pending {
        int32_t factor = 0;
        bool copy = false;
    };

    void* Allocate(size_t bytes);
    void ApplyPending();
    int16_t Step(EchoCancellerProbe& s, Pending& pending, int16_t txIn, int16_t rxIn);

    Kernel kernel_;
    StepFn step_;
    int allocLimit_ = -1;

    bool created_ = false;
    int32_t taps_ = 0;
    int32_t log2Taps_ = 0;
    int32_t round_ = 0;  // 2^(log2N - 1) (0 when N = 1)
    void* block_ = nullptr;  // one aligned allocation for everything below
    int16_t* fg_ = nullptr;  // tap set 0
    int16_t* bg_ = nullptr;  // tap set 1
    // Both FIRs see the same input at the same position, so one history is
    // kept, twice over (sample k at k and k + N): the window of the current
    // position p is hist_[p .. p + N).
    int16_t* hist_ = nullptr;
    Pending pending_;

    EchoCancellerProbe s_;
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
