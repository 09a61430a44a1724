// quilsim: a simulated controller for trying the library and its tools
// without hardware.
//
//   quilsim --address 127.0.0.2 [--model N] [--quiet] [--any-address] [--search] [signal] [faults]
#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "sim/search_responder.h"
#include "sim/simulator.h"

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void onSignal(int) { g_stopRequested = 1; }

int usage(const char* why) {
    if (why) std::fprintf(stderr, "quilsim: %s\n", why);
    std::fprintf(stderr,
                 "usage: quilsim --address A.B.C.D [--model N] [--quiet] [--any-address] [--search] [signal] [faults]\n"
                 "  --address      IPv4 address to serve (127.0.0.0/8 unless --any-address)\n"
                 "  --model        model code answered to \"MD\": 0 to 11, or 34 to 39 for a model\n"
                 "                 with encoder inputs and analog and digital outputs (default 35)\n"
                 "  --quiet        do not print the exchanges\n"
                 "  --any-address  allow an address outside 127.0.0.0/8\n"
                 "  --search       also answer search requests on UDP 3778 of every adapter\n"
                 "                 (needs --any-address; it answers, it never broadcasts)\n"
                 "the signal the OUTs measure and the stream carries (the same for both):\n"
                 "  --signal S     constant (OUT n reads n), sine (default), steps (with an\n"
                 "                 out-of-range step now and then) or noise\n"
                 "  --period MS    one cycle of the sine or four steps, 1 to 3600000 (default 2000)\n"
                 "  --amplitude A  in the OUTs' units, 0 to 1000 (default 1)\n"
                 "  --seed N       steps and noise: 0 to 4294967295 (default 1)\n"
                 "faults, to rehearse failures (they combine):\n"
                 "  --drop-after N         close each command connection, unanswered, at its line after\n"
                 "                         the first N (1 to 1000000)\n"
                 "  --late MS              answer every line MS milliseconds late (1 to 600000)\n"
                 "  --drip MS              send every answer one byte at a time, MS milliseconds apart\n"
                 "                         (1 to 60000)\n"
                 "  --garbage              answer every line with a line of garbage\n"
                 "  --mute                 read every line and never answer\n"
                 "  --drop-stream-after N  a stream run sends N packets (1 to 1000000000), then half of\n"
                 "                         the next one, and closes its roll connection\n");
    return 2;
}

// A model with encoder inputs and analog and digital outputs.
constexpr int kDefaultModel = 35;

// A whole decimal number from min to max; nothing else (no sign, no blanks).
template <class T>
bool parseWhole(const char* text, T min, T max, T* out) {
    const char* end = text + std::strlen(text);
    T value = 0;
    auto [stop, ec] = std::from_chars(text, end, value);
    if (stop == text || ec != std::errc() || stop != end || value < min || value > max) return false;
    *out = value;
    return true;
}

// A whole decimal number naming a model the simulator knows.
bool parseModel(const char* text, int* model) {
    int value = 0;
    if (!parseWhole(text, 0, 99, &value) || !quil::sim::Model::knownModel(value)) return false;
    *model = value;
    return true;
}

// A plain decimal ("0.5", "12"; no sign, exponent or blanks) from 0 to max.
bool parseAmplitude(const char* text, double max, double* out) {
    if (!*text || std::strspn(text, "0123456789.") != std::strlen(text)) return false;
    const char* end = text + std::strlen(text);
    double value = 0;
    auto [stop, ec] = std::from_chars(text, end, value, std::chars_format::fixed);
    if (ec != std::errc() || stop != end || !(value <= max)) return false;
    *out = value;
    return true;
}

// The number of a fault option, whole and in its range, or a usage message.
template <class T>
bool faultNumber(const char* option, const char* text, T max, T* out) {
    if (parseWhole(text, T{1}, max, out)) return true;
    usage((std::string(option) + " takes a whole number from 1 to " + std::to_string(max) + ", not '" + text + "'")
              .c_str());
    return false;
}

