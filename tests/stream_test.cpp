// The data stream: starting and stopping runs, unpacking packets into the
// channel buffers and calling the application back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
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
    // With lookAtRollBuffer: GetRollDataBuff and its first two bytes during the call.
    const char* rollBuffer = nullptr;
    unsigned char rollHead[2] = {};
};

// Collects the callbacks of the library's receive thread. The callback has
// no user argument, so the collector is process-wide (each test case runs in
// a process of its own).
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    uint64_t next[4] = {};  // next expected value index per channel
    bool checkValues = true;
    std::atomic<bool> lookAtRollBuffer{false};

    void add(const Event& e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
        changed.notify_all();
    }
    bool waitFor(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return events.size() >= n; });
    }
    std::vector<Event> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
} g_events;

void onBatch(int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4, int32_t mask, int32_t count, int32_t status,
             int32_t id) {
    Event e{mask, count, status, id, {c1, c2, c3, c4}, 0};
    if (g_events.lookAtRollBuffer && (e.rollBuffer = GetRollDataBuff(uint32_t(id))) != nullptr)
        std::memcpy(e.rollHead, e.rollBuffer, 2);
    // The buffers are only stable during the call: check them now.
    if (status == 0 && mask != 0 && g_events.checkValues) {
        for (int k = 0; k < 4; ++k) {
            if (!(mask & (1 << k))) continue;
            for (int32_t i = 0; i < count; ++i)
                if (static_cast<uint32_t>(e.channel[k][i]) != Stream::value(k + 1, g_events.next[k] + i))
                    ++e.wrongValues;
            g_events.next[k] += static_cast<uint64_t>(count);
        }
    }
    g_events.add(e);
}

class StreamTest : public ::testing::Test {
protected:
    static constexpr uint32_t kId = 3;
    void start(StreamConfig config, uint32_t batch, bool expectOk = true) {
        sim.stream().configure(config);
        const int32_t r = QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, batch);
        if (expectOk) {
            ASSERT_EQ(r, 0);
        }
    }
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        std::lock_guard<std::mutex> lock(g_events.mutex);
        g_events.events.clear();
        for (auto& n : g_events.next) n = 0;
        g_events.checkValues = true;
    }
    // Raw bytes on the roll link, once the simulator has taken the connection on.
    bool sendRoll(const std::string& bytes) {
        for (int i = 0; i < 200; ++i) {
            if (sim.stream().sendRaw(bytes)) return true;
            quil::platform::sleepMs(10);
        }
        return false;
    }
    void TearDown() override { QUIL_StopRollPoint(kId); }
    quil::sim::Simulator sim;
};

// The lowest and highest value of each channel over the batches so far.
std::atomic<int32_t> g_low[4], g_high[4];

void onSignalBatch(int32_t* c1, int32_t* c2, int32_t* c3, int32_t* c4, int32_t mask, int32_t count, int32_t status,
                   int32_t) {
    int32_t* channels[4] = {c1, c2, c3, c4};
    for (int k = 0; k < 4 && status == 0; ++k)
        for (int32_t i = 0; i < count && (mask & (1 << k)); ++i) {
            if (channels[k][i] < g_low[k]) g_low[k] = channels[k][i];
            if (channels[k][i] > g_high[k]) g_high[k] = channels[k][i];
        }
    g_events.add(Event{mask, count, status, 0, {}, 0});
}

