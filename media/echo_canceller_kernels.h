// Internal to the echo canceller: the FIR and tap-update kernels.
//
// Declarations only, on purpose: echo_canceller_avx2.cpp is compiled with
// -mavx2, and any inline function or template it instantiated could be merged
// by the linker with the baseline copy and then run on a CPU without AVX2.
//
// Semantics (all kernels agree bit for bit):
//   Dot2:  *y0 = sum c0[i] * h[i], *y1 = sum c1[i] * h[i], i in [0, n),
//          products of 16-bit values summed modulo 2^32.
//   Adapt: c[i] += (int16)((h[i] * factor + 16384) >> 15) for i in [0, n),
//          product and sum modulo 2^32, arithmetic shift, 16-bit wrapping add.
#pragma once
#include <cstdint>

namespace media {
namespace ec_kernels {

void Dot2Scalar(const int16_t* c0, const int16_t* c1, const int16_t* h, int n, int32_t* y0,
                int32_t* y1);
void AdaptScalar(int16_t* c, const int16_t* h, int n, int32_t factor);

// Defined only on x86-64 builds (VAXO_EC_X86 below).
void Dot2Sse2(const int16_t* c0, const int16_t* c1, const int16_t* h, int n, int32_t* y0,
              int32_t* y1);
void AdaptSse2(int16_t* c, const int16_t* h, int n, int32_t factor);
void Dot2Avx2(const int16_t* c0, const int16_t* c1, const int16_t* h, int n, int32_t* y0,
              int32_t* y1);
void AdaptAvx2(int16_t* c, const int16_t* h, int n, int32_t factor);

}  // namespace ec_kernels
}  // namespace media

#if defined(__x86_64__) || defined(_M_X64)
#define VAXO_EC_X86 1
#else
#define VAXO_EC_X86 0
#endif
