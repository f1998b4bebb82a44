// Internal to the echo canceller: the per-sample FIR pass.
//
// Declarations only, on purpose: echo_canceller_avx2.cpp is compiled with
// -mavx2 (echo_canceller_avx512.cpp with AVX-512), and any inline function or template from a shared header that it
// instantiated could be merged by the linker with the baseline copy and then
// run on a CPU without AVX2.
//
// Step (all kernels agree bit for bit): the two FIR sums of one sample, with
// the previous sample's background update and tap transfer folded in, so the
// taps are read once per sample:
//   if factor != 0:  c1[i] += (int16)((hPrev[i] * factor + 16384) >> 15)
//                    (product and sum modulo 2^32, arithmetic shift,
//                    16-bit wrapping add)
//   if copy:         c0[i] = c1[i]            (after the update)
//   w[0] = x, w[i] = hCur[i] for i >= 1     (x: the new sample, not yet stored)
//   *y0 = sum c0[i] * w[i], *y1 = sum c1[i] * w[i]   (modulo 2^32)
// for i in [0, n). hPrev and hCur may overlap each other, not c0 or c1.
#pragma once
#include <cstdint>

namespace media {
namespace ec_kernels {

using StepFn = void (*)(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur,
                        int16_t x, int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1);

void StepScalar(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
                int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1);
// c[i] += (int16)((h[i] * factor + 16384) >> 15), as above.
void AdaptScalar(int16_t* c, const int16_t* h, int n, int32_t factor);

// Defined only on x86-64 builds (VAXO_EC_X86 below).
void StepSse2(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
              int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1);
void StepAvx2(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
              int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1);
// False when echo_canceller_avx2.cpp was built without AVX2 code generation
// (then StepAvx2 is StepSse2).
bool Avx2KernelBuilt();
// AVX-512 F and BW, likewise (StepAvx2 when not built).
void StepAvx512(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
                int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1);
bool Avx512KernelBuilt();

// A group of channels run side by side (EchoCancellerBank). Plain data, so
// that each kernel file can run it with its own code: the per-sample control
// of every lane (levels, adaptation factor, double talk, transfer, NLP) runs
// as loops over all kMaxLanes lanes, which the compiler turns into vector
// code of the file's instruction set; the FIR pass runs lane by lane.
// Lanes at or above `lanes` hold zeros and are computed but never used.
constexpr int kMaxLanes = 16;

struct alignas(64) LaneState {
    int32_t tx[kMaxLanes], rx[kMaxLanes];             // last inputs as given
    int32_t clean[kMaxLanes], cleanNlp[kMaxLanes];    // halved scale
    int32_t hangover[kMaxLanes], condMet[kMaxLanes], pStates[kMaxLanes];
    int32_t adapted[kMaxLanes], factor[kMaxLanes], shift[kMaxLanes];
    int32_t accTx[kMaxLanes], lTx[kMaxLanes], accRx[kMaxLanes], lRx[kMaxLanes];
    int32_t accClean[kMaxLanes], lClean[kMaxLanes], accCleanBg[kMaxLanes], lCleanBg[kMaxLanes];
    int32_t accBgn[kMaxLanes], lBgn[kMaxLanes];
    // The background update and transfer a sample decided, carried out by
    // the next sample's FIR pass (as in EchoCanceller).
    int32_t pendingFactor[kMaxLanes], pendingCopy[kMaxLanes];
};

struct LaneBank {
    int32_t lanes = 0;
    int32_t taps = 0, log2Taps = 0, round = 0;
    int32_t position = 0;  // shared: the lanes step together
    int16_t* fg[kMaxLanes] = {};
    int16_t* bg[kMaxLanes] = {};
    int16_t* hist[kMaxLanes] = {};  // each twice over, as in EchoCanceller
    LaneState s;
};

// One sample of every lane: txIn/rxIn/out hold kMaxLanes linear samples
// (zeros in unused lanes). Same results per lane as EchoCanceller::Update.
using FrameFn = void (*)(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out);
void FrameScalar(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out);
void FrameSse2(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out);
void FrameAvx2(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out);
void FrameAvx512(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out);

}  // namespace ec_kernels
}  // namespace media

#if defined(__x86_64__) || defined(_M_X64)
#define VAXO_EC_X86 1
#else
#define VAXO_EC_X86 0
#endif
