// Echo canceller kernels, AVX2. This file alone is compiled with -mavx2
// (media/CMakeLists.txt) and is only called when the CPU reports AVX2.
// Keep it free of inline functions and templates from shared headers (see
// echo_canceller_kernels.h). The arithmetic is explained in
// echo_canceller_sse2.cpp.
#include "media/echo_canceller_kernels.h"

#if VAXO_EC_X86
#include <immintrin.h>

namespace media {
namespace ec_kernels {

void Dot2Avx2(const int16_t* c0, const int16_t* c1, const int16_t* h, int n, int32_t* y0,
              int32_t* y1) {
    __m256i a0 = _mm256_setzero_si256();
    __m256i a1 = _mm256_setzero_si256();
    __m256i b0 = _mm256_setzero_si256();
    __m256i b1 = _mm256_setzero_si256();
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i h0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i));
        const __m256i h1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i + 16));
        a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c0 + i)), h0));
        a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c1 + i)), h0));
        b0 = _mm256_add_epi32(b0, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c0 + i + 16)), h1));
        b1 = _mm256_add_epi32(b1, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c1 + i + 16)), h1));
    }
    if (i + 16 <= n) {
        const __m256i h0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i));
        a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c0 + i)), h0));
        a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c1 + i)), h0));
        i += 16;
    }
    a0 = _mm256_add_epi32(a0, b0);
    a1 = _mm256_add_epi32(a1, b1);
    __m128i s0v = _mm_add_epi32(_mm256_castsi256_si128(a0), _mm256_extracti128_si256(a0, 1));
    __m128i s1v = _mm_add_epi32(_mm256_castsi256_si128(a1), _mm256_extracti128_si256(a1, 1));
    if (i + 8 <= n) {
        const __m128i h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        s0v = _mm_add_epi32(s0v, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c0 + i)), h0));
        s1v = _mm_add_epi32(s1v, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c1 + i)), h0));
        i += 8;
    }
    const __m128i lo = _mm_unpacklo_epi32(s0v, s1v);
    const __m128i hi = _mm_unpackhi_epi32(s0v, s1v);
    __m128i s = _mm_add_epi32(lo, hi);
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    uint32_t s0 = static_cast<uint32_t>(_mm_cvtsi128_si32(s));
    uint32_t s1 = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(s, 0x55)));
    for (; i < n; ++i) {
        s0 += static_cast<uint32_t>(int32_t{c0[i]} * h[i]);
        s1 += static_cast<uint32_t>(int32_t{c1[i]} * h[i]);
    }
    *y0 = static_cast<int32_t>(s0);
    *y1 = static_cast<int32_t>(s1);
}

void AdaptAvx2(int16_t* c, const int16_t* h, int n, int32_t factor) {
    const uint32_t f = static_cast<uint32_t>(factor);
    const int16_t fl = static_cast<int16_t>(f & 0xFFFFu);
    const uint16_t fh = static_cast<uint16_t>((f - static_cast<uint32_t>(int32_t{fl})) >> 16);
    const int16_t fh2 = static_cast<int16_t>(static_cast<uint16_t>(fh << 1));
    const __m256i vfl = _mm256_set1_epi16(fl);
    const __m256i vfh2 = _mm256_set1_epi16(fh2);
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i hv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i));
        // pmulhrsw is exactly round15 of the 32-bit product, for all inputs.
        const __m256i r = _mm256_add_epi16(_mm256_mulhrs_epi16(hv, vfl), _mm256_mullo_epi16(hv, vfh2));
        __m256i* cp = reinterpret_cast<__m256i*>(c + i);
        _mm256_storeu_si256(cp, _mm256_add_epi16(_mm256_loadu_si256(cp), r));
    }
    if (i + 8 <= n) {
        const __m128i hv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        const __m128i r = _mm_add_epi16(_mm_mulhrs_epi16(hv, _mm256_castsi256_si128(vfl)),
                                        _mm_mullo_epi16(hv, _mm256_castsi256_si128(vfh2)));
        __m128i* cp = reinterpret_cast<__m128i*>(c + i);
        _mm_storeu_si128(cp, _mm_add_epi16(_mm_loadu_si128(cp), r));
        i += 8;
    }
    for (; i < n; ++i) {
        const uint32_t p = static_cast<uint32_t>(int32_t{h[i]}) * f + 16384u;
        const int32_t v = static_cast<int32_t>(p) >> 15;
        c[i] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(c[i]) + static_cast<uint16_t>(v)));
    }
}

}  // namespace ec_kernels
}  // namespace media

#endif  // VAXO_EC_X86
