// What an application does by accident: opening, using and closing one
// device number from several threads at once. Nothing may corrupt memory or
// race (the sanitizer builds run these too), and every call returns one of
// its documented codes.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "quil.h"
#include "sim/simulator.h"

namespace {

constexpr int32_t kId = 9;

TEST(Misuse, OpensAndClosesOfOneDeviceFromManyThreads) {
    quil::sim::Simulator sim(quil::sim::Options{.model = 35});
    ASSERT_TRUE(sim.start());
    std::atomic<int> unexpected{0}, opened{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                const int32_t o = QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000);
                if (o == QUIL_OK) ++opened;
                if (o != QUIL_OK && o != QUIL_ERROR_OPEN) ++unexpected;
                const int32_t c = QUIL_CloseDevice(kId);
                if (c != QUIL_OK && c != QUIL_ERROR_OPEN) ++unexpected;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(opened, 0);
    // The device works as before afterwards.
    QUIL_CloseDevice(kId);
    ASSERT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
    int32_t type = -1;
    EXPECT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_OK);
    EXPECT_EQ(type, 35);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
}

TEST(Misuse, CloseWhileOtherThreadsUseTheDevice) {
    quil::sim::Simulator sim(quil::sim::Options{.model = 35});
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0}, succeeded{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t)
        users.emplace_back([&, t] {
            while (!stop) {
                QuilCalcData d{};
                int32_t n = 0, outs[8] = {};
                const int32_t r = t == 0   ? QUIL_GetCalcDataSingle(kId, 1, &d)
                                  : t == 1 ? QUIL_DataStorageGetStatus(kId, &n, outs)
                                           : QUIL_SetTimingSingle(kId, 1, 1);
                if (r == QUIL_OK) ++succeeded;
                // A call either runs on the open device or finds it closed.
                if (r != QUIL_OK && r != QUIL_ERROR_OPEN) ++unexpected;
            }
        });
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
        EXPECT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
    }
    stop = true;
    for (auto& t : users) t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(succeeded, 0);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
}

}  // namespace
