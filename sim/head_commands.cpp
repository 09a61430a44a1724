// Head setting commands of the simulated controller.
#include "sim/commands.h"

namespace quil::sim {

void installHeadCommands(Model&) {}

}  // namespace quil::sim
