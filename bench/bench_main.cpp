#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "bench_util.h"

namespace quil::bench {
namespace {

struct Ratio {
    std::string name, numerator, denominator;
};

std::map<std::string, ChildReport::Fn>& childReports() {
    static std::map<std::string, ChildReport::Fn> r;
    return r;
}

std::vector<Ratio>& ratios() {
    static std::vector<Ratio> r;
    return r;
}

// Collects each benchmark's time per iteration beside the usual console output.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

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

RawClient::RawClient(const std::string& address, std::uint16_t port) {
    platform::Ipv4 ip;
    platform::parseIpv4(address.c_str(), &ip);
    s_ = platform::tcpSocket();
    platform::setNoDelay(s_, true);
    if (platform::connectStart(s_, ip, port) != 0) {
        platform::closeSocket(s_);
        s_ = {};
        return;
    }
    platform::setNonBlocking(s_);
}

RawClient::~RawClient() {
    if (s_.valid()) platform::closeSocket(s_);
}

bool RawClient::exchange(const std::string& line, std::string& reply) {
    if (platform::waitWritable(s_, 2000) != platform::Wait::Ready) return false;
    if (platform::sendSome(s_, line.data(), line.size()) != static_cast<long>(line.size())) return false;
    reply.clear();
    char buf[4096];
    while (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) {
        if (platform::waitReadable(s_, 2000) != platform::Wait::Ready) return false;
        long n = platform::recvSome(s_, buf, sizeof buf);
        if (n <= 0) return false;
        reply.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

ChildReport::ChildReport(const char* name, Fn fn) { childReports()[name] = fn; }

void rawPingPong(benchmark::State& state, const std::string& line) {
    RawClient client(controller().address());
    std::string reply;
    for (auto _ : state) {
        if (!client.exchange(line, reply)) {
            state.SkipWithError("raw exchange failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
}

RatioRegistration::RatioRegistration(const char* name, const char* numerator, const char* denominator) {
    ratios().push_back({name, numerator, denominator});
}

}  // namespace quil::bench

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child") {
        auto it = quil::bench::childReports().find(argv[2]);
        return it == quil::bench::childReports().end() ? 2 : it->second();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    quil::bench::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto& r : quil::bench::ratios()) {
        auto num = reporter.times.find(r.numerator);
        auto den = reporter.times.find(r.denominator);
        if (num == reporter.times.end() || den == reporter.times.end() || den->second <= 0) continue;
        std::printf("%s ratio=%.3f\n", r.name.c_str(), num->second / den->second);
    }
    for (const auto& [name, fn] : quil::bench::childReports()) {
        (void)fn;
        std::string cmd = quil::platform::executablePath() + " --child " + name;
        std::fflush(stdout);
        if (std::system(cmd.c_str()) != 0) std::printf("%s failed\n", name.c_str());
    }
    return 0;
}
