// Echo canceller FIR pass, SSE2 (the x86-64 baseline). See
// echo_canceller_kernels.h for what it computes.
//
// Exactness:
// - pmaddwd adds two exact 16x16-bit products in 32 bits; its single overflow
//   case wraps like the scalar sum, so every partial sum is exact modulo 2^32
//   and the order of summation does not matter.
// - The tap update: with factor = fh * 2^16 + fl (fl taken as signed 16-bit,
//   fh adjusted for it), h * factor + 2^14 = (h * fl + 2^14) + 2^16 * (h * fh)
//   modulo 2^32, so the low 16 bits of (h * factor + 2^14) >> 15 are
//       round15(h * fl) + 2 * (h * fh)      (modulo 2^16)
//   where round15(p) = (p + 2^14) >> 15 of the exact 32-bit product, which is
//   what pmulhrsw computes; SSE2 has no pmulhrsw, so it is built from
//   pmulhw/pmullw: 2 * hi + (((lo >> 14) + 1) >> 1) with lo taken unsigned.
#include "media/echo_canceller_kernels.h"

#if VAXO_EC_X86
#include <emmintrin.h>

namespace media {
namespace ec_kernels {

namespace {

__m128i Load(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void Store(int16_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The 16-bit tap increments for 8 history samples.
// kHigh: the factor does not fit in 16 bits (fh != 0).
template <bool kHigh>
__m128i Delta(__m128i h, __m128i fl, __m128i fh2, __m128i one) {
    const __m128i lo = _mm_mullo_epi16(h, fl);
    const __m128i hi = _mm_mulhi_epi16(h, fl);
    __m128i r = _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(lo, 14), one), 1);
    r = _mm_add_epi16(r, _mm_slli_epi16(hi, 1));
    if (kHigh) r = _mm_add_epi16(r, _mm_mullo_epi16(h, fh2));
    return r;
}

template <bool kAdapt, bool kCopy, bool kHigh>
void StepImpl(int16_t* c0, int16_t* c1, const int16_t* hp, const int16_t* hc, int16_t x, int n,
              int32_t factor, int32_t* y0, int32_t* y1) {
    const uint32_t f = static_cast<uint32_t>(factor);
    const int16_t fl = static_cast<int16_t>(f & 0xFFFFu);
    const uint16_t fh = static_cast<uint16_t>((f - static_cast<uint32_t>(int32_t{fl})) >> 16);
    const __m128i vfl = _mm_set1_epi16(fl);
    const __m128i vfh2 = _mm_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(fh << 1)));
    const __m128i one = _mm_set1_epi16(1);
    __m128i acc[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};

    auto chunk = [&](int i, __m128i w, int a) {
        __m128i cb = Load(c1 + i);
        if (kAdapt) {
            cb = _mm_add_epi16(cb, Delta<kHigh>(Load(hp + i), vfl, vfh2, one));
            Store(c1 + i, cb);
        }
        if (kCopy) {
            Store(c0 + i, cb);
        } else {
            acc[a] = _mm_add_epi32(acc[a], _mm_madd_epi16(Load(c0 + i), w));
        }
        acc[a + 1] = _mm_add_epi32(acc[a + 1], _mm_madd_epi16(cb, w));
    };

    // The new sample goes in as a register: storing it first and loading the
    // vector over it would stall store forwarding.
    chunk(0, _mm_insert_epi16(Load(hc), x, 0), 0);
    int i = 8;
    for (; i + 16 <= n; i += 16) {
        chunk(i, Load(hc + i), 2);
        chunk(i + 8, Load(hc + i + 8), 0);
    }
    if (i + 8 <= n) {
        chunk(i, Load(hc + i), 2);
        i += 8;
    }
    const __m128i s0v = _mm_add_epi32(acc[0], acc[2]);
    const __m128i s1v = _mm_add_epi32(acc[1], acc[3]);
    // Both horizontal sums at once.
    __m128i s = _mm_add_epi32(_mm_unpacklo_epi32(s0v, s1v), _mm_unpackhi_epi32(s0v, s1v));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    uint32_t s0 = static_cast<uint32_t>(_mm_cvtsi128_si32(s));
    uint32_t s1 = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(s, 0x55)));
    for (; i < n; ++i) {
        if (kAdapt) {
            const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(int32_t{hp[i]}) * f + 16384u) >> 15;
            c1[i] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(c1[i]) + static_cast<uint16_t>(v)));
        }
        if (kCopy) c0[i] = c1[i];
        s0 += static_cast<uint32_t>(int32_t{c0[i]} * hc[i]);
        s1 += static_cast<uint32_t>(int32_t{c1[i]} * hc[i]);
    }
    *y0 = static_cast<int32_t>(kCopy ? s1 : s0);
    *y1 = static_cast<int32_t>(s1);
}

}  // namespace

void StepSse2(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
              int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1) {
    if (n < 8) {
        StepScalar(c0, c1, hPrev, hCur, x, n, factor, copy, y0, y1);
        return;
    }
    // Factors in -32768..32767 (the usual case at speech levels) need one
    // multiply less.
    const bool high = factor < -32768 || factor > 32767;
    if (factor != 0) {
        if (high) {
            if (copy) StepImpl<true, true, true>(c0, c1, hPrev, hCur, x, n, factor, y0, y1);
            else StepImpl<true, false, true>(c0, c1, hPrev, hCur, x, n, factor, y0, y1);
        } else {
            if (copy) StepImpl<true, true, false>(c0, c1, hPrev, hCur, x, n, factor, y0, y1);
            else StepImpl<true, false, false>(c0, c1, hPrev, hCur, x, n, factor, y0, y1);
        }
    } else {
        if (copy) StepImpl<false, true, false>(c0, c1, hPrev, hCur, x, n, factor, y0, y1);
        else StepImpl<false, false, false>(c0, c1, hPrev, hCur, x, n, factor, y0, y1);
    }
}


namespace {
#include "media/echo_canceller_lanes.inc"
}  // namespace

void FrameSse2(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out) {
    FrameImpl<StepSse2>(b, txIn, rxIn, out);
}

}  // namespace ec_kernels
}  // namespace media

#endif  // VAXO_EC_X86
