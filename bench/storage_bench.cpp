// The read-out of 1,200,000 stored values through the library against a raw
// client that reads the same reply bytes from a socket and converts each
// token with strtod.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bench_util.h"
#include "quil.h"

namespace quil::bench {
namespace {

constexpr int32_t kPoints = 1200000;
constexpr int32_t kDevice = 2;
constexpr int32_t kOut = 1;
constexpr std::size_t kReplyRoom = 20480000;  // as much as the library's bulk buffer

// OUT1 of the shared controller holds kPoints values in the controller's
// usual form ("+012.345").
void loadStoredValues() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::vector<std::string> tokens(kPoints);
        for (int32_t i = 0; i < kPoints; ++i) {
            char t[16];
            std::snprintf(t, sizeof t, "%+08.3f", static_cast<double>(i % 100000 - 50000) / 1000);
            tokens[static_cast<std::size_t>(i)] = t;
        }
        controller().model().loadStoredValues(kOut, tokens);
    });
}

void countValues(benchmark::State& state) {
    state.counters["values/s"] =
        benchmark::Counter(static_cast<double>(kPoints), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_StorageRead1m2(benchmark::State& state) {
    loadStoredValues();
    if (QUIL_OpenDeviceETHER(kDevice, controller().ip().b, 2000) != QUIL_OK) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<float> values(kPoints);
    for (auto _ : state) {
        int32_t n = 0;
        if (QUIL_DataStorageGetData(kDevice, kOut, kPoints, values.data(), &n) != QUIL_OK || n != kPoints) {
            state.SkipWithError("QUIL_DataStorageGetData failed");
            break;
        }
        benchmark::DoNotOptimize(values.data());
    }
    countValues(state);
    QUIL_CloseDevice(kDevice);
}
BENCHMARK(BM_StorageRead1m2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Sends the command, reads the reply up to its CR LF into buffer; the reply's
// length without CR LF, or 0 on failure.
std::size_t rawRead(platform::Socket s, const char* command, std::vector<char>& buffer) {
    const std::size_t length = std::strlen(command);
    if (platform::waitWritable(s, 2000) != platform::Wait::Ready ||
        platform::sendSome(s, command, length) != static_cast<long>(length))
        return 0;
    std::size_t got = 0;
    while (got < 2 || buffer[got - 2] != '\r' || buffer[got - 1] != '\n') {
        if (got == buffer.size() || platform::waitReadable(s, 10000) != platform::Wait::Ready) return 0;
        const long n = platform::recvSome(s, buffer.data() + got, buffer.size() - got);
        if (n <= 0) return 0;
        got += static_cast<std::size_t>(n);
    }
    buffer[got - 2] = '\0';
    return got - 2;
}

void BM_StorageRead1m2Raw(benchmark::State& state) {
    loadStoredValues();
    RawClient client(controller().address());
    std::vector<char> reply(kReplyRoom);
    std::vector<float> values(kPoints);
    for (auto _ : state) {
        const std::size_t length = rawRead(client.socket(), "AO,01\r\n", reply);
        if (length < 3) {
            state.SkipWithError("raw read failed");
            break;
        }
        // strtod stops at each comma; the list starts after "AO,".
        const char* p = reply.data() + 3;
        const char* end = reply.data() + length;
        int32_t n = 0;
        while (p < end && n < kPoints) {
            char* stop = nullptr;
            values[static_cast<std::size_t>(n++)] = static_cast<float>(std::strtod(p, &stop));
            p = stop + 1;
        }
        if (n != kPoints) {
            state.SkipWithError("raw parse found a different count");
            break;
        }
        benchmark::DoNotOptimize(values.data());
    }
    countValues(state);
}
BENCHMARK(BM_StorageRead1m2Raw)->UseRealTime()->Unit(benchmark::kMillisecond);

RatioRegistration storageRatio("storage_read_1m2", "BM_StorageRead1m2/real_time", "BM_StorageRead1m2Raw/real_time",
                               "<= 1.0");

}  // namespace
}  // namespace quil::bench
