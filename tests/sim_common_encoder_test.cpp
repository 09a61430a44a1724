// The simulated controller's common settings and encoder and I/O commands,
// seen from a plain client on its command link.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim_fixture.h"

namespace quil::sim {
namespace {

class SimCommonSettings : public SimConnected {
protected:
    void useModel(int model) { sim.model().setModelCode(model); }
};

TEST_F(SimCommonSettings, CommonSettingsReadAsWrittenPerProgram) {
    expectAnswers({{"SR,CA", "ER,SR,51"},  // setting commands
                   {"Q0", "Q0"},
                   {"SR,CA", "SR,CA,0"},
                   {"SW,CA,5", "SW,CA"},
                   {"SR,CA", "SR,CA,5"},
                   {"SW,CF,5,3", "SW,CF"},
                   {"SR,CF", "SR,CF,0000005,03"},
                   {"SW,CJ,1,2", "SW,CJ"},
                   {"SR,CJ", "SR,CJ,1,2"},
                   {"SW,CI,2,0000000005,000020", "SW,CI"},
                   {"SR,CI", "SR,CI,2,0000000005,000020"},
                   {"SR,EF", "SR,EF,4"},
                   {"SR,EE", "SR,EE,8"},
                   // Another program has its own values.
                   {"R0", "R0"},
                   {"PW,3", "PW"},
                   {"Q0", "Q0"},
                   {"SR,CF", "SR,CF,0000000,00"},
                   {"SW,CA,1", "SW,CA"},
                   {"R0", "R0"},
                   {"PW,0", "PW"},
                   {"Q0", "Q0"},
                   {"SR,CA", "SR,CA,5"}});
    useModel(35);
    expectAnswers({{"SR,EF", "SR,EF,2"}});
}

TEST_F(SimCommonSettings, CommonWritesAreCheckedAndRefusedWritesChangeNothing) {
    expectAnswers({{"Q0", "Q0"},
                   {"SW,CA,6", "ER,SW,62"},
                   {"SW,CB,3", "ER,SW,62"},
                   {"SW,CE,-1", "ER,SW,62"},
                   {"SW,CF,1200001,00", "ER,SW,62"},
                   {"SW,CF,5,11", "ER,SW,62"},
                   {"SW,CF,5", "ER,SW,61"},
                   {"SW,CF,1200001,x", "ER,SW,61"},  // the text forms come before the ranges
                   {"SW,CB,+1", "ER,SW,61"},
                   {"SW,CB,", "ER,SW,61"},
                   {"SW,CJ,3,0", "ER,SW,62"},
                   {"SW,CI,1,5,0", "ER,SW,62"},
                   {"SR,CF", "SR,CF,0000000,00"},
                   {"SR,CI", "SR,CI,0,0000000000,000001"}});
    // The encoder models have eight sampling cycles.
    useModel(35);
    expectAnswers({{"SW,CA,7", "SW,CA"}, {"SW,CA,8", "ER,SW,62"}, {"SR,CA", "SR,CA,7"}});
}

TEST_F(SimCommonSettings, EncoderCommandsAnswerOnlyOnTheEncoderModels) {
    // 99 in either mode: the controller does not know the command at all.
    for (const char* mode : {"R0", "Q0"}) {
        useModel(0);
        expectAnswers({{mode, mode},
                       {"CX,01", "ER,CX,99"},
                       {"CD,01", "ER,CD,99"},
                       {"SW,CY,01", "ER,SW,99"},
                       {"SR,CS,01", "ER,SR,99"},
                       {"SW,CQ,01,1,1", "ER,SW,99"},
                       {"SR,CT,01", "ER,SR,99"},
                       {"SW,CU,01,1", "ER,SW,99"}});
        // The encoder models set their channels one by one instead.
        useModel(35);
        expectAnswers({{"SW,CJ,1,1", "ER,SW,99"}, {"SR,CI", "ER,SR,99"}});
    }
}

TEST_F(SimCommonSettings, EncoderSettingsReadAsWrittenAndChecked) {
    useModel(35);
    expectAnswers({{"SW,CT,01,1", "ER,SW,51"},  // setting commands
                   {"Q0", "Q0"},
                   {"SR,CS,01", "SR,CS,01,0,0000000000,000001"},
                   {"SW,CS,02,1,0000000500,000020", "SW,CS"},
                   {"SR,CS,02", "SR,CS,02,1,0000000500,000020"},
                   {"SW,CS,04,1,5,20", "ER,SW,64"},
                   {"SW,CS,01,4,5,20", "ER,SW,62"},
                   {"SW,CS,01,1,5,10001", "ER,SW,62"},
                   {"SR,CS", "ER,SR,61"},
                   {"SW,CQ,03,2,0", "SW,CQ"},
                   {"SR,CQ,03", "SR,CQ,03,2,0"},
                   {"SW,CQ,03,0,3", "ER,SW,62"},
                   {"SW,CT,01,3", "SW,CT"},
                   {"SR,CT,01", "SR,CT,01,3"},
                   {"SW,CT,01,4", "ER,SW,62"},
                   {"SW,CU,04,4", "SW,CU"},
                   {"SR,CU,04", "SR,CU,04,4"},
                   {"SW,CU,05,1", "ER,SW,64"},
                   {"SW,CY,03", "SW,CY"},
                   {"SR,CY", "SR,CY,03"},
                   {"SW,CY,4", "ER,SW,62"},
                   // Per channel, not per program.
                   {"R0", "R0"},
                   {"PW,5", "PW"},
                   {"Q0", "Q0"},
                   {"SR,CT,01", "SR,CT,01,3"}});
}

TEST_F(SimCommonSettings, CurrentValueResetAndOutputLevelInEitherMode) {
    useModel(39);
    sim.model().setValue("CX,02", "+FFFFFFF");
    sim.model().setValue("CX,03", "-000123");
    expectAnswers({{"R0", "R0"},
                   {"CX,02", "CX,+FFFFFFF"},
                   {"CX,03", "CX,-000123"},
                   {"CX,01", "CX,0"},
                   {"CD,02", "CD"},
                   {"CX,02", "CX,0"},
                   {"CX,03", "CX,-000123"},
                   {"CX,04", "ER,CX,64"},
                   {"CD", "ER,CD,61"},
                   {"SR,CU,01", "SR,CU,01,0"},
                   {"SR,CT,01", "ER,SR,51"},
                   {"Q0", "Q0"},
                   {"CX,03", "CX,-000123"},
                   {"SR,CU,01", "SR,CU,01,0"}});
}

}  // namespace
}  // namespace quil::sim
