// The data stream: starting and stopping runs, unpacking packets into the
// channel buffers and calling the application back.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "device_fixture.h"
#include "link/stream.h"
#include "sim/simulator.h"

namespace {

using quil::sim::Stream;
using quil::sim::StreamConfig;

struct Event {
    int32_t mask, count, status, id;
    int32_t* channel[4];
    uint64_t wrongValues;  // values that do not continue their channel's sequence
};

// The callbacks of the receive thread (each test case runs in its own process).
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    uint64_t next[4] = {};  // next expected value index per channel

    bool waitFor(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return events.size() >= n; });
    }
    std::vector<Event> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
        for (auto& n : next) n = 0;
    }
} g_events;

void onBatch(int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4, int32_t mask, int32_t count, int32_t status,
             int32_t id) {
    Event e{mask, count, status, id, {c1, c2, c3, c4}, 0};
    std::lock_guard<std::mutex> lock(g_events.mutex);
    // The buffers are only stable during the call: check them now.
    for (int k = 0; k < 4 && status == 0 && count < 1000000; ++k) {
        if (!(mask & (1 << k))) continue;
        for (int32_t i = 0; i < count; ++i)
            if (static_cast<uint32_t>(e.channel[k][i]) != Stream::value(k + 1, g_events.next[k] + i)) ++e.wrongValues;
        g_events.next[k] += static_cast<uint64_t>(count);
    }
    g_events.events.push_back(e);
    g_events.changed.notify_all();
}

class StreamTest : public ::testing::Test {
protected:
    static constexpr uint32_t kId = 3;
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        g_events.clear();
    }
    void TearDown() override { QUIL_StopRollPoint(kId); }
    void start(StreamConfig config, uint32_t batch) {
        sim.stream().configure(config);
        ASSERT_EQ(QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, batch), 0);
    }
    quil::sim::Simulator sim;
};

TEST(StreamArguments, RefusedBeforeAnythingIsOpened) {
    const char* ip = "127.0.0.1";
    EXPECT_EQ(QUIL_StartRollPoint(0, ip, onBatch, 0), -997);
    EXPECT_EQ(QUIL_StartRollPoint(0, ip, onBatch, 1200001), -997);
    EXPECT_EQ(QUIL_StartRollPoint(64, ip, onBatch, 10), -997);
    EXPECT_EQ(QUIL_StartRollPoint(0, nullptr, onBatch, 10), -997);
    EXPECT_EQ(QUIL_StartRollPoint(0, ip, nullptr, 10), -997);
    EXPECT_EQ(QUIL_StopRollPoint(64), -997);
    EXPECT_EQ(QUIL_StopRollPoint(5), 0);
    EXPECT_EQ(RecvRollData(5, 10), -1);
}

TEST_F(StreamTest, BatchesFillAndStartOverWithTheNextPacket) {
    // 600 values per packet and batches of 1000: the callback comes after the
    // second packet with 1200 values; the third starts at the buffers' start.
    start(StreamConfig{.mask = 0x0F, .valuesPerPacket = 600, .packets = 3, .packetIntervalMs = 0}, 1000);
    ASSERT_TRUE(g_events.waitFor(2));
    auto ev = g_events.snapshot();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].mask, 0x0F);
    EXPECT_EQ(ev[0].count, 1200);
    EXPECT_EQ(ev[0].status, 0);
    EXPECT_EQ(ev[0].id, static_cast<int32_t>(kId));
    EXPECT_EQ(ev[0].wrongValues, 0u);
    // The end of the stream: mask 0, count 0, status 0.
    EXPECT_EQ(ev[1].mask, 0);
    EXPECT_EQ(ev[1].count, 0);
    EXPECT_EQ(ev[1].status, 0);
    EXPECT_EQ(static_cast<uint32_t>(ev[0].channel[3][599]), Stream::value(4, 1799)) << "the third packet";
    // An ended run keeps its links until it is stopped.
    EXPECT_EQ(QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, 1000), -987);
    EXPECT_NE(GetRollFd(kId), -1);
    EXPECT_EQ(QUIL_StopRollPoint(kId), 0);
    EXPECT_EQ(GetRollFd(kId), -1);
    EXPECT_EQ(g_events.snapshot().size(), 2u) << "no stop callback for a run that had ended";
}

