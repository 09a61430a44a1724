// The pieces every quilctl command uses, and the registry through which each
// command family (one .cpp file each) adds its commands.
//
// Arguments are strict: a number is parsed whole or refused. A wrong argument
// throws UsageError; main prints its message and the command's usage on
// standard error and exits 2, before anything goes on the network.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quilctl {

struct Context {
    std::string address = "127.0.0.2";
    uint32_t id = 0;
    int32_t timeoutMs = 2000;
    std::vector<std::string> args;
};

struct Command {
    const char* name;
    const char* args;
    const char* help;
    int (*run)(Context&);
    // More help for `quilctl NAME --help` (the settings a family knows, ...).
    void (*details)(std::FILE* to) = nullptr;
};

// Registers commands at start-up: `static quilctl::Registration r({{...}, ...});`
// Commands are listed in the usage in the order of their files' registration
// keys (the number).
struct Registration {
    Registration(int order, std::vector<Command> commands);
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The arguments do not fit the command: throws UsageError.
[[noreturn]] int usage();
// Prints a failed result code as its name and number on standard error
// ("measure: QUIL_ERROR_RANGE (4105)"); returns 1 for a failure, 0 for QUIL_OK.
int report(const char* what, int32_t code);
bool parseIp(const std::string& text, uint8_t ip[4]);
// A whole number: decimal with an optional sign, or hexadecimal after "0x".
// Anything else, or a number outside first..last, throws UsageError naming
// what the argument is.
long long toNumber(const std::string& s, long long first, long long last, const char* what);
// A whole 32-bit signed number (see toNumber).
int32_t toInt(const std::string& s, const char* what = "number");
// Why a TCP connection to the command port at address fails, tried once
// more: the system's text ("Connection refused"), "timed out ..." (naming
// timeoutMs, the wait of the failed try), or "" when it connects now.
std::string connectProblem(const std::string& address, int32_t timeoutMs);
// While one lives, Ctrl-C (SIGINT) and SIGTERM set a flag instead of ending
// quilctl, so a long-running command stops its work cleanly and reports.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
    static bool requested();
};
// Opens the controller at c.address as device c.id, runs fn, closes it. A
// failed open is reported with the address and the reason: 1.
int withDevice(Context& c, const std::function<int(int32_t id)>& fn);

}  // namespace quilctl
