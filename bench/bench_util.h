// Shared pieces of the benchmarks: the simulator they run against, a minimal
// responder for the request/reply round trips, a raw client that does the
// same work the plainest way, and the ratio report printed after the run.
//
// The whole benchmark process runs on one processor: the client and its peer
// take turns on it, which keeps the figures stable on a busy machine.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/platform.h"
#include "sim/simulator.h"

namespace quil::bench {

// One simulated controller for the whole benchmark process.
sim::Simulator& controller();

// The fastest peer of a request/reply exchange: on the command port of a
// loopback address of its own, it answers every line with one fixed reply at
// once, with no model behind it and nothing recorded (the simulator's own
// work per line would hide the library's cost).
class Responder {
public:
    explicit Responder(std::string reply);
    ~Responder();
    const std::string& address() const { return address_; }
    const platform::Ipv4& ip() const { return ip_; }

private:
    void serve(platform::Socket peer);

    std::string reply_;
    std::string address_;
    platform::Ipv4 ip_;
    platform::Socket listener_;
    std::atomic<bool> stop_{false};
    std::vector<platform::Socket> peers_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// The responder of the round-trip benchmarks, answering "MS,01,+001.000".
Responder& responder();

// A plain blocking TCP socket: the baseline the library's exchanges are
// measured against does one send and one receive per round trip.
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

// The baseline of a request/reply exchange with the responder: line sent and
// its reply read with a plain socket, once per iteration.
void rawPingPong(benchmark::State& state, const std::string& line);
// Round trips are measured as the best of this many runs of this many exchanges.
inline constexpr int kRoundTripRuns = 5;
inline constexpr int kRoundTripExchanges = 2000;

// Declares that the ratio of two benchmarks' real time per iteration (the
// best of their repetitions) is printed after the run, with its goal.
struct RatioRegistration {
    RatioRegistration(std::string name, std::string numerator, std::string denominator, std::string goal);
};

// A figure that is not a timing: printed after the benchmarks by running the
// benchmark program again in a child process with `--child NAME`, so that
// nothing the benchmarks allocated shows up in it.
struct ChildReport {
    using Fn = int (*)();  // prints its figure line, returns the exit code
    ChildReport(const char* name, Fn fn);
};

}  // namespace quil::bench
