// Data storage: the stored-value lists, the storage commands and the watcher.
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "quil/device.h"
#include "quil/storage.h"
#include "quil/stored_values.h"

namespace {

using quil::test::DeviceTest;

// Waits (bounded) until cond holds.
bool waitUntil(const std::function<bool()>& cond, int limitMs = 5000) {
    const std::uint64_t end = quil::platform::monotonicMs() + static_cast<std::uint64_t>(limitMs);
    while (!cond()) {
        if (quil::platform::monotonicMs() > end) return false;
        quil::platform::sleepMs(1);
    }
    return true;
}

constexpr std::int32_t kUntouched = 1234;

struct Parsed {
    std::int32_t rc, count = kUntouched;
    std::vector<double> values;
    bool untouched = true;  // no element of the array was written
};

template <class T>
Parsed parse(std::int32_t (*f)(const char*, std::int32_t, T*, std::int32_t*), const char* text, std::int32_t cap) {
    std::vector<T> v(16, T(77));
    Parsed p{};
    p.rc = f(text, cap, v.data(), &p.count);
    for (T x : v) p.untouched = p.untouched && x == T(77);
    for (int i = 0; p.rc == QUIL_OK && i < p.count; ++i) p.values.push_back(v[static_cast<std::size_t>(i)]);
    return p;
}

TEST(StorageValues, ListsSpecialTextsEmptyTokensCapacityAndErrorReplies) {
    const std::string full = "AO,+001.250,-FFFFFFF,,XXXXXXXX";
    const struct {
        bool hex;
        std::string text;
        std::int32_t capacity, rc, count;
        std::vector<double> values;
    } cases[] = {
        {false, full, 10, QUIL_OK, 4, {1.25, -999.0, 0.0, -999.0}},
        {false, full, 2, QUIL_OK, 2, {1.25, -999.0}},
        {false, full, -5, QUIL_OK, 0, {}},
        {false, "AO", 10, QUIL_OK, 0, {}},
        // A trailing comma adds no empty token; one after the letters does.
        {false, "AO,2.5,", 10, QUIL_OK, 1, {2.5}},
        {false, "AO,,,7", 10, QUIL_OK, 3, {0.0, 0.0, 7.0}},
        // Special texts only whole; a bad token past the capacity is unread.
        {false, "AO,1,XXXXXXXXX", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1, 5", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1,abc", 1, QUIL_OK, 1, {1.0}},
        // 15 characters are a token; 16 fail the read.
        {false, "AO,1.2345678901234", 10, QUIL_OK, 1, {static_cast<float>(1.2345678901234)}},
        {false, "AO,1,1.23456789012345", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        // Error replies: the third field's number, translated.
        {false, "ER,AO,64", 10, QUIL_ERROR_RANGE, kUntouched, {}},
        {false, "ER,AOAOAOAOAOAO,0000000000000064", 10, QUIL_ERROR_RANGE, kUntouched, {}},
        {false, "ER", 10, QUIL_ERROR_UNKNOWN, kUntouched, {}},
        {true, "AR,0000000A,FFFFFFFF,+FFFFFFF", 10, QUIL_OK, 3, {10, -1, -999}},
        {true, "AR,123456789ABCDEF,1f", 10, QUIL_OK, 2, {-1985229329, 31}},  // the low 32 bits
        {true, "AR,1,,2", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "AR,1,-1", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "AR,0123456789ABCDEF", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "ER,AR,61", 10, QUIL_ERROR_PARAMETER, kUntouched, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " capacity " + std::to_string(c.capacity));
        const Parsed p = c.hex ? parse(quil::parseStoredHex, c.text.c_str(), c.capacity)
                               : parse(quil::parseStoredFloats, c.text.c_str(), c.capacity);
        EXPECT_EQ(p.rc, c.rc);
        EXPECT_EQ(p.count, c.count);
        EXPECT_EQ(p.values, c.values);
        EXPECT_TRUE(c.rc == QUIL_OK || p.untouched) << "a refused list leaves the caller's array as it was";
    }
}

TEST(StorageValues, ConversionsIgnoreTheApplicationsLocale) {
    // The first two are POSIX names; the C library of Windows knows "de_DE".
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "de_DE.utf8") &&
        !std::setlocale(LC_ALL, "de_DE"))
        GTEST_SKIP() << "no locale with a decimal comma installed";
    ASSERT_EQ(std::atof("2.5"), 2.0) << "the locale reads ',' as the decimal point";
    const Parsed p = parse(quil::parseStoredFloats, "AO,2.5,-12.5,0.75", 10);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(p.values, (std::vector<double>{2.5, -12.5, 0.75}));
}

