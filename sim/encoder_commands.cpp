// Encoder setting commands of the simulated controller.
#include "sim/commands.h"

namespace quil::sim {

void installEncoderCommands(Model&) {}

}  // namespace quil::sim
