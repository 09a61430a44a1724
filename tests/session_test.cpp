// Opening and closing controllers, also from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "link/link_record.h"
#include "quil/device.h"

namespace {

using quil::sim::Simulator;

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
    EXPECT_NE(GetDataBuff(6), nullptr) << "the raw link functions reach the same connection";
    EXPECT_EQ(sim.connectionsAccepted(), 1);

    EXPECT_EQ(QUIL_CloseDevice(6), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(6), QUIL_ERROR_OPEN);
    EXPECT_EQ(GetDataBuff(6), nullptr);
    EXPECT_EQ(quil::device(6).deviceType, -1);
    EXPECT_TRUE(sim.waitOpenConnections(0, 2000));

    // The number opens again, also on a controller that refuses the model query.
    Simulator other;
    other.script().replyTo("MD", "ER,MD,99\r\n");
    ASSERT_TRUE(other.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(6, other.ip().b, 2000), QUIL_OK);
    EXPECT_EQ(quil::device(6).deviceType, -1);
    EXPECT_EQ(QUIL_CloseDevice(6), QUIL_OK);
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

// What an application does by accident: opening, using and closing one device
// number from several threads at once. Nothing may corrupt memory or race
// (the sanitizer builds run these too), and every call returns one of its codes.
constexpr int32_t kMisused = 9;

TEST(Misuse, OpensAndClosesOfOneDeviceFromManyThreads) {
    Simulator sim(quil::sim::Options{.model = 35});
    ASSERT_TRUE(sim.start());
    std::atomic<int> unexpected{0}, opened{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                const int32_t o = QUIL_OpenDeviceETHER(kMisused, sim.ip().b, 2000);
                if (o == QUIL_OK) ++opened;
                if (o != QUIL_OK && o != QUIL_ERROR_OPEN) ++unexpected;
                const int32_t c = QUIL_CloseDevice(kMisused);
                if (c != QUIL_OK && c != QUIL_ERROR_OPEN) ++unexpected;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(opened, 0);
    // The device works as before afterwards.
    QUIL_CloseDevice(kMisused);
    ASSERT_EQ(QUIL_OpenDeviceETHER(kMisused, sim.ip().b, 2000), QUIL_OK);
    int32_t type = -1;
    EXPECT_EQ(QUIL_GetDeviceType(kMisused, &type), QUIL_OK);
    EXPECT_EQ(type, 35);
    EXPECT_EQ(QUIL_CloseDevice(kMisused), QUIL_OK);
}

TEST(Misuse, CloseWhileOtherThreadsUseTheDevice) {
    Simulator sim(quil::sim::Options{.model = 35});
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(kMisused, sim.ip().b, 2000), QUIL_OK);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0}, succeeded{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t)
        users.emplace_back([&, t] {
            while (!stop) {
                QuilCalcData d{};
                int32_t n = 0, outs[8] = {};
                const int32_t r = t == 0   ? QUIL_GetCalcDataSingle(kMisused, 1, &d)
                                  : t == 1 ? QUIL_DataStorageGetStatus(kMisused, &n, outs)
                                           : QUIL_SetTimingSingle(kMisused, 1, 1);
                if (r == QUIL_OK) ++succeeded;
                // A call either runs on the open device or finds it closed.
                if (r != QUIL_OK && r != QUIL_ERROR_OPEN) ++unexpected;
            }
        });
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(QUIL_CloseDevice(kMisused), QUIL_OK);
        EXPECT_EQ(QUIL_OpenDeviceETHER(kMisused, sim.ip().b, 2000), QUIL_OK);
    }
    stop = true;
    for (auto& t : users) t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(succeeded, 0);
    EXPECT_EQ(QUIL_CloseDevice(kMisused), QUIL_OK);
}

}  // namespace