TEST_F(StreamTest, ChannelsOfTheMaskAloneAreFilledInLaterRuns) {
    // A first run hands out the buffers, which stay the same for later runs.
    start(StreamConfig{.mask = 0x0F, .valuesPerPacket = 10, .packets = 1, .packetIntervalMs = 0}, 10);
    ASSERT_TRUE(g_events.waitFor(2));
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
    Event first = g_events.snapshot()[0];
    first.channel[2][0] = -7;
    first.channel[3][0] = -8;
    g_events.clear();
    // Bits 4 to 7 name no channel: 0x13 carries channels 1 and 2.
    start(StreamConfig{.mask = 0x13, .valuesPerPacket = 50, .packets = 2, .packetIntervalMs = 0}, 100);
    ASSERT_TRUE(g_events.waitFor(2));
    auto ev = g_events.snapshot();
    EXPECT_EQ(ev[0].mask, 0x13);
    EXPECT_EQ(ev[0].count, 100);
    EXPECT_EQ(ev[0].wrongValues, 0u);
    EXPECT_EQ(ev[0].channel[0], first.channel[0]);
    EXPECT_EQ(first.channel[2][0], -7);
    EXPECT_EQ(first.channel[3][0], -8);
}

TEST_F(StreamTest, TheLargestBatchIsTakenAndPacketsBeyondTheBuffersAreDropped) {
    // 1,100,000 values per packet: a second one would carry the fill past the
    // 2,000,000 values of the buffers.
    start(StreamConfig{.mask = 0x01, .valuesPerPacket = 1100000, .packets = 3, .packetIntervalMs = 0}, 1200000);
    ASSERT_TRUE(g_events.waitFor(1, 10000));
    EXPECT_EQ(g_events.snapshot()[0].mask, 0) << "no batch completed before the end of the stream";
}

TEST_F(StreamTest, StartClosesTheDevicesConnectionAndCloseLeavesTheStreamsOwn) {
    ASSERT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
    start(StreamConfig{.mask = 0x01, .valuesPerPacket = 10, .packets = 0, .packetIntervalMs = 10}, 10);
    QuilCalcData d{};
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 1, &d), QUIL_ERROR_REPLY);
    ASSERT_TRUE(g_events.waitFor(1));
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_ERROR_OPEN);
    const size_t before = g_events.snapshot().size();
    EXPECT_TRUE(g_events.waitFor(before + 3)) << "the stream stopped delivering";
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
    // Off from the receive thread and from the stop, over the stream's own command link.
    EXPECT_EQ(sim.stream().switches(), (std::vector<bool>{false, true, false, false}));
}

TEST_F(StreamTest, RawRollLinkReadsOnePacket) {
    ASSERT_EQ(LinkRollConnect(kId, sim.address().c_str()), 0);
    EXPECT_EQ(LinkRollConnect(kId, sim.address().c_str()), -3);
    for (int i = 0; i < 200 && !sim.stream().sendRaw(Stream::packet(0x03, {10, 20, 30, 40})); ++i)
        quil::platform::sleepMs(10);
    ASSERT_EQ(RecvRollData(kId, 2000), 0);
    EXPECT_EQ(GetRollDataBuffLen(kId), 32);
    const char* buf = GetRollDataBuff(kId);
    EXPECT_EQ(static_cast<unsigned char>(buf[1]), 0xFA);
    EXPECT_EQ(buf[16], 10);
    EXPECT_EQ(RecvRollData(kId, 50), -2);
    EXPECT_EQ(ClearRecv(kId), -2);
    ASSERT_TRUE(sim.stream().sendRaw(Stream::header(0x01, 25165825)));
    EXPECT_EQ(RecvRollData(kId, 2000), -5) << "a size past the buffer";
    EXPECT_EQ(RollLinkDisconnect(kId), 0);
    EXPECT_EQ(GetRollDataBuff(kId), nullptr);
}

}  // namespace
