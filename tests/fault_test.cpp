// The library against a controller in each standing fault of the simulator:
// every call ends within its bound with its code, and works after a reopen.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "quil.h"
#include "sim/faults.h"

namespace quil::test {
namespace {

using Clock = std::chrono::steady_clock;
using Codes = std::set<int32_t>;

// The bounds, and what a loaded machine (the sanitizers) may add to them.
constexpr int kExchangeMs = 2000;                 // a command exchange: the whole reply
constexpr int kRetriedMs = 2 * kExchangeMs + 30;  // with the mode switch and the command again
constexpr int kJsonMs = 1200;                     // a register exchange
constexpr int kBulkMs = 10000;                    // a stored-value read, each wait
constexpr int kRawTimeoutMs = 300;                // the caller's time-out of the raw exchanges here
constexpr int kMarginMs = 1500;

long msSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A call of one kind of exchange, on a device (or raw link) of its own.
enum class Kind { Command, Json, Stored, Raw };
struct Call {
    const char* name;
    Kind kind;
    int boundMs;
    std::function<int32_t(int32_t id)> run;
};

const std::vector<Call>& calls() {
    static const std::vector<Call> table = {
        {"QUIL_GetCalcDataSingle", Kind::Command, kRetriedMs,
         [](int32_t id) {
             QuilCalcData d{};
             return QUIL_GetCalcDataSingle(id, 1, &d);
         }},
        {"QUIL_SetMedian", Kind::Command, kRetriedMs, [](int32_t id) { return QUIL_SetMedian(id, 1, 2); }},
        {"QUIL_GetDeviceRuningTime", Kind::Json, kJsonMs,
         [](int32_t id) {
             uint32_t t = 0;
             return QUIL_GetDeviceRuningTime(id, 0, &t);
         }},
        {"QUIL_DataStorageGetData", Kind::Stored, kBulkMs,
         [](int32_t id) {
             float v[16];
             int32_t n = 0;
             return QUIL_DataStorageGetData(id, 1, 16, v, &n);
         }},
        {"SwapData", Kind::Raw, kRawTimeoutMs,
         [](int32_t id) {
             char out[256];
             int32_t len = 0;
             return SwapData(static_cast<uint32_t>(id), "PR\r\n", 4, out, &len, kRawTimeoutMs);
         }},
    };
    return table;
}

// A fault and the codes each kind of call must give under it. An empty set:
// the kind is left out (a stored-value read waits 10 s per piece).
struct Row {
    const char* name;
    sim::Faults faults;
    Codes codes[4];  // by Kind
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const Codes kOk{QUIL_OK};
const Codes kLost{QUIL_ERROR_SEND, QUIL_ERROR_REPLY};

const Row kRows[] = {
    // The connection closed: the send or the read fails at once.
    {"Drop", {.dropAfterLines = 1}, {kLost, {-10}, kLost, {-1}}},
    // A reply that is not the command's answer is refused; the raw link hands it on.
    {"Garbage", {.garbage = true}, {{QUIL_ERROR_REPLY}, {-2}, {QUIL_ERROR_REPLY}, kOk}},
    {"Mute", {.mute = true}, {{QUIL_ERROR_TIMEOUT}, {-10}, {}, {-10}}},
    {"LateBeyondTheWait", {.lateMs = 2300}, {{QUIL_ERROR_TIMEOUT}, {-10}, {}, {-10}}},
    // Each reply takes longer than its wait in total, though bytes keep coming.
    {"DripBeyondTheWait", {.dripMs = 700}, {{QUIL_ERROR_TIMEOUT}, {-10}, {}, {-10}}},
    // Slow, but within the waits: everything works.
    {"DripWithinTheWait", {.dripMs = 2}, {kOk, kOk, kOk, kOk}},
};

class FaultRow : public ::testing::TestWithParam<Row> {
protected:
    static constexpr int32_t kFirstId = 1;

    // Every call on a controller and device (or raw link) of its own, so they run at once.
    void SetUp() override {
        for (std::size_t i = 0; i < calls().size(); ++i) {
            sims.push_back(std::make_unique<sim::Simulator>());
            ASSERT_TRUE(sims.back()->start());
        }
    }
    void TearDown() override { disconnectAll(); }

    int32_t idOf(std::size_t i) const { return kFirstId + static_cast<int32_t>(i); }

    void connectAll() {
        for (std::size_t i = 0; i < calls().size(); ++i) {
            if (calls()[i].kind == Kind::Raw) {
                ASSERT_EQ(LinkConnect(static_cast<uint32_t>(idOf(i)), sims[i]->address().c_str()), 0);
                char out[64];
                int32_t len = 0;
                // One line, as the open of a device sends one.
                ASSERT_EQ(SwapData(static_cast<uint32_t>(idOf(i)), "MD\r\n", 4, out, &len, 2000), 0);
            } else {
                ASSERT_EQ(QUIL_OpenDeviceETHER(idOf(i), sims[i]->ip().b, 2000), QUIL_OK);
            }
        }
    }
    void disconnectAll() {
        for (std::size_t i = 0; i < calls().size(); ++i) {
            if (calls()[i].kind == Kind::Raw)
                LinkDisconnect(static_cast<uint32_t>(idOf(i)));
            else
                QUIL_CloseDevice(idOf(i));
        }
    }
    void setFaults(const sim::Faults& faults) {
        for (auto& s : sims) s->setFaults(faults);
    }

    const Codes& expected(const Row& row, Kind kind) { return row.codes[static_cast<int>(kind)]; }

