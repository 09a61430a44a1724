// Values per second delivered to the stream callback, against a raw socket
// that receives the same packets from the same kind of simulated controller
// and copies them into four arrays.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_util.h"
#include "quil.h"
#include "sim/client.h"

namespace quil::bench {
namespace {

constexpr std::uint32_t kValues = 100000;  // per channel and packet
constexpr std::size_t kPayload = 4 * kValues * 4;
// Packets per benchmark iteration. The library's callback wakes the
// measuring thread once per iteration, not per packet: a wake-up per packet
// would take a core from the receiver on a small machine.
constexpr int kPacketsPerIteration = 10;

sim::Simulator& streamer() {
    static sim::Simulator* s = [] {
        auto* sim = new sim::Simulator(
            sim::Options{.stream = sim::StreamConfig{
                             .mask = 0x0F, .valuesPerPacket = kValues, .packets = 0, .packetIntervalMs = 0}});
        if (!sim->start()) std::exit(1);
        return sim;
    }();
    return *s;
}

std::atomic<std::uint64_t> g_batches{0};

void setRates(benchmark::State& state) {
    const auto packets = static_cast<int64_t>(state.iterations()) * kPacketsPerIteration;
    state.SetItemsProcessed(packets * 4 * kValues);
    state.SetBytesProcessed(packets * static_cast<int64_t>(kPayload));
}

void onBatch(int32_t* c1, int32_t*, int32_t*, int32_t*, int32_t, int32_t, int32_t status, int32_t) {
    if (status == 0) {
        benchmark::DoNotOptimize(c1[0]);
        if ((g_batches.fetch_add(1, std::memory_order_release) + 1) % kPacketsPerIteration == 0) g_batches.notify_one();
    }
}

void BM_StreamLibrary(benchmark::State& state) {
    if (QUIL_StartRollPoint(2, streamer().address().c_str(), onBatch, kValues) != 0) {
        state.SkipWithError("start failed");
        return;
    }
    // One packet is one batch of 100,000 values per channel. Sleep while
    // waiting: a spinning waiter would take a core from the receiver.
    std::uint64_t target = g_batches.load();  // earlier runs of this benchmark counted too
    for (auto _ : state) {
        target += kPacketsPerIteration;
        for (std::uint64_t seen; (seen = g_batches.load(std::memory_order_acquire)) < target;)
            g_batches.wait(seen, std::memory_order_acquire);
    }
    QUIL_StopRollPoint(2);
    setRates(state);
}
BENCHMARK(BM_StreamLibrary)->UseRealTime()->MinTime(1.0);

// Reads exactly len bytes; false on failure.
bool readAll(platform::Socket s, char* p, std::size_t len) {
    while (len > 0) {
        if (platform::waitReadable(s, 2000) != platform::Wait::Ready) return false;
        long n = platform::recvSome(s, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

void BM_StreamRaw(benchmark::State& state) {
    sim::Client command;
    if (!command.connect(streamer().address())) {
        state.SkipWithError("connect failed");
        return;
    }
    platform::Socket roll = platform::tcpSocket();
    if (platform::connectStart(roll, streamer().ip(), 12525) != 0) {
        state.SkipWithError("roll connect failed");
        return;
    }
    platform::setNonBlocking(roll);
    command.exchange("#J,{\"RollBatch\":{\"StartRoll\":true}}\r\n");
    std::vector<char> packet(16 + kPayload);
    std::vector<std::int32_t> channel[4];
    for (auto& c : channel) c.resize(kValues);
    for (auto _ : state) {
        for (int i = 0; i < kPacketsPerIteration; ++i) {
            if (!readAll(roll, packet.data(), packet.size())) {
                state.SkipWithError("read failed");
                break;
            }
            for (int k = 0; k < 4; ++k)
                std::memcpy(channel[k].data(), packet.data() + 16 + k * kValues * 4, kValues * 4);
            benchmark::DoNotOptimize(channel[0][0]);
        }
    }
    command.exchange("#J,{\"RollBatch\":{\"StartRoll\":false}}\r\n");
    platform::closeSocket(roll);
    setRates(state);
}
BENCHMARK(BM_StreamRaw)->UseRealTime()->MinTime(1.0);

// Time per packet of the library over the raw one: the raw rate over the library's.
RatioRegistration streamRatio("stream_throughput (raw/lib)", "BM_StreamLibrary/min_time:1.000/real_time",
                              "BM_StreamRaw/min_time:1.000/real_time", "<= 1.25");

}  // namespace
}  // namespace quil::bench
