// CPU cost of a card's media path, driven directly without network: a card
// of 8 trunks (256 timeslots) with 240 open ports, each playing, recording,
// running DTMF detection and giving its blocks to the host callback. One
// iteration is 10 ms of audio (16 packets of 5 frames and one tick cycle);
// "core_pct" is the share of one core that real time would take. Also the
// lateness of the real media tick thread against its 10 ms schedule.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/card_link.h"
#include "core/config.h"
#include "core/device.h"
#include "core/port_table.h"
#include "core/trace.h"
#include "media/audio_stream.h"
#include "media/card_media.h"
#include "media/play.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

constexpr int kTrunks = 8;
constexpr int kFramesPerPacket = 5;                   // 1288-byte packets
constexpr int kPacketsPer10Ms = 80 / kFramesPerPacket;
constexpr uint32_t kCardAddress = 0x0100000Au;
constexpr double kIterationSeconds = 0.010;

void NoSend(void*, const uint8_t*, size_t) {}
void VAXO_CALL HostCallback(int, uint32_t, unsigned char* data, int) { benchmark::DoNotOptimize(data[0]); }

// 10 ms chunks of pseudo-speech, different on every channel.
std::vector<uint8_t> Speech(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = 2463534242u ^ (seed * 2654435761u);
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(0xC0 + (x >> 28));  // moderate levels
    }
    return out;
}

class Card {
public:
    explicit Card(bool echoCancel) {
        driver::g_traceLevel = 2;
        driver::g_config.audioBuffers = 16;
        link_.cardIndex = transport::kMaxCards - 1;
        link_.serial = 1;
        link_.trunkCount = kTrunks;
        link_.cardAddress = kCardAddress;
        link_.mediaContext = 0;
        transport::g_cards[link_.cardIndex] = &link_;
        media::PrepareCardMedia(link_);
        media::SetUpAudioPools(link_);
        media::ResetAudioReceiveState(link_);
        media::SetAudioPacketTap(link_, NoSend, nullptr);
        for (int s = 0; s < kTrunks; ++s) {
            if (echoCancel) media::CreateEchoCancellers(link_, s, 32);
            link_.trunks[s].echoCanceller = echoCancel;
        }
        prompt_ = Speech(8000 * 60, 7);
        for (int s = 0; s < kTrunks; ++s) {
            for (int t = 1; t < 32; ++t) {
                if (t == 16) continue;
                auto port = std::make_unique<driver::CDevice>();
                const int number = s * 30 + (t < 16 ? t - 1 : t - 2);
                port->portNumber = static_cast<uint32_t>(number);
                port->cardIndex = link_.cardIndex;
                port->trunkIndex = static_cast<uint32_t>(s);
                port->timeslot = static_cast<uint32_t>(t);
                driver::g_ports[number] = port.get();
                port->Open();
                media::SetAudioCallback(*port, 0, HostCallback);
                ports_.push_back(std::move(port));
            }
        }
        RestartPlaysAndRecords();
        link_.mediaCallback = media::MediaDispatch;
        // The card's packets for one second, prepared once.
        const int stride = kTrunks * 32;
        std::vector<std::vector<uint8_t>> channelSpeech;
        for (int c = 0; c < stride; ++c) channelSpeech.push_back(Speech(8000, static_cast<uint32_t>(c)));
        for (int p = 0; p < 8000 / kFramesPerPacket; ++p) {
            std::vector<uint8_t> packet(8 + kFramesPerPacket * stride);
            packet[0] = 0xFF;
            packet[1] = 0x55;
            for (int k = 0; k < kFramesPerPacket; ++k) {
                for (int c = 0; c < stride; ++c) packet[8 + k * stride + c] = channelSpeech[c][p * kFramesPerPacket + k];
            }
            packets_.push_back(std::move(packet));
        }
    }

    ~Card() {
        media::RequestMediaStop(link_);
        media::JoinMediaTickThread(link_);
        media::ReleaseCardMedia(link_);
        for (auto& port : ports_) driver::g_ports[port->portNumber] = nullptr;
        transport::g_cards[link_.cardIndex] = nullptr;
    }

    // Long plays and open-ended recordings on every port, started afresh.
    void RestartPlaysAndRecords() {
        for (auto& port : ports_) {
            media::StopPlay(*port);
            media::Play(*port, prompt_.data(), static_cast<int>(prompt_.size()), true);
            media::Record(*port, -1);
        }
    }

    // 10 ms of the card's stream through the receive side: one datagram at
    // a time (batch 1), or in batches as the receive thread takes them when
    // several are queued at a wake-up.
    void Receive10Ms(int batch = 1) {
        plat::Datagram slots[plat::kMaxReceiveBatch];
        int queued = 0;
        for (int i = 0; i < kPacketsPer10Ms; ++i) {
            std::vector<uint8_t>& packet = packets_[next_ % packets_.size()];
            media::PutPacketSequence(packet.data(), static_cast<uint32_t>(next_));
            packet[6] = next_ == 0 ? 1 : 0;
            ++next_;
            if (batch <= 1) {
                media::HandleAudioDatagram(link_, packet.data(), packet.size(), kCardAddress);
                continue;
            }
            plat::Datagram& d = slots[queued++];
            d.data = packet.data();
            d.capacity = packet.size();
            d.length = static_cast<int>(packet.size());
            d.fromAddress = kCardAddress;
            d.fromPort = transport::kCardPort;
            if (queued == batch || i + 1 == kPacketsPer10Ms) {
                media::HandleAudioDatagrams(link_, slots, queued);
                queued = 0;
            }
        }
    }

