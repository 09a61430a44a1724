// The memory the library takes for 64 controllers in use: each opened, read
// once for a measured value and for 1,000 stored values, and streamed for 10
// packets of 4 x 1,000 values, all 64 streams at once. The controllers are
// minimal responders in a process of their own, so that only the library's
// memory is counted. Linux only (fork, /proc); the address space is measured
// with MALLOC_ARENA_MAX=1, so that glibc's per-thread arenas (its policy,
// which the Windows heap does not have) do not hide the library's share.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "quil.h"

namespace quil::bench {
namespace {

constexpr int kDevices = 64;
constexpr int kStoredValues = 1000;
constexpr std::uint32_t kPacketValues = 1000;  // per channel
constexpr int kPackets = 10;

struct Endpoint {
    platform::Ipv4 ip;
    platform::Socket command, roll;
};

// Answers each command line (up to CR LF) by its letters, at once.
void serveCommands(platform::Socket peer) {
    std::string stored = "AO";
    for (int i = 0; i < kStoredValues; ++i) stored += ",+001.250";
    stored += "\r\n";
    std::string line;
    char buf[4096];
    for (;;) {
        const long n = platform::recvSome(peer, buf, sizeof buf);
        if (n <= 0) break;
        for (long i = 0; i < n; ++i) {
            // A JSON message is printed over several lines: only CR LF ends one.
            line += buf[i];
            if (buf[i] != '\n' || line.size() < 2 || line[line.size() - 2] != '\r') continue;
            std::string reply = "ER,XX,01\r\n";
            if (line.compare(0, 2, "MD") == 0) reply = "MD,12\r\n";
            if (line.compare(0, 2, "MS") == 0) reply = "MS,01,+001.000\r\n";
            if (line.compare(0, 2, "AO") == 0) reply = stored;
            if (line.compare(0, 2, "#J") == 0) reply = "#J,{\"retState\":0}\r\n";
            line.clear();
            for (std::size_t sent = 0; sent < reply.size();) {
                platform::waitWritable(peer, 2000);
                const long m = platform::sendSome(peer, reply.data() + sent, reply.size() - sent);
                if (m <= 0) break;
                sent += static_cast<std::size_t>(m);
            }
        }
    }
    platform::closeSocket(peer);
}

// Sends the packets of one run, then waits for the library to close.
void serveStream(platform::Socket peer) {
    std::vector<unsigned char> packet(16 + 4 * 4 * kPacketValues, 0);
    packet[0] = 0x0F;
    packet[1] = 0xFA;
    packet[2] = 0xAF;
    const std::uint32_t size = 4 * 4 * kPacketValues;
    std::memcpy(&packet[4], &size, 4);
    // The library discards what came before it was ready for the stream, as
    // a controller starts its packets a moment after the connection.
    platform::sleepMs(200);
    for (int p = 0; p < kPackets; ++p)
        for (std::size_t sent = 0; sent < packet.size();) {
            platform::waitWritable(peer, 2000);
            const long m = platform::sendSome(peer, packet.data() + sent, packet.size() - sent);
            if (m <= 0) break;
            sent += static_cast<std::size_t>(m);
        }
    char buf[256];
    while (platform::recvSome(peer, buf, sizeof buf) > 0) {}
    platform::closeSocket(peer);
}

[[noreturn]] void serve(const std::vector<Endpoint>& endpoints) {
    std::vector<std::thread> acceptors;
    for (const Endpoint& e : endpoints)
        acceptors.emplace_back([e] {
            for (;;) {
                const int ready = platform::waitEitherReadable(e.command, e.roll, -1);
                if (ready < 0) continue;
                platform::Socket peer = platform::acceptFrom(ready == 0 ? e.command : e.roll);
                if (!peer.valid()) continue;
                platform::setNoDelay(peer, true);
                std::thread(ready == 0 ? serveCommands : serveStream, peer).detach();
            }
        });
    for (std::thread& t : acceptors) t.join();
    std::_Exit(0);
}

std::atomic<int> g_batches[kDevices];

void onBatch(int32_t* c1, int32_t*, int32_t*, int32_t*, int32_t, int32_t count, int32_t status, int32_t id) {
    if (status == 0 && count > 0 && c1) g_batches[id].fetch_add(1);
}

long long statusKb(const char* name) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long long kb = -1;
    const std::size_t len = std::strlen(name);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, name, len) == 0 && line[len] == ':') kb = std::atoll(line + len + 1);
    std::fclose(f);
    return kb;
}

