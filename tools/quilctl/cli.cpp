#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "quil.h"

namespace quilctl {
namespace {

std::multimap<int, Command>& registry() {
    static std::multimap<int, Command> r;
    return r;
}

}  // namespace

Registration::Registration(int order, std::vector<Command> commands) {
    for (const Command& c : commands) registry().emplace(order, c);
}

int usage() {
    std::printf("usage: quilctl [--address A] [--id N] [--timeout MS] COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto& [order, c] : registry()) std::printf("  %-8s %-24s %s\n", c.name, c.args, c.help);
    return 2;
}

const Command* findCommand(const std::string& name) {
    for (const auto& [order, c] : registry())
        if (name == c.name) return &c;
    return nullptr;
}

int report(const char* what, int32_t code) {
    if (code == QUIL_OK) return 0;
    std::printf("%s: %s (%d)\n", what, quil_result_name(code), code);
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

// Opens the controller as device c.id, runs fn, closes it again.
int withDevice(Context& c, const std::function<int(int32_t id)>& fn) {
    uint8_t ip[4];
    if (!parseIp(c.address, ip)) {
        std::printf("not an IPv4 address: %s\n", c.address.c_str());
        return 2;
    }
    const int32_t id = static_cast<int32_t>(c.id);
    if (report("open", QUIL_OpenDeviceETHER(id, ip, static_cast<uint32_t>(c.timeoutMs)))) return 1;
    int rc = fn(id);
    report("close", QUIL_CloseDevice(id));
    return rc;
}

int toInt(const std::string& s) { return std::atoi(s.c_str()); }

}  // namespace quilctl