// The search answer of this controller: its address, a locally administered
// MAC made from it, the model code as the value and its name in the area.
quil::sim::SearchResponderOptions searchOptions(const quil::platform::Ipv4& ip, const quil::sim::Options& o) {
    quil::sim::SearchResponderOptions s;
    s.identity.ip = ip;
    s.identity.mac = {0x02, 0x51, ip.b[0], ip.b[1], ip.b[2], ip.b[3]};
    s.identity.value = o.model;
    const char name[] = "quilsim";
    std::copy(std::begin(name), std::end(name), s.identity.area.begin());
    s.verbose = o.verbose;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    quil::sim::Options options;
    options.verbose = true;
    options.model = kDefaultModel;
    options.signal.shape = quil::sim::SignalShape::Sine;
    bool anyAddress = false;
    bool search = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (std::strcmp(arg, "--address") == 0 && hasValue)
            options.address = argv[++i];
        else if (std::strcmp(arg, "--model") == 0 && hasValue) {
            if (!parseModel(argv[++i], &options.model))
                return usage(("--model takes a model code the simulator knows, not " + std::string(argv[i])).c_str());
        } else if (std::strcmp(arg, "--signal") == 0 && hasValue) {
            if (!quil::sim::parseSignalShape(argv[++i], &options.signal.shape))
                return usage(
                    ("--signal takes constant, sine, steps or noise, not '" + std::string(argv[i]) + "'").c_str());
        } else if (std::strcmp(arg, "--period") == 0 && hasValue) {
            if (!faultNumber(arg, argv[++i], 3600000, &options.signal.periodMs)) return 2;
        } else if (std::strcmp(arg, "--amplitude") == 0 && hasValue) {
            if (!parseAmplitude(argv[++i], 1000, &options.signal.amplitude))
                return usage(
                    ("--amplitude takes a decimal from 0 to 1000, not '" + std::string(argv[i]) + "'").c_str());
        } else if (std::strcmp(arg, "--seed") == 0 && hasValue) {
            if (!parseWhole(argv[++i], std::uint32_t{0}, std::uint32_t{4294967295u}, &options.signal.seed))
                return usage(
                    ("--seed takes a whole number from 0 to 4294967295, not '" + std::string(argv[i]) + "'").c_str());
        } else if (std::strcmp(arg, "--drop-after") == 0 && hasValue) {
            if (!faultNumber(arg, argv[++i], 1000000, &options.faults.dropAfterLines)) return 2;
        } else if (std::strcmp(arg, "--late") == 0 && hasValue) {
            if (!faultNumber(arg, argv[++i], 600000, &options.faults.lateMs)) return 2;
        } else if (std::strcmp(arg, "--drip") == 0 && hasValue) {
            if (!faultNumber(arg, argv[++i], 60000, &options.faults.dripMs)) return 2;
        } else if (std::strcmp(arg, "--drop-stream-after") == 0 && hasValue) {
            if (!faultNumber(arg, argv[++i], std::uint64_t{1000000000}, &options.faults.dropStreamAfterPackets))
                return 2;
        } else if (std::strcmp(arg, "--garbage") == 0)
            options.faults.garbage = true;
        else if (std::strcmp(arg, "--mute") == 0)
            options.faults.mute = true;
        else if (std::strcmp(arg, "--quiet") == 0)
            options.verbose = false;
        else if (std::strcmp(arg, "--any-address") == 0)
            anyAddress = true;
        else if (std::strcmp(arg, "--search") == 0)
            search = true;
        else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)
            return usage(nullptr), 0;
        else
            return usage(("unknown or incomplete argument: " + std::string(arg)).c_str());
    }
    if (options.address.empty()) return usage("--address is required");
    quil::platform::Ipv4 ip;
    if (!quil::platform::parseIpv4(options.address.c_str(), &ip)) return usage("not an IPv4 address");
    // Serving on a real network would let anything on it reach a fake
    // controller; that takes an explicit request.
    if (ip.b[0] != 127 && !anyAddress) {
        std::fprintf(stderr, "quilsim: %s is not a loopback address (127.0.0.0/8); use --any-address to serve it\n",
                     options.address.c_str());
        return 2;
    }

    // Search requests arrive as broadcasts, so the responder listens on
    // every adapter of the machine, not only on the served address.
    if (search && !anyAddress) {
        std::fprintf(stderr, "quilsim: --search answers on every adapter of the machine; add --any-address\n");
        return 2;
    }

    quil::sim::Simulator sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "quilsim: cannot listen on %s (ports %u and %u)\n", options.address.c_str(),
                     quil::sim::kCommandPort, quil::sim::kRollPort);
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("quilsim: serving %s (command %u, roll %u, model %d)\n", sim.address().c_str(), sim.commandPort(),
                sim.rollPort(), options.model);
    if (options.faults.any()) std::printf("quilsim: faults: %s\n", describe(options.faults).c_str());
    if (options.signal.shape != quil::sim::SignalShape::Constant)
        std::printf("quilsim: signal %s, period %d ms, amplitude %g, seed %u\n",
                    quil::sim::signalShapeName(options.signal.shape), options.signal.periodMs, options.signal.amplitude,
                    static_cast<unsigned>(options.signal.seed));
    quil::sim::SearchResponder responder(searchOptions(ip, options));
    if (search) {
        if (!responder.start()) {
            std::fprintf(stderr, "quilsim: cannot listen on UDP port %u for searches\n", quil::sim::kSearchPort);
            sim.stop();
            return 1;
        }
        std::printf("quilsim: answering searches on UDP %u\n", quil::sim::kSearchPort);
    }
    std::fflush(stdout);
    // A signal handler may only set a flag; look at it a few times a second.
    while (!g_stopRequested) quil::platform::sleepMs(100);
    responder.stop();
    sim.stop();
    return 0;
}
