// The simulated controller's controller settings (network, serial line,
// autosend, invalid data, input/output functions, output-count type) and
// the six output settings that only the settings files reach, seen from a
// plain client on its command link.
#include <gtest/gtest.h>

#include <string>

#include "sim_fixture.h"

namespace quil::sim {
namespace {

struct Line {
    const char* line;
    const char* reply;  // without CR LF
};

class SimControllerSettings : public SimConnected {
protected:
    void SetUp() override {
        SimConnected::SetUp();
        ASSERT_EQ(client.exchange("Q0\r\n"), "Q0\r\n");
    }
    void expectAnswers(std::initializer_list<Line> lines) {
        for (const Line& l : lines)
            EXPECT_EQ(client.exchange(std::string(l.line) + "\r\n"), std::string(l.reply) + "\r\n") << l.line;
    }
};

TEST_F(SimControllerSettings, ControllerWideValuesReadAsWrittenInEveryProgram) {
    // The address is the one the simulator listens on, three digits a byte.
    std::string digits;
    for (std::size_t start = 0; start <= sim.address().size();) {
        const std::size_t dot = std::min(sim.address().find('.', start), sim.address().size());
        const std::string byte = sim.address().substr(start, dot - start);
        digits += std::string(3 - byte.size(), '0') + byte;
        start = dot + 1;
    }
    EXPECT_EQ(client.exchange("SR,EH,I\r\n"), "SR,EH,I," + digits + "\r\n");
    expectAnswers({
        {"SR,EH,M", "SR,EH,M,255000000000"},
        {"SR,EH,G", "SR,EH,G,127000000001"},
        {"SR,EH,B", "SR,EH,B,0,0"},
        {"SW,EH,B,4,3", "SW,EH"},
        {"SW,EH,C,1", "SW,EH"},
        {"PV,1", "PV"},
        {"SW,CK,3", "SW,CK"},
        {"SW,CN,9", "SW,CN"},
        // Another program sees the same values.
        {"R0", "R0"},
        {"PW,5", "PW"},
        {"Q0", "Q0"},
        {"SR,EH,B", "SR,EH,B,4,3"},
        {"SR,EH,C", "SR,EH,C,1"},
        {"PI,0", "PI,1"},
        {"PI,7", "PI,1"},
        {"SR,CK", "SR,CK,3"},
        {"SR,CL", "SR,CL,0"},
        {"SR,CN", "SR,CN,9"},
        {"SR,CP", "SR,CP,1"},
    });
    sim.model().setValue("CP", "0");
    expectAnswers({{"SR,CP", "SR,CP,0"}});
}

TEST_F(SimControllerSettings, RefusedWritesChangeNothing) {
    expectAnswers({
        {"SW,EH,B,5,0", "ER,SW,62"},
        {"SW,EH,B,0,4", "ER,SW,62"},
        {"SW,EH,B,1", "ER,SW,61"},
        {"SW,EH,C,2", "ER,SW,62"},
        {"SW,EH,X,1", "ER,SW,61"},
        {"SR,EH,X", "ER,SR,61"},
        {"SR,EH", "ER,SR,61"},
        {"PV,2", "ER,PV,62"},
        {"PI", "ER,PI,61"},
        {"SW,CK,10", "ER,SW,62"},
        {"SR,EH,B", "SR,EH,B,0,0"},
        {"SR,EH,C", "SR,EH,C,0"},
        {"PI,0", "PI,0"},
        {"SR,CK", "SR,CK,0"},
        // Setting-mode commands.
        {"R0", "R0"},
        {"SR,EH,B", "ER,SR,51"},
        {"PV,1", "ER,PV,51"},
        {"PI,0", "ER,PI,51"},
        {"SR,CP", "ER,SR,51"},
    });
}

TEST_F(SimControllerSettings, OutputSettingsPerProgramWithTheirRanges) {
    expectAnswers({
        {"SW,OI,04,2", "SW,OI"},
        {"SR,OI,04", "SR,OI,04,2"},
        {"SW,OI,05,1", "ER,SW,64"},
        {"SW,OI,01,3", "ER,SW,62"},
        {"SW,VK,02,01", "SW,VK"},
        {"SR,VK,02", "SR,VK,02,01"},
        {"SW,VK,05,01", "ER,SW,64"},
        {"SR,VJ,08", "SR,VJ,08,+1000.00,-1000.00"},
        {"SW,VJ,08,+001000,-000550", "SW,VJ"},
        {"SR,VJ,08", "SR,VJ,08,+0010.00,-0005.50"},
        {"SW,VJ,08,+000550,+000550", "ER,SW,62"},  // the lower one below the upper one
        {"SW,VJ,08,1000,-550", "ER,SW,61"},
        {"SW,VI,03,001000,005000", "SW,VI"},
        {"SR,VI,03", "SR,VI,03,001000,005000"},
        {"SW,VI,03,005000,001000", "ER,SW,62"},
        {"SW,VI,03,000000,010001", "ER,SW,62"},
        {"SW,OL,08,1,+015000", "SW,OL"},
        {"SR,OL,08", "SR,OL,08,1,15000"},
        {"SW,OL,08,2,+015000", "ER,SW,62"},
        {"SW,OA,M,02,1010", "SW,OA,M"},
        {"SW,OA,M,02,10", "ER,SW,61"},
        // Program 1 has its own values.
        {"R0", "R0"},
        {"PW,1", "PW"},
        {"Q0", "Q0"},
        {"SR,OI,04", "SR,OI,04,0"},
        {"SR,VJ,08", "SR,VJ,08,+1000.00,-1000.00"},
        {"SR,VI,03", "SR,VI,03,-05000,005000"},
        {"SR,OL,08", "SR,OL,08,0,0"},
    });
}

}  // namespace
}  // namespace quil::sim
