// The pieces every quilctl command uses, and the registry through which each
// command family (one .cpp file each) adds its commands.
#pragma once

#include <cstdint>
#include <functional>
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
};

// Registers commands at start-up: `static quilctl::Registration r({{...}, ...});`
// Commands are listed in the usage in the order of their files' registration
// keys (the number).
struct Registration {
    Registration(int order, std::vector<Command> commands);
};

// Prints the usage; returns 2.
int usage();
// Prints a failed result code as its name and number ("measure:
// QUIL_ERROR_RANGE (4105)"); returns 1 for a failure, 0 for QUIL_OK.
int report(const char* what, int32_t code);
bool parseIp(const std::string& text, uint8_t ip[4]);
int toInt(const std::string& s);
// Opens the controller at c.address as device c.id, runs fn, closes it.
int withDevice(Context& c, const std::function<int(int32_t id)>& fn);

}  // namespace quilctl
