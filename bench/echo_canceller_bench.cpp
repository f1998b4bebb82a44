// Echo canceller throughput: the reference implementation and the vectorised
// one (each kernel the CPU has) side by side on the same input.
//
// Input: speech-like far end (two formants, syllabic envelope) through A-law,
// its echo through a G.168 echo path model (spandsp's header when available,
// else a synthetic hybrid) at 8 dB loss and 5 ms delay, plus quiet near-end
// noise, back through A-law. No double talk, so the background filter adapts
// on every sample: the expensive steady state.
//
// Counters (per core: every benchmark runs on one thread):
//   samples/s      canceller samples per second
//   ch/core        channels one core keeps in real time (samples/s / 8000)
//   cyc/sample     TSC cycles per sample of CPU time (the TSC runs at the
//                  nominal clock; the core may run faster under turbo)
//   Mcyc/s/ch      TSC megacycles per second for one channel, to set beside
//                  the anchor of ~33 MIPS per channel at 256 taps
//   %core@240ch    percent of one core for 240 channels (8 E1 trunks)
//
// Two shapes: "1ch" runs one canceller on consecutive samples (all state in
// L1); "240ch" runs 240 cancellers the way the audio receive thread does,
// 4 frames per packet, channel after channel, so each channel's 2 KB of state
// comes from L2 at the start of its frames.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "media/echo_canceller.h"
#include "media/echo_canceller_bank.h"
#include "media/g711.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define VAXO_HAVE_TSC 1
#endif

#ifdef VAXO_HAVE_SPANDSP
#include <spandsp/g168models.h>
#endif

namespace {

using media::EchoCanceller;
using media::EchoCancellerReference;
using Kernel = EchoCanceller::Kernel;

constexpr double kPi = 3.14159265358979323846;
constexpr int kChannels = 240;
constexpr int kFramesPerPacket = 4;
constexpr double kAnchorMipsPerChannel = 33.0;

struct Input {
    std::vector<int16_t> tx, rx;
};

int16_t Clamp16(double v) { return static_cast<int16_t>(std::lround(std::max(-32768.0, std::min(32767.0, v)))); }

const Input& TheInput() {
    static const Input in = [] {
        const size_t n = 16000;
        std::mt19937 g(1);
        std::normal_distribution<double> nd(0.0, 1.0);
        std::vector<double> src(n);
        double a1 = 0, a2 = 0, b1 = 0, b2 = 0;
        const double w1 = 2 * kPi * 500 / 8000, w2 = 2 * kPi * 1500 / 8000;
        for (size_t i = 0; i < n; ++i) {
            const double x = nd(g);
            const double a = x + 2 * 0.97 * std::cos(w1) * a1 - 0.97 * 0.97 * a2;
            a2 = a1;
            a1 = a;
            const double b = x + 2 * 0.93 * std::cos(w2) * b1 - 0.93 * 0.93 * b2;
            b2 = b1;
            b1 = b;
            src[i] = (a + 0.7 * b) * (0.25 + 0.75 * (0.5 - 0.5 * std::cos(2 * kPi * 3.2 * i / 8000)));
        }
        double p = 0;
        for (double v : src) p += v * v;
        const double scale = 3000 / std::sqrt(p / n);
        Input r;
        for (double v : src) r.tx.push_back(media::AlawToLinear(media::LinearToAlaw(Clamp16(v * scale))));

        std::vector<double> ir;
#ifdef VAXO_HAVE_SPANDSP
        for (int32_t c : line_model_d5_coeffs) ir.push_back(c);
#else
        for (int i = 0; i < 64; ++i) ir.push_back(std::exp(-i / 8.0) * std::cos(2 * kPi * i * 0.11));
#endif
        const int delay = 40;
        std::vector<double> echo(n, 0.0);
        double pt = 0, pe = 0;
        for (size_t i = 0; i < n; ++i) {
            for (size_t k = 0; k < ir.size() && i >= delay + k; ++k) echo[i] += ir[k] * r.tx[i - delay - k];
            pt += double(r.tx[i]) * r.tx[i];
            pe += echo[i] * echo[i];
        }
        const double es = std::sqrt(pt / pe * std::pow(10.0, -8.0 / 10));
        for (size_t i = 0; i < n; ++i)
            r.rx.push_back(media::AlawToLinear(media::LinearToAlaw(Clamp16(echo[i] * es + nd(g) * 4))));
        return r;
    }();
    return in;
}

// TSC ticks per second, measured once against the steady clock (0 when the
// CPU has no TSC). Cycle counters below are this rate times the CPU time of
// the run, so they agree with samples/s even when other processes compete
// for the core.
double TscHz() {
    static const double hz = [] {
#ifdef VAXO_HAVE_TSC
        using Clock = std::chrono::steady_clock;
        const auto t0 = Clock::now();
        const uint64_t c0 = __rdtsc();
        while (Clock::now() - t0 < std::chrono::milliseconds(100)) {
        }
        const uint64_t c1 = __rdtsc();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        return static_cast<double>(c1 - c0) / s;
#else
        return 0.0;
#endif
    }();
    return hz;
}

void SetCounters(benchmark::State& state, double samples) {
    using benchmark::Counter;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["samples/s"] = Counter(samples, Counter::kIsRate);
    state.counters["ch/core"] = Counter(samples / 8000.0, Counter::kIsRate);
    // time / (samples / (240 * 8000 * 100)) = percent of a core for 240 channels
    state.counters["%core@240ch"] = Counter(samples / (kChannels * 8000.0 * 100.0), Counter::kIsRate | Counter::kInvert);
    if (TscHz() > 0) {
        // time * hz / samples
        state.counters["cyc/sample"] = Counter(samples / TscHz(), Counter::kIsRate | Counter::kInvert);
        state.counters["Mcyc/s/ch"] = Counter(samples / (TscHz() * 8000.0 / 1e6), Counter::kIsRate | Counter::kInvert);
    }
}

std::unique_ptr<EchoCanceller> MakeFast(int kernel) {
    return std::make_unique<EchoCanceller>(static_cast<Kernel>(kernel));
}

// ---------------------------------------------------------------------------

template <class Ec>
void RunOneChannel(benchmark::State& state, Ec& ec) {
    const Input& in = TheInput();
    const size_t n = in.tx.size();
    if (!ec.Create(static_cast<int>(state.range(0)))) {
        state.SkipWithError("Create failed");
        return;
    }
    // Converge first, outside the timing.
    for (size_t i = 0; i < n / 2; ++i) ec.Update(in.tx[i], in.rx[i]);
    size_t pos = n / 2;
    constexpr size_t kBlock = 160;
    int32_t sink = 0;
    double samples = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < kBlock; ++i) {
            sink += ec.Update(in.tx[pos], in.rx[pos]);
            if (++pos == n) pos = 0;
        }
        samples += kBlock;
    }
    benchmark::DoNotOptimize(sink);
    SetCounters(state, samples);
}

