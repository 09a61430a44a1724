// A simulated controller opened as a device, for loopback tests of the command functions.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "quil.h"
#include "sim/simulator.h"

namespace quil::test {

inline platform::Ipv4 ipOf(const quil::sim::Simulator& s) { return s.ip(); }

class DeviceTest : public ::testing::Test {
protected:
    static constexpr int32_t kId = 0;

    explicit DeviceTest(int model = 35) : sim(quil::sim::Options{.model = model}) {}

    void SetUp() override {
        ASSERT_TRUE(sim.start());
        platform::Ipv4 ip = sim.ip();
        ASSERT_EQ(QUIL_OpenDeviceETHER(kId, ip.b, 2000), QUIL_OK);
        ASSERT_TRUE(sim.waitReceived(1, 2000));  // the model query of the open
        sim.clearReceived();
    }
    void TearDown() override { QUIL_CloseDevice(kId); }

    // The lines the library sent since the last clear, waiting for n of them.
    std::vector<std::string> sent(std::size_t n) {
        sim.waitReceived(n, 2000);
        return sim.receivedLines();
    }

    quil::sim::Simulator sim;
};

}  // namespace quil::test
