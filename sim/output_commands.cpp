// Output setting commands of the simulated controller.
#include "sim/commands.h"

namespace quil::sim {

void installOutputCommands(Model&) {}

}  // namespace quil::sim