    std::vector<std::unique_ptr<sim::Simulator>> sims;
};

TEST_P(FaultRow, EveryCallWithinItsBoundWithItsCodeThenWorksAfterReopen) {
    const Row& row = GetParam();
    connectAll();
    setFaults(row.faults);
    std::vector<std::thread> threads;
    std::vector<int32_t> rcs(calls().size());
    std::vector<long> ms(calls().size());
    for (std::size_t i = 0; i < calls().size(); ++i) {
        if (expected(row, calls()[i].kind).empty()) continue;
        threads.emplace_back([&, i] {
            const auto start = Clock::now();
            rcs[i] = calls()[i].run(idOf(i));
            ms[i] = msSince(start);
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < calls().size(); ++i) {
        const Call& call = calls()[i];
        if (expected(row, call.kind).empty()) continue;
        EXPECT_TRUE(expected(row, call.kind).count(rcs[i])) << call.name << " gave " << rcs[i];
        EXPECT_LE(ms[i], call.boundMs + kMarginMs) << call.name << " took " << ms[i] << " ms";
    }

    // Without the fault, a reopened device (a fresh raw link) works.
    setFaults({});
    disconnectAll();
    connectAll();
    for (std::size_t i = 0; i < calls().size(); ++i)
        EXPECT_EQ(calls()[i].run(idOf(i)), QUIL_OK) << calls()[i].name << " after reopen";
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultRow, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& p) { return std::string(p.param.name); });

// A reply dripped so slowly that even its tail takes longer than the next
// call's wait: that call fails too, and the one after it waits for the rest
// of the tail instead of reading it as its own reply.
class Fault : public DeviceTest {};

TEST_F(Fault, DrippedTailIsNeverTakenForTheNextReply) {
    // 50 bytes, 5.5 s in all: its tail needs more than 3 s after the first wait.
    sim.script().replyOnce("MS,01,+" + std::string(36, '0') + "1.000\r\n").sendInPieces(1, 110);
    QuilCalcData data{};
    auto start = Clock::now();
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 1, &data), QUIL_ERROR_TIMEOUT);
    EXPECT_LE(msSince(start), kExchangeMs + kMarginMs);
    int32_t program = -1;
    start = Clock::now();
    EXPECT_EQ(QUIL_GetProgramNo(kId, &program), QUIL_ERROR_TIMEOUT) << "the tail is still coming";
    EXPECT_LE(msSince(start), kExchangeMs + kMarginMs);
    ASSERT_EQ(QUIL_SetProgramNo(kId, 3), QUIL_OK);  // the model answers at once again
    EXPECT_EQ(QUIL_GetProgramNo(kId, &program), QUIL_OK);
    EXPECT_EQ(program, 3);
}

// The stream's callbacks come from one thread at a time.
std::atomic<int32_t> g_values{0}, g_wrong{0}, g_failures{0}, g_stops{0};

void onBatch(int32_t* c1, int32_t*, int32_t*, int32_t*, int32_t mask, int32_t count, int32_t status, int32_t) {
    for (int32_t i = 0; status == 0 && mask != 0 && i < count; ++i)
        if (static_cast<uint32_t>(c1[i]) != sim::Stream::value(1, static_cast<uint64_t>(g_values + i))) ++g_wrong;
    if (status == 0) g_values += count;
    g_failures += status == 1;
    g_stops += status == 16;
}

TEST(FaultStream, CutStreamEndsTheRunOnceWithStatusOneAndNothingFromTheHalfPacket) {
    constexpr uint32_t kStreamId = 5;
    // The library discards what the roll link holds right after it
    // connects: the packets start well after that, also on a slow machine.
    sim::Simulator sim(
        sim::Options{.stream = {.mask = 0x0F, .valuesPerPacket = 100, .packetIntervalMs = 5, .startDelayMs = 500},
                     .faults = {.dropStreamAfterPackets = 3}});
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(QUIL_StartRollPoint(kStreamId, sim.address().c_str(), onBatch, 100), 0);
    const auto start = Clock::now();
    while (g_failures == 0 && msSince(start) < 5000) platform::sleepMs(10);
    ASSERT_EQ(g_failures.load(), 1) << "no status-1 callback for the closed roll connection";
    EXPECT_LE(msSince(start), 1000 + kMarginMs);
    QuilRollStats stats{};
    ASSERT_EQ(QUIL_GetRollStats(kStreamId, &stats), 0);
    EXPECT_EQ(stats.packets, 3u);
    EXPECT_EQ(g_values.load(), 300);
    EXPECT_EQ(g_wrong.load(), 0);
    // Until the stop, the run's links stay.
    EXPECT_EQ(QUIL_StartRollPoint(kStreamId, sim.address().c_str(), onBatch, 100), -987);
    EXPECT_EQ(QUIL_StopRollPoint(kStreamId), 0);
    EXPECT_EQ(g_failures.load(), 1);
    EXPECT_EQ(g_stops.load(), 0) << "a run that ended by itself was reported stopped";
}

TEST(FaultStream, StartAgainstAMuteControllerEndsWithinItsBound) {
    constexpr uint32_t kStreamId = 6;
    sim::Simulator sim(sim::Options{.faults = {.mute = true}});
    ASSERT_TRUE(sim.start());
    const auto start = Clock::now();
    const int32_t rc = QUIL_StartRollPoint(kStreamId, sim.address().c_str(), onBatch, 100);
    EXPECT_LE(msSince(start), 12500 + kMarginMs);
    EXPECT_EQ(rc, -1) << "the switch message is not answered";
    EXPECT_EQ(GetDataBuff(kStreamId), nullptr) << "the failed start closed the command link it opened";
    EXPECT_EQ(QUIL_StopRollPoint(kStreamId), 0);
}

}  // namespace
}  // namespace quil::test
