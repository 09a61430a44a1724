// Device functions called the way an application calls them: through the
// shared library (libquil.so, quil.dll) and its public header only. The
// controller runs in another process when QUIL_TEST_SIM_ADDRESS names its
// address (the Windows build's tests run under wine against the Linux
// quilsim), else in-process; either way it is a simulated model 35, fresh
// for each test case.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
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

TEST_F(ApiDevice, MeasuredValuesOfEachOut) {
    // Until set, OUT n of the simulated controller reads n.
    QuilCalcData all[4] = {};
    ASSERT_EQ(QUIL_GetCalcDataALL(kId, all), QUIL_OK);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(all[i].OutNo, i + 1);
        EXPECT_EQ(all[i].status, QUIL_VALUE_NORMAL);
        EXPECT_FLOAT_EQ(all[i].value, float(i + 1));
    }
    QuilCalcData one{};
    ASSERT_EQ(QUIL_GetCalcDataSingle(kId, 3, &one), QUIL_OK);
    EXPECT_EQ(one.OutNo, 3);
    EXPECT_FLOAT_EQ(one.value, 3.0f);
    QuilCalcData two[2] = {};
    ASSERT_EQ(QUIL_GetCalcDataMulti(kId, 10, two), QUIL_OK);  // OUT2 and OUT4
    EXPECT_EQ(two[0].OutNo, 2);
    EXPECT_EQ(two[1].OutNo, 4);
    EXPECT_FLOAT_EQ(two[1].value, 4.0f);
}

TEST_F(ApiDevice, ArgumentsAreCheckedBeforeTheController) {
    QuilCalcData d{};
    int32_t n = 0;
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"OUT 9", [&] { return QUIL_GetCalcDataSingle(kId, 9, &d); }, QUIL_ERROR_RANGE},
        {"null record", [&] { return QUIL_GetCalcDataSingle(kId, 1, nullptr); }, QUIL_ERROR_PARAMETER},
        {"program 8", [&] { return QUIL_SetProgramNo(kId, 8); }, QUIL_ERROR_PARAMETER},
        {"device 64", [&] { return QUIL_GetProgramNo(64, &n); }, QUIL_ERROR_DEVICE_ID},
        {"device -1", [&] { return QUIL_SetResetSync(-1); }, QUIL_ERROR_DEVICE_ID},
        {"closed device", [&] { return QUIL_GetProgramNo(kId + 1, &n); }, QUIL_ERROR_OPEN},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
}

TEST_F(ApiDevice, ControlAndProgramSelection) {
    for (int32_t program : {7, 0, 4}) {
        ASSERT_EQ(QUIL_SetProgramNo(kId, program), QUIL_OK);
        int32_t read = -1;
        ASSERT_EQ(QUIL_GetProgramNo(kId, &read), QUIL_OK);
        EXPECT_EQ(read, program);
    }
    EXPECT_EQ(QUIL_SetTimingSingle(kId, 2, 1), QUIL_OK);
    EXPECT_EQ(QUIL_SetZeroMulti(kId, 3, 1), QUIL_OK);
    EXPECT_EQ(QUIL_SetResetSync(kId), QUIL_OK);
    // In setting mode the controller refuses measurement commands; the
    // library switches back and asks again.
    ASSERT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);
    QuilCalcData d{};
    ASSERT_EQ(QUIL_GetCalcDataSingle(kId, 2, &d), QUIL_OK);
    EXPECT_FLOAT_EQ(d.value, 2.0f);
}

