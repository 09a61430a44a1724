// quilsim: a simulated controller for trying the library and its tools
// without hardware.
//
//   quilsim --address 127.0.0.2 [--model N] [--quiet] [--any-address]
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "sim/simulator.h"

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void onSignal(int) { g_stopRequested = 1; }

int usage(const char* why) {
    if (why) std::fprintf(stderr, "quilsim: %s\n", why);
    std::fprintf(stderr,
                 "usage: quilsim --address A.B.C.D [--model N] [--quiet] [--any-address]\n"
                 "  --address      IPv4 address to serve (127.0.0.0/8 unless --any-address)\n"
                 "  --model        model code answered to \"MD\" (default 0)\n"
                 "  --quiet        do not print the exchanges\n"
                 "  --any-address  allow an address outside 127.0.0.0/8\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    quil::sim::Options options;
    options.verbose = true;
    bool anyAddress = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (std::strcmp(arg, "--address") == 0 && hasValue) options.address = argv[++i];
        else if (std::strcmp(arg, "--model") == 0 && hasValue) options.model = quil::platform::toInt(argv[++i]);
        else if (std::strcmp(arg, "--quiet") == 0) options.verbose = false;
        else if (std::strcmp(arg, "--any-address") == 0) anyAddress = true;
        else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) return usage(nullptr), 0;
        else return usage(("unknown or incomplete argument: " + std::string(arg)).c_str());
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
    std::fflush(stdout);
    // A signal handler may only set a flag; look at it a few times a second.
    while (!g_stopRequested) quil::platform::sleepMs(100);
    sim.stop();
    return 0;
}