void BM_Reference_1ch(benchmark::State& state) {
    EchoCancellerReference ec;
    RunOneChannel(state, ec);
}

void BM_Fast_1ch(benchmark::State& state) {
    const auto k = static_cast<Kernel>(state.range(1));
    if (!EchoCanceller::KernelSupported(k)) {
        state.SkipWithError("kernel not supported by this CPU");
        return;
    }
    EchoCanceller ec(k);
    state.SetLabel(EchoCanceller::KernelName(ec.kernel()));
    RunOneChannel(state, ec);
}

// 240 channels, packet by packet, each channel's frames in turn (the order of
// the audio receive thread: trunk, timeslot, frame).
template <class Ec>
void RunCard(benchmark::State& state, std::vector<std::unique_ptr<Ec>>& ecs) {
    const Input& in = TheInput();
    const size_t n = in.tx.size();
    for (size_t c = 0; c < ecs.size(); ++c) {
        if (!ecs[c]->Create(static_cast<int>(state.range(0)))) {
            state.SkipWithError("Create failed");
            return;
        }
        const size_t off = (c * 997) % n;
        for (size_t i = 0; i < 800; ++i) ecs[c]->Update(in.tx[(off + i) % n], in.rx[(off + i) % n]);
    }
    size_t pos = 0;
    int32_t sink = 0;
    double samples = 0;
    for (auto _ : state) {
        for (size_t c = 0; c < ecs.size(); ++c) {
            const size_t off = (pos + c * 997) % n;
            Ec& ec = *ecs[c];
            for (size_t k = 0; k < kFramesPerPacket; ++k) {
                const size_t i = off + k < n ? off + k : off + k - n;
                sink += ec.Update(in.tx[i], in.rx[i]);
            }
        }
        pos = (pos + kFramesPerPacket) % n;
        samples += static_cast<double>(ecs.size() * kFramesPerPacket);
    }
    benchmark::DoNotOptimize(sink);
    SetCounters(state, samples);
}

