// Echo canceller FIR pass, AVX2. This file alone is compiled with -mavx2
// (media/CMakeLists.txt) and runs only when the CPU reports AVX2. Keep it free
// of inline functions and templates from shared headers (see
// echo_canceller_kernels.h); its own helpers are in an anonymous namespace.
// The arithmetic is explained in echo_canceller_sse2.cpp; here pmulhrsw gives
// round15 directly (exact for all inputs).
#include "media/echo_canceller_kernels.h"

#if VAXO_EC_X86 && defined(__AVX2__)
#include <immintrin.h>

namespace media {
namespace ec_kernels {

namespace {

__m256i Load(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
void Store(int16_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
__m128i Load128(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void Store128(int16_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

template <bool kAdapt, bool kCopy, bool kHigh>
void StepImpl(int16_t* c0, int16_t* c1, const int16_t* hp, const int16_t* hc, int16_t x, int n,
              int32_t factor, int32_t* y0, int32_t* y1) {
    const uint32_t f = static_cast<uint32_t>(factor);
    const int16_t fl = static_cast<int16_t>(f & 0xFFFFu);
    const uint16_t fh = static_cast<uint16_t>((f - static_cast<uint32_t>(int32_t{fl})) >> 16);
    const __m256i vfl = _mm256_set1_epi16(fl);
    const __m256i vfh2 = _mm256_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(fh << 1)));
    __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};

    auto chunk = [&](int i, __m256i w, int a) {
        __m256i cb = Load(c1 + i);
        if (kAdapt) {
            const __m256i h = Load(hp + i);
            __m256i d = _mm256_mulhrs_epi16(h, vfl);
            if (kHigh) d = _mm256_add_epi16(d, _mm256_mullo_epi16(h, vfh2));
            cb = _mm256_add_epi16(cb, d);
            Store(c1 + i, cb);
        }
        if (kCopy) {
            Store(c0 + i, cb);
        } else {
            acc[a] = _mm256_add_epi32(acc[a], _mm256_madd_epi16(Load(c0 + i), w));
        }
        acc[a + 1] = _mm256_add_epi32(acc[a + 1], _mm256_madd_epi16(cb, w));
    };

    // The new sample goes in as a register (no store-forwarding stall).
    chunk(0, _mm256_insert_epi16(Load(hc), x, 0), 0);
    int i = 16;
    for (; i + 32 <= n; i += 32) {
        chunk(i, Load(hc + i), 2);
        chunk(i + 16, Load(hc + i + 16), 0);
    }
    if (i + 16 <= n) {
        chunk(i, Load(hc + i), 2);
        i += 16;
    }
    __m256i t0 = _mm256_add_epi32(acc[0], acc[2]);
    __m256i t1 = _mm256_add_epi32(acc[1], acc[3]);
    __m128i s0v = _mm_add_epi32(_mm256_castsi256_si128(t0), _mm256_extracti128_si256(t0, 1));
    __m128i s1v = _mm_add_epi32(_mm256_castsi256_si128(t1), _mm256_extracti128_si256(t1, 1));
    if (i + 8 <= n) {
        const __m128i w = Load128(hc + i);
        __m128i cb = Load128(c1 + i);
        if (kAdapt) {
            const __m128i h = Load128(hp + i);
            __m128i d = _mm_mulhrs_epi16(h, _mm256_castsi256_si128(vfl));
            if (kHigh) d = _mm_add_epi16(d, _mm_mullo_epi16(h, _mm256_castsi256_si128(vfh2)));
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

void StepAvx2(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
              int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1) {
    if (n < 16) {
        StepSse2(c0, c1, hPrev, hCur, x, n, factor, copy, y0, y1);
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
    _mm256_zeroupper();
}


namespace {
#include "media/echo_canceller_lanes.inc"
}  // namespace

void FrameAvx2(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out) {
    FrameImpl<StepAvx2>(b, txIn, rxIn, out);
}

bool Avx2KernelBuilt() { return true; }

}  // namespace ec_kernels
}  // namespace media

#elif VAXO_EC_X86
// Built without -mavx2 (the build did not recognise the processor): no AVX2
// kernel; EchoCanceller never selects it.
namespace media {
namespace ec_kernels {

void StepAvx2(int16_t* c0, int16_t* c1, const int16_t* hPrev, const int16_t* hCur, int16_t x,
              int n, int32_t factor, bool copy, int32_t* y0, int32_t* y1) {
    StepSse2(c0, c1, hPrev, hCur, x, n, factor, copy, y0, y1);
}

void FrameAvx2(LaneBank& b, const int16_t* txIn, const int16_t* rxIn, int16_t* out) {
    FrameSse2(b, txIn, rxIn, out);
}

bool Avx2KernelBuilt() { return false; }

}  // namespace ec_kernels
}  // namespace media
#endif
