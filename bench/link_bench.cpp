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

BENCHMARK_CAPTURE(rawPingPong, md, kLine)->UseRealTime();

RatioRegistration swapRatio("swapdata_roundtrip", "BM_SwapDataRoundtrip/real_time", "rawPingPong/md/real_time");

}  // namespace
}  // namespace quil::bench
