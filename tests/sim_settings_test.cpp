// What the library's settings tests rely on in the simulated controller:
// values kept per program (the controller-wide ones shared), lengths printed
// in the OUT's display unit, refused writes that change nothing.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace quil::sim {
namespace {

class SimSettings : public SimConnected {};

TEST_F(SimSettings, ValuesAreKeptPerProgramAndRefusedWritesChangeNothing) {
    sim.model().setModelCode(35);
    expectAnswers({
        {"Q0", "Q0"},
        {"SW,HA,R,02,99,01", "SW,HA"},
        {"SW,HA,R,02,100,01", "ER,SW,62"},
        {"SW,LM,01,+001500,-000200,0000010", "SW,LM"},
        {"SW,OG,01,3", "SW,OG"},
        {"SR,LM,01", "SR,LM,01,+0.01500,-0.00200,+0.00010"},
        {"SW,CT,01,3", "SW,CT"},
        {"R0", "R0"},
        {"PW,5", "PW"},
        {"Q0", "Q0"},
        {"SR,HA,R,02", "SR,HA,R,02,90,10"},
        {"SR,LM,01", "SR,LM,01,+1000.00,-1000.00,+0000.00"},
        {"SR,CT,01", "SR,CT,01,3"},
        {"R0", "R0"},
        {"PW,0", "PW"},
        {"Q0", "Q0"},
        {"SR,HA,R,02", "SR,HA,R,02,99,01"},
    });
}

}  // namespace
}  // namespace quil::sim