class Storage : public DeviceTest {};

void ignoreStorage(int32_t) {}

TEST_F(Storage, ArgumentErrorsSendNothing) {
    float f[4] = {};
    int32_t n = kUntouched, ls = 0, e[4] = {};
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"AO OUT 0", [&] { return QUIL_DataStorageGetData(kId, 0, 4, f, &n); }, QUIL_ERROR_RANGE},
        {"AO OUT 9 and null", [&] { return QUIL_DataStorageGetData(kId, 9, 4, nullptr, nullptr); }, QUIL_ERROR_RANGE},
        {"AN null outs", [&] { return QUIL_DataStorageGetStatus(kId, &ls, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"AR channel 4", [&] { return QUIL_GetEncoderStoreValue(kId, 4, 4, e, &n); }, QUIL_ERROR_PARAMETER},
        {"watcher null", [&] { return QUIL_SetOneDataStorage(kId, nullptr); }, QUIL_ERROR_PARAMETER},
        {"AS closed device", [&] { return QUIL_DataStorageStart(7); }, QUIL_ERROR_OPEN},
        {"watcher closed device", [&] { return QUIL_SetOneDataStorage(7, ignoreStorage); }, QUIL_ERROR_OPEN},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(quil::storagePollThreads(kId), 0);
    // Anything sent above would arrive before this line.
    ASSERT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"AP"});
}

TEST_F(Storage, RecordingControlsModeRecoveryStatusAndReadOut) {
    auto& m = sim.model();
    m.setStorageCycleMs(1);
    m.setOutValue(3, "-0012.500");
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    m.setMode(quil::sim::Model::kSetting);
    sim.clearReceived();
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);
    EXPECT_EQ(sent(3), (std::vector<std::string>{"AS", "R0", "AS"})) << "the start recovers the mode";
    int32_t ls = -1, outs[8] = {};
    ASSERT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs), QUIL_OK);
    EXPECT_EQ(ls, 1);
    ASSERT_TRUE(waitUntil([&] { return m.storedCount(1) >= 3; }));
    ASSERT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs), QUIL_OK);
    EXPECT_EQ(ls, 0);
    const auto points = static_cast<int32_t>(m.storedCount(1));
    ASSERT_GE(points, 3);
    for (int32_t k : outs) EXPECT_EQ(k, points);
    std::vector<float> v(static_cast<std::size_t>(points) + 5, 77.0f);
    int32_t n = -1;
    sim.clearReceived();
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 3, points + 5, v.data(), &n), QUIL_OK);
    ASSERT_EQ(n, points);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(v[static_cast<std::size_t>(i)], -12.5f);
    EXPECT_EQ(v[static_cast<std::size_t>(n)], 77.0f);
    EXPECT_EQ(sent(1), (std::vector<std::string>{"AO,03"}));
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 3, 4, v.data(), &n), QUIL_OK);
    EXPECT_EQ(n, 0);
}

// A reply without the status number writes nothing (0 would mean "stopped").
TEST_F(Storage, StatusWritesOneNumberPerReportedOutAndAtMostEight) {
    const std::vector<int32_t> none(10, -7);
    const struct {
        const char* reply;
        int32_t rc, ls;
        std::vector<int32_t> outs;  // all ten entries of the caller's array
    } cases[] = {
        {"AN,0,0,5,0\r\n", QUIL_OK, 0, {0, 5, 0, -7, -7, -7, -7, -7, -7, -7}},
        {"AN,0,1,2,3,4,5,6,7,8,9,10\r\n", QUIL_OK, 0, {1, 2, 3, 4, 5, 6, 7, 8, -7, -7}},
        {"AN\r\n", QUIL_ERROR_REPLY, -7, none},
    };
    for (const auto& c : cases) {
        sim.script().replyOnce(c.reply);
        int32_t ls = -7;
        std::vector<int32_t> outs = none;
        EXPECT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs.data()), c.rc) << c.reply;
        EXPECT_EQ(ls, c.ls) << c.reply;
        EXPECT_EQ(outs, c.outs) << c.reply;
    }
}

