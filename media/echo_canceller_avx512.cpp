// Echo canceller FIR pass, AVX-512 (F and BW). This file alone is compiled
// with -mavx512f -mavx512bw (media/CMakeLists.txt) and runs only when the CPU
// and the OS support them. Same rules as echo_canceller_avx2.cpp: no inline
// functions or templates from shared headers. 32 taps per vector; the tail
// below 32 goes through 256- and 128-bit steps of the same arithmetic.
#include "media/echo_canceller_kernels.h"

#if VAXO_EC_X86 && defined(__AVX512F__) && defined(__AVX512BW__)
#include <immintrin.h>

namespace media {
namespace ec_kernels {

namespace {

__m512i Load(const int16_t* p) { return _mm512_loadu_si512(p); }
void Store(int16_t* p, __m512i v) { _mm512_storeu_si512(p, v); }
__m256i Load256(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
void Store256(int16_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
__m128i Load128(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void Store128(int16_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

template <bool kAdapt, bool kCopy, bool kHigh>
void StepImpl(int16_t* c0, int16_t* c1, const int16_t* hp, const int16_t* hc, int16_t x, int n,
              int32_t factor, int32_t* y0, int32_t* y1) {
    const uint32_t f = static_cast<uint32_t>(factor);
    const int16_t fl = static_cast<int16_t>(f & 0xFFFFu);
    const uint16_t fh = static_cast<uint16_t>((f - static_cast<uint32_t>(int32_t{fl})) >> 16);
    const __m512i vfl = _mm512_set1_epi16(fl);
    const __m512i vfh2 = _mm512_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(fh << 1)));
    __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                      _mm512_setzero_si512()};

    auto chunk = [&](int i, __m512i w, int a) {
        __m512i cb = Load(c1 + i);
        if (kAdapt) {
            const __m512i h = Load(hp + i);
            __m512i d = _mm512_mulhrs_epi16(h, vfl);
            if (kHigh) d = _mm512_add_epi16(d, _mm512_mullo_epi16(h, vfh2));
            cb = _mm512_add_epi16(cb, d);
            Store(c1 + i, cb);
        }
        if (kCopy) {
            Store(c0 + i, cb);
        } else {
            acc[a] = _mm512_add_epi32(acc[a], _mm512_madd_epi16(Load(c0 + i), w));
        }
        acc[a + 1] = _mm512_add_epi32(acc[a + 1], _mm512_madd_epi16(cb, w));
    };

    // The new sample goes in as a register (no store-forwarding stall).
    chunk(0, _mm512_mask_mov_epi16(Load(hc), 1, _mm512_set1_epi16(x)), 0);
    int i = 32;
    for (; i + 64 <= n; i += 64) {
        chunk(i, Load(hc + i), 2);
        chunk(i + 32, Load(hc + i + 32), 0);
    }
    if (i + 32 <= n) {
        chunk(i, Load(hc + i), 2);
        i += 32;
    }
    const __m512i t0 = _mm512_add_epi32(acc[0], acc[2]);
    const __m512i t1 = _mm512_add_epi32(acc[1], acc[3]);
    __m256i s0w = _mm256_add_epi32(_mm512_castsi512_si256(t0), _mm512_extracti64x4_epi64(t0, 1));
    __m256i s1w = _mm256_add_epi32(_mm512_castsi512_si256(t1), _mm512_extracti64x4_epi64(t1, 1));
    if (i + 16 <= n) {
        const __m256i w = Load256(hc + i);
        __m256i cb = Load256(c1 + i);
        if (kAdapt) {
            const __m256i h = Load256(hp + i);
            __m256i d = _mm256_mulhrs_epi16(h, _mm512_castsi512_si256(vfl));
            if (kHigh) d = _mm256_add_epi16(d, _mm256_mullo_epi16(h, _mm512_castsi512_si256(vfh2)));
            cb = _mm256_add_epi16(cb, d);
            Store256(c1 + i, cb);
        }
        if (kCopy) {
            Store256(c0 + i, cb);
        } else {
            s0w = _mm256_add_epi32(s0w, _mm256_madd_epi16(Load256(c0 + i), w));
        }
        s1w = _mm256_add_epi32(s1w, _mm256_madd_epi16(cb, w));
        i += 16;
    }
    __m128i s0v = _mm_add_epi32(_mm256_castsi256_si128(s0w), _mm256_extracti128_si256(s0w, 1));
    __m128i s1v = _mm_add_epi32(_mm256_castsi256_si128(s1w), _mm256_extracti128_si256(s1w, 1));
    if (i + 8 <= n) {
        const __m128i w = Load128(hc + i);
        __m128i cb = Load128(c1 + i);
        if (kAdapt) {
            const __m128i h = Load128(hp + i);
            __m128i d = _mm_mulhrs_epi16(h, _mm512_castsi512_si128(vfl));
            if (kHigh) d = _mm_add_epi16(d, _mm_mullo_epi16(h, _mm512_castsi512_si128(vfh2)));
            cb = _mm_add_epi16(cb, d);
            Store128(c1 + i, cb);
        }
        if (kCopy) {
            Store128(c0 + i, cb);
        } else {
            s0v = _mm_add_epi32(s0v, _mm_madd_epi16(Load128(c0 + i), w));
        }
        s1v = _mm_add_epi32(s1v, _mm_madd_epi16(cb, w));
        i += 8;
    }
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

void StepAvx512(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
                int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1) {
    if (n < 32) {
        StepAvx2(c0, c1, hPrev, hCur, x, n, factor, copy, y0, y1);
        return;
    }
    const bool high = true;  // EXPERIMENT
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
    _mm256_zeroupper();
}


namespace {
#include "media/echo_canceller_lanes.inc"
}  // namespace

void FrameAvx512(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out) {
    FrameImpl<StepAvx512>(b, txIn, rxIn, out);
}

bool Avx512KernelBuilt() { return true; }

}  // namespace ec_kernels
}  // namespace media

#elif VAXO_EC_X86
// Built without AVX-512 code generation: no such kernel; EchoCanceller never
// selects it.
namespace media {
namespace ec_kernels {

void StepAvx512(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
                int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1) {
    StepAvx2(c0, c1, hPrev, hCur, x, n, factor, copy, y0, y1);
}

void FrameAvx512(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out) {
    FrameAvx2(b, txIn, rxIn, out);
}

bool Avx512KernelBuilt() { return false; }

}  // namespace ec_kernels
}  // namespace media
#endif
