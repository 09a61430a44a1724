// The search command: finds the controllers on every local network by UDP
// broadcast (this is a real broadcast on each of the machine's adapters).
#include <atomic>
#include <cstdio>

#include "cli.h"
#include "quil.h"

namespace quilctl {
namespace {

// The callback has no context argument; one search runs at a time.
std::atomic<int> g_answers{0};
// The listener makes the closing call; a search without it had nobody
// listening for the answers (the search port was taken).
std::atomic<bool> g_closed{false};

void printAnswer(int32_t value, const char* area, const char* ip, const char* mac, const char* hex) {
    if (!area || !ip || !mac || !hex) {
        g_closed = true;
        return;
    }
    g_answers.fetch_add(1);
    std::printf("  %-15s  %s  value %d  %s\n", ip, mac, value, hex);
    std::fflush(stdout);
}

int cmdSearch(Context& c) {
    if (!c.args.empty()) return usage();
    g_answers.store(0);
    g_closed = false;
    const int32_t r = SearchOnline(printAnswer);
    switch (r) {
    case 0: {
        const int n = g_answers.load();
        // 200 datagrams also end a search without the closing call, but
        // then answers came.
        if (!g_closed && n == 0) {
            std::fprintf(stderr, "search: could not listen for answers on UDP port 3778 (taken by another program?)\n");
            return 1;
        }
        std::printf("%d controller%s answered\n", n, n == 1 ? "" : "s");
        return 0;
    }
    default: std::fprintf(stderr, "search: %s (%d)\n", quil_code_message(QUIL_FAMILY_SEARCH, r), r); return 1;
    }
}

Registration search(40, {
                            {"search", "", "broadcast a search on every local network, list who answered", cmdSearch},
                        });

}  // namespace
}  // namespace quilctl
