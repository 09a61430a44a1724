#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "bench_util.h"

namespace quil::bench {
namespace {

struct Ratio {
    std::string name, numerator, denominator, goal;
};

std::map<std::string, ChildReport::Fn>& childReports() {
    static std::map<std::string, ChildReport::Fn> r;
    return r;
}

std::vector<Ratio>& ratios() {
    static std::vector<Ratio> r;
    return r;
}

// Collects each benchmark's time per iteration beside the usual console
// output: the best of its repetitions.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations <= 0) continue;
            const Time t{run.GetAdjustedRealTime(), benchmark::GetTimeUnitString(run.time_unit)};
            auto [it, fresh] = times.emplace(run.benchmark_name(), t);
            if (!fresh && t.value < it->second.value) it->second = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    struct Time {
        double value;
        const char* unit;
    };
    std::map<std::string, Time> times;
};

std::string uniqueAddress() { return sim::freeLoopbackAddress(); }

}  // namespace

sim::Simulator& controller() {
    static sim::Simulator* s = [] {
        auto* sim = new sim::Simulator();
        if (!sim->start()) {
            std::fprintf(stderr, "cannot start the simulator\n");
            std::exit(1);
        }
        return sim;
    }();
    return *s;
}

Responder::Responder(std::string reply) : reply_(std::move(reply)), address_(uniqueAddress()) {
    platform::parseIpv4(address_.c_str(), &ip_);
    listener_ = platform::tcpSocket();
    platform::setReuseAddress(listener_, true);
    if (platform::bindTo(listener_, ip_, sim::kCommandPort) != 0 || platform::listenOn(listener_, 8) != 0) {
        std::fprintf(stderr, "cannot start the responder\n");
        std::exit(1);
    }
    acceptor_ = std::thread([this] {
        while (!stop_) {
            if (platform::waitReadable(listener_, 100) != platform::Wait::Ready) continue;
            platform::Socket peer = platform::acceptFrom(listener_);
            if (!peer.valid()) continue;
            platform::setNoDelay(peer, true);
            peers_.push_back(peer);
            threads_.emplace_back([this, peer] { serve(peer); });
        }
    });
}

Responder::~Responder() {
    stop_ = true;
    acceptor_.join();
    for (platform::Socket p : peers_) platform::shutdownBoth(p);
    for (std::thread& t : threads_) t.join();
    for (platform::Socket p : peers_) platform::closeSocket(p);
    platform::closeSocket(listener_);
}

void Responder::serve(platform::Socket peer) {
    char buf[4096];
    for (;;) {
        const long n = platform::recvSome(peer, buf, sizeof buf);
        if (n <= 0) return;
        for (long i = 0; i < n; ++i)
            if (buf[i] == '\n' && platform::sendSome(peer, reply_.data(), reply_.size()) <= 0) return;
    }
}

Responder& responder() {
    static Responder r("MS,01,+001.000\r\n");
    return r;
}

RawClient::RawClient(const std::string& address, std::uint16_t port) {
    platform::Ipv4 ip;
    platform::parseIpv4(address.c_str(), &ip);
    s_ = platform::tcpSocket();
    platform::setNoDelay(s_, true);
    if (platform::connectStart(s_, ip, port) != 0) {
        platform::closeSocket(s_);
        s_ = {};
    }
}

RawClient::~RawClient() {
    if (s_.valid()) platform::closeSocket(s_);
}

bool RawClient::exchange(const std::string& line, std::string& reply) {
    if (platform::sendSome(s_, line.data(), line.size()) != static_cast<long>(line.size())) return false;
    reply.clear();
    char buf[4096];
    while (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) {
        long n = platform::recvSome(s_, buf, sizeof buf);
        if (n <= 0) return false;
        reply.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

ChildReport::ChildReport(const char* name, Fn fn) { childReports()[name] = fn; }

void rawPingPong(benchmark::State& state, const std::string& line) {
    RawClient client(responder().address());
    std::string reply;
    for (auto _ : state) {
        if (!client.exchange(line, reply)) {
            state.SkipWithError("raw exchange failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
}

RatioRegistration::RatioRegistration(std::string name, std::string numerator, std::string denominator,
                                     std::string goal) {
    ratios().push_back({std::move(name), std::move(numerator), std::move(denominator), std::move(goal)});
}

}  // namespace quil::bench

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child") {
        auto it = quil::bench::childReports().find(argv[2]);
        return it == quil::bench::childReports().end() ? 2 : it->second();
    }
    if (!quil::platform::pinProcessToOneCpu()) std::fprintf(stderr, "could not pin the benchmark to one CPU\n");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    quil::bench::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto& r : quil::bench::ratios()) {
        auto num = reporter.times.find(r.numerator);
        auto den = reporter.times.find(r.denominator);
        if (num == reporter.times.end() || den == reporter.times.end() || den->second.value <= 0) continue;
        const auto& [lib, raw] = std::pair(num->second, den->second);
        std::printf("%-28s library %9.3f %-2s  raw %9.3f %-2s  ratio %.3f  (goal %s)\n", r.name.c_str(), lib.value,
                    lib.unit, raw.value, raw.unit, lib.value / raw.value, r.goal.c_str());
    }
    for (const auto& [name, fn] : quil::bench::childReports()) {
        (void)fn;
        std::string cmd = quil::platform::executablePath() + " --child " + name;
        std::fflush(stdout);
        if (std::system(cmd.c_str()) != 0) std::printf("%s failed\n", name.c_str());
    }
    return 0;
}
