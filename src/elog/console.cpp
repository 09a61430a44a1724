#include "elog/console.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace quil {
namespace {

// Read from the environment once, on first use; quil_log_configure may
// override it before or after.
std::atomic<int> g_quiet{-1};

bool quietFromEnvironment() {
    const char* v = std::getenv("QUIL_QUIET");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace

bool consoleQuiet() {
    int q = g_quiet.load(std::memory_order_relaxed);
    if (q < 0) {
        int fresh = quietFromEnvironment() ? 1 : 0;
        // A setting made meanwhile wins over the environment.
        if (!g_quiet.compare_exchange_strong(q, fresh)) return q == 1;
        return fresh == 1;
    }
    return q == 1;
}

void setConsoleQuiet(bool quiet) { g_quiet.store(quiet ? 1 : 0, std::memory_order_relaxed); }

void consolePrint(const char* format, ...) {
    if (consoleQuiet()) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void consoleError(const char* what) {
    const int err = errno;
    if (consoleQuiet()) return;
    std::fprintf(stderr, "%s: %s\n", what, std::strerror(err));
}

void consoleSocketError(const char* what, int err) {
    if (consoleQuiet()) return;
    std::fprintf(stderr, "%s: %s\n", what, platform::errorText(err).c_str());
}

}  // namespace quil
