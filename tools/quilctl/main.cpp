// quilctl: a command-line client of the library, for trying a controller
// (or the simulator) by hand and for the demo.
//
//   quilctl [OPTIONS] COMMAND [ARGS...]
#include <cstdio>
#include <string>

#include "cli.h"
#include "quil.h"

namespace quilctl {
const Command* findCommand(const std::string& name);
void printUsage(std::FILE* to);
void printCommandUsage(std::FILE* to, const std::string& name);
}  // namespace quilctl

int main(int argc, char** argv) {
    using namespace quilctl;
    Context c;
    bool verbose = false;
    std::string command;
    try {
        int i = 1;
        for (; i < argc && argv[i][0] == '-'; ++i) {
            const std::string opt = argv[i];
            if (opt == "--help" || opt == "-h") {
                printUsage(stdout);
                return 0;
            }
            if (opt == "-v") {
                verbose = true;
                continue;
            }
            if (i + 1 >= argc) throw UsageError(opt + " needs a value");
            const std::string value = argv[++i];
            if (opt == "--address")
                c.address = value;
            else if (opt == "--id")
                c.id = static_cast<uint32_t>(toNumber(value, 0, 63, "--id"));
            else if (opt == "--timeout")
                c.timeoutMs = static_cast<int32_t>(toNumber(value, 1, 600000, "--timeout"));
            else
                throw UsageError("unknown option " + opt);
        }
        if (i >= argc) throw UsageError("no command given");
        command = argv[i++];
        const Command* cmd = findCommand(command);
        if (!cmd) {
            const std::string unknown = command;
            command.clear();
            throw UsageError("unknown command '" + unknown + "'");
        }
        c.args.assign(argv + i, argv + argc);
        for (const std::string& a : c.args)
            if (a == "--help" || a == "-h") {
                printCommandUsage(stdout, command);
                return 0;
            }
        // The library's console lines ("FILE FIND ...", "connect err") only
        // when asked for; the trace log still follows its INI file.
        if (!verbose) quil_log_configure(nullptr, QUIL_LOG_FROM_INI | QUIL_LOG_QUIET, 0);
        return cmd->run(c);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "quilctl%s%s: %s\n", command.empty() ? "" : " ", command.c_str(), e.what());
        if (command.empty())
            printUsage(stderr);
        else
            printCommandUsage(stderr, command);
        return 2;
    }
}