double mib(long long kb) { return static_cast<double>(kb) / 1024; }

int active64() {
    // glibc reads the arena limit when the process starts.
    if (!std::getenv("MALLOC_ARENA_MAX")) {
        ::setenv("MALLOC_ARENA_MAX", "1", 1);
        const std::string self = platform::executablePath();
        ::execl(self.c_str(), self.c_str(), "--child", "active64", static_cast<char*>(nullptr));
        return 1;
    }
    std::vector<Endpoint> endpoints;
    for (int i = 0; i < kDevices; ++i) {
        Endpoint e;
        platform::parseIpv4(sim::freeLoopbackAddress().c_str(), &e.ip);
        e.command = platform::tcpSocket();
        e.roll = platform::tcpSocket();
        platform::setReuseAddress(e.command, true);
        platform::setReuseAddress(e.roll, true);
        if (platform::bindTo(e.command, e.ip, sim::kCommandPort) != 0 || platform::listenOn(e.command, 8) != 0 ||
            platform::bindTo(e.roll, e.ip, sim::kRollPort) != 0 || platform::listenOn(e.roll, 8) != 0) {
            std::fprintf(stderr, "active64: cannot listen on %s\n", platform::formatIpv4(e.ip).c_str());
            return 1;
        }
        endpoints.push_back(e);
    }
    std::fflush(stdout);
    const pid_t responders = ::fork();
    if (responders == 0) serve(endpoints);
    for (const Endpoint& e : endpoints) {
        platform::closeSocket(e.command);
        platform::closeSocket(e.roll);
    }

    // The first open sets up the log; do that before the baseline.
    const uint8_t none[4] = {0, 0, 0, 0};
    QUIL_OpenDeviceETHER(0, none, 0);
    const long long rssBefore = statusKb("VmRSS"), vmBefore = statusKb("VmSize");
    int failures = 0;
    std::vector<float> values(kStoredValues);
    for (int id = 0; id < kDevices; ++id) {
        QuilCalcData d{};
        int32_t n = 0;
        if (QUIL_OpenDeviceETHER(id, endpoints[static_cast<std::size_t>(id)].ip.b, 2000) != QUIL_OK ||
            QUIL_GetCalcDataSingle(id, 1, &d) != QUIL_OK ||
            QUIL_DataStorageGetData(id, 1, kStoredValues, values.data(), &n) != QUIL_OK || n != kStoredValues) {
            std::fprintf(stderr, "active64: device %d failed to open or read\n", id);
            ++failures;
        }
    }
    for (int id = 0; id < kDevices; ++id) {
        const std::string ip = platform::formatIpv4(endpoints[static_cast<std::size_t>(id)].ip);
        if (QUIL_StartRollPoint(static_cast<uint32_t>(id), ip.c_str(), onBatch, kPacketValues) != 0) {
            std::fprintf(stderr, "active64: device %d failed to start its stream\n", id);
            ++failures;
        }
    }
    const platform::Deadline deadline(20000);
    for (int id = 0; id < kDevices; ++id)
        while (g_batches[id].load() < kPackets && !deadline.expired()) platform::sleepMs(10);
    const long long rssStreaming = statusKb("VmRSS"), vmStreaming = statusKb("VmSize");
    for (int id = 0; id < kDevices; ++id) {
        if (g_batches[id].load() < kPackets) {
            std::fprintf(stderr, "active64: device %d got %d batches\n", id, g_batches[id].load());
            ++failures;
        }
        QUIL_StopRollPoint(static_cast<uint32_t>(id));
    }
    const long long rssAfter = statusKb("VmRSS"), vmAfter = statusKb("VmSize");
    std::printf("active64 streaming: resident +%.1f MiB, address space +%.1f MiB\n", mib(rssStreaming - rssBefore),
                mib(vmStreaming - vmBefore));
    std::printf("active64 resident +%.1f MiB (goal <= 64 MiB), address space +%.1f MiB (goal <= 512 MiB)%s\n",
                mib(rssAfter - rssBefore), mib(vmAfter - vmBefore), failures ? "  CALLS FAILED" : "");
    for (int id = 0; id < kDevices; ++id) QUIL_CloseDevice(id);
    ::kill(responders, SIGKILL);
    ::waitpid(responders, nullptr, 0);
    return failures == 0 ? 0 : 1;
}
ChildReport active("active64", active64);

}  // namespace
}  // namespace quil::bench