// A simulator with a signal: the OUTs' measured values move within the
// amplitude around the OUT's number, a step now and then lies out of range,
// and the stream carries the same signal in thousandths.
TEST(SimulatorSignal, MeasuredValuesAndTheStreamFollowIt) {
    using quil::sim::SignalShape;
    quil::sim::Simulator sine{
        quil::sim::Options{.signal = {.shape = SignalShape::Sine, .periodMs = 200, .amplitude = 0.5}}};
    ASSERT_TRUE(sine.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(0, sine.ip().b, 2000), QUIL_OK);
    float low = 100, high = -100;
    for (int i = 0; i < 40; ++i) {
        QuilCalcData d{};
        ASSERT_EQ(QUIL_GetCalcDataSingle(0, 3, &d), QUIL_OK);
        low = std::min(low, d.value);
        high = std::max(high, d.value);
        quil::platform::sleepMs(5);
    }
    EXPECT_GE(low, 2.5f);
    EXPECT_LE(high, 3.5f);
    EXPECT_GT(high - low, 0.2f) << "the value moves";

    for (int k = 0; k < 4; ++k) g_low[k] = INT32_MAX, g_high[k] = INT32_MIN;
    // 20 packets of 1000 samples of 10 microseconds: one whole period.
    sine.stream().configure(StreamConfig{
        .mask = 0x05, .valuesPerPacket = 1000, .packets = 20, .packetIntervalMs = 10, .signal = sine.model().signal()});
    ASSERT_EQ(QUIL_StartRollPoint(1, sine.address().c_str(), onSignalBatch, 20000), 0);
    ASSERT_TRUE(g_events.waitFor(2));
    QUIL_StopRollPoint(1);
    EXPECT_GE(g_low[0], 500);
    EXPECT_LE(g_high[0], 1500);
    EXPECT_GT(g_high[0] - g_low[0], 950) << "a whole period";
    EXPECT_GE(g_low[2], 2500);
    EXPECT_LE(g_high[2], 3500);

    // Steps of 10 ms: levels of half the amplitude, and out of range now and then.
    quil::sim::Simulator steps{
        quil::sim::Options{.signal = {.shape = SignalShape::Steps, .periodMs = 40, .amplitude = 0.5, .seed = 7}}};
    ASSERT_TRUE(steps.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(2, steps.ip().b, 2000), QUIL_OK);
    int outOfRange = 0, offLevel = 0;
    for (int i = 0; i < 1000 && outOfRange < 2; ++i) {
        QuilCalcData d{};
        ASSERT_EQ(QUIL_GetCalcDataSingle(2, 1, &d), QUIL_OK);
        if (d.status == QUIL_VALUE_PLUS_FFFFFFF || d.status == QUIL_VALUE_MINUS_FFFFFFF) ++outOfRange;
        const float level = (d.value - 1.0f) / 0.25f;
        if (d.status == QUIL_VALUE_NORMAL && (std::fabs(level - std::round(level)) > 1e-3f || std::fabs(level) > 2))
            ++offLevel;
        quil::platform::sleepMs(3);
    }
    EXPECT_EQ(outOfRange, 2);
    EXPECT_EQ(offLevel, 0);
    QUIL_CloseDevice(0);
    QUIL_CloseDevice(2);
}

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
    EXPECT_EQ(ClearRecv(5), -1);
    EXPECT_EQ(GetRollFd(5), -1);
    EXPECT_EQ(GetRollDataBuff(64), nullptr);
    EXPECT_EQ(GetRollDataBuffLen(5), -1);
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
    for (int k = 0; k < 4; ++k)
        for (uint32_t i = 0; i < 600; i += 599)
            EXPECT_EQ(static_cast<uint32_t>(ev[0].channel[k][i]), Stream::value(k + 1, 1200 + i));
    // An ended run keeps its links until it is stopped.
    EXPECT_EQ(QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, 1000), -987);
    EXPECT_NE(GetRollFd(kId), -1);
    EXPECT_EQ(QUIL_StopRollPoint(kId), 0);
    EXPECT_EQ(GetRollFd(kId), -1);
    EXPECT_EQ(g_events.snapshot().size(), 2u) << "no stop callback for a run that had ended";
}

