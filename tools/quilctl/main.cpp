// quilctl: a command-line client of the library, for trying a controller
// (or the simulator) by hand and for the demo.
//
//   quilctl [--address A] [--id N] [--timeout MS] COMMAND [ARGS...]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"

namespace quilctl {
const Command* findCommand(const std::string& name);
}

int main(int argc, char** argv) {
    quilctl::Context c;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc) return quilctl::usage();
        if (opt == "--address")
            c.address = argv[++i];
        else if (opt == "--id")
            c.id = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (opt == "--timeout")
            c.timeoutMs = std::atoi(argv[++i]);
        else
            return quilctl::usage();
    }
    if (i >= argc) return quilctl::usage();
    const quilctl::Command* cmd = quilctl::findCommand(argv[i++]);
    if (!cmd) return quilctl::usage();
    c.args.assign(argv + i, argv + argc);
    return cmd->run(c);
}
