// quilctl watch: the measured values of the OUTs, read again and again. On a
// terminal a table that refreshes in place, with each OUT's status and a
// sparkline of its recent values, until q or Ctrl-C; otherwise one plain line
// per reading, for a pipe or a file. A controller that stops answering is
// opened again at each reading; ending while it is away exits 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>

#include "cli.h"
#include "platform/platform.h"
#include "quil.h"

namespace quilctl {
namespace {

constexpr int kOuts = 8;
constexpr int kHistory = 40;  // values in a sparkline
// The eighth-blocks of a sparkline, lowest to highest, in UTF-8.
const char* const kBlocks[] = {"\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};

struct Reading {
    int32_t status = QUIL_VALUE_XXXXXXXX;
    float value = 0;
};

const char* statusWord(int32_t status) {
    switch (status) {
    case QUIL_VALUE_NORMAL: return "normal";
    case QUIL_VALUE_PLUS_FFFFFFF: return "above";
    case QUIL_VALUE_MINUS_FFFFFFF: return "below";
    default: return "invalid";
    }
}

// One reading of every selected OUT: OUT1 to OUT4 in one exchange, the
// others one at a time. The first failure's code, or QUIL_OK.
int32_t readOuts(int32_t id, unsigned mask, Reading (&r)[kOuts]) {
    if (mask & 0x0Fu) {
        QuilCalcData d[4] = {};
        if (const int32_t rc = QUIL_GetCalcDataMulti(id, static_cast<int32_t>(mask & 0x0Fu), d); rc != QUIL_OK)
            return rc;
        for (int k = 0; k < __builtin_popcount(mask & 0x0Fu); ++k)
            if (d[k].OutNo >= 1 && d[k].OutNo <= 4) r[d[k].OutNo - 1] = {d[k].status, d[k].value};
    }
    for (int out = 5; out <= kOuts; ++out) {
        if (!(mask & (1u << (out - 1)))) continue;
        QuilCalcData d{};
        if (const int32_t rc = QUIL_GetCalcDataSingle(id, out, &d); rc != QUIL_OK) return rc;
        r[out - 1] = {d.status, d.value};
    }
    return QUIL_OK;
}

// Normal values as eighth-blocks between the history's lowest and highest
// value; "^" above the range, "v" below, "?" without a valid value.
std::string sparkline(const std::deque<Reading>& history) {
    float low = 0, high = 0;
    bool any = false;
    for (const Reading& h : history)
        if (h.status == QUIL_VALUE_NORMAL) {
            low = any ? std::min(low, h.value) : h.value;
            high = any ? std::max(high, h.value) : h.value;
            any = true;
        }
    std::string line;
    for (const Reading& h : history) {
        if (h.status == QUIL_VALUE_PLUS_FFFFFFF)
            line += "^";
        else if (h.status == QUIL_VALUE_MINUS_FFFFFFF)
            line += "v";
        else if (h.status != QUIL_VALUE_NORMAL)
            line += "?";
        else
            line += kBlocks[high > low ? std::min(7, static_cast<int>((h.value - low) / (high - low) * 8)) : 3];
    }
    return line;
}

struct Options {
    unsigned mask = 0xFFu;
    int intervalMs = 200;
    long long count = 0;  // readings before it ends by itself; 0: until stopped
};

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    if (args.size() % 2 != 0) usage();
    for (size_t i = 0; i < args.size(); i += 2) {
        if (args[i] == "--mask")
            o.mask = static_cast<unsigned>(toNumber(args[i + 1], 1, 255, "--mask"));
        else if (args[i] == "--interval")
            o.intervalMs = static_cast<int>(toNumber(args[i + 1], 20, 60000, "--interval"));
        else if (args[i] == "--count")
            o.count = toNumber(args[i + 1], 1, 1000000000, "--count");
        else
            usage();
    }
    return o;
}

int cmdWatch(Context& c) {
    const Options o = parseOptions(c.args);
    uint8_t ip[4];
    if (!parseIp(c.address, ip)) throw UsageError("--address: not an IPv4 address: " + c.address);
    return withDevice(c, [&](int32_t id) {
        const bool terminal = quil::platform::stdoutIsTerminal();
        quil::platform::TerminalKeys keys;
        InterruptScope interrupts;
        std::deque<Reading> history[kOuts];
        Reading now[kOuts];
        const auto start = std::chrono::steady_clock::now();
        bool linkLost = false;
        if (terminal)
            std::printf("\x1b[?25l\x1b[2J");
        else {
            std::printf("time_ms");
            for (int out = 1; out <= kOuts; ++out)
                if (o.mask & (1u << (out - 1))) std::printf(" OUT%d", out);
            std::printf("\n");
        }
        for (long long n = 0; o.count == 0 || n < o.count; ++n) {
            // A controller that went away is opened again for the next reading.
            if (linkLost) {
                QUIL_CloseDevice(id);
                linkLost = QUIL_OpenDeviceETHER(id, ip, static_cast<uint32_t>(c.timeoutMs)) != QUIL_OK;
            }
            const int32_t rc = linkLost ? QUIL_ERROR_OPEN : readOuts(id, o.mask, now);
            linkLost = rc != QUIL_OK;
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            if (rc == QUIL_OK)
                for (int k = 0; k < kOuts; ++k) {
                    history[k].push_back(now[k]);
                    if (history[k].size() > kHistory) history[k].pop_front();
                }
            if (terminal) {
                std::printf("\x1b[H%s  every %d ms  q or Ctrl-C quits\x1b[K\n", c.address.c_str(), o.intervalMs);
                std::printf("%s\x1b[K\n\x1b[K\n", rc == QUIL_OK ? "connected" : "disconnected: no reply, trying again");
                for (int out = 1; out <= kOuts; ++out) {
                    if (!(o.mask & (1u << (out - 1)))) continue;
                    const Reading& r = now[out - 1];
                    char value[32] = "-";
                    if (r.status == QUIL_VALUE_NORMAL && !history[out - 1].empty())
                        std::snprintf(value, sizeof value, "%+.4f", static_cast<double>(r.value));
                    std::printf("OUT%d  %12s  %-8s %s\x1b[K\n", out, value,
                                history[out - 1].empty() ? "-" : statusWord(r.status),
                                sparkline(history[out - 1]).c_str());
                }
                std::printf("\x1b[J");
            } else if (rc == QUIL_OK) {
                std::printf("%lld", static_cast<long long>(ms));
                for (int out = 1; out <= kOuts; ++out) {
                    if (!(o.mask & (1u << (out - 1)))) continue;
                    const Reading& r = now[out - 1];
                    if (r.status == QUIL_VALUE_NORMAL)
                        std::printf(" %.4f", static_cast<double>(r.value));
                    else
                        std::printf(" %s", statusWord(r.status));
                }
                std::printf("\n");
            } else {
                std::fprintf(stderr, "watch %s: %s (%d), trying again\n", c.address.c_str(), quil_result_name(rc), rc);
            }
            std::fflush(stdout);
            if (keys.next(o.intervalMs) == 'q' || InterruptScope::requested()) break;
        }
        if (terminal) std::printf("\x1b[?25h\n");
        std::fflush(stdout);
        // Ended while the controller was away: its last reading failed.
        if (linkLost) std::fprintf(stderr, "watch %s: no answer at the end\n", c.address.c_str());
        return linkLost ? 1 : 0;
    });
}

Registration watch(15, {{"watch", "[--mask M] [--interval MS] [--count N]",
                         "measured values of the OUTs in mask M (1-255, bit 0 = OUT1; default all eight), "
                         "read every MS ms (20-60000, default 200); a live table with sparklines on a terminal "
                         "(q or Ctrl-C quits), plain lines otherwise; N readings, or until stopped",
                         cmdWatch}});

}  // namespace
}  // namespace quilctl
