// Register access, device information and the data stream.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "cli.h"
#include "quil.h"

namespace quilctl {
namespace {

// One compact "#J" message on the device's command link; prints the reply.
int jsonExchange(int32_t id, const std::string& body, const char* member) {
    const std::string line = "#J," + body + "\r\n";
    char reply[4096];
    int32_t len = 0;
    const int32_t r =
        SwapData(static_cast<uint32_t>(id), line.c_str(), static_cast<int32_t>(line.size()), reply, &len, 1200);
    if (r != 0) {
        std::fprintf(stderr, "no reply: %s (%d)\n", quil_code_name(QUIL_FAMILY_LINK, r), r);
        return 1;
    }
    std::string text(reply, static_cast<size_t>(len));
    std::printf("reply: %s\n", text.c_str());
    if (text.rfind("#J,", 0) != 0) return 1;
    cJSON* root = cJSON_Parse(text.c_str() + 3);
    const cJSON* inner = cJSON_GetObjectItem(cJSON_GetObjectItem(root, "retValue"), member);
    const cJSON* read = cJSON_GetObjectItem(inner, "Read");
    const cJSON* ret = cJSON_GetObjectItem(inner, "ret");
    if (read) std::printf("value: %.0f\n", read->valuedouble);
    const bool ok = root && ret && ret->valuedouble == 0;
    cJSON_Delete(root);
    return ok ? 0 : 1;
}

int cmdReg(Context& c) {
    const auto& a = c.args;
    const bool read = a.size() == 3 && a[0] == "read";
    if (!read && !(a.size() == 4 && a[0] == "write")) return usage();
    // The message carries numbers only: each argument is checked first.
    const std::string head = std::to_string(toNumber(a[1], 0, 4, "HEAD"));
    const std::string addr = std::to_string(toNumber(a[2], 0, UINT32_MAX, "ADDR"));
    const std::string body = read ? "{\"regRead\":{\"head\":" + head + ",\"addr\":" + addr + "}}"
                                  : "{\"regWrite\":{\"head\":" + head + ",\"addr\":" + addr +
                                        ",\"data\":" + std::to_string(toNumber(a[3], 0, UINT32_MAX, "DATA")) + "}}";
    return withDevice(c, [&](int32_t id) { return jsonExchange(id, body, read ? "regRead" : "regWrite"); });
}

int cmdRuntime(Context& c) {
    if (c.args.size() > 1) return usage();
    const int32_t head = c.args.empty() ? 0 : static_cast<int32_t>(toNumber(c.args[0], 0, 4, "HEAD"));
    return withDevice(c, [&](int32_t id) {
        uint32_t t = 0;
        const int32_t r = QUIL_GetDeviceRuningTime(id, head, &t);
        // The register exchange's own codes come back as they are: the
        // controller's error number, or a small negative code.
        if (r >= QUIL_ERROR_DEVICE_E50) return report("runtime", r);
        if (r != 0) {
            std::fprintf(stderr, "runtime: %s (%d)\n", quil_code_name(QUIL_FAMILY_JSON, r), r);
            return 1;
        }
        if (head == 0)
            std::printf("running time of the controller: %u\n", t);
        else
            std::printf("running time of head %d: %u\n", head, t);
        return 0;
    });
}

int cmdSpot(Context& c) {
    return withDevice(c, [](int32_t id) {
        uint32_t type = 0;
        if (report("spot", QUIL_GetCameraSpotType(id, &type))) return 1;
        std::printf("spot type %u\n", type);
        return 0;
    });
}

// The stream callback runs on the library's receive thread.
struct StreamRun {
    std::atomic<int> batches{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> failed{false};  // the controller closed or reset the roll connection
    std::atomic<bool> endOfStream{false};
    std::atomic<int> wanted{5};
    std::FILE* csv = nullptr;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
} g_run;

// The run is given up when no batch has come for this long.
constexpr int kIdleLimitMs = 10000;

void onBatch(int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4, int32_t mask, int32_t count, int32_t status,
             int32_t id) {
    if (status == 1) {
        std::fprintf(stderr, "stream: device %d: the controller closed the stream (read failure)\n", id);
        g_run.failed = true;
        g_run.ended = true;
        return;
    }
    if (status != 0) return;  // 16: our own stop
    if (mask == 0) {
        g_run.endOfStream = true;
        g_run.ended = true;
        return;
    }
    // Batches that come after the wanted ones, until the stop is through,
    // are not shown.
    if (g_run.batches >= g_run.wanted) return;
    const int n = g_run.batches + 1;
    // The rate since the previous batch (the first one includes the start).
    const auto now = std::chrono::steady_clock::now();
    const double secs = std::chrono::duration<double>(now - g_run.last).count();
    g_run.last = now;
    std::printf("batch %3d: %d values per channel, mask 0x%02x, %.0f values/s per channel\n", n, count, mask,
                secs > 0 ? static_cast<double>(count) / secs : 0.0);
    std::fflush(stdout);
    if (g_run.csv) {
        int32_t* ch[4] = {c1, c2, c3, c4};
        if (n == 1) {
            std::fputs("batch,index", g_run.csv);
            for (int k = 0; k < 4; ++k)
                if ((mask >> k) & 1) std::fprintf(g_run.csv, ",channel%d", k + 1);
            std::fputc('\n', g_run.csv);
        }
        for (int32_t i = 0; i < count; ++i) {
            std::fprintf(g_run.csv, "%d,%d", n, i);
            for (int k = 0; k < 4; ++k)
                if ((mask >> k) & 1) std::fprintf(g_run.csv, ",%d", ch[k][i]);
            std::fputc('\n', g_run.csv);
        }
    }
    g_run.batches = n;
    if (n >= g_run.wanted) g_run.ended = true;
}

void printStats(uint32_t id) {
    QuilRollStats st{};
    if (QUIL_GetRollStats(id, &st) != 0) return;
    std::printf("packets %llu, values per channel %llu %llu %llu %llu, callbacks %llu\n",
                static_cast<unsigned long long>(st.packets), static_cast<unsigned long long>(st.values[0]),
                static_cast<unsigned long long>(st.values[1]), static_cast<unsigned long long>(st.values[2]),
                static_cast<unsigned long long>(st.values[3]), static_cast<unsigned long long>(st.callbacks));
    std::printf("skipped: %llu bytes, %llu bad headers, %llu oversize, %llu misframed, %llu overfilling packets\n",
                static_cast<unsigned long long>(st.bytesDiscarded), static_cast<unsigned long long>(st.badHeaders),
                static_cast<unsigned long long>(st.oversizePackets),
                static_cast<unsigned long long>(st.misframedPackets),
                static_cast<unsigned long long>(st.overfillDropped));
}

int cmdStream(Context& c) {
    uint32_t batch = 0;
    std::string csvPath;
    if (c.args.size() % 2 != 0) return usage();
    for (size_t i = 0; i + 1 < c.args.size(); i += 2) {
        if (c.args[i] == "--batch")
            batch = static_cast<uint32_t>(toNumber(c.args[i + 1], 1, 1200000, "--batch"));
        else if (c.args[i] == "--batches")
            g_run.wanted = static_cast<int>(toNumber(c.args[i + 1], 1, 1000000, "--batches"));
        else if (c.args[i] == "--csv")
            csvPath = c.args[i + 1];
        else
            return usage();
    }
    if (batch == 0) throw UsageError("--batch N is needed");
    if (uint8_t ip[4]; !parseIp(c.address, ip)) throw UsageError("--address: not an IPv4 address: " + c.address);
    if (!csvPath.empty() && !(g_run.csv = std::fopen(csvPath.c_str(), "w"))) {
        std::fprintf(stderr, "cannot write %s\n", csvPath.c_str());
        return 1;
    }
    const int32_t r = QUIL_StartRollPoint(c.id, c.address.c_str(), onBatch, batch);
    if (r != 0) {
        const std::string why = connectProblem(c.address, c.timeoutMs);
        const char* code = quil_code_name(QUIL_FAMILY_STREAM, r);
        if (why.empty())
            std::fprintf(stderr, "stream %s: start failed: %s (%d)\n", c.address.c_str(), code, r);
        else
            std::fprintf(stderr, "stream %s: start failed: %s (%s %d)\n", c.address.c_str(), why.c_str(), code, r);
        if (g_run.csv) std::fclose(g_run.csv);
        return 1;
    }
    // Ctrl-C or a termination request: the run is stopped as after its last batch.
    std::optional<InterruptScope> interrupts(std::in_place);
    int seen = 0;
    auto since = std::chrono::steady_clock::now();
    while (!g_run.ended && !InterruptScope::requested()) {
        const auto now = std::chrono::steady_clock::now();
        if (g_run.batches != seen) {
            seen = g_run.batches;
            since = now;
        } else if (now - since > std::chrono::milliseconds(kIdleLimitMs)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    QUIL_StopRollPoint(c.id);
    const bool interrupted = InterruptScope::requested();
    interrupts.reset();
    printStats(c.id);
    if (g_run.csv) {
        std::fclose(g_run.csv);
        std::printf("values written to %s\n", csvPath.c_str());
    }
    const int got = g_run.batches;
    if (interrupted) {
        std::fprintf(stderr, "stream: interrupted after %d of %d batches; the run was stopped\n", got,
                     g_run.wanted.load());
        return g_run.failed ? 1 : 0;
    }
    if (g_run.failed) return 1;
    if (got >= g_run.wanted) return 0;
    if (g_run.endOfStream)
        std::fprintf(stderr, "stream: the controller ended the stream after %d of %d batches\n", got,
                     g_run.wanted.load());
    else
        std::fprintf(stderr, "stream: no batch for %d s after %d of %d batches\n", kIdleLimitMs / 1000, got,
                     g_run.wanted.load());
    return 1;
}

Registration link(30,
                  {
                      {"reg", "read HEAD ADDR | write HEAD ADDR DATA", "read or write a controller register", cmdReg},
                      {"runtime", "[HEAD]", "running time of the controller (0, default) or a head 1-4", cmdRuntime},
                      {"spot", "", "emission spot type of the sensor", cmdSpot},
                      {"stream", "--batch N [--batches K] [--csv FILE]",
                       "stream K (default 5) batches of N (1-1200000) values per channel, then stop (also on Ctrl-C)",
                       cmdStream},
                  });

}  // namespace
}  // namespace quilctl