void BM_Reference_240ch(benchmark::State& state) {
    std::vector<std::unique_ptr<EchoCancellerReference>> ecs;
    for (int c = 0; c < kChannels; ++c) ecs.push_back(std::make_unique<EchoCancellerReference>());
    RunCard(state, ecs);
}

void BM_Fast_240ch(benchmark::State& state) {
    const auto k = static_cast<Kernel>(state.range(1));
    if (!EchoCanceller::KernelSupported(k)) {
        state.SkipWithError("kernel not supported by this CPU");
        return;
    }
    std::vector<std::unique_ptr<EchoCanceller>> ecs;
    for (int c = 0; c < kChannels; ++c) ecs.push_back(MakeFast(static_cast<int>(k)));
    state.SetLabel(EchoCanceller::KernelName(k));
    RunCard(state, ecs);
}

// A card's channels in A-law as the audio receive thread has them
// (interleaved packets of 5 frames; 240 channels for one card of 8 trunks,
// 1020 for the full port table, whose states no longer fit the cache).
// "bank" 0 runs each channel's canceller on its own, byte by byte
// (EchoCanceller::UpdateAlaw), 1 runs banks of 15 channels side by side
// (half a trunk's bearers each, as the module does). "cold" 1 writes over
// 16 MB between packets (untimed), as the other cards, the tick thread and
// the rest of the machine do between two packets of a card, so every
// channel's state comes from memory.
void BM_Alaw_Card(benchmark::State& state) {
    constexpr int kFrames = 5;
    constexpr int kBankChannels = 15;
    const bool banked = state.range(0) != 0;
    const int channels = static_cast<int>(state.range(1));
    const bool cold = state.range(2) != 0;
    std::vector<uint8_t> evict(cold ? size_t{16} << 20 : 0);
    const Input& in = TheInput();
    const size_t n = in.tx.size();
    std::vector<uint8_t> txA(n), rxA(n);
    for (size_t i = 0; i < n; ++i) {
        txA[i] = media::LinearToAlaw(in.tx[i]);
        rxA[i] = media::LinearToAlaw(in.rx[i]);
    }
    // A packet in the card's layout: frame k of channel c at k * channels + c.
    std::vector<uint8_t> tx(static_cast<size_t>(kFrames * channels)), rx(tx.size());
    std::vector<std::unique_ptr<EchoCanceller>> ecs;
    std::vector<std::unique_ptr<media::EchoCancellerBank>> banks;
    for (int c = 0; !banked && c < channels; ++c) {
        ecs.push_back(std::make_unique<EchoCanceller>());
        if (!ecs.back()->Create(256)) return state.SkipWithError("Create failed");
    }
    for (int b = 0; banked && b < channels / kBankChannels; ++b) {
        banks.push_back(std::make_unique<media::EchoCancellerBank>());
        if (!banks.back()->Create(kBankChannels, 256)) return state.SkipWithError("Create failed");
    }
    uint16_t offsets[kBankChannels];
    for (int c = 0; c < kBankChannels; ++c) offsets[c] = static_cast<uint16_t>(c);
    uint8_t out[kBankChannels * kFrames];
    size_t pos = 0;
    uint32_t sink = 0;
    double samples = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int k = 0; k < kFrames; ++k)
            for (int c = 0; c < channels; ++c) {
                const size_t i = (pos + static_cast<size_t>(c) * 997 + static_cast<size_t>(k)) % n;
                tx[static_cast<size_t>(k * channels + c)] = txA[i];
                rx[static_cast<size_t>(k * channels + c)] = rxA[i];
            }
        pos = (pos + kFrames) % n;
        for (size_t i = 0; i < evict.size(); i += 64) evict[i] = static_cast<uint8_t>(evict[i] + 1);
        state.ResumeTiming();
        if (banked) {
            for (size_t b = 0; b < banks.size(); ++b) {
                const size_t base = b * kBankChannels;
                banks[b]->UpdateAlaw(&tx[base], &rx[base], offsets, static_cast<size_t>(channels), kFrames, out, kFrames);
                sink += out[0];
            }
        } else {
            for (int c = 0; c < channels; ++c)
                for (int k = 0; k < kFrames; ++k) {
                    const size_t at = static_cast<size_t>(k * channels + c);
                    sink += ecs[static_cast<size_t>(c)]->UpdateAlaw(tx[at], rx[at]);
                }
        }
        samples += static_cast<double>(kFrames * channels);
    }
    benchmark::DoNotOptimize(sink);
    benchmark::DoNotOptimize(evict.data());
    state.SetLabel(EchoCanceller::KernelName(EchoCanceller::BestKernel()));
    SetCounters(state, samples);
}
BENCHMARK(BM_Alaw_Card)
    ->ArgNames({"bank", "channels", "cold"})
    ->Args({0, 240, 0})->Args({1, 240, 0})->Args({0, 1020, 0})->Args({1, 1020, 0})
    ->Args({0, 240, 1})->Args({1, 240, 1});

