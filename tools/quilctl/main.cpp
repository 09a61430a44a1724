// quilctl: a command-line client of the library, for trying a controller
// (or the simulator) by hand and for the demo.
//
//   quilctl [OPTIONS] COMMAND [ARGS...] [OPTIONS]
//
// Exit status: 0 the work was done, 1 the controller or the network failed,
// 2 the arguments were wrong (nothing was sent).
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "quil.h"

namespace quilctl {
const Command* findCommand(const std::string& name);
void printUsage(std::FILE* to);
void printCommandUsage(std::FILE* to, const std::string& name);
}  // namespace quilctl

namespace {

// The arguments with each "--name=value" split into "--name" and "value".
std::vector<std::string> splitArguments(int argc, char** argv) {
    std::vector<std::string> out;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const std::size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos && eq > 2) {
            out.push_back(a.substr(0, eq));
            out.push_back(a.substr(eq + 1));
        } else {
            out.push_back(a);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quilctl;
    Context c;
    bool verbose = false;
    bool help = false;
    std::string command;
    try {
        const std::vector<std::string> args = splitArguments(argc, argv);
        // The options of quilctl itself count wherever they stand; everything
        // else after the command is the command's.
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--help" || a == "-h") {
                help = true;
            } else if (a == "-v") {
                verbose = true;
            } else if (a == "--address" || a == "--id" || a == "--timeout") {
                if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
                const std::string& value = args[++i];
                if (a == "--address")
                    c.address = value;
                else if (a == "--id")
                    c.id = static_cast<uint32_t>(toNumber(value, 0, 63, "--id"));
                else
                    c.timeoutMs = static_cast<int32_t>(toNumber(value, 1, 600000, "--timeout"));
            } else if (!command.empty()) {
                c.args.push_back(a);
            } else if (a[0] == '-') {
                throw UsageError("unknown option " + a);
            } else {
                command = a;
                if (!findCommand(command)) {
                    command.clear();
                    throw UsageError("unknown command '" + a + "'");
                }
            }
        }
        if (help) {
            if (command.empty())
                printUsage(stdout);
            else
                printCommandUsage(stdout, command);
            return 0;
        }
        if (command.empty()) throw UsageError("no command given");
        const Command* cmd = findCommand(command);
        if (cmd->args[0] == '\0' && !c.args.empty()) throw UsageError("takes no arguments, not '" + c.args[0] + "'");
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
