// Common setting commands of the simulated controller.
#include "sim/commands.h"

namespace quil::sim {

void installCommonCommands(Model&) {}

}  // namespace quil::sim