TEST_F(Storage, ReadOutRepliesWithoutValuesOrWithAnError) {
    const struct {
        const char* reply;
        bool encoder;
        int32_t rc;
        int32_t count;
    } cases[] = {
        {"AO\r\n", false, QUIL_OK, 0},
        {"AR\r\n", true, QUIL_ERROR_NO_DATA, 0},
        {"ER,AO\r\n", false, QUIL_ERROR_UNKNOWN, kUntouched},
        {"ER,AR,61,9,9,9,9,9,9,9,9,9\r\n", true, QUIL_ERROR_PARAMETER, kUntouched},
        {"AO,1,1234567890123456\r\n", false, QUIL_ERROR_REPLY, kUntouched},
        {"XO,1.5\r\n", false, QUIL_ERROR_REPLY, kUntouched},  // a garbled line is no list
        {"ARX,1\r\n", true, QUIL_ERROR_REPLY, kUntouched},
    };
    for (const auto& c : cases) {
        sim.script().replyOnce(c.reply);
        int32_t n = kUntouched, e[4];
        float f[4];
        const int32_t rc =
            c.encoder ? QUIL_GetEncoderStoreValue(kId, 2, 4, e, &n) : QUIL_DataStorageGetData(kId, 2, 4, f, &n);
        EXPECT_EQ(rc, c.rc) << c.reply;
        EXPECT_EQ(n, c.count) << c.reply;
    }
}

TEST_F(Storage, MillionsOfBytesArrivingInPieces) {
    constexpr std::size_t kPoints = quil::sim::Model::kMaxStoredPoints;
    std::vector<std::string> tokens(kPoints);
    for (std::size_t i = 0; i < kPoints; ++i)
        tokens[i] = i % 1000 == 999 ? "XXXXXXXX" : std::to_string(static_cast<int>(i % 2000) - 1000) + ".125";
    sim.model().loadStoredValues(2, tokens);
    sim.script().sendInPieces(1 << 20, 2);
    std::vector<float> v(kPoints + 1, 77.0f);
    int32_t n = 0;
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 2, static_cast<int32_t>(v.size()), v.data(), &n), QUIL_OK);
    ASSERT_EQ(n, static_cast<int32_t>(kPoints));
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kPoints; ++i)
        wrong += v[i] != (i % 1000 == 999 ? -999.0f : static_cast<float>(std::atof(tokens[i].c_str())));
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(v[kPoints], 77.0f);
}

std::atomic<int> g_calls{0};
std::atomic<int> g_callsB{0};
std::atomic<int32_t> g_lastId{-1};

void countCall(int32_t id) {
    g_lastId = id;
    ++g_calls;
}
void countCallB(int32_t) { ++g_callsB; }

class StorageWatcher : public DeviceTest {
protected:
    // Waits for at least n more lines (status requests) at the controller.
    bool moreRequests(std::size_t n) { return sim.waitReceived(sim.receivedLines().size() + n, 5000); }
};

TEST_F(StorageWatcher, NotCalledWhileRecordingOrWithoutData) {
    auto& m = sim.model();
    m.loadStoredValues(1, {"1.0"});
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);  // recording, OUT1 holds data
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(moreRequests(20));
    // Stopped, nothing stored (answered as recording until both are done).
    sim.script().replyTo("AN", "AN,1,0,0,0,0,0,0,0,0\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    sim.script().clear();
    ASSERT_TRUE(moreRequests(20));
    EXPECT_EQ(g_calls.load(), 0);
    // Stopped with data: now it is called.
    m.loadStoredValues(6, {"2.0"});
    ASSERT_TRUE(waitUntil([] { return g_calls >= 1; }));
}

