// Device functions called through the shared library (libquil.so, quil.dll)
// and its public header only, against a simulated model 35: in another
// process when QUIL_TEST_SIM_ADDRESS names its address (the Windows build's
// tests under wine), else in-process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quil.h"
#include "sim/simulator.h"

namespace {

constexpr int32_t kId = 3;
constexpr int32_t kModel = 35;

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The controller the tests talk to, and the device opened on it.
class ApiDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* given = std::getenv("QUIL_TEST_SIM_ADDRESS")) {
            address = given;
        } else {
            local = std::make_unique<quil::sim::Simulator>(quil::sim::Options{.model = kModel});
            ASSERT_TRUE(local->start());
            address = local->address();
        }
        unsigned a, b, c, d;
        ASSERT_EQ(std::sscanf(address.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4) << address;
        ASSERT_EQ(a, 127u) << "the controller must be on loopback";
        ip[0] = uint8_t(a), ip[1] = uint8_t(b), ip[2] = uint8_t(c), ip[3] = uint8_t(d);
        ASSERT_EQ(QUIL_OpenDeviceETHER(kId, ip, 2000), QUIL_OK) << address;
    }
    void TearDown() override { QUIL_CloseDevice(kId); }

    std::unique_ptr<quil::sim::Simulator> local;
    std::string address;
    uint8_t ip[4] = {};
};

TEST_F(ApiDevice, OpenReadsTheModelAndHoldsTheAddress) {
    int32_t type = -1;
    ASSERT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_OK);
    EXPECT_EQ(type, kModel);
    EXPECT_EQ(QUIL_OpenDeviceETHER(kId, ip, 2000), QUIL_ERROR_OPEN) << "already open";
    EXPECT_EQ(QUIL_OpenDeviceETHER(kId + 1, ip, 2000), QUIL_ERROR_IP_IN_USE);
    ASSERT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    EXPECT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_ERROR_OPEN) << "closed";
    ASSERT_EQ(QUIL_OpenDeviceETHER(kId, ip, 2000), QUIL_OK) << "open again after the close";
}

TEST_F(ApiDevice, MeasuredValuesProgramsAndTheModeSwitchBack) {
    // Until set, OUT n of the simulated controller reads n.
    QuilCalcData all[4] = {};
    ASSERT_EQ(QUIL_GetCalcDataALL(kId, all), QUIL_OK);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(all[i].OutNo, i + 1);
        EXPECT_EQ(all[i].status, QUIL_VALUE_NORMAL);
        EXPECT_FLOAT_EQ(all[i].value, float(i + 1));
    }
    QuilCalcData two[2] = {};
    ASSERT_EQ(QUIL_GetCalcDataMulti(kId, 10, two), QUIL_OK);  // OUT2 and OUT4
    EXPECT_EQ(two[0].OutNo, 2);
    EXPECT_FLOAT_EQ(two[1].value, 4.0f);
    for (int32_t program : {7, 4}) {
        ASSERT_EQ(QUIL_SetProgramNo(kId, program), QUIL_OK);
        int32_t read = -1;
        ASSERT_EQ(QUIL_GetProgramNo(kId, &read), QUIL_OK);
        EXPECT_EQ(read, program);
    }
    // In setting mode the controller refuses measurement commands; the
    // library switches back and asks again.
    ASSERT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);
    QuilCalcData d{};
    ASSERT_EQ(QUIL_GetCalcDataSingle(kId, 2, &d), QUIL_OK);
    EXPECT_FLOAT_EQ(d.value, 2.0f);
}

TEST_F(ApiDevice, RawCommandLink) {
    constexpr uint32_t kLink = 9;
    ASSERT_EQ(LinkConnect(kLink, address.c_str()), 0);
    EXPECT_EQ(LinkConnect(kLink, address.c_str()), -3) << "a second link for the number";
    char reply[64] = {};
    int32_t len = 0;
    ASSERT_EQ(SwapData(kLink, "MD\r\n", 4, reply, &len, 2000), 0);
    EXPECT_EQ(std::string(reply, std::size_t(len)), "MD,35");
    EXPECT_EQ(SwapData(kLink, "MD", 2, reply, &len, 2000), -2) << "a line must end in CR";
    EXPECT_EQ(LinkDisconnect(kLink), 0);
    EXPECT_EQ(GetDataBuffLen(kLink), -1);
}

// 64 controllers in use at once, as the device table promises, also in the
// 32-bit DLL (2 GiB of address space): each opened, read for a measured value
// and 1,000 stored values, then all 64 streaming together for a moment.
// Every device must get its batches.
std::atomic<int> g_batchesOf[64];
void onBatchOf(int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4, int32_t, int32_t count, int32_t status,
               int32_t DeviceId) {
    if (status == 0 && count >= 1000 && c1 && c2 && c3 && c4 && DeviceId >= 0 && DeviceId < 64)
        g_batchesOf[DeviceId].fetch_add(1);
}

TEST(ApiDevices, SixtyFourControllersInUseAtOnce) {
    constexpr int kDevices = 64;
    const std::vector<std::string> tokens(1000, "+001.250");
    std::vector<std::unique_ptr<quil::sim::Simulator>> sims;
    std::vector<std::string> addresses;
    for (int i = 0; i < kDevices; ++i) {
        sims.push_back(std::make_unique<quil::sim::Simulator>(quil::sim::Options{
            .model = kModel, .stream = {.mask = 0x0F, .valuesPerPacket = 1000, .packetIntervalMs = 50}}));
        ASSERT_TRUE(sims.back()->start()) << i;
        sims.back()->model().loadStoredValues(1, tokens);
        addresses.push_back(sims.back()->address());
    }
    std::vector<float> values(1000);
    for (int id = 0; id < kDevices; ++id) {
        quil::platform::Ipv4 ip;
        ASSERT_TRUE(quil::platform::parseIpv4(addresses[size_t(id)].c_str(), &ip));
        ASSERT_EQ(QUIL_OpenDeviceETHER(id, ip.b, 2000), QUIL_OK) << "device " << id;
        QuilCalcData d{};
        ASSERT_EQ(QUIL_GetCalcDataSingle(id, 1, &d), QUIL_OK) << "device " << id;
        int32_t received = 0;
        ASSERT_EQ(QUIL_DataStorageGetData(id, 1, int32_t(values.size()), values.data(), &received), QUIL_OK)
            << "device " << id;
        ASSERT_EQ(received, 1000) << "device " << id;
        ASSERT_FLOAT_EQ(values[999], 1.25f) << "device " << id;
    }
    for (int id = 0; id < kDevices; ++id)
        ASSERT_EQ(QUIL_StartRollPoint(uint32_t(id), addresses[size_t(id)].c_str(), onBatchOf, 1000), 0)
            << "device " << id;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int id = 0; id < kDevices; ++id)
        while (g_batchesOf[id] < 10 && std::chrono::steady_clock::now() < until) pause(20);
    for (int id = 0; id < kDevices; ++id) EXPECT_EQ(QUIL_StopRollPoint(uint32_t(id)), 0);
    for (int id = 0; id < kDevices; ++id) EXPECT_GE(g_batchesOf[id].load(), 10) << "device " << id;
    for (int id = 0; id < kDevices; ++id) QUIL_CloseDevice(id);
}

}  // namespace