constexpr int64_t kScalar = static_cast<int64_t>(Kernel::kScalar);
constexpr int64_t kSse2 = static_cast<int64_t>(Kernel::kSse2);
constexpr int64_t kAvx2 = static_cast<int64_t>(Kernel::kAvx2);
constexpr int64_t kAvx512 = static_cast<int64_t>(Kernel::kAvx512);

BENCHMARK(BM_Reference_1ch)->ArgName("taps")->Arg(256)->Arg(128)->Arg(512)->Arg(1024);
BENCHMARK(BM_Fast_1ch)
    ->ArgNames({"taps", "kernel"})
    ->Args({256, kScalar})->Args({256, kSse2})->Args({256, kAvx2})->Args({256, kAvx512})
    ->Args({128, kAvx2})->Args({512, kAvx2})->Args({1024, kAvx2})
    ->Args({128, kSse2})->Args({512, kSse2})->Args({1024, kSse2});
BENCHMARK(BM_Reference_240ch)->ArgName("taps")->Arg(256);
BENCHMARK(BM_Fast_240ch)
    ->ArgNames({"taps", "kernel"})->Args({256, kSse2})->Args({256, kAvx2})->Args({256, kAvx512});

// ---------------------------------------------------------------------------
// A summary after the usual table: speed-up over the reference for the same
// taps and shape, and the targets.

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions, the median stands for the benchmark.
        bool aggregates = false;
        for (const Run& r : runs) aggregates |= r.run_type == Run::RT_Aggregate;
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            if (aggregates ? (r.run_type != Run::RT_Aggregate || r.aggregate_name != "median")
                           : r.run_type != Run::RT_Iteration)
                continue;
            Row row;
            row.function = r.run_name.function_name;
            row.args = r.run_name.args;
            row.label = r.report_label;
            auto get = [&](const char* key) {
                auto it = r.counters.find(key);
                return it == r.counters.end() ? 0.0 : it->second.value;
            };
            row.rate = get("samples/s");
            row.cyc = get("cyc/sample");
            rows_.push_back(row);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        // Reference and fast runs match on shape and taps:
        // BM_<Impl>_<shape> with args "taps:N[/kernel:K]".
        auto key = [](const Row& r) {
            const size_t us = r.function.find('_', 3);
            return r.function.substr(us + 1) + "/" + r.args.substr(0, r.args.find('/'));
        };
        std::map<std::string, double> refRate;
        for (const Row& r : rows_)
            if (r.function.rfind("BM_Reference", 0) == 0) refRate[key(r)] = r.rate;
        std::printf("\nSummary (one core; %d channels = 8 E1 trunks; anchor %.0f MIPS per channel at 256 taps)\n",
                    kChannels, kAnchorMipsPerChannel);
        std::printf("%-36s %-7s %12s %9s %9s %11s %9s %12s\n", "benchmark", "kernel", "samples/s", "ch/core",
                    "x ref", "cyc/sample", "Mcyc/s/ch", "%core@240ch");
        for (const Row& r : rows_) {
            const std::string name = r.function + "/" + r.args;
            const auto it = refRate.find(key(r));
            const double speedup = it != refRate.end() && it->second > 0 ? r.rate / it->second : 0;
            std::printf("%-36s %-7s %12.0f %9.0f %9.2f %11.0f %9.2f %12.2f\n", name.c_str(),
                        r.label.empty() ? "-" : r.label.c_str(), r.rate, r.rate / 8000, speedup, r.cyc,
                        r.cyc * 8000 / 1e6, r.rate > 0 ? 100.0 * kChannels * 8000 / r.rate : 0);
        }
        std::printf("Targets at 256 taps: fast >= 6x reference; 240 channels < 15%% of one core.\n");
    }

private:
    struct Row {
        std::string function, args, label;
        double rate = 0, cyc = 0;
    };
    std::vector<Row> rows_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("echo canceller kernel chosen on this CPU: %s; TSC %.0f MHz\n",
                EchoCanceller::KernelName(EchoCanceller::BestKernel()), TscHz() / 1e6);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
