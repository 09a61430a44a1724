// A started simulator with one plain client on its command link.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sim/client.h"
#include "sim/simulator.h"

namespace quil::sim {

class SimConnected : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        ASSERT_TRUE(client.connect(sim.address()));
    }
    // Sends each line and compares the answer with the reply (both without CR LF).
    void expectAnswers(const std::vector<std::pair<std::string, std::string>>& exchanges) {
        for (const auto& [line, reply] : exchanges)
            EXPECT_EQ(client.exchange(line + "\r\n"), reply + "\r\n")
                << "model " << sim.model().modelCode() << ": " << line;
    }
    Simulator sim;
    Client client;
};

}  // namespace quil::sim
