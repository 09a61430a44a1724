// Saving a controller's whole configuration (8 programs, some 1,300
// exchanges) through the library, against a raw client that sends the same
// command lines in the same order over a plain socket to the same simulated
// controller.
//
// The controller needs a moment after each mode switch before it answers:
// the library pauses 30 ms after "Q0" and "R0", and a plain client of a
// real controller has to as well, so the baseline pauses as long after the
// same lines. A save switches modes twice per program (the program is
// selected in measurement mode, the settings are read in setting mode).
// The rest of the difference is the library's own cost: the exchanges'
// checks, the document built, printed, written to disk and put in place.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "bench_util.h"
#include "quil.h"

namespace quil::bench {
namespace {

constexpr int32_t kDevice = 5;
constexpr int kSettleMs = 30;  // after a mode switch, as the library waits

const std::string& savePath() {
    static const std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                                    "/quil-bench-settings-" + std::to_string(platform::processId()) + ".xml";
    return path;
}

// The lines one save sends, recorded once: the baseline sends them again.
const std::vector<std::string>& saveLines() {
    static std::vector<std::string> lines;
    static std::once_flag once;
    std::call_once(once, [] {
        if (QUIL_OpenDeviceETHER(kDevice, controller().ip().b, 2000) != QUIL_OK) return;
        controller().clearReceived();
        if (QUIL_DeriveFormula(kDevice, savePath().c_str()) == QUIL_OK) lines = controller().receivedLines();
        QUIL_CloseDevice(kDevice);
    });
    return lines;
}

// The exchanges of one save, and the time of it that goes to the pauses
// after mode switches.
void countExchanges(benchmark::State& state) {
    int switches = 0;
    for (const std::string& line : saveLines()) switches += line == "Q0" || line == "R0";
    state.counters["exchanges"] = static_cast<double>(saveLines().size());
    state.counters["settle_ms"] = static_cast<double>(switches * kSettleMs);
}

void BM_SettingsSave(benchmark::State& state) {
    if (saveLines().empty() || QUIL_OpenDeviceETHER(kDevice, controller().ip().b, 2000) != QUIL_OK) {
        state.SkipWithError("open or first save failed");
        return;
    }
    for (auto _ : state) {
        if (QUIL_DeriveFormula(kDevice, savePath().c_str()) != QUIL_OK) {
            state.SkipWithError("QUIL_DeriveFormula failed");
            break;
        }
    }
    countExchanges(state);
    QUIL_CloseDevice(kDevice);
    std::remove(savePath().c_str());
}
BENCHMARK(BM_SettingsSave)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_SettingsSaveRaw(benchmark::State& state) {
    const std::vector<std::string>& lines = saveLines();
    RawClient client(controller().address());
    std::string reply;
    for (auto _ : state) {
        for (const std::string& line : lines) {
            if (!client.exchange(line + "\r\n", reply)) {
                state.SkipWithError("raw exchange failed");
                return;
            }
            if (line == "Q0" || line == "R0") platform::sleepMs(kSettleMs);
        }
        benchmark::DoNotOptimize(reply.data());
    }
    countExchanges(state);
}
BENCHMARK(BM_SettingsSaveRaw)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

RatioRegistration settingsRatio("settings_save", "BM_SettingsSave/min_time:2.000/real_time",
                                "BM_SettingsSaveRaw/min_time:2.000/real_time", "<= 1.5");

}  // namespace
}  // namespace quil::bench
