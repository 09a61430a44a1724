// The settings of the heads, the OUTs, the whole program and the encoder and
// I/O channels: one generic get / set / dump driven by a table per family, so
// that a setting is one table row.
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "cli.h"
#include "quil.h"

namespace quilctl {
namespace {

constexpr int kMaxValues = 5;

// What a setting is numbered by: a head, an OUT, an encoder channel, an
// output of the I/O, or nothing (the whole program).
struct Index {
    const char* name;  // nullptr: the setting takes no number
    int first, last;
};
constexpr Index kHead{"HEAD", 1, 4};
constexpr Index kOut{"OUT", 1, 8};
constexpr Index kOut4{"OUT", 1, 4};
constexpr Index kChannel{"CH", 1, 3};
constexpr Index kIoOut{"OUT", 1, 4};
constexpr Index kNone{nullptr, 0, 0};

using Getter = int32_t (*)(int32_t id, int32_t index, int32_t* values);
using Setter = int32_t (*)(int32_t id, int32_t index, const int32_t* values);

struct Setting {
    const char* name;
    Index index;
    std::vector<const char*> values;  // names of the values, in the order of the call
    const char* ranges;               // what the values may be, for the help
    Getter get;                       // nullptr: write-only
    Setter set;                       // nullptr: read-only
};

// Adapts the library's getters and setters, whatever their number of values,
// to the table's two shapes. The index is passed only to functions that take one.
template <class F, std::size_t... I>
int32_t callGet(F f, int32_t id, int32_t index, int32_t* v, std::index_sequence<I...>) {
    if constexpr (std::is_invocable_v<F, int32_t, int32_t, decltype(&v[I])...>)
        return f(id, index, &v[I]...);
    else
        return f(id, &v[I]...);
}
template <class F, std::size_t... I>
int32_t callSet(F f, int32_t id, int32_t index, const int32_t* v, std::index_sequence<I...>) {
    if constexpr (std::is_invocable_v<F, int32_t, int32_t, decltype(v[I])...>)
        return f(id, index, v[I]...);
    else
        return f(id, v[I]...);
}

#define QUILCTL_GET(fn, n)                                               \
    [](int32_t id, int32_t index, int32_t* v) -> int32_t {               \
        return callGet(fn, id, index, v, std::make_index_sequence<n>{}); \
    }
#define QUILCTL_SET(fn, n)                                               \
    [](int32_t id, int32_t index, const int32_t* v) -> int32_t {         \
        return callSet(fn, id, index, v, std::make_index_sequence<n>{}); \
    }
// A setting read and written with the same values.
#define QUILCTL_BOTH(getFn, setFn, n) QUILCTL_GET(getFn, n), QUILCTL_SET(setFn, n)

const std::vector<Setting>& headSettings() {
    static const std::vector<Setting> s = {
        {"able-mode", kHead, {"mode"}, "0 off, 1 on", QUILCTL_BOTH(QUIL_GetAbleMode, QUIL_SetAbleMode, 1)},
        {"able-range", kHead, {"min", "max"}, "1-99 each", QUILCTL_BOTH(QUIL_GetAbleMinMax, QUIL_SetAbleMinMax, 2)},
        {"measure-mode", kHead, {"mode"}, "0-4", QUILCTL_BOTH(QUIL_GetMeasureMode, QUIL_SetMeasureMode, 1)},
        {"basic-point", kHead, {"point"}, "0 or 1", QUILCTL_BOTH(QUIL_GetBasicPoint, QUIL_SetBasicPoint, 1)},
        {"alarm-count", kHead, {"count"}, "0-9999", QUILCTL_BOTH(QUIL_GetNumAlarm, QUIL_SetNumAlarm, 1)},
        {"recovery-count", kHead, {"count"}, "0-9999", QUILCTL_BOTH(QUIL_GetNumRecovery, QUIL_SetNumRecovery, 1)},
        {"alarm-level", kHead, {"level"}, "0-9", QUILCTL_BOTH(QUIL_GetAlarmLevel, QUIL_SetAlarmLevel, 1)},
        {"reflection-mode", kHead, {"mode"}, "0 or 1", QUILCTL_BOTH(QUIL_GetReflectionMode, QUIL_SetReflectionMode, 1)},
        {"mask",
         kHead,
         {"on", "p1", "p2"},
         "on 0/1, positions in hundredths (-999999 to 999999)",
         QUILCTL_BOTH(QUIL_GetMask, QUIL_SetMask, 3)},
        {"median", kHead, {"median"}, "0-3", QUILCTL_BOTH(QUIL_GetMedian, QUIL_SetMedian, 1)},
        {"laser-group", kHead, {"group"}, "0 or 1", QUILCTL_BOTH(QUIL_GetLaserCtrlGroup, QUIL_SetLaserCtrlGroup, 1)},
        {"interference-group",
         kHead,
         {"group"},
         "0-2",
         QUILCTL_BOTH(QUIL_GetMutualInterferencePreventionGroup, QUIL_SetMutualInterferencePreventionGroup, 1)},
    };
    return s;
}

const std::vector<Setting>& outSettings() {
    static const std::vector<Setting> s = {
        {"tolerance",
         kOut4,
         {"upper", "lower", "hysteresis"},
         "limits of at most 6 digits, upper >= lower",
         QUILCTL_BOTH(QUIL_GetTolerance, QUIL_SetTolerance, 3)},
        {"calc-method",
         kOut,
         {"method", "number"},
         "method 0 head, 1 OUT, 2-7 calculations; number 1-8",
         QUILCTL_BOTH(QUIL_GetCalcMethod, QUIL_SetCalcMethod, 2)},
        {"calc-target", kOut4, {"target"}, "0-9", QUILCTL_BOTH(QUIL_GetCalcTarget, QUIL_SetCalcTarget, 1)},
        {"add-sub", kOut, {"first", "second"}, "1-4 each", QUILCTL_BOTH(QUIL_GetOutAddSub, QUIL_SetOutAddSub, 2)},
        {"operation",
         kOut4,
         {"mask"},
         "1-15 (bit 0 = OUT1)",
         QUILCTL_BOTH(QUIL_GetOutOperation, QUIL_SetOutOperation, 1)},
        {"scaling",
         kOut,
         {"in1", "out1", "in2", "out2"},
         "points of at most 6 digits, in1 != in2",
         QUILCTL_BOTH(QUIL_GetScaling, QUIL_SetScaling, 4)},
        {"filter",
         kOut4,
         {"mode", "parameter"},
         "mode 0, parameter 0-9",
         QUILCTL_BOTH(QUIL_GetFilter, QUIL_SetFilter, 2)},
        {"trigger-mode", kOut4, {"mode"}, "0 or 1", QUILCTL_BOTH(QUIL_GetTriggerMode, QUIL_SetTriggerMode, 1)},
        {"offset", kOut, {"offset"}, "at most 6 digits", QUILCTL_BOTH(QUIL_GetOffset, QUIL_SetOffset, 1)},
        {"calc-mode", kOut4, {"mode"}, "0-4", QUILCTL_BOTH(QUIL_GetCalcMode, QUIL_SetCalcMode, 1)},
        {"display-unit", kOut, {"unit"}, "0-6", QUILCTL_BOTH(QUIL_GetDisplayUnit, QUIL_SetDisplayUnit, 1)},
        {"sync", kOut, {"on"}, "0 or 1", QUILCTL_BOTH(QUIL_GetSynchronization, QUIL_SetSynchronization, 1)},
        {"storage-target", kOut, {"on"}, "0 or 1", QUILCTL_BOTH(QUIL_GetStorageTarget, QUIL_SetStorageTarget, 1)},
    };
    return s;
}

const std::vector<Setting>& commonSettings() {
    static const std::vector<Setting> s = {
        {"sampling-cycle",
         kNone,
         {"cycle"},
         "10-15 or 30-37",
         QUILCTL_BOTH(QUIL_GetSamplingCycle, QUIL_SetSamplingCycle, 1)},
        {"interference",
         kNone,
         {"mode"},
         "0-2",
         QUILCTL_BOTH(QUIL_GetMutualInterferencePrevention, QUIL_SetMutualInterferencePrevention, 1)},
        {"strobe-time", kNone, {"time"}, "0-3", QUILCTL_BOTH(QUIL_GetStrobeTime, QUIL_SetStrobeTime, 1)},
        {"storage",
         kNone,
         {"points", "cycle"},
         "points 0-1200000, cycle 0-10",
         QUILCTL_BOTH(QUIL_GetDataStorage, QUIL_SetDataStorage, 2)},
        {"running-mode",
         kNone,
         {"mode", "direction"},
         "write only; models other than 34-39",
         nullptr,
         QUILCTL_SET(QUIL_SetRunningMode, 2)},
        {"encoder-mode",
         kNone,
         {"input", "time", "interval"},
         "write only; interval 1-10000; models other than 34-39",
         nullptr,
         QUILCTL_SET(QUIL_SetEncoderMode, 3)},
        {"heads-used", kNone, {"heads"}, "read only", QUILCTL_GET(QUIL_GetNumOfUsedHeads, 1), nullptr},
        {"outs-used", kNone, {"outs"}, "read only", QUILCTL_GET(QUIL_GetNumOfUsedOut, 1), nullptr},
    };
    return s;
}

const std::vector<Setting>& encoderSettings() {
    static const std::vector<Setting> s = {
        {"value", kChannel, {"count"}, "read only", QUILCTL_GET(QUIL_GetEncoderCurrentValue, 1), nullptr},
        {"number", kNone, {"number"}, "1-3", QUILCTL_BOTH(QUIL_GetEncoderNumber, QUIL_SetEncoderNumber, 1)},
        {"parameters",
         kChannel,
         {"input", "time", "interval", "operation", "direction"},
         "input 0-3, time, interval 1-10000, operation 0-2, direction 0-2 (written to all channels)",
         QUILCTL_BOTH(QUIL_GetEncoderParameters, QUIL_SetEncoderParameters, 5)},
        {"analog", kChannel, {"output"}, "0-3", QUILCTL_BOTH(QUIL_GetAnalogOutputChannel, QUIL_SetAnalogOutput, 1)},
        {"digital", kIoOut, {"level"}, "0-4", QUILCTL_BOTH(QUIL_GetIOOutputChannel, QUIL_SetIODigitalOutput, 1)},
    };
    return s;
}

struct Family {
    const char* command;
    const std::vector<Setting>& (*settings)();
    Index dumpIndex;  // what `dump` is numbered by
};

const Family kFamilies[] = {
    {"head", headSettings, kHead},
    {"out", outSettings, kOut},
    {"common", commonSettings, kNone},
    {"encoder", encoderSettings, kChannel},
};

const Family& familyOf(const char* command) {
    for (const Family& f : kFamilies)
        if (std::strcmp(f.command, command) == 0) return f;
    return kFamilies[0];
}

std::string valueList(const Setting& s, const int32_t* v) {
    std::string text;
    for (std::size_t i = 0; i < s.values.size(); ++i)
        text += std::string(i ? "  " : "") + s.values[i] + "=" + std::to_string(v[i]);
    return text;
}

std::string indexText(const Index& index, int32_t n) {
    return index.name ? std::string(index.name) + " " + std::to_string(n) + ": " : "";
}

void printDetails(std::FILE* to, const Family& f) {
    std::fprintf(to, "\nsettings (%s get|set NAME%s [VALUES]):\n", f.command, f.dumpIndex.name ? " NUMBER" : "");
    for (const Setting& s : f.settings()) {
        std::string args = s.index.name ? s.index.name : "";
        for (const char* v : s.values) args += std::string(args.empty() ? "" : " ") + v;
        char range[16] = "";
        if (s.index.name) std::snprintf(range, sizeof range, "%s %d-%d, ", s.index.name, s.index.first, s.index.last);
        std::fprintf(to, "  %-20s %-36s %s%s\n", s.name, args.c_str(), range, s.ranges);
    }
}

int run(Context& c, const Family& f) {
    const auto& a = c.args;
    if (a.empty()) return usage();
    if (a[0] == "dump") {
        const Index& index = f.dumpIndex;
        if (a.size() != (index.name ? 2u : 1u)) return usage();
        const int32_t n = index.name ? static_cast<int32_t>(toNumber(a[1], index.first, index.last, index.name)) : 0;
        return withDevice(c, [&](int32_t id) {
            int rc = 0;
            for (const Setting& s : f.settings()) {
                if (!s.get || s.index.name != index.name) continue;
                int32_t v[kMaxValues] = {};
                const int32_t r = s.get(id, n, v);
                if (r == QUIL_OK)
                    std::printf("  %-20s %s\n", s.name, valueList(s, v).c_str());
                else
                    std::printf("  %-20s %s (%d)\n", s.name, quil_result_name(r), r);
                rc |= r != QUIL_OK;
            }
            return rc;
        });
    }
    const bool set = a[0] == "set";
    if ((!set && a[0] != "get") || a.size() < 2) return usage();
    const Setting* s = nullptr;
    for (const Setting& candidate : f.settings())
        if (a[1] == candidate.name) s = &candidate;
    if (!s) throw UsageError("unknown setting '" + a[1] + "' (see quilctl " + f.command + " --help)");
    if (set ? !s->set : !s->get) throw UsageError(std::string(s->name) + " cannot be " + (set ? "written" : "read"));
    const std::size_t numbered = s->index.name ? 1 : 0;
    if (a.size() != 2 + numbered + (set ? s->values.size() : 0)) return usage();
    const int32_t n = numbered ? static_cast<int32_t>(toNumber(a[2], s->index.first, s->index.last, s->index.name)) : 0;
    int32_t v[kMaxValues] = {};
    for (std::size_t i = 0; set && i < s->values.size(); ++i) v[i] = toInt(a[2 + numbered + i], s->values[i]);
    return withDevice(c, [&](int32_t id) {
        const std::string what = std::string(f.command) + " " + a[0] + " " + s->name;
        if (set && report(what.c_str(), s->set(id, n, v))) return 1;
        // What the controller holds now, which may differ from what was
        // written (a limit it rounds); a write-only setting shows what was sent.
        if (s->get && report((std::string(f.command) + " get " + s->name).c_str(), s->get(id, n, v))) return 1;
        std::printf("%s%s %s%s\n", indexText(s->index, n).c_str(), s->name, valueList(*s, v).c_str(),
                    set && !s->get ? " (written; not readable)" : "");
        return 0;
    });
}

int cmdHead(Context& c) { return run(c, familyOf("head")); }
int cmdOut(Context& c) { return run(c, familyOf("out")); }
int cmdCommon(Context& c) { return run(c, familyOf("common")); }
int cmdEncoder(Context& c) { return run(c, familyOf("encoder")); }

Registration settings(20, {
                              {"head", "get|set NAME HEAD [VALUES] | dump HEAD", "head settings (1-4)", cmdHead,
                               [](std::FILE* to) { printDetails(to, familyOf("head")); }},
                              {"out", "get|set NAME OUT [VALUES] | dump OUT", "OUT settings (1-8)", cmdOut,
                               [](std::FILE* to) { printDetails(to, familyOf("out")); }},
                              {"common", "get|set NAME [VALUES] | dump", "settings of the whole program", cmdCommon,
                               [](std::FILE* to) { printDetails(to, familyOf("common")); }},
                              {"encoder", "get|set NAME [CH|OUT] [VALUES] | dump CH", "encoder and I/O (models 34-39)",
                               cmdEncoder, [](std::FILE* to) { printDetails(to, familyOf("encoder")); }},
                          });

}  // namespace
}  // namespace quilctl
