// A started simulator with one plain client on its command link, for the
// simulator's own tests.
#pragma once

#include <gtest/gtest.h>

#include "sim/client.h"
#include "sim/simulator.h"

namespace quil::sim {

class SimConnected : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        ASSERT_TRUE(client.connect(sim.address()));
    }
    Simulator sim;
    Client client;
};

}  // namespace quil::sim
