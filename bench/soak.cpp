// quil_soak: 64 simulated controllers on their own loopback addresses and
// several threads of mixed traffic through the library for a given time
// (measured values, settings, the data storage, streams, closes and opens).
// Every 10 s it prints the process's resident memory, address space, open
// descriptors and threads; at the end it says whether they stayed flat and whether every
// call succeeded, and exits 1 when not. Linux only (/proc).
//
//   quil_soak [--seconds N] [--threads N]
#include <malloc.h>
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "quil.h"
#include "sim/simulator.h"

namespace {

constexpr int kControllers = 64;
constexpr int kSampleSeconds = 10;

// ------------------------------------------------------------ the process

struct Sample {
    double seconds = 0;
    long long rssKb = 0;
    long long vmKb = 0;    // address space
    long long heapKb = 0;  // allocated and not yet freed
    long fds = 0;
    long threads = 0;
};

long statusField(const char* name) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::size_t len = std::strlen(name);
    while (std::getline(f, line))
        if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':') return std::atol(&line[len + 1]);
    return -1;
}

long openDescriptors() {
    long n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec); !ec && it != end(it); it.increment(ec))
        ++n;
    return n - 1;  // the directory being read
}

// The library's buffers grow with the replies and packets in flight and are
// given back after large ones, so the resident figure swings with which
// devices have read what. The bytes the allocator has handed out and not got
// back do not: a leak shows there first (large buffers come from the system
// directly and show in the address space).
long long heapInUseKb() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long long>((m.uordblks + m.hblkhd) / 1024);
}

Sample sample(double seconds) {
    return Sample{seconds,       statusField("VmRSS"), statusField("VmSize"),
                  heapInUseKb(), openDescriptors(),    statusField("Threads")};
}

// The largest figures of samples [from, to): what a run reached in that
// stretch, so that a connection that had just closed, or a buffer whose pages
// were not written yet, when one sample was taken does not decide.
Sample peak(const std::vector<Sample>& samples, std::size_t from, std::size_t to) {
    Sample p = samples[from];
    for (std::size_t i = from; i < to; ++i) {
        p.rssKb = std::max(p.rssKb, samples[i].rssKb);
        p.vmKb = std::max(p.vmKb, samples[i].vmKb);
        p.heapKb = std::max(p.heapKb, samples[i].heapKb);
        p.fds = std::max(p.fds, samples[i].fds);
        p.threads = std::max(p.threads, samples[i].threads);
    }
    return p;
}

// ------------------------------------------------------------ the traffic

enum Op { Measure, SettingGet, SettingSet, Storage, Stream, Reopen, kOps };
const char* const kOpNames[kOps] = {"measure", "setting get", "setting set", "storage", "stream", "close/open"};

struct Counters {
    std::atomic<long> done[kOps] = {};
    std::atomic<long> failed[kOps] = {};
    std::atomic<long> batches[kControllers] = {};  // per device number
};

Counters g_counters;
std::mutex g_failMutex;
int g_failuresPrinted = 0;

void fail(Op op, int32_t id, const char* what, int32_t rc) {
    ++g_counters.failed[op];
    std::lock_guard<std::mutex> lock(g_failMutex);
    if (g_failuresPrinted++ < 20) std::printf("FAIL %s: device %d %s gave %d\n", kOpNames[op], id, what, rc);
}

extern "C" void onBatch(int32_t*, int32_t*, int32_t*, int32_t*, int32_t, int32_t count, int32_t status, int32_t id) {
    if (status == 0 && count > 0 && id >= 0 && id < kControllers) ++g_counters.batches[id];
}

