// Opening and closing controllers.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "link/link_record.h"
#include "quil/device.h"

namespace {

using quil::sim::Simulator;
using quil::test::DeviceTest;

TEST(Session, AddressChecksComeBeforeTheDeviceIdCheck) {
    const uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(QUIL_OpenDeviceETHER(64, zero, 100), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_OpenDeviceETHER(99, nullptr, 100), QUIL_ERROR_PARAMETER);
    const uint8_t some[4] = {127, 0, 0, 9};
    EXPECT_EQ(QUIL_OpenDeviceETHER(-1, some, 100), QUIL_ERROR_DEVICE_ID);
    EXPECT_EQ(QUIL_OpenDeviceETHER(64, some, 100), QUIL_ERROR_DEVICE_ID);
    EXPECT_EQ(QUIL_CloseDevice(64), QUIL_ERROR_DEVICE_ID);
    EXPECT_EQ(QUIL_CloseDevice(5), QUIL_ERROR_OPEN);
}

TEST(Session, OpenReadsTheModelAndCloseFreesTheRecord) {
    Simulator sim(quil::sim::Options{.model = 37});
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(6, sim.ip().b, 2000), QUIL_OK);
    EXPECT_EQ(quil::device(6).deviceType, 37);
    EXPECT_EQ(sim.receivedLines(), std::vector<std::string>{"MD"});
    int32_t type = -1;
    EXPECT_EQ(QUIL_GetDeviceType(6, &type), QUIL_OK);
    EXPECT_EQ(type, 37);
    // The raw link interface reaches the controller on the same connection.
    EXPECT_NE(GetDataBuff(6), nullptr);
    EXPECT_EQ(sim.connectionsAccepted(), 1);

    EXPECT_EQ(QUIL_CloseDevice(6), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(6), QUIL_ERROR_OPEN);
    EXPECT_EQ(GetDataBuff(6), nullptr);
    EXPECT_EQ(quil::device(6).deviceType, -1);
    EXPECT_TRUE(sim.waitOpenConnections(0, 2000));

    // The number can be opened again, also with another controller.
    Simulator other;
    ASSERT_TRUE(other.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(6, other.ip().b, 2000), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(6), QUIL_OK);
}

TEST(Session, DuplicatesAreRefusedAndTheFirstConnectionKeepsWorking) {
    Simulator sim;
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
    EXPECT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_ERROR_OPEN);
    EXPECT_EQ(QUIL_OpenDeviceETHER(1, sim.ip().b, 2000), QUIL_ERROR_IP_IN_USE);
    int32_t type = -1;
    EXPECT_EQ(QUIL_GetDeviceType(0, &type), QUIL_OK);
    EXPECT_EQ(sim.connectionsAccepted(), 1) << "refused opens never connect";
    EXPECT_EQ(QUIL_CloseDevice(0), QUIL_OK);
}

TEST(Session, OpenWhereNothingListensFailsAfterTheTimeout) {
    const std::string nobody = quil::sim::freeLoopbackAddress();
    quil::platform::Ipv4 ip;
    ASSERT_TRUE(quil::platform::parseIpv4(nobody.c_str(), &ip));
    const auto start = quil::platform::monotonicMs();
    EXPECT_EQ(QUIL_OpenDeviceETHER(2, ip.b, 300), QUIL_ERROR_OPEN);
    const auto elapsed = quil::platform::monotonicMs() - start;
    EXPECT_GE(elapsed, 290u);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_EQ(quil::checkDeviceId(2), QUIL_ERROR_OPEN);
    EXPECT_EQ(GetDataBuff(2), nullptr);
}

TEST(Session, ControllerRefusingTheModelQueryStillOpens) {
    Simulator sim;
    sim.script().replyTo("MD", "ER,MD,99\r\n");
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(3, sim.ip().b, 2000), QUIL_OK);
    EXPECT_EQ(quil::device(3).deviceType, -1);
    EXPECT_EQ(QUIL_CloseDevice(3), QUIL_OK);
}

class ModelQuery : public DeviceTest {};

TEST_F(ModelQuery, RangeOfTheModelCode) {
    int32_t type = 1234;
    sim.script().replyOnce("MD,40\r\n");
    EXPECT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_ERROR_REPLY);
    EXPECT_EQ(type, 1234);
    sim.script().replyOnce("MD,-1\r\n");
    EXPECT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_ERROR_REPLY);
    sim.script().replyOnce("MD,39\r\n");
    EXPECT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_OK);
    EXPECT_EQ(type, 39);
    // The model code of the record is only the one read at open.
    EXPECT_EQ(quil::device(kId).deviceType, 35);
    sim.clearReceived();
    EXPECT_EQ(QUIL_GetDeviceType(kId, nullptr), QUIL_ERROR_PARAMETER);
    // No recovery: a mode refusal is returned as it is.
    sim.script().replyOnce("ER,MD,51\r\n");
    EXPECT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_ERROR_MODE);
    EXPECT_EQ(sent(1), std::vector<std::string>{"MD"});
}

// 64 controllers on 64 loopback addresses, opened, used and closed from
// several threads at once.
TEST(SessionConcurrent, SixtyFourControllersFromFourThreads) {
    std::vector<std::unique_ptr<Simulator>> sims;
    for (int i = 0; i < 64; ++i) {
        sims.push_back(std::make_unique<Simulator>(quil::sim::Options{.model = i % 40}));
        ASSERT_TRUE(sims.back()->start());
    }
    std::atomic<int> failures{0};
    auto worker = [&](int first) {
        for (int id = first; id < 64; id += 4) {
            if (QUIL_OpenDeviceETHER(id, sims[id]->ip().b, 2000) != QUIL_OK) {
                ++failures;
                continue;
            }
            int32_t type = -1;
            for (int k = 0; k < 20; ++k)
                if (QUIL_GetDeviceType(id, &type) != QUIL_OK || type != id % 40) ++failures;
        }
        for (int id = first; id < 64; id += 4)
            if (QUIL_CloseDevice(id) != QUIL_OK) ++failures;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(worker, t);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int id = 0; id < 64; ++id) EXPECT_EQ(quil::checkDeviceId(id), QUIL_ERROR_OPEN);
}

}  // namespace
