// DTMF detection throughput: samples per second on one core, fed the same
// A-law stream (digits between speech-like noise) in 160-byte ticks.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "media/dtmf_decode.h"
#include "media/g711.h"

#ifdef VAXO_HAVE_SPANDSP
#include <spandsp.h>
#endif

namespace {

constexpr size_t kTickBytes = 160;
constexpr int kStreamSeconds = 4;
constexpr double kRate = 8000.0;
constexpr double kPi = 3.14159265358979323846;

// Four seconds: alternately a 60 ms digit and 140 ms of a noisy harmonic
// signal, so both the quiet and the tone paths are exercised.
const std::vector<uint8_t>& Stream() {
    static const std::vector<uint8_t> stream = [] {
        const double rows[] = {697, 770, 852, 941};
        const double cols[] = {1209, 1336, 1477, 1633};
        std::vector<uint8_t> out;
        uint32_t noise = 12345;
        for (int n = 0; n < kStreamSeconds * 8000; ++n) {
            int slot = n / 1600;
            double t = n / kRate;
            double v;
            if (n % 1600 < 480) {
                v = 3000 * std::sin(2 * kPi * rows[slot % 4] * t) +
                    3000 * std::sin(2 * kPi * cols[(slot / 4) % 4] * t);
            } else {
                noise = noise * 1103515245u + 12345u;
                v = 2500 * std::sin(2 * kPi * 140 * t) + 1200 * std::sin(2 * kPi * 420 * t) +
                    static_cast<int>((noise >> 16) & 0x3FF) - 512;
            }
            out.push_back(media::LinearToAlaw(static_cast<int16_t>(std::lround(v))));
        }
        return out;
    }();
    return stream;
}

void BM_CDtmfDecode(benchmark::State& state) {
    const std::vector<uint8_t>& in = Stream();
    media::CDtmfDecode detector;
    detector.SetThresholds(7.0f, 7.0f, 6.3f, 6.3f, 40.0f);
    int64_t digits = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); i += kTickBytes) {
            detector.AddBlock(in.data() + i, kTickBytes);
            char c;
            while (detector.TakeDigit(&c) == 1) ++digits;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
    state.counters["digits/pass"] = static_cast<double>(digits) / state.iterations();
}
BENCHMARK(BM_CDtmfDecode);

// The per-sample entry point, for comparison with the block path.
void BM_CDtmfDecodeAddSample(benchmark::State& state) {
    const std::vector<uint8_t>& in = Stream();
    media::CDtmfDecode detector;
    for (auto _ : state) {
        for (uint8_t b : in) detector.AddSample(media::AlawToLinear(b));
        char c;
        while (detector.TakeDigit(&c) == 1) {
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}
BENCHMARK(BM_CDtmfDecodeAddSample);

#ifdef VAXO_HAVE_SPANDSP
void BM_SpandspDtmfRx(benchmark::State& state) {
    const std::vector<uint8_t>& in = Stream();
    dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, nullptr, nullptr);
    int16_t linear[kTickBytes];
    int64_t digits = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); i += kTickBytes) {
            for (size_t k = 0; k < kTickBytes; ++k) linear[k] = media::AlawToLinear(in[i + k]);
            dtmf_rx(rx, linear, static_cast<int>(kTickBytes));
            char got[32];
            digits += static_cast<int64_t>(dtmf_rx_get(rx, got, sizeof got - 1));
        }
    }
    dtmf_rx_free(rx);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
    state.counters["digits/pass"] = static_cast<double>(digits) / state.iterations();
}
BENCHMARK(BM_SpandspDtmfRx);
#endif

}  // namespace

BENCHMARK_MAIN();
