// SwapData round trip against a raw socket ping-pong of the same bytes to the
// same simulated controller.
#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "quil.h"

namespace quil::bench {
namespace {

const std::string kLine = "MD\r\n";

void BM_SwapDataRoundtrip(benchmark::State& state) {
    if (LinkConnect(0, controller().address().c_str()) != 0) {
        state.SkipWithError("LinkConnect failed");
        return;
    }
    char out[256];
    int32_t len = 0;
    for (auto _ : state) {
        if (SwapData(0, kLine.data(), static_cast<int32_t>(kLine.size()), out, &len, 2000) != 0) {
            state.SkipWithError("SwapData failed");
            break;
        }
        benchmark::DoNotOptimize(len);
    }
    LinkDisconnect(0);
}
BENCHMARK(BM_SwapDataRoundtrip)->UseRealTime();

void BM_RawPingPong(benchmark::State& state) {
    RawClient client(controller().address());
    std::string reply;
    for (auto _ : state) {
        if (!client.exchange(kLine, reply)) {
            state.SkipWithError("raw exchange failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
}
BENCHMARK(BM_RawPingPong)->UseRealTime();

RatioRegistration swapRatio("swapdata_roundtrip", "BM_SwapDataRoundtrip/real_time", "BM_RawPingPong/real_time");

}  // namespace
}  // namespace quil::bench
