// The parts of the platform interface that the C++ standard library serves
// alike on every system.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "platform/platform.h"

namespace quil::platform {

std::string formatIpv4(const Ipv4& ip) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip.b[0], ip.b[1], ip.b[2], ip.b[3]);
    return buf;
}

void sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {
std::mutex g_dirMutex;
std::string g_dirOverride;
bool g_dirOverridden = false;
}  // namespace

std::string applicationDirectory() {
    {
        std::lock_guard<std::mutex> lock(g_dirMutex);
        if (g_dirOverridden) return g_dirOverride;
    }
    std::string path = executablePath();
    size_t sep = path.rfind(kPathSeparator);
    if (sep == std::string::npos) return {};
    // The root directory keeps its separator ("/"); a drive root ("C:\")
    // gives "C:", to which the separator and a file name are appended.
    return sep == 0 ? kPathSeparator : path.substr(0, sep);
}

void overrideApplicationDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_dirMutex);
    g_dirOverride = dir;
    g_dirOverridden = true;
}

namespace {
std::atomic<bool> g_failFileSyncs{false};
}  // namespace

void failFileSyncs(bool fail) { g_failFileSyncs.store(fail, std::memory_order_relaxed); }

bool fileSyncsFail() { return g_failFileSyncs.load(std::memory_order_relaxed); }

std::string temporaryFileName() {
    static std::atomic<unsigned> serial{0};
    std::uint64_t bits = monotonicMs() ^ (static_cast<std::uint64_t>(processId()) << 32) ^ serial++;
    try {
        std::random_device device;
        bits ^= (static_cast<std::uint64_t>(device()) << 32) | device();
    } catch (...) {
        // Exclusive creation still protects the file; the name is just guessable.
    }
    char name[32];
    std::snprintf(name, sizeof name, ".quil-%012llx.tmp", static_cast<unsigned long long>(bits & 0xFFFFFFFFFFFFULL));
    return name;
}

}  // namespace quil::platform