TEST_F(StorageWatcher, AFailedStatusReadNeverCallsBack) {
    // Counts left by a read while recording, then every read refused.
    sim.script().replyTo("AN", "AN,1,0,5\r\n", 1).replyTo("AN", "ER,AN,99\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(moreRequests(30));
    EXPECT_EQ(g_calls, 0);
}

TEST_F(StorageWatcher, FailedPassesAndShorterRepliesKeepEarlierNumbers) {
    // Refusals do not end the watch; OUT4's number outlives shorter replies.
    sim.script()
        .replyTo("AN", "ER,AN,99\r\n", 3)
        .replyTo("AN", "AN,1,0,0,0,9\r\n", 1)
        .replyTo("AN", "AN,0,0\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(waitUntil([] { return g_calls >= 1; }));
    EXPECT_EQ(g_lastId.load(), kId);
    EXPECT_EQ(quil::storagePollThreads(kId), 1);
}

TEST_F(StorageWatcher, SecondRegistrationReplacesCallbackAndThread) {
    sim.model().loadStoredValues(1, {"1.0"});
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(waitUntil([] { return g_calls >= 1; }));
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCallB), QUIL_OK);
    EXPECT_EQ(quil::storagePollThreads(kId), 1);
    // The first thread has been joined: the first callback is never called again.
    const int callsA = g_calls;
    ASSERT_TRUE(waitUntil([] { return g_callsB >= 3; }));
    EXPECT_EQ(g_calls.load(), callsA);
}

TEST_F(StorageWatcher, NoAnswerEndsTheThread) {
    sim.model().loadStoredValues(1, {"1.0"});
    sim.script().silenceTo("AN");
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    // The unanswered status request times out after the reply wait.
    ASSERT_TRUE(waitUntil([&] { return quil::storagePollThreads(kId) == 0; }, 10000));
    EXPECT_EQ(g_calls.load(), 0);
    // It stays recorded until the device is closed or the watcher restarted.
    EXPECT_NE(quil::device(kId).pollThread, nullptr);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(waitUntil([] { return g_calls >= 1; }));
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    EXPECT_EQ(quil::storagePollThreads(kId), 0);
}

std::atomic<bool> g_inside{false};

void slowCallback(int32_t) {
    g_inside = true;
    ++g_calls;
    quil::platform::sleepMs(50);
    g_inside = false;
}

TEST_F(StorageWatcher, CloseReturnsAfterTheThreadEnded) {
    sim.model().loadStoredValues(1, {"1.0"});
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, slowCallback), QUIL_OK);
    ASSERT_TRUE(waitUntil([] { return g_inside.load(); }));
    ASSERT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    EXPECT_FALSE(g_inside.load());
    EXPECT_EQ(quil::storagePollThreads(kId), 0);
    EXPECT_EQ(quil::device(kId).pollThread, nullptr);
}

std::atomic<int> g_readCount{-1};
std::atomic<int> g_restartResult{0};
float g_read[4];

// Reads and clears the storage, and tries (wrongly) to restart its watcher.
void readAndClear(int32_t id) {
    int32_t n = 0;
    if (QUIL_DataStorageGetData(id, 3, 4, g_read, &n) == QUIL_OK) g_readCount = n;
    QUIL_DataStorageInit(id);
    g_restartResult = QUIL_SetOneDataStorage(id, readAndClear);
    ++g_calls;
}

TEST_F(StorageWatcher, CallbackMayUseTheDevice) {
    sim.model().loadStoredValues(3, {"1.5", "-2.5"});
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, readAndClear), QUIL_OK);
    ASSERT_TRUE(waitUntil([] { return g_calls >= 1; }));
    EXPECT_EQ(g_readCount.load(), 2);
    EXPECT_EQ(g_read[1], -2.5f);
    EXPECT_EQ(g_restartResult.load(), QUIL_ERROR_PARAMETER);
    // Still polling, and with the storage cleared not called again.
    ASSERT_TRUE(moreRequests(10));
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(quil::storagePollThreads(kId), 1);
}

// A read-out and the watcher's status requests share the link.
TEST_F(StorageWatcher, ReadOutsWhileTheWatcherPollsGetTheirOwnReplies) {
    constexpr int kPoints = 20000;
    sim.model().loadStoredValues(2, std::vector<std::string>(kPoints, "+001.250"));
    sim.script().replyTo("AN", "AN,1,0,5,0\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    std::vector<float> v(kPoints);
    int failed = 0;
    for (int i = 0; i < 30; ++i) {
        int32_t n = 0;
        v.assign(kPoints, 0.0f);
        failed += QUIL_DataStorageGetData(kId, 2, kPoints, v.data(), &n) != QUIL_OK || n != kPoints ||
                  v.front() != 1.25f || v.back() != 1.25f;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(quil::storagePollThreads(kId), 1) << "the watcher got only status replies";
}

}  // namespace