TEST_F(StreamTest, StopCallsBackWithStatusSixteen) {
    start(StreamConfig{.mask = 0x03, .valuesPerPacket = 100, .packets = 0, .packetIntervalMs = 5}, 100);
    ASSERT_TRUE(g_events.waitFor(3));
    // The receive buffer asked for during the run is the one the run reads
    // into from the next packet on, and stays the same.
    g_events.lookAtRollBuffer = true;
    const size_t asked = g_events.snapshot().size();
    ASSERT_TRUE(g_events.waitFor(asked + 4));
    const auto seen = g_events.snapshot();
    size_t first = asked;  // a callback under way as the flag was set did not look
    while (first < seen.size() && !seen[first].rollBuffer) ++first;
    ASSERT_LT(first + 1, seen.size());
    for (size_t i = first + 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].rollBuffer, seen[first].rollBuffer);
        EXPECT_EQ(seen[i].rollHead[0], 0x03) << "the packet is in the buffer handed out";
        EXPECT_EQ(seen[i].rollHead[1], 0xFA);
    }
    EXPECT_EQ(QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, 100), -987);
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
    auto ev = g_events.snapshot();
    EXPECT_EQ(ev.back().status, 16);
    EXPECT_EQ(ev.back().mask, 0x03);
    for (size_t i = 0; i + 1 < ev.size(); ++i) EXPECT_EQ(ev[i].wrongValues, 0u);
    EXPECT_TRUE(sim.stream().waitIdle(2000));
    // Streaming was switched off, then on, then off again (by the thread and by the stop).
    auto sw = sim.stream().switches();
    ASSERT_GE(sw.size(), 3u);
    EXPECT_EQ(sw[0], false);
    EXPECT_EQ(sw[1], true);
    EXPECT_EQ(sw.back(), false);
}

TEST_F(StreamTest, MaskWithTwoChannelsLeavesTheOtherBuffersAlone) {
    // A first run hands out the buffers, which stay the same for later runs.
    start(StreamConfig{.mask = 0x0F, .valuesPerPacket = 10, .packets = 1, .packetIntervalMs = 0}, 10);
    ASSERT_TRUE(g_events.waitFor(2));
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
    Event first = g_events.snapshot()[0];
    first.channel[1][0] = -7;
    first.channel[3][0] = -8;
    {
        std::lock_guard<std::mutex> lock(g_events.mutex);
        g_events.events.clear();
        for (auto& n : g_events.next) n = 0;
    }
    start(StreamConfig{.mask = 0x05, .valuesPerPacket = 50, .packets = 2, .packetIntervalMs = 0}, 100);
    ASSERT_TRUE(g_events.waitFor(2));
    auto ev = g_events.snapshot();
    EXPECT_EQ(ev[0].mask, 0x05);
    EXPECT_EQ(ev[0].count, 100);
    EXPECT_EQ(ev[0].wrongValues, 0u);
    EXPECT_EQ(ev[0].channel[1], first.channel[1]);
    EXPECT_EQ(first.channel[1][0], -7);
    EXPECT_EQ(first.channel[3][0], -8);
}

TEST_F(StreamTest, OnlyTheLowFourBitsOfTheMaskNameChannels) {
    // Bits 4 to 7 say nothing about the blocks: 0x13 carries channels 1 and 2.
    start(StreamConfig{.mask = 0x13, .valuesPerPacket = 300, .packets = 2, .packetIntervalMs = 0}, 600);
    ASSERT_TRUE(g_events.waitFor(1));
    auto ev = g_events.snapshot();
    EXPECT_EQ(ev[0].mask, 0x13);
    EXPECT_EQ(ev[0].count, 600);
    EXPECT_EQ(ev[0].wrongValues, 0u) << "the channels' blocks were misaligned";
}

