// The command round trips against the minimal responder: SwapData and a
// measured value read through the library, each next to a raw ping-pong of
// the same bytes in the same run (best of several runs, one processor).
#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "quil.h"

namespace quil::bench {
namespace {

const std::string kLine = "MS,01\r\n";

void BM_SwapDataRoundtrip(benchmark::State& state) {
    if (LinkConnect(0, responder().address().c_str()) != 0) {
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

void BM_CalcDataSingle(benchmark::State& state) {
    // The responder answers the open's model query with its one reply too;
    // the open does not depend on that answer.
    if (QUIL_OpenDeviceETHER(1, responder().ip().b, 2000) != QUIL_OK) {
        state.SkipWithError("open failed");
        return;
    }
    QuilCalcData d{};
    for (auto _ : state) {
        if (QUIL_GetCalcDataSingle(1, 1, &d) != QUIL_OK) {
            state.SkipWithError("QUIL_GetCalcDataSingle failed");
            break;
        }
        benchmark::DoNotOptimize(d);
    }
    QUIL_CloseDevice(1);
}

void roundTrip(benchmark::internal::Benchmark* b) {
    b->Iterations(kRoundTripExchanges)->Repetitions(kRoundTripRuns)->UseRealTime()->Unit(benchmark::kMicrosecond);
}
BENCHMARK_CAPTURE(rawPingPong, ms01, kLine)->Apply(roundTrip);
BENCHMARK(BM_SwapDataRoundtrip)->Apply(roundTrip);
BENCHMARK(BM_CalcDataSingle)->Apply(roundTrip);

// The names Google Benchmark gives the runs of a round trip.
std::string runName(const std::string& name) {
    return name + "/iterations:" + std::to_string(kRoundTripExchanges) + "/repeats:" + std::to_string(kRoundTripRuns) +
           "/real_time";
}
RatioRegistration swapRatio("swapdata_roundtrip", runName("BM_SwapDataRoundtrip"), runName("rawPingPong/ms01"),
                            "<= 1.3");
RatioRegistration calcRatio("calcdata_roundtrip", runName("BM_CalcDataSingle"), runName("rawPingPong/ms01"), "<= 1.3");

}  // namespace
}  // namespace quil::bench
