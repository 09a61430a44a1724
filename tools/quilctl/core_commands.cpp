// The core commands: the library itself, the raw link, sessions, measured
// values and control commands.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "quil.h"

namespace quilctl {
namespace {
const char* statusName(int32_t status) {
    switch (status) {
    case QUIL_VALUE_NORMAL: return "";
    case QUIL_VALUE_PLUS_FFFFFFF: return "+FFFFFFF (above range)";
    case QUIL_VALUE_MINUS_FFFFFFF: return "-FFFFFFF (below range)";
    case QUIL_VALUE_XXXXXXXX: return "XXXXXXXX (no valid value)";
    default: return "?";
    }
}

void printValues(const QuilCalcData* d, int n) {
    for (int i = 0; i < n; ++i)
        if (d[i].status == QUIL_VALUE_NORMAL)
            std::printf("  OUT%d  %12.4f\n", d[i].OutNo, d[i].value);
        else
            std::printf("  OUT%d  %12s  %s\n", d[i].OutNo, "-", statusName(d[i].status));
}

// "OUT" (a number), "--mask M", or nothing (all OUTs): how a control command
// selects its OUTs.
struct Selection {
    enum Kind { Single, Mask, All } kind = All;
    int32_t value = 0;
};

// A mask selects OUT1 to OUT4 (1 to 15); a single OUT goes up to lastOut.
constexpr int32_t kLastMask = 15;

bool parseSelection(const std::vector<std::string>& args, size_t from, int32_t lastOut, Selection& sel) {
    if (args.size() <= from) return true;
    if (args[from] == "--mask" && args.size() == from + 2) {
        sel = {Selection::Mask, static_cast<int32_t>(toNumber(args[from + 1], 1, kLastMask, "mask"))};
        return true;
    }
    if (args.size() == from + 1) {
        sel = {Selection::Single, static_cast<int32_t>(toNumber(args[from], 1, lastOut, "OUT"))};
        return true;
    }
    return false;
}

bool parseOnOff(const std::string& s, int32_t& v) {
    if (s == "on" || s == "1")
        v = 1;
    else if (s == "off" || s == "0")
        v = 0;
    else
        return false;
    return true;
}

int cmdModel(Context& c) {
    return withDevice(c, [](int32_t id) {
        int32_t type = -1;
        if (report("model", QUIL_GetDeviceType(id, &type))) return 1;
        std::printf("model code %d\n", type);
        return 0;
    });
}

int cmdMeasure(Context& c) {
    Selection sel;
    const bool all = !c.args.empty() && c.args[0] == "all";
    if ((all && c.args.size() != 1) || (!all && !parseSelection(c.args, 0, 8, sel))) return usage();
    return withDevice(c, [&](int32_t id) {
        QuilCalcData d[4] = {};
        if (sel.kind == Selection::All) {
            if (report("measure", QUIL_GetCalcDataALL(id, d))) return 1;
            printValues(d, 4);
        } else if (sel.kind == Selection::Mask) {
            if (report("measure", QUIL_GetCalcDataMulti(id, sel.value, d))) return 1;
            printValues(d, __builtin_popcount(static_cast<unsigned>(sel.value) & 15u));
        } else {
            if (report("measure", QUIL_GetCalcDataSingle(id, sel.value, d))) return 1;
            printValues(d, 1);
        }
        return 0;
    });
}

int cmdMode(Context& c) {
    if (c.args.size() != 1 || (c.args[0] != "measure" && c.args[0] != "setting")) return usage();
    return withDevice(c, [&](int32_t id) {
        if (report("mode", QUIL_SetMode(id, c.args[0] == "setting" ? 1 : 0))) return 1;
        std::printf("mode: %s\n", c.args[0].c_str());
        return 0;
    });
}

// timing|zero on|off [OUT | --mask M]
int cmdSwitch(Context& c, const char* what, int32_t(QUIL_STDCALL* single)(int32_t, int32_t, int32_t),
              int32_t(QUIL_STDCALL* multi)(int32_t, int32_t, int32_t), int32_t(QUIL_STDCALL* all)(int32_t, int32_t)) {
    int32_t onOff = 0;
    Selection sel;
    if (c.args.empty() || !parseOnOff(c.args[0], onOff) || !parseSelection(c.args, 1, 4, sel)) return usage();
    return withDevice(c, [&](int32_t id) {
        int32_t r = sel.kind == Selection::Single ? single(id, sel.value, onOff)
                    : sel.kind == Selection::Mask ? multi(id, sel.value, onOff)
                                                  : all(id, onOff);
        if (report(what, r)) return 1;
        std::printf("%s %s\n", what, onOff ? "on" : "off");
        return 0;
    });
}

int cmdTiming(Context& c) {
    return cmdSwitch(c, "timing", QUIL_SetTimingSingle, QUIL_SetTimingMulti, QUIL_SetTimingSync);
}
int cmdZero(Context& c) { return cmdSwitch(c, "zero", QUIL_SetZeroSingle, QUIL_SetZeroMulti, QUIL_SetZeroSync); }

int cmdReset(Context& c) {
    Selection sel;
    if (!parseSelection(c.args, 0, 4, sel)) return usage();
    return withDevice(c, [&](int32_t id) {
        int32_t r = sel.kind == Selection::Single ? QUIL_SetResetSingle(id, sel.value)
                    : sel.kind == Selection::Mask ? QUIL_SetResetMulti(id, sel.value)
                                                  : QUIL_SetResetSync(id);
        if (report("reset", r)) return 1;
        std::printf("reset done\n");
        return 0;
    });
}

int cmdProgram(Context& c) {
    if (c.args.size() > 1) return usage();
    const bool set = !c.args.empty();
    const int32_t wanted = set ? static_cast<int32_t>(toNumber(c.args[0], 0, 7, "program")) : 0;
    return withDevice(c, [&](int32_t id) {
        if (set && report("program", QUIL_SetProgramNo(id, wanted))) return 1;
        int32_t program = -1;
        if (report("program", QUIL_GetProgramNo(id, &program))) return 1;
        std::printf("program %d\n", program);
        return 0;
    });
}

int cmdVersion(Context&) {
    int32_t v = VersionDll();
    std::printf("library version %d.%d.%d (0x%08x)\n", (v >> 24) & 0xFF, (v >> 16) & 0xFF, v & 0xFFFF,
                static_cast<unsigned>(v));
    return 0;
}

int cmdCodes(Context&) {
#define QUILCTL_PRINT_CODE(name, value, text) std::printf("%5d  %-26s %s\n", value, #name, text);
    QUIL_RESULT_CODES(QUILCTL_PRINT_CODE)
#undef QUILCTL_PRINT_CODE
    return 0;
}

// How long LinkConnect waits for the connection.
constexpr int32_t kRawConnectWaitMs = 5000;

// Sends each argument as one line on the raw command link and prints the reply.
int cmdRaw(Context& c) {
    if (c.args.empty()) return usage();
    if (uint8_t ip[4]; !parseIp(c.address, ip)) throw UsageError("--address: not an IPv4 address: " + c.address);
    if (LinkConnect(c.id, c.address.c_str()) != 0) {
        const std::string why = connectProblem(c.address, kRawConnectWaitMs);
        std::fprintf(stderr, "connect %s:19062: %s\n", c.address.c_str(), why.empty() ? "failed" : why.c_str());
        return 1;
    }
    std::printf("connected raw link %u to %s:19062\n", c.id, c.address.c_str());
    int rc = 0;
    for (const std::string& a : c.args) {
        std::string line = a + "\r\n";
        int32_t r = SwapData(c.id, line.c_str(), static_cast<int32_t>(line.size()), nullptr, nullptr, c.timeoutMs);
        if (r == 0)
            std::printf("  > %-12s < %.*s\n", a.c_str(), GetDataBuffLen(c.id), GetDataBuff(c.id));
        else {
            std::fprintf(stderr, "  > %-12s failed: %s (%d)\n", a.c_str(), quil_code_name(QUIL_FAMILY_LINK, r), r);
            rc = 1;
        }
    }
    LinkDisconnect(c.id);
    std::printf("disconnected\n");
    return rc;
}

Registration core(0, {
                         {"version", "", "print the library version", cmdVersion},
                         {"codes", "", "list the result codes", cmdCodes},
                         {"raw", "LINE...", "send lines on the raw command link, print the replies", cmdRaw},
                         {"model", "", "open the controller and show its model code", cmdModel},
                         {"measure", "[OUT|--mask M|all]",
                          "read measured values of OUT 1-8, a mask 1-15 (default: all, OUT1-4)", cmdMeasure},
                         {"mode", "measure|setting", "switch the controller's command mode", cmdMode},
                         {"timing", "on|off [OUT|--mask M]", "timing input of one OUT (1-4), a mask (1-15) or all",
                          cmdTiming},
                         {"zero", "on|off [OUT|--mask M]", "zero setting of one OUT, a mask or all", cmdZero},
                         {"reset", "[OUT|--mask M]", "reset one OUT, a mask or all", cmdReset},
                         {"program", "[N]", "set the program (0-7) if given, then show it", cmdProgram},
                     });

}  // namespace
}  // namespace quilctl
