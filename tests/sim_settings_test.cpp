// What the library's settings tests rely on in the simulated controller,
// seen from a plain client on its command link: values kept per program (the
// controller-wide and encoder ones shared), lengths printed in the OUT's
// display unit, refused writes that change nothing, and the commands each
// model does not know.
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
        {"SW,EH,B,4,3", "SW,EH"},
        {"SW,CT,01,3", "SW,CT"},
        {"R0", "R0"},
        {"PW,5", "PW"},
        {"Q0", "Q0"},
        {"SR,HA,R,02", "SR,HA,R,02,90,10"},
        {"SR,LM,01", "SR,LM,01,+1000.00,-1000.00,+0000.00"},
        {"SR,EH,B", "SR,EH,B,4,3"},
        {"SR,CT,01", "SR,CT,01,3"},
        {"R0", "R0"},
        {"PW,0", "PW"},
        {"Q0", "Q0"},
        {"SR,HA,R,02", "SR,HA,R,02,99,01"},
        {"SW,CJ,1,1", "ER,SW,99"},
    });
    sim.model().setModelCode(0);
    expectAnswers({{"CX,01", "ER,CX,99"}, {"SR,CS,01", "ER,SR,99"}, {"SW,CU,01,1", "ER,SW,99"}});
}

}  // namespace
}  // namespace quil::sim