// Between operations the workers stop while the sampler counts, so that each
// sample sees every device open and no stream running: a leak then shows as
// growth, not as the noise of operations in flight.
class Gate {
public:
    explicit Gate(int workers) : workers_(workers) {}
    // Worker: waits here while a sample is being taken.
    void pass() {
        std::unique_lock<std::mutex> lock(m_);
        if (!closed_) return;
        ++parked_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !closed_; });
        --parked_;
    }
    void leave() {
        std::lock_guard<std::mutex> lock(m_);
        --workers_;
        cv_.notify_all();
    }
    // Sampler: closes the gate and waits until every worker stands at it.
    void close() {
        std::unique_lock<std::mutex> lock(m_);
        closed_ = true;
        cv_.wait(lock, [&] { return parked_ >= workers_; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = false;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int workers_;
    int parked_ = 0;
    bool closed_ = false;
};

struct Device {
    int32_t id;
    quil::sim::Simulator* sim;
};

bool openDevice(const Device& d) {
    const int32_t rc = QUIL_OpenDeviceETHER(d.id, d.sim->ip().b, 2000);
    if (rc != QUIL_OK) fail(Reopen, d.id, "QUIL_OpenDeviceETHER", rc);
    return rc == QUIL_OK;
}

void check(Op op, const Device& d, const char* what, int32_t rc) {
    if (rc != QUIL_OK) fail(op, d.id, what, rc);
}

void runOp(Op op, const Device& d, std::mt19937& rng) {
    switch (op) {
    case Measure: {
        QuilCalcData all[4];
        check(op, d, "QUIL_GetCalcDataALL", QUIL_GetCalcDataALL(d.id, all));
        break;
    }
    case SettingGet: {
        int32_t median = 0;
        check(op, d, "QUIL_GetMedian", QUIL_GetMedian(d.id, 1, &median));
        break;
    }
    case SettingSet: check(op, d, "QUIL_SetMedian", QUIL_SetMedian(d.id, 1, static_cast<int32_t>(rng() % 3))); break;
    case Storage: {
        check(op, d, "QUIL_DataStorageStart", QUIL_DataStorageStart(d.id));
        int32_t running = 0, outs[8] = {};
        check(op, d, "QUIL_DataStorageGetStatus", QUIL_DataStorageGetStatus(d.id, &running, outs));
        check(op, d, "QUIL_DataStorageStop", QUIL_DataStorageStop(d.id));
        static thread_local std::vector<float> values(2000);
        int32_t n = 0;
        const int32_t rc = QUIL_DataStorageGetData(d.id, 1, static_cast<int32_t>(values.size()), values.data(), &n);
        if (rc != QUIL_OK && rc != QUIL_ERROR_NO_DATA) fail(op, d.id, "QUIL_DataStorageGetData", rc);
        check(op, d, "QUIL_DataStorageInit", QUIL_DataStorageInit(d.id));
        break;
    }
    case Stream: {
        // A stream takes the device number's connection: the device is
        // closed for it and opened again after it.
        check(op, d, "QUIL_CloseDevice", QUIL_CloseDevice(d.id));
        std::atomic<long>& batches = g_counters.batches[d.id];
        const long before = batches;
        const int32_t rc = QUIL_StartRollPoint(static_cast<uint32_t>(d.id), d.sim->address().c_str(), onBatch, 400);
        if (rc != 0) {
            fail(op, d.id, "QUIL_StartRollPoint", rc);
        } else {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (batches == before && std::chrono::steady_clock::now() < end) quil::platform::sleepMs(20);
            if (batches == before) fail(op, d.id, "stream: no batch within 3 s", 0);
        }
        check(op, d, "QUIL_StopRollPoint", QUIL_StopRollPoint(static_cast<uint32_t>(d.id)));
        openDevice(d);
        break;
    }
    case Reopen:
        check(op, d, "QUIL_CloseDevice", QUIL_CloseDevice(d.id));
        openDevice(d);
        break;
    case kOps: break;
    }
    ++g_counters.done[op];
}

// Each worker owns its devices (one thread per device number, as the
// library's rules ask) and picks an operation and one of them at random, with
// a pause between operations that keeps the load moderate.
void work(std::vector<Device> devices, unsigned seed, const std::atomic<bool>& stop, Gate& gate) {
    std::mt19937 rng(seed);
    // Streams and reopens are rarer than the plain exchanges, as in use.
    const Op weights[] = {Measure,    Measure, Measure, Measure, SettingGet, SettingGet,
                          SettingSet, Storage, Storage, Stream,  Reopen,     Reopen};
    while (!stop) {
        gate.pass();
        const Device& d = devices[rng() % devices.size()];
        runOp(weights[rng() % std::size(weights)], d, rng);
        quil::platform::sleepMs(5 + static_cast<int>(rng() % 10));
    }
    gate.leave();
}

bool parseArg(const char* text, int min, int max, int* out) {
    const char* end = text + std::strlen(text);
    int v = 0;
    auto [p, ec] = std::from_chars(text, end, v);
    if (p == text || p != end || ec != std::errc() || v < min || v > max) return false;
    *out = v;
    return true;
}

int usage(const char* why) {
    if (why) std::fprintf(stderr, "quil_soak: %s\n", why);
    std::fprintf(stderr,
                 "usage: quil_soak [--seconds N] [--threads N]\n"
                 "  --seconds  how long the traffic runs, 10 to 86400 (default 600)\n"
                 "  --threads  traffic threads, 1 to 64, each with its own devices (default 8)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 600;
    int workers = 8;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
            if (!parseArg(argv[++i], 10, 86400, &seconds)) return usage("--seconds takes a whole number, 10 to 86400");
        } else if (std::strcmp(argv[i], "--threads") == 0 && hasValue) {
            if (!parseArg(argv[++i], 1, kControllers, &workers))
                return usage("--threads takes a whole number, 1 to 64");
        } else if (std::strcmp(argv[i], "--help") == 0) {
            return usage(nullptr), 0;
        } else {
            return usage(("unknown or incomplete argument: " + std::string(argv[i])).c_str());
        }
    }
    quil_log_configure(nullptr, QUIL_LOG_QUIET, 0);  // no log file, no console lines

    // Small stream packets at a moderate rate: a stream is one operation
    // among others, not a load test.
    quil::sim::StreamConfig stream{.mask = 0x0F, .valuesPerPacket = 200, .packetIntervalMs = 10, .startDelayMs = 50};
    std::vector<std::unique_ptr<quil::sim::Simulator>> sims;
    for (int i = 0; i < kControllers; ++i) {
        sims.push_back(std::make_unique<quil::sim::Simulator>(quil::sim::Options{.model = 35, .stream = stream}));
        if (!sims.back()->start()) {
            std::fprintf(stderr, "quil_soak: simulator %d cannot listen\n", i);
            return 1;
        }
    }
    std::vector<std::vector<Device>> shares(static_cast<std::size_t>(workers));
    for (int i = 0; i < kControllers; ++i) {
        Device d{i, sims[static_cast<std::size_t>(i)].get()};
        if (!openDevice(d)) return 1;
        shares[static_cast<std::size_t>(i % workers)].push_back(d);
    }
    std::printf("quil_soak: %d controllers, %d threads, %d s\n", kControllers, workers, seconds);
    std::printf("%8s %10s %10s %10s %6s %8s %10s\n", "elapsed", "RSS kB", "VM kB", "heap kB", "fds", "threads",
                "operations");
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    Gate gate(workers);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back(work, shares[static_cast<std::size_t>(w)], 1234u + static_cast<unsigned>(w),
                             std::cref(stop), std::ref(gate));

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    std::vector<Sample> samples;
    for (int tick = 1; tick * kSampleSeconds <= seconds; ++tick) {
        std::this_thread::sleep_until(start + std::chrono::seconds(tick * kSampleSeconds));
        gate.close();
        // The simulators keep every line they received; that record is the
        // test's, not the library's, memory.
        for (auto& sim : sims) sim->clearReceived();
        samples.push_back(sample(elapsed()));
        gate.open();
        long ops = 0;
        for (const auto& n : g_counters.done) ops += n;
        const Sample& s = samples.back();
        std::printf("%7.0fs %10lld %10lld %10lld %6ld %8ld %10ld\n", s.seconds, s.rssKb, s.vmKb, s.heapKb, s.fds,
                    s.threads, ops);
        std::fflush(stdout);
    }
    stop = true;
    gate.open();
    for (auto& t : threads) t.join();

    long failures = 0;
    for (int op = 0; op < kOps; ++op) {
        std::printf("%-12s %8ld done %6ld failed\n", kOpNames[op], g_counters.done[op].load(),
                    g_counters.failed[op].load());
        failures += g_counters.failed[op];
    }
    long batches = 0;
    for (const auto& n : g_counters.batches) batches += n;
    std::printf("stream batches: %ld\n", batches);

    // After a minute of warm-up (the allocator's pools, every code path
    // once), the peaks of the first and the second half of the remaining
    // samples: flat when the second half reaches no higher than the first,
    // within a small margin.
    const std::size_t warm = std::min<std::size_t>(samples.size() - 1, 60 / kSampleSeconds);
    const std::size_t half = warm + (samples.size() - warm + 1) / 2;
    const Sample first = peak(samples, warm, std::max(half, warm + 1));
    const Sample second = peak(samples, std::min(half, samples.size() - 1), samples.size());
    auto report = [](const char* what, long long a, long long b, long long margin) {
        const bool flat = b <= a + margin;
        std::printf("  %-8s %12lld -> %12lld  %s\n", what, a, b, flat ? "flat" : "GROWING");
        return flat;
    };
    std::printf("peaks after warm-up, first half -> second half:\n");
    bool flat = report("RSS kB", first.rssKb, second.rssKb, std::max(4096LL, first.rssKb / 10));
    flat = report("VM kB", first.vmKb, second.vmKb, std::max(65536LL, first.vmKb / 10)) && flat;
    flat = report("heap kB", first.heapKb, second.heapKb, 2048) && flat;
    flat = report("fds", first.fds, second.fds, 16) && flat;
    flat = report("threads", first.threads, second.threads, 4) && flat;
    // 64 controllers in use must fit a plant PC, and the 32-bit DLL.
    long long peakRss = 0;
    for (const Sample& s : samples) peakRss = std::max(peakRss, s.rssKb);
    const bool small = peakRss < 256 * 1024;
    std::printf("peak resident memory %.1f MiB with %d controllers (goal < 256 MiB)%s\n",
                static_cast<double>(peakRss) / 1024, kControllers, small ? "" : "  TOO LARGE");
    for (int i = 0; i < kControllers; ++i) QUIL_CloseDevice(i);
    const bool ok = flat && small && failures == 0;
    std::printf("quil_soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