TEST_F(StreamTest, LongStreamArrivesValueByValue) {
    start(StreamConfig{.mask = 0x0F, .valuesPerPacket = 1000, .packets = 200, .packetIntervalMs = 0}, 5000);
    ASSERT_TRUE(g_events.waitFor(41, 20000));
    auto ev = g_events.snapshot();
    ASSERT_EQ(ev.size(), 41u);
    uint64_t wrong = 0;
    for (size_t i = 0; i < 40; ++i) {
        EXPECT_EQ(ev[i].count, 5000);
        wrong += ev[i].wrongValues;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(ev[40].mask, 0);
}

TEST_F(StreamTest, PacketsWithoutChannelsOrMarkersAreNotUnpacked) {
    // Before the stream: a packet naming no channel but carrying values, and
    // a header without its markers. Neither may be taken for data.
    std::string lead = Stream::packet(0x10, {1, 2, 3, 4});
    StreamConfig config{.mask = 0x01, .valuesPerPacket = 100, .packets = 3, .packetIntervalMs = 100};
    config.lead = lead;
    start(config, 100);
    ASSERT_TRUE(g_events.waitFor(1));
    ASSERT_TRUE(sim.stream().waitPackets(1, 2000));
    ASSERT_TRUE(sim.stream().sendRaw(Stream::header(0x01, 400, 0x00, 0x00) + std::string(400, 'j')));
    ASSERT_TRUE(g_events.waitFor(4));
    auto ev = g_events.snapshot();
    EXPECT_EQ(ev[0].mask, 0x01) << "the empty-mask packet did not fix the run's channels";
    EXPECT_EQ(ev[0].count, 100);
    EXPECT_EQ(ev[0].wrongValues, 0u);
    EXPECT_EQ(ev.back().mask, 0);
}

TEST_F(StreamTest, PacketsBeyondTheChannelBuffersAreDropped) {
    g_events.checkValues = false;
    // 1,100,000 values per packet: a second one would carry the fill past the
    // 2,000,000 values of the buffers.
    start(StreamConfig{.mask = 0x01, .valuesPerPacket = 1100000, .packets = 3, .packetIntervalMs = 0}, 1200000);
    ASSERT_TRUE(g_events.waitFor(1, 10000));
    auto ev = g_events.snapshot();
    EXPECT_EQ(ev[0].mask, 0) << "no batch completed before the end of the stream";
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
}

TEST_F(StreamTest, StartingClosesTheDevicesCommandConnection) {
    ASSERT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
    start(StreamConfig{.mask = 0x01, .valuesPerPacket = 10, .packets = 0, .packetIntervalMs = 20}, 10);
    QuilCalcData d{};
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 1, &d), QUIL_ERROR_REPLY);
    ASSERT_TRUE(g_events.waitFor(1));
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_ERROR_OPEN);
}

TEST_F(StreamTest, ClosingTheDeviceLeavesTheStreamsCommandLink) {
    ASSERT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
    start(StreamConfig{.mask = 0x01, .valuesPerPacket = 10, .packets = 0, .packetIntervalMs = 10}, 10);
    ASSERT_TRUE(g_events.waitFor(1));
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    const size_t before = g_events.snapshot().size();
    EXPECT_TRUE(g_events.waitFor(before + 3)) << "the stream stopped delivering";
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
    // The switch off comes from the receive thread and from the stop, both
    // over the stream's own command link.
    EXPECT_EQ(sim.stream().switches(), (std::vector<bool>{false, true, false, false}));
}

TEST_F(StreamTest, ControllerGoneEndsTheRunWithOneFailure) {
    start(StreamConfig{.mask = 0x01, .valuesPerPacket = 10, .packets = 0, .packetIntervalMs = 10}, 10);
    ASSERT_TRUE(g_events.waitFor(1));
    ::testing::internal::CaptureStderr();
    sim.closeConnections();
    ASSERT_TRUE(g_events.waitFor(2));
    quil::platform::sleepMs(200);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("RecvRollData err ret:-3"), std::string::npos);
    auto ev = g_events.snapshot();
    ASSERT_EQ(ev.back().status, 1);
    const size_t after = ev.size();
    ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
    EXPECT_EQ(g_events.snapshot().size(), after) << "a run that ended by itself was reported stopped";
}

TEST_F(StreamTest, RawRollLinkReadsOnePacket) {
    ASSERT_EQ(LinkRollConnect(kId, sim.address().c_str()), 0);
    EXPECT_EQ(LinkRollConnect(kId, sim.address().c_str()), -3);
    ASSERT_TRUE(sendRoll(Stream::packet(0x03, {10, 20, 30, 40})));
    ASSERT_EQ(RecvRollData(kId, 2000), 0);
    EXPECT_EQ(GetRollDataBuffLen(kId), 32);
    const char* buf = GetRollDataBuff(kId);
    EXPECT_EQ(static_cast<unsigned char>(buf[1]), 0xFA);
    EXPECT_EQ(buf[16], 10);
    EXPECT_EQ(RecvRollData(kId, 50), -2);
    EXPECT_EQ(ClearRecv(kId), -2);
    ASSERT_TRUE(sim.stream().sendRaw(Stream::header(0x01, 25165825)));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RecvRollData(kId, 2000), -5);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "dataSize err:25165825\n");
    EXPECT_EQ(RollLinkDisconnect(kId), 0);
    EXPECT_EQ(GetRollDataBuff(kId), nullptr);
}

}  // namespace
