// Shared pieces of the benchmarks: the simulator they run against, a raw
// client that does what the library does with plain platform sockets, and the
// ratio report printed after the run.
#pragma once

#include <string>

#include <benchmark/benchmark.h>

#include "platform/platform.h"
#include "sim/simulator.h"

namespace quil::bench {

// One simulated controller for the whole benchmark process.
sim::Simulator& controller();

// A plain connected TCP socket to the controller's command port, as fast as
// it gets: the baseline the library's exchanges are measured against.
class RawClient {
public:
    explicit RawClient(const std::string& address, std::uint16_t port = 19062);
    ~RawClient();
    // Sends line and reads until CR LF; false on failure.
    bool exchange(const std::string& line, std::string& reply);
    platform::Socket socket() const { return s_; }

private:
    platform::Socket s_;
};

// The baseline of a request/reply exchange: line sent and its reply read
// with a plain socket, once per iteration.
void rawPingPong(benchmark::State& state, const std::string& line);

// Declares that the ratio of two benchmarks' mean real time is printed as
// "<name> ratio=<numerator/denominator>" after the run.
struct RatioRegistration {
    RatioRegistration(const char* name, const char* numerator, const char* denominator);
};

// A figure that is not a timing: printed after the benchmarks by running the
// benchmark program again in a child process with `--child NAME`, so that
// nothing the benchmarks allocated shows up in it.
struct ChildReport {
    using Fn = int (*)();  // prints its figure line, returns the exit code
    ChildReport(const char* name, Fn fn);
};

}  // namespace quil::bench
