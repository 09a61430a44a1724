// The data storage commands: recording controls and status, and the read-out
// of stored OUT and encoder values as a short table and, on request, a CSV
// file with every value.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "quil.h"

namespace quilctl {
namespace {

// As many values as the library's reply buffer can carry (16 bytes each).
constexpr int32_t kReadCapacity = 1280000;
constexpr int32_t kShown = 10;
constexpr int kStatusOuts = 8;
constexpr int32_t kSpecialValue = -999;  // a special text ("XXXXXXXX", ...) in the storage

std::string text(float v) {
    char s[48];
    std::snprintf(s, sizeof s, "%.7g", static_cast<double>(v));
    return s;
}
std::string text(int32_t v) { return std::to_string(v); }

// The count, the first values and the CSV file of a read-out.
template <class T>
int show(const char* what, int32_t number, const std::vector<T>& values, int32_t n, const std::string& csv) {
    std::printf("%s %d: %d values\n", what, number, n);
    for (int32_t i = 0; i < std::min(n, kShown); ++i) {
        const T v = values[static_cast<size_t>(i)];
        const char* note = v == static_cast<T>(kSpecialValue) ? "  (special value)" : "";
        std::printf("  %8d  %14s%s\n", i, text(v).c_str(), note);
    }
    if (n > kShown) std::printf("  %8s  (%d more)\n", "...", n - kShown);
    if (csv.empty()) return 0;
    std::FILE* f = std::fopen(csv.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", csv.c_str());
        return 1;
    }
    std::fprintf(f, "index,value\n");
    for (int32_t i = 0; i < n; ++i) std::fprintf(f, "%d,%s\n", i, text(values[static_cast<size_t>(i)]).c_str());
    std::fclose(f);
    std::printf("CSV: %s (%d rows)\n", csv.c_str(), n);
    return 0;
}

// "read OUT [--csv FILE]" / "encoder CH [--csv FILE]"
template <class T>
int readOut(Context& c, const char* command, const char* what, int32_t last,
            int32_t(QUIL_STDCALL* read)(int32_t, int32_t, int32_t, T*, int32_t*)) {
    const auto& a = c.args;
    std::string csv;
    if (a.size() == 4 && a[2] == "--csv")
        csv = a[3];
    else if (a.size() != 2)
        return usage();
    const int32_t number = static_cast<int32_t>(toNumber(a[1], 1, last, what));
    return withDevice(c, [&](int32_t id) {
        std::vector<T> values(kReadCapacity);
        int32_t n = 0;
        if (report(command, read(id, number, kReadCapacity, values.data(), &n))) return 1;
        return show(what, number, values, n, csv);
    });
}

int control(Context& c, const char* what, int32_t(QUIL_STDCALL* fn)(int32_t), const char* done) {
    if (c.args.size() != 1) return usage();
    return withDevice(c, [&](int32_t id) {
        if (report(what, fn(id))) return 1;
        std::printf("%s\n", done);
        return 0;
    });
}

int status(Context& c) {
    if (c.args.size() != 1) return usage();
    return withDevice(c, [](int32_t id) {
        int32_t recording = 0, outs[kStatusOuts] = {};
        if (report("storage status", QUIL_DataStorageGetStatus(id, &recording, outs))) return 1;
        std::printf("recording: %s\n", recording ? "running" : "stopped");
        for (int i = 0; i < kStatusOuts; ++i) std::printf("  OUT%d  %d points\n", i + 1, outs[i]);
        return 0;
    });
}

int cmdStorage(Context& c) {
    const std::string sub = c.args.empty() ? "" : c.args[0];
    if (sub == "start") return control(c, "storage start", QUIL_DataStorageStart, "recording started");
    if (sub == "stop") return control(c, "storage stop", QUIL_DataStorageStop, "recording stopped");
    if (sub == "clear") return control(c, "storage clear", QUIL_DataStorageInit, "stored data cleared");
    if (sub == "status") return status(c);
    if (sub == "read") return readOut<float>(c, "storage read", "OUT", 8, QUIL_DataStorageGetData);
    if (sub == "encoder")
        return readOut<int32_t>(c, "storage encoder", "encoder channel", 3, QUIL_GetEncoderStoreValue);
    return usage();
}

Registration storage(
    10, {
            {"storage", "start|stop|clear|status", "data storage: control the recording, show its status", cmdStorage},
            {"storage", "read OUT [--csv FILE]", "stored values of OUT 1-8 (first ones; all into FILE)", cmdStorage},
            {"storage", "encoder CH [--csv FILE]", "stored encoder values of channel 1-3 (models 34-39)", cmdStorage},
        });

}  // namespace
}  // namespace quilctl
