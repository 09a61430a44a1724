#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/platform.h"
#include "quil.h"

namespace quilctl {
namespace {

constexpr std::uint16_t kCommandPort = 19062;
// How long the second try of a failed connection may wait for an answer.
constexpr int kProbeMs = 1000;

std::multimap<int, Command>& registry() {
    static std::multimap<int, Command> r;
    return r;
}

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void onInterrupt(int) { g_interrupted = 1; }

}  // namespace

InterruptScope::InterruptScope() {
    g_interrupted = 0;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

InterruptScope::~InterruptScope() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool InterruptScope::requested() { return g_interrupted != 0; }

Registration::Registration(int order, std::vector<Command> commands) {
    for (const Command& c : commands) registry().emplace(order, c);
}

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: quilctl [OPTIONS] COMMAND [ARGS...] [OPTIONS]\n"
                 "       quilctl COMMAND --help\n\n"
                 "options (before or after the command; also as --address=A):\n"
                 "  --address A    the controller's IPv4 address (default 127.0.0.2)\n"
                 "  --id N         device number 0-63 (default 0)\n"
                 "  --timeout MS   connection wait in ms, 1-600000 (default 2000)\n"
                 "  -v             show the library's console lines\n"
                 "  --help         this text\n\n"
                 "exit status: 0 done, 1 the controller or the network failed, 2 wrong arguments\n"
                 "(then nothing was sent)\n\ncommands:\n");
    for (const auto& [order, c] : registry()) std::fprintf(to, "  %-8s %-28s %s\n", c.name, c.args, c.help);
}

void printCommandUsage(std::FILE* to, const std::string& name) {
    for (const auto& [order, c] : registry())
        if (name == c.name) std::fprintf(to, "usage: quilctl %s %s\n  %s\n", c.name, c.args, c.help);
    for (const auto& [order, c] : registry())
        if (name == c.name && c.details) {
            c.details(to);
            break;
        }
}

const Command* findCommand(const std::string& name) {
    for (const auto& [order, c] : registry())
        if (name == c.name) return &c;
    return nullptr;
}

int usage() { throw UsageError("wrong arguments"); }

int report(const char* what, int32_t code) {
    if (code == QUIL_OK) return 0;
    std::fprintf(stderr, "%s: %s (%d)\n", what, quil_result_name(code), code);
    return 1;
}

bool parseIp(const std::string& text, uint8_t ip[4]) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return false;
    ip[0] = static_cast<uint8_t>(a), ip[1] = static_cast<uint8_t>(b), ip[2] = static_cast<uint8_t>(c),
    ip[3] = static_cast<uint8_t>(d);
    return true;
}

long long toNumber(const std::string& s, long long first, long long last, const char* what) {
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const char* digits = s.c_str() + (hex ? 2 : 0);
    // strtoll alone would take blanks, a sign after "0x" and trailing text.
    const bool shaped =
        !s.empty() && (hex ? std::isxdigit(static_cast<unsigned char>(*digits)) != 0
                           : std::isdigit(static_cast<unsigned char>(s.back())) != 0 &&
                                 (std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '-' || s[0] == '+'));
    char* end = nullptr;
    errno = 0;
    const long long v = shaped ? std::strtoll(digits, &end, hex ? 16 : 10) : 0;
    if (!shaped || errno != 0 || *end != '\0')
        throw UsageError(std::string(what) + ": '" + s + "' is not a whole number");
    if (v < first || v > last)
        throw UsageError(std::string(what) + ": " + s + " is outside " + std::to_string(first) + " to " +
                         std::to_string(last));
    return v;
}

int32_t toInt(const std::string& s, const char* what) {
    return static_cast<int32_t>(toNumber(s, INT32_MIN, INT32_MAX, what));
}

std::string connectProblem(const std::string& address, int32_t timeoutMs) {
    namespace plat = quil::platform;
    plat::Ipv4 ip;
    int major = 0, minor = 0;
    if (!plat::parseIpv4(address.c_str(), &ip) || !plat::socketStartup(&major, &minor)) return "";
    const plat::Socket s = plat::tcpSocket();
    if (!s.valid()) return plat::errorText(plat::lastError());
    std::string why;
    if (plat::setNonBlocking(s) != 0 ||
        (plat::connectStart(s, ip, kCommandPort) != 0 && plat::lastError() != plat::kErrWouldBlock)) {
        why = plat::errorText(plat::lastError());
    } else {
        switch (plat::waitWritable(s, std::min<int>(kProbeMs, timeoutMs))) {
        case plat::Wait::Timeout: why = "timed out (no answer within " + std::to_string(timeoutMs) + " ms)"; break;
        case plat::Wait::Error: why = plat::errorText(plat::lastError()); break;
        case plat::Wait::Ready:
            if (const int err = plat::pendingError(s); err > 0) why = plat::errorText(err);
            break;
        }
    }
    plat::closeSocket(s);
    return why;
}

// Opens the controller as device c.id, runs fn, closes it again.
int withDevice(Context& c, const std::function<int(int32_t id)>& fn) {
    uint8_t ip[4];
    if (!parseIp(c.address, ip)) throw UsageError("--address: not an IPv4 address: " + c.address);
    const int32_t id = static_cast<int32_t>(c.id);
    const int32_t opened = QUIL_OpenDeviceETHER(id, ip, static_cast<uint32_t>(c.timeoutMs));
    if (opened != QUIL_OK) {
        // The library tells only that the connection failed; a second try
        // finds out why.
        const std::string why = opened == QUIL_ERROR_OPEN ? connectProblem(c.address, c.timeoutMs) : "";
        if (why.empty())
            std::fprintf(stderr, "open %s:%u: %s (%d)\n", c.address.c_str(), kCommandPort, quil_result_name(opened),
                         opened);
        else
            std::fprintf(stderr, "open %s:%u: %s (%s %d)\n", c.address.c_str(), kCommandPort, why.c_str(),
                         quil_result_name(opened), opened);
        return 1;
    }
    const int rc = fn(id);
    // A command that failed after losing the device has said so already.
    const int32_t closed = QUIL_CloseDevice(id);
    if (rc != 0 && closed == QUIL_ERROR_OPEN) return rc;
    return report("close", closed) | rc;
}

}  // namespace quilctl