TEST_F(ApiDevice, StorageRecordsAndReadsBack) {
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);
    pause(60);  // a few storage cycles
    ASSERT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);
    int32_t recording = -1, outs[8] = {};
    ASSERT_EQ(QUIL_DataStorageGetStatus(kId, &recording, outs), QUIL_OK);
    EXPECT_EQ(recording, 0);
    EXPECT_NE(outs[0], 0);

    std::vector<float> values(1000, -1.0f);
    int32_t received = 0;
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 2, int32_t(values.size()), values.data(), &received), QUIL_OK);
    ASSERT_GT(received, 1);
    for (int32_t i = 0; i < received; ++i) ASSERT_FLOAT_EQ(values[i], 2.0f) << i;
    // Encoder channel 1 counts up by one per stored point.
    std::vector<int32_t> counts(1000, -1);
    int32_t countsReceived = 0;
    ASSERT_EQ(QUIL_GetEncoderStoreValue(kId, 1, int32_t(counts.size()), counts.data(), &countsReceived), QUIL_OK);
    ASSERT_EQ(countsReceived, received);
    for (int32_t i = 1; i < countsReceived; ++i) ASSERT_EQ(counts[i], counts[0] + i) << i;
}

// The storage watcher's callback has no user argument.
std::atomic<int> g_storageCalls{0};
std::atomic<int32_t> g_storageDevice{-1};
void onStorage(int32_t DeviceId) {
    g_storageDevice = DeviceId;
    ++g_storageCalls;
}

TEST_F(ApiDevice, StorageWatcherCallsBackOnItsThread) {
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);
    pause(20);
    ASSERT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, onStorage), QUIL_OK);
    for (int waited = 0; g_storageCalls == 0 && waited < 5000; waited += 10) pause(10);
    EXPECT_GT(g_storageCalls.load(), 0);
    EXPECT_EQ(g_storageDevice.load(), kId);
    // Clearing the storage ends the calls; closing ends the thread.
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    pause(50);
    const int settled = g_storageCalls;
    pause(100);
    EXPECT_EQ(g_storageCalls.load(), settled);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
}

TEST_F(ApiDevice, RegistersAndDeviceInformation) {
    uint32_t time = 0xFFFFFFFF;
    EXPECT_EQ(QUIL_GetDeviceRuningTime(kId, 0, &time), 0);
    EXPECT_NE(time, 0xFFFFFFFFu);
    EXPECT_EQ(QUIL_GetDeviceRuningTime(kId, 3, &time), QUIL_ERROR_PARAMETER) << "two heads on model 35";
    uint32_t spot = 0;
    EXPECT_EQ(QUIL_GetCameraSpotType(kId, &spot), QUIL_ERROR_UNSUPPORTED) << "model 35 has no spot type";
    EXPECT_EQ(QUIL_Refresh(kId), 0);
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

// Stream batches, checked inside the callback (the buffers are only stable
// during the call): value i of channel c is c * 100000000 + i.
struct Batches {
    std::mutex mutex;
    std::condition_variable changed;
    int full = 0, stopped = 0, wrong = 0;
    int64_t next = 0;
} g_batches;

void onBatch(int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4, int32_t mask, int32_t count, int32_t status, int32_t) {
    std::lock_guard<std::mutex> lock(g_batches.mutex);
    if (status == 16) ++g_batches.stopped;
    if (status == 0 && mask == 0x0F) {
        int32_t* channels[4] = {c1, c2, c3, c4};
        for (int c = 0; c < 4; ++c)
            for (int32_t i = 0; i < count; ++i)
                if (channels[c][i] != (c + 1) * 100000000 + g_batches.next + i) ++g_batches.wrong;
        g_batches.next += count;
        ++g_batches.full;
    }
    g_batches.changed.notify_all();
}

TEST_F(ApiDevice, StreamBatchesReachTheCallback) {
    ASSERT_EQ(QUIL_CloseDevice(kId), QUIL_OK);  // the stream opens its own links
    ASSERT_EQ(QUIL_StartRollPoint(kId, address.c_str(), onBatch, 1500), 0);
    {
        std::unique_lock<std::mutex> lock(g_batches.mutex);
        EXPECT_TRUE(g_batches.changed.wait_for(lock, std::chrono::seconds(10), [] { return g_batches.full >= 3; }));
    }
    EXPECT_EQ(QUIL_StopRollPoint(kId), 0);
    std::lock_guard<std::mutex> lock(g_batches.mutex);
    EXPECT_EQ(g_batches.wrong, 0);
    EXPECT_EQ(g_batches.stopped, 1);
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
