// The memory cost of 64 open devices.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "bench_util.h"
#include "quil.h"

namespace quil::bench {
namespace {

// Resident memory added by opening 64 devices (each with its reply fields,
// bulk reply buffer and raw link record) against 64 controllers.
int open64Rss() {
    std::vector<std::unique_ptr<sim::Simulator>> sims;
    for (int i = 0; i < 64; ++i) {
        sims.push_back(std::make_unique<sim::Simulator>());
        if (!sims.back()->start()) return 1;
    }
    // The first open sets up the log; do that before the baseline.
    const uint8_t none[4] = {0, 0, 0, 0};
    QUIL_OpenDeviceETHER(0, none, 0);
    const long long before = platform::residentBytes();
    for (int id = 0; id < 64; ++id)
        if (QUIL_OpenDeviceETHER(id, sims[id]->ip().b, 2000) != QUIL_OK) return 1;
    for (int id = 0; id < 64; ++id) {
        QuilCalcData d{};
        QUIL_GetCalcDataSingle(id, 1, &d);
    }
    const long long after = platform::residentBytes();
    std::printf("open64_rss added=%.1f MiB (goal < 64 MiB)\n", static_cast<double>(after - before) / (1 << 20));
    for (int id = 0; id < 64; ++id) QUIL_CloseDevice(id);
    return 0;
}
ChildReport open64("open64_rss", open64Rss);

}  // namespace
}  // namespace quil::bench