    void Tick() { media::MediaTickCycle(link_); }
    transport::CardLink& link() { return link_; }

private:
    transport::CardLink link_;
    std::vector<std::unique_ptr<driver::CDevice>> ports_;
    std::vector<uint8_t> prompt_;
    std::vector<std::vector<uint8_t>> packets_;
    uint64_t next_ = 0;
};

void SetCorePercent(benchmark::State& state) {
    // CPU seconds per iteration over 10 ms of audio, in percent (the library
    // prints an inverted rate with an "s" after it; the number is the percent).
    state.counters["core_pct"] = benchmark::Counter(kIterationSeconds / 100.0,
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

// Receive thread: sequence checks, cutting into blocks, one packet sent per
// packet (built from the send rings). "batch": datagrams taken per wake-up
// (1: each cut as it comes; more: the batch cut channel by channel).
void BM_ReceivePath(benchmark::State& state) {
    Card card(state.range(0) != 0);
    const int batch = static_cast<int>(state.range(1));
    int64_t n = 0;
    for (auto _ : state) {
        card.Receive10Ms(batch);
        if (++n % 50 == 0) {  // keep the ticks' blocks coming back
            state.PauseTiming();
            for (int i = 0; i < 50; ++i) card.Tick();
            state.ResumeTiming();
        }
    }
    SetCorePercent(state);
}
BENCHMARK(BM_ReceivePath)
    ->ArgNames({"echo", "batch"})
    ->Args({0, 1})->Args({0, 2})->Args({0, 4})
    ->Args({1, 1})->Args({1, 2})->Args({1, 4})
    ->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Tick thread: play fill, end marking, DTMF over every received block,
// record append and host callback, for 240 ports.
void BM_TickCycle(benchmark::State& state) {
    Card card(false);
    int64_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        card.Receive10Ms();
        if (++n % 3000 == 0) card.RestartPlaysAndRecords();  // bounded record buffers
        state.ResumeTiming();
        card.Tick();
    }
    SetCorePercent(state);
}
BENCHMARK(BM_TickCycle)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Both threads' work for 10 ms of audio, back to back.
void BM_MediaPath(benchmark::State& state) {
    Card card(false);
    int64_t n = 0;
    for (auto _ : state) {
        card.Receive10Ms();
        card.Tick();
        if (++n % 3000 == 0) {
            state.PauseTiming();
            card.RestartPlaysAndRecords();
            state.ResumeTiming();
        }
    }
    SetCorePercent(state);
}
BENCHMARK(BM_MediaPath)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The real media tick thread against its schedule, while this thread feeds
// it a card's stream at the line rate. Lateness is how long after its due
// millisecond each cycle began.
struct Lateness {
    std::vector<int64_t> us;
};

int64_t MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void Observe(void* context, uint32_t dueMs) {
    auto* late = static_cast<Lateness*>(context);
    const int64_t now = MonotonicUs();
    const uint32_t behindMs = static_cast<uint32_t>(now / 1000) - dueMs;
    if (late->us.size() < late->us.capacity()) late->us.push_back(int64_t{behindMs} * 1000 + now % 1000);
}

void BM_TickLateness(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    Lateness late;
    late.us.reserve(static_cast<size_t>(seconds) * 100 + 100);
    for (auto _ : state) {
        Card card(false);
        media::SetTickObserver(card.link(), Observe, &late);
        transport::ThreadSlot& slot = card.link().mediaTick;
        slot.stop = false;
        slot.started = slot.thread.Start(media::MediaTickThread, &card.link(), plat::ThreadPriority::TimeCritical);
        const int64_t start = MonotonicUs();
        for (int64_t step = 1; MonotonicUs() - start < seconds * 1000000LL; ++step) {
            card.Receive10Ms();
            const int64_t wake = start + step * 10000;
            while (MonotonicUs() < wake) plat::SleepMs(1);
        }
        media::RequestMediaStop(card.link());
        media::JoinMediaTickThread(card.link());
        media::SetTickObserver(card.link(), nullptr, nullptr);
    }
    std::vector<int64_t> sorted = late.us;
    std::sort(sorted.begin(), sorted.end());
    auto at = [&](double q) {
        return sorted.empty() ? 0.0 : static_cast<double>(sorted[static_cast<size_t>(q * (sorted.size() - 1))]);
    };
    state.counters["cycles"] = static_cast<double>(sorted.size());
    state.counters["late_p50_us"] = at(0.50);
    state.counters["late_p99_us"] = at(0.99);
    state.counters["late_max_us"] = sorted.empty() ? 0.0 : static_cast<double>(sorted.back());
}
BENCHMARK(BM_TickLateness)->Arg(10)->ArgName("seconds")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
