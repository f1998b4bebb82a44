// Echo canceller kernels, SSE2 (the x86-64 baseline). See
// echo_canceller_kernels.h for what each computes.
#include "media/echo_canceller_kernels.h"

#if VAXO_EC_X86
#include <emmintrin.h>

namespace media {
namespace ec_kernels {

void Dot2Sse2(const int16_t* c0, const int16_t* c1, const int16_t* h, int n, int32_t* y0,
              int32_t* y1) {
    __m128i a0 = _mm_setzero_si128();
    __m128i a1 = _mm_setzero_si128();
    __m128i b0 = _mm_setzero_si128();
    __m128i b1 = _mm_setzero_si128();
    int i = 0;
    // pmaddwd adds two exact 16x16 products in 32 bits; its one overflow case
    // wraps like the scalar sum, so every partial sum is exact modulo 2^32.
    for (; i + 16 <= n; i += 16) {
        const __m128i h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        const __m128i h1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + 8));
        a0 = _mm_add_epi32(a0, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c0 + i)), h0));
        a1 = _mm_add_epi32(a1, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c1 + i)), h0));
        b0 = _mm_add_epi32(b0, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c0 + i + 8)), h1));
        b1 = _mm_add_epi32(b1, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c1 + i + 8)), h1));
    }
    if (i + 8 <= n) {
        const __m128i h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        a0 = _mm_add_epi32(a0, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c0 + i)), h0));
        a1 = _mm_add_epi32(a1, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c1 + i)), h0));
        i += 8;
    }
    a0 = _mm_add_epi32(a0, b0);
    a1 = _mm_add_epi32(a1, b1);
    // Horizontal sums of both at once: lanes (a0 pair sums, a1 pair sums).
    const __m128i lo = _mm_unpacklo_epi32(a0, a1);  // a0.0 a1.0 a0.1 a1.1
    const __m128i hi = _mm_unpackhi_epi32(a0, a1);  // a0.2 a1.2 a0.3 a1.3
    __m128i s = _mm_add_epi32(lo, hi);              // a0.02 a1.02 a0.13 a1.13
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

// With factor = fh * 2^16 + fl (fl taken as signed 16-bit, fh adjusted for
// it), h * factor + 2^14 = (h * fl + 2^14) + 2^16 * (h * fh mod 2^16)
// modulo 2^32, so the low 16 bits of (... >> 15) are
//   round15(h * fl) + 2 * (h * fh)        (modulo 2^16)
// where round15(p) = (p + 2^14) >> 15 of the exact 32-bit product
// (pmulhrsw, emulated here from pmulhw/pmullw: 2 * hi + ((lo >> 14) + 1) >> 1).
void AdaptSse2(int16_t* c, const int16_t* h, int n, int32_t factor) {
    const uint32_t f = static_cast<uint32_t>(factor);
    const int16_t fl = static_cast<int16_t>(f & 0xFFFFu);
    const uint16_t fh = static_cast<uint16_t>((f - static_cast<uint32_t>(int32_t{fl})) >> 16);
    const __m128i vfl = _mm_set1_epi16(fl);
    const __m128i vfh2 = _mm_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(fh << 1)));
    const __m128i one = _mm_set1_epi16(1);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i hv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        const __m128i lo = _mm_mullo_epi16(hv, vfl);
        const __m128i hi = _mm_mulhi_epi16(hv, vfl);
        __m128i r = _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(lo, 14), one), 1);
        r = _mm_add_epi16(r, _mm_slli_epi16(hi, 1));
        r = _mm_add_epi16(r, _mm_mullo_epi16(hv, vfh2));
        __m128i* cp = reinterpret_cast<__m128i*>(c + i);
        _mm_storeu_si128(cp, _mm_add_epi16(_mm_loadu_si128(cp), r));
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
