// quilctl: a command-line client of the library, for trying a controller
// (or the simulator) by hand and for the demo.
//
//   quilctl [--address A] [--id N] [--timeout MS] COMMAND [ARGS...]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quil.h"

namespace {

struct Context {
    std::string address = "127.0.0.2";
    uint32_t id = 0;
    int32_t timeoutMs = 2000;
    std::vector<std::string> args;
};

int usage();

// Prints a result code the way a person reads it: its name and number.
int report(const char* what, int32_t code) {
    if (code == QUIL_OK) return 0;
    std::printf("%s: %s (%d)\n", what, quil_result_name(code), code);
    return 1;
}

bool parseIp(const std::string& text, uint8_t ip[4]) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return false;
    ip[0] = static_cast<uint8_t>(a), ip[1] = static_cast<uint8_t>(b), ip[2] = static_cast<uint8_t>(c),
    ip[3] = static_cast<uint8_t>(d);
    return true;
}

// Opens the controller as device c.id, runs fn, closes it again.
int withDevice(Context& c, const std::function<int(int32_t id)>& fn) {
    uint8_t ip[4];
    if (!parseIp(c.address, ip)) {
        std::printf("not an IPv4 address: %s\n", c.address.c_str());
        return 2;
    }
    const int32_t id = static_cast<int32_t>(c.id);
    if (report("open", QUIL_OpenDeviceETHER(id, ip, static_cast<uint32_t>(c.timeoutMs)))) return 1;
    int rc = fn(id);
    report("close", QUIL_CloseDevice(id));
    return rc;
}

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
        if (d[i].status == QUIL_VALUE_NORMAL) std::printf("  OUT%d  %12.4f\n", d[i].OutNo, d[i].value);
        else std::printf("  OUT%d  %12s  %s\n", d[i].OutNo, "-", statusName(d[i].status));
}

int toInt(const std::string& s) { return std::atoi(s.c_str()); }

// "OUT" (a number), "--mask M", or nothing (all OUTs): how a control command
// selects its OUTs.
struct Selection {
    enum Kind { Single, Mask, All } kind = All;
    int32_t value = 0;
};

bool parseSelection(const std::vector<std::string>& args, size_t from, Selection& sel) {
    if (args.size() <= from) return true;
    if (args[from] == "--mask" && args.size() == from + 2) {
        sel = {Selection::Mask, toInt(args[from + 1])};
        return true;
    }
    if (args.size() == from + 1) {
        sel = {Selection::Single, toInt(args[from])};
        return true;
    }
    return false;
}

bool parseOnOff(const std::string& s, int32_t& v) {
    if (s == "on" || s == "1") v = 1;
    else if (s == "off" || s == "0") v = 0;
    else return false;
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
    return withDevice(c, [&](int32_t id) {
        QuilCalcData d[4] = {};
        const auto& a = c.args;
        if (a.empty() || a[0] == "all") {
            if (report("measure", QUIL_GetCalcDataALL(id, d))) return 1;
            printValues(d, 4);
        } else if (a[0] == "--mask" && a.size() == 2) {
            const int32_t mask = toInt(a[1]);
            if (report("measure", QUIL_GetCalcDataMulti(id, mask, d))) return 1;
            printValues(d, __builtin_popcount(static_cast<unsigned>(mask) & 15u));
        } else {
            if (report("measure", QUIL_GetCalcDataSingle(id, toInt(a[0]), d))) return 1;
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
int cmdSwitch(Context& c, const char* what, int32_t (*single)(int32_t, int32_t, int32_t),
              int32_t (*multi)(int32_t, int32_t, int32_t), int32_t (*all)(int32_t, int32_t)) {
    int32_t onOff = 0;
    Selection sel;
    if (c.args.empty() || !parseOnOff(c.args[0], onOff) || !parseSelection(c.args, 1, sel)) return usage();
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
    if (!parseSelection(c.args, 0, sel)) return usage();
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
    return withDevice(c, [&](int32_t id) {
        if (!c.args.empty() && report("program", QUIL_SetProgramNo(id, toInt(c.args[0])))) return 1;
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

// Sends each argument as one line on the raw command link and prints the reply.
int cmdRaw(Context& c) {
    if (c.args.empty()) return usage();
    if (LinkConnect(c.id, c.address.c_str()) != 0) {
        std::printf("connect %s: failed\n", c.address.c_str());
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
            std::printf("  > %-12s failed: %d\n", a.c_str(), r);
            rc = 1;
        }
    }
    LinkDisconnect(c.id);
    std::printf("disconnected\n");
    return rc;
}

struct Command {
    const char* name;
    const char* args;
    const char* help;
    std::function<int(Context&)> run;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"version", "", "print the library version", cmdVersion},
        {"codes", "", "list the result codes", cmdCodes},
        {"raw", "LINE...", "send lines on the raw command link, print the replies", cmdRaw},
        {"model", "", "open the controller and show its model code", cmdModel},
        {"measure", "[OUT|--mask M|all]", "read measured values (default: OUT1 to OUT4)", cmdMeasure},
        {"mode", "measure|setting", "switch the controller's command mode", cmdMode},
        {"timing", "on|off [OUT|--mask M]", "timing input of one OUT (1-4), a mask (1-15) or all", cmdTiming},
        {"zero", "on|off [OUT|--mask M]", "zero setting of one OUT, a mask or all", cmdZero},
        {"reset", "[OUT|--mask M]", "reset one OUT, a mask or all", cmdReset},
        {"program", "[N]", "set the program (0-7) if given, then show it", cmdProgram},
    };
    return table;
}

int usage() {
    std::printf("usage: quilctl [--address A] [--id N] [--timeout MS] COMMAND [ARGS...]\n\ncommands:\n");
    for (const Command& c : commands()) std::printf("  %-8s %-22s %s\n", c.name, c.args, c.help);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Context c;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc) return usage();
        if (opt == "--address") c.address = argv[++i];
        else if (opt == "--id") c.id = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (opt == "--timeout") c.timeoutMs = std::atoi(argv[++i]);
        else return usage();
    }
    if (i >= argc) return usage();
    std::string name = argv[i++];
    c.args.assign(argv + i, argv + argc);
    for (const Command& cmd : commands())
        if (name == cmd.name) return cmd.run(c);
    return usage();
}
