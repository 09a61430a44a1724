// Data storage: the stored-value lists, the storage commands against the
// simulated controller, the storage watcher and the trace lines.
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "log_dir.h"
#include "quil/device.h"
#include "quil/storage.h"
#include "quil/stored_values.h"

namespace {

using quil::test::DeviceTest;

// Waits (bounded) until cond holds; the bound only keeps a broken build from
// hanging.
bool waitUntil(const std::function<bool()>& cond, int limitMs = 5000) {
    const std::uint64_t end = quil::platform::monotonicMs() + static_cast<std::uint64_t>(limitMs);
    while (!cond()) {
        if (quil::platform::monotonicMs() > end) return false;
        quil::platform::sleepMs(1);
    }
    return true;
}

// ------------------------------------------------------------ the list parse

struct Parsed {
    std::int32_t rc;
    std::int32_t count;
    std::vector<double> values;
    bool untouched = true;  // no element of the array was written
};

constexpr std::int32_t kUntouched = 1234;

Parsed parseFloats(const char* text, std::int32_t capacity) {
    std::vector<float> v(16, 77.0f);
    Parsed p{0, kUntouched, {}};
    p.rc = quil::parseStoredFloats(text, capacity, v.data(), &p.count);
    for (auto x : v) p.untouched = p.untouched && x == 77.0f;
    if (p.rc == QUIL_OK)
        for (int i = 0; i < p.count; ++i) p.values.push_back(v[static_cast<std::size_t>(i)]);
    return p;
}

Parsed parseHex(const char* text, std::int32_t capacity) {
    std::vector<std::int32_t> v(16, 77);
    Parsed p{0, kUntouched, {}};
    p.rc = quil::parseStoredHex(text, capacity, v.data(), &p.count);
    for (auto x : v) p.untouched = p.untouched && x == 77;
    if (p.rc == QUIL_OK)
        for (int i = 0; i < p.count; ++i) p.values.push_back(v[static_cast<std::size_t>(i)]);
    return p;
}

TEST(StorageValues, ListsSpecialTextsEmptyTokensCapacityAndErrorReplies) {
    const struct {
        bool hex;
        const char* text;
        std::int32_t capacity;
        std::int32_t rc;
        std::int32_t count;
        std::vector<double> values;
    } cases[] = {
        {false, "AO,+001.250,-FFFFFFF,,XXXXXXXX", 10, QUIL_OK, 4, {1.25, -999.0, 0.0, -999.0}},
        {false, "AO,+001.250,-FFFFFFF,,XXXXXXXX", 2, QUIL_OK, 2, {1.25, -999.0}},
        {false, "AO,+001.250,-FFFFFFF,,XXXXXXXX", 0, QUIL_OK, 0, {}},
        {false, "AO,+001.250,-FFFFFFF,,XXXXXXXX", -5, QUIL_OK, 0, {}},
        {false, "AO", 10, QUIL_OK, 0, {}},
        {false, "AO,", 10, QUIL_OK, 0, {}},
        // A trailing comma ends the last token without adding an empty one;
        // a comma right after the letters' comma is an empty token.
        {false, "AO,2.5,", 10, QUIL_OK, 1, {2.5}},
        {false, "AO,,", 10, QUIL_OK, 1, {0.0}},
        {false, "AO,,,7", 10, QUIL_OK, 3, {0.0, 0.0, 7.0}},
        // The letters are not compared with the command.
        {false, "XY,-0.5", 10, QUIL_OK, 1, {-0.5}},
        // Special texts only as whole tokens; anything else that is not a
        // decimal fails the read, also after good tokens.
        {false, "AO,+FFFFFFF,XXXXXXXX", 10, QUIL_OK, 2, {-999.0, -999.0}},
        {false, "AO,1,XXXXXXXXX", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1, XXXXXXXX", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1,abc", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1,nan", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1,1e30", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1,5abc", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {false, "AO,1, 5", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        // ... unless the capacity ends the walk before it.
        {false, "AO,1,abc", 1, QUIL_OK, 1, {1.0}},
        // 15 characters are a token; 16 fail the read, also after good ones.
        {false, "AO,1.2345678901234", 10, QUIL_OK, 1, {static_cast<float>(1.2345678901234)}},
        {false, "AO,1,1.23456789012345", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        // ... unless the capacity ends the walk before the long token.
        {false, "AO,1,1.23456789012345", 1, QUIL_OK, 1, {1.0}},
        // Error replies: the third field's number, translated.
        {false, "ER,AO,64", 10, QUIL_ERROR_RANGE, kUntouched, {}},
        {false, "ER,AO,51", 10, QUIL_ERROR_MODE, kUntouched, {}},
        {false, "ER,AO,64,1,2,3,4,5,6,7,8,9,10", 10, QUIL_ERROR_RANGE, kUntouched, {}},
        {false, "ER,AOAOAOAOAOAO,0000000000000064", 10, QUIL_ERROR_RANGE, kUntouched, {}},
        {false, "ER,AO,,64", 10, QUIL_ERROR_UNKNOWN, kUntouched, {}},
        {false, "ER,AO,", 10, QUIL_ERROR_UNKNOWN, kUntouched, {}},
        {false, "ER,AO", 10, QUIL_ERROR_UNKNOWN, kUntouched, {}},
        {false, "ER", 10, QUIL_ERROR_UNKNOWN, kUntouched, {}},
        {true, "AR,0000000A,FFFFFFFF,+FFFFFFF", 10, QUIL_OK, 3, {10, -1, -999}},
        {true, "AR,FFFFFFF0,7fffffff,80000000", 10, QUIL_OK, 3, {-16, 2147483647, -2147483648.0}},
        // Only the low 32 bits of a longer number.
        {true, "AR,123456789ABCDEF,1f", 10, QUIL_OK, 2, {-1985229329, 31}},
        // A token that is not hexadecimal digits fails the read.
        {true, "AR,1,", 10, QUIL_OK, 1, {1}},
        {true, "AR,1,,2", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "AR,1,zz", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "AR,1,-1", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "AR,1,0x1f", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "AR,1, 1F", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "AR", 10, QUIL_OK, 0, {}},
        {true, "AR,", 10, QUIL_OK, 0, {}},
        {true, "AR,0123456789ABCDEF", 10, QUIL_ERROR_REPLY, kUntouched, {}},
        {true, "ER,AR,61", 10, QUIL_ERROR_PARAMETER, kUntouched, {}},
    };
    for (const auto& c : cases) {
        const Parsed p = c.hex ? parseHex(c.text, c.capacity) : parseFloats(c.text, c.capacity);
        EXPECT_EQ(p.rc, c.rc) << c.text << " capacity " << c.capacity;
        EXPECT_EQ(p.count, c.count) << c.text << " capacity " << c.capacity;
        EXPECT_EQ(p.values, c.values) << c.text << " capacity " << c.capacity;
        // A refused list leaves the caller's array as it was.
        if (c.rc != QUIL_OK) {
            EXPECT_TRUE(p.untouched) << c.text;
        }
    }
}

// A random token of the shapes a controller sends and of some it does not.
std::string randomDecimal(std::mt19937& rng) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    static const char* const odd[] = {
        "inf",    "-nan", "1e5", "-2.5E-3",         " 4.5",           "7.25x", ".", "-", "+.5", "0x1p4", "1e-45",
        "3.5e38", "1e39", "-0",  "00000000000001.", "900719925474099"};
    if (pick(10) == 0) return odd[pick(sizeof odd / sizeof *odd)];
    std::string t;
    if (pick(3) == 0) t += pick(2) ? '+' : '-';
    const int intDigits = pick(9), fracDigits = pick(9);
    for (int i = 0; i < intDigits; ++i) t += static_cast<char>('0' + pick(10));
    if (fracDigits > 0 || pick(4) == 0) t += '.';
    for (int i = 0; i < fracDigits; ++i) t += static_cast<char>('0' + pick(10));
    return t.substr(0, quil::kStoredTokenMax);
}

std::string randomHex(std::mt19937& rng) {
    static const char digits[] = "0123456789abcdefABCDEF";
    static const char* const odd[] = {"-1", "+7f", "0x10", " ff", "g1", "-FFFFFFFFFFFFFF", "0X"};
    if (rng() % 10 == 0) return odd[rng() % (sizeof odd / sizeof *odd)];
    std::string t;
    for (unsigned i = 0, n = rng() % 16; i < n; ++i) t += digits[rng() % (sizeof digits - 1)];
    return t;
}

bool sameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Tokens of the controller's forms convert as the C library reads them;
// every other token is refused and its output left alone.
TEST(StorageValues, TokenConversionsGiveTheCLibrarysResults) {
    const std::regex decimalForm("[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)");
    const std::regex hexForm("[0-9A-Fa-f]{1,15}");
    std::mt19937 rng(20240611);
    for (int i = 0; i < 200000; ++i) {
        const std::string t = randomDecimal(rng);
        float v = 77.0f;
        const bool ok = quil::storedDecimal(t, &v);
        ASSERT_EQ(ok, t.empty() || std::regex_match(t, decimalForm)) << "\"" << t << "\"";
        const float expected = ok ? static_cast<float>(std::strtod(t.c_str(), nullptr)) : 77.0f;
        ASSERT_TRUE(sameFloat(v, expected)) << "\"" << t << "\"";
    }
    for (int i = 0; i < 100000; ++i) {
        const std::string t = randomHex(rng);
        std::int32_t v = 77;
        const bool ok = quil::storedHex(t, &v);
        ASSERT_EQ(ok, std::regex_match(t, hexForm)) << "\"" << t << "\"";
        const auto low32 = static_cast<std::uint32_t>(std::strtoll(t.c_str(), nullptr, 16));
        ASSERT_EQ(v, ok ? static_cast<std::int32_t>(low32) : 77) << "\"" << t << "\"";
    }
}

TEST(StorageValues, ConversionsIgnoreTheApplicationsLocale) {
    // The first two are POSIX names; the C library of Windows knows "de_DE".
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "de_DE.utf8") &&
        !std::setlocale(LC_ALL, "de_DE"))
        GTEST_SKIP() << "no locale with a decimal comma installed";
    ASSERT_EQ(std::atof("2.5"), 2.0) << "the locale reads ',' as the decimal point";
    const Parsed p = parseFloats("AO,2.5,-12.5,0.75", 10);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(p.values, (std::vector<double>{2.5, -12.5, 0.75}));
}

// ------------------------------------------------------------ against the simulator

class Storage : public DeviceTest {};

void ignoreStorage(int32_t) {}

TEST_F(Storage, ArgumentErrorsSendNothing) {
    float f[4] = {};
    int32_t n = kUntouched, ls = 0, outs[8] = {}, e[4] = {};
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"AO OUT 0", [&] { return QUIL_DataStorageGetData(kId, 0, 4, f, &n); }, QUIL_ERROR_RANGE},
        {"AO OUT 9", [&] { return QUIL_DataStorageGetData(kId, 9, 4, f, &n); }, QUIL_ERROR_RANGE},
        {"AO OUT 9 and null", [&] { return QUIL_DataStorageGetData(kId, 9, 4, nullptr, nullptr); }, QUIL_ERROR_RANGE},
        {"AO null values", [&] { return QUIL_DataStorageGetData(kId, 1, 4, nullptr, &n); }, QUIL_ERROR_NULL_POINTER},
        {"AO null count", [&] { return QUIL_DataStorageGetData(kId, 8, 4, f, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"AN null lsStorage", [&] { return QUIL_DataStorageGetStatus(kId, nullptr, outs); }, QUIL_ERROR_NULL_POINTER},
        {"AN null outs", [&] { return QUIL_DataStorageGetStatus(kId, &ls, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"AR channel 0", [&] { return QUIL_GetEncoderStoreValue(kId, 0, 4, e, &n); }, QUIL_ERROR_PARAMETER},
        {"AR channel 4", [&] { return QUIL_GetEncoderStoreValue(kId, 4, 4, e, &n); }, QUIL_ERROR_PARAMETER},
        {"AR null values", [&] { return QUIL_GetEncoderStoreValue(kId, 1, 4, nullptr, &n); }, QUIL_ERROR_PARAMETER},
        {"AR null count", [&] { return QUIL_GetEncoderStoreValue(kId, 3, 4, e, nullptr); }, QUIL_ERROR_PARAMETER},
        {"watcher null", [&] { return QUIL_SetOneDataStorage(kId, nullptr); }, QUIL_ERROR_PARAMETER},
        {"AS closed device", [&] { return QUIL_DataStorageStart(7); }, QUIL_ERROR_OPEN},
        {"AO closed device", [&] { return QUIL_DataStorageGetData(7, 0, 4, nullptr, nullptr); }, QUIL_ERROR_OPEN},
        {"AR closed device", [&] { return QUIL_GetEncoderStoreValue(7, 0, 4, e, &n); }, QUIL_ERROR_OPEN},
        {"watcher closed device", [&] { return QUIL_SetOneDataStorage(7, ignoreStorage); }, QUIL_ERROR_OPEN},
        {"AQ device 64", [&] { return QUIL_DataStorageInit(64); }, QUIL_ERROR_DEVICE_ID},
        {"AN device -1", [&] { return QUIL_DataStorageGetStatus(-1, &ls, outs); }, QUIL_ERROR_DEVICE_ID},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(quil::storagePollThreads(kId), 0);
    // Anything sent above would arrive before this line.
    ASSERT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"AP"});
}

TEST_F(Storage, RecordingControlsStatusAndReadOut) {
    auto& m = sim.model();
    m.setStorageCycleMs(1);
    m.setOutValue(3, "-0012.500");
    m.setOutValue(8, "XXXXXXXX");
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);
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
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 8, 2, v.data(), &n), QUIL_OK);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(v[0], -999.0f);
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 1, 1, v.data(), &n), QUIL_OK);
    EXPECT_EQ(v[0], 1.0f);
    EXPECT_EQ(sent(3), (std::vector<std::string>{"AO,03", "AO,08", "AO,01"}));

    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs), QUIL_OK);
    for (int32_t k : outs) EXPECT_EQ(k, 0);
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 3, 4, v.data(), &n), QUIL_OK);
    EXPECT_EQ(n, 0);
}

TEST_F(Storage, ControlsWantTheLettersAloneAndRecoverTheMode) {
    const struct {
        const char* reply;
        std::function<int32_t()> call;
    } cases[] = {
        {"AS,1\r\n", [&] { return QUIL_DataStorageStart(kId); }},
        {"AP,0\r\n", [&] { return QUIL_DataStorageStop(kId); }},
        {"AQ,0,0\r\n", [&] { return QUIL_DataStorageInit(kId); }},
    };
    for (const auto& c : cases) {
        sim.script().replyOnce(c.reply);
        EXPECT_EQ(c.call(), QUIL_ERROR_REPLY) << c.reply;
    }
    // "AP," splits into one field: a trailing comma adds none.
    sim.script().replyOnce("AP,\r\n");
    EXPECT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);

    sim.model().setMode(quil::sim::Model::kSetting);
    sim.clearReceived();
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);
    EXPECT_EQ(sent(3), (std::vector<std::string>{"AS", "R0", "AS"}));
    // The read-outs have no mode recovery: the refusal is the result.
    sim.model().setMode(quil::sim::Model::kSetting);
    sim.clearReceived();
    float v[2];
    int32_t n = kUntouched;
    EXPECT_EQ(QUIL_DataStorageGetData(kId, 1, 2, v, &n), QUIL_ERROR_MODE);
    EXPECT_EQ(n, kUntouched);
    int32_t ls = 0, outs[8];
    ASSERT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs), QUIL_OK);
    EXPECT_EQ(sent(4), (std::vector<std::string>{"AO,01", "AN", "R0", "AN"}));
}

TEST_F(Storage, StatusWritesOneNumberPerReportedOutAndAtMostEight) {
    const struct {
        const char* reply;
        int32_t ls;
        std::vector<int32_t> outs;  // all ten entries of the caller's array
    } cases[] = {
        {"AN,0,0,5,0\r\n", 0, {0, 5, 0, -7, -7, -7, -7, -7, -7, -7}},
        {"AN,1\r\n", 1, {-7, -7, -7, -7, -7, -7, -7, -7, -7, -7}},
        {"AN,0,1,2,3,4,5,6,7,8,9,10\r\n", 0, {1, 2, 3, 4, 5, 6, 7, 8, -7, -7}},
    };
    for (const auto& c : cases) {
        sim.script().replyOnce(c.reply);
        int32_t ls = -7;
        std::vector<int32_t> outs(10, -7);
        ASSERT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs.data()), QUIL_OK) << c.reply;
        EXPECT_EQ(ls, c.ls) << c.reply;
        EXPECT_EQ(outs, c.outs) << c.reply;
    }
    // A reply without the status number is no status: nothing is written
    // (the watcher would take a made-up 0 for "recording has stopped").
    sim.script().replyOnce("AN\r\n");
    int32_t ls = -7;
    std::vector<int32_t> outs(10, -7);
    EXPECT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs.data()), QUIL_ERROR_REPLY);
    EXPECT_EQ(ls, -7);
    EXPECT_EQ(outs, std::vector<int32_t>(10, -7));
}

TEST_F(Storage, ReadOutRepliesWithoutValuesOrWithAnError) {
    const struct {
        const char* reply;
        bool encoder;
        int32_t rc;
        int32_t count;
    } cases[] = {
        {"AO\r\n", false, QUIL_OK, 0},
        {"AO,\r\n", false, QUIL_OK, 0},
        {"AR\r\n", true, QUIL_ERROR_NO_DATA, 0},
        {"AR,\r\n", true, QUIL_ERROR_NO_DATA, 0},
        {"ER,AO,64\r\n", false, QUIL_ERROR_RANGE, kUntouched},
        {"ER,AO\r\n", false, QUIL_ERROR_UNKNOWN, kUntouched},
        {"ER,AR,61,9,9,9,9,9,9,9,9,9\r\n", true, QUIL_ERROR_PARAMETER, kUntouched},
        {"AO,1,1234567890123456\r\n", false, QUIL_ERROR_REPLY, kUntouched},
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
    for (std::size_t i = 0; i < kPoints; ++i) {
        char t[16];
        if (i % 1000 == 999)
            std::snprintf(t, sizeof t, "%s", i % 2000 == 999 ? "XXXXXXXX" : "-FFFFFFF");
        else
            std::snprintf(t, sizeof t, "%+09.3f", static_cast<double>(static_cast<int>(i % 200000) - 100000) / 1000);
        tokens[i] = t;
    }
    sim.model().loadStoredValues(2, tokens);
    sim.script().sendInPieces(1 << 20, 2);
    std::vector<float> v(kPoints + 1, 77.0f);
    int32_t n = 0;
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 2, static_cast<int32_t>(v.size()), v.data(), &n), QUIL_OK);
    ASSERT_EQ(n, static_cast<int32_t>(kPoints));
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kPoints; ++i) {
        const float expected = i % 1000 == 999 ? -999.0f : static_cast<float>(std::atof(tokens[i].c_str()));
        wrong += v[i] != expected;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(v[kPoints], 77.0f);
    // The caller's capacity ends the walk.
    ASSERT_EQ(QUIL_DataStorageGetData(kId, 2, 1000, v.data(), &n), QUIL_OK);
    EXPECT_EQ(n, 1000);
    EXPECT_EQ(v[999], -999.0f);
}

TEST_F(Storage, EncoderValuesOfTheRecording) {
    auto& m = sim.model();
    m.setStorageCycleMs(1);
    m.setStorageLimit(4);
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);
    // The controller stops by itself once the storage is full.
    ASSERT_TRUE(waitUntil([&] { return !m.recording(); }));
    const std::vector<int32_t> expected[3] = {{0, 1, 2, 3}, {0, -1, -2, -3}, {0, 3, 6, 9}};
    for (int32_t ch = 1; ch <= 3; ++ch) {
        sim.clearReceived();
        std::vector<int32_t> v(8, 77);
        int32_t n = 0;
        ASSERT_EQ(QUIL_GetEncoderStoreValue(kId, ch, 8, v.data(), &n), QUIL_OK);
        EXPECT_EQ(sent(1), std::vector<std::string>{"AR,0" + std::to_string(ch)});
        v.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(v, expected[ch - 1]) << "channel " << ch;
    }
    m.loadEncoderValues(2, {"0000000A", "FFFFFFFF", "+FFFFFFF"});
    std::vector<int32_t> v(2, 77);
    int32_t n = 0;
    ASSERT_EQ(QUIL_GetEncoderStoreValue(kId, 2, 2, v.data(), &n), QUIL_OK);
    EXPECT_EQ(v, (std::vector<int32_t>{10, -1}));
}

class StorageOtherModel : public DeviceTest {
protected:
    StorageOtherModel() : DeviceTest(12) {}
};

TEST_F(StorageOtherModel, EncoderReadOutNeedsAnEncoderModel) {
    int32_t v[4], n = kUntouched;
    EXPECT_EQ(QUIL_GetEncoderStoreValue(kId, 1, 4, v, &n), QUIL_ERROR_UNSUPPORTED);
    EXPECT_EQ(QUIL_GetEncoderStoreValue(kId, 9, 4, nullptr, nullptr), QUIL_ERROR_UNSUPPORTED);
    EXPECT_EQ(n, kUntouched);
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"AS"});
}

// ------------------------------------------------------------ the watcher

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

TEST_F(StorageWatcher, CalledOnEveryPassWhileStoppedWithData) {
    sim.script().replyTo("AN", "AN,0,0,5,0\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(waitUntil([] { return g_calls >= 5; }));
    EXPECT_EQ(g_lastId.load(), kId);
    EXPECT_EQ(quil::storagePollThreads(kId), 1);
}

TEST_F(StorageWatcher, NotCalledWhileRecordingOrWithoutData) {
    auto& m = sim.model();
    m.loadStoredValues(1, {"1.0"});
    ASSERT_EQ(QUIL_DataStorageStart(kId), QUIL_OK);  // recording, OUT1 holds data
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(moreRequests(20));
    // Stopped, nothing stored. Between the stop and the clear the controller
    // is stopped with data, and a pass that runs then is right to call back:
    // it answers "recording" until both are done.
    sim.script().replyTo("AN", "AN,1,0,0,0,0,0,0,0,0\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_DataStorageStop(kId), QUIL_OK);
    ASSERT_EQ(QUIL_DataStorageInit(kId), QUIL_OK);
    sim.script().clear();
    ASSERT_TRUE(moreRequests(20));
    // Recording by the reply's word, whatever the numbers.
    sim.script().replyTo("AN", "AN,1,9,9,9,9,9,9,9,9\r\n", 20);
    ASSERT_TRUE(moreRequests(20));
    EXPECT_EQ(g_calls.load(), 0);
    // Stopped with data: now it is called.
    m.loadStoredValues(6, {"2.0"});
    ASSERT_TRUE(waitUntil([] { return g_calls >= 1; }));
}

TEST_F(StorageWatcher, AFailedStatusReadNeverCallsBack) {
    // Counts left by a read during recording, then every read refused: a
    // refused read reports no stop, so no "recording finished" callback.
    sim.script().replyTo("AN", "AN,1,0,5\r\n", 1).replyTo("AN", "ER,AN,99\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(moreRequests(30));
    EXPECT_EQ(g_calls, 0);
}

TEST_F(StorageWatcher, FailedPassesAndShorterRepliesKeepEarlierNumbers) {
    // Refusals do not end the watch. OUT4's number then comes only with one
    // reply, while recording; the later ones report the stop but carry
    // OUT1's number alone.
    sim.script()
        .replyTo("AN", "ER,AN,99\r\n", 3)
        .replyTo("AN", "AN,1,0,0,0,9\r\n", 1)
        .replyTo("AN", "AN,0,0\r\n", quil::sim::Script::kAlways);
    ASSERT_EQ(QUIL_SetOneDataStorage(kId, countCall), QUIL_OK);
    ASSERT_TRUE(waitUntil([] { return g_calls >= 1; }));
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
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(QUIL_SetOneDataStorage(kId, i % 2 ? countCall : countCallB), QUIL_OK);
        EXPECT_EQ(quil::storagePollThreads(kId), 1);
    }
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
    const int calls = g_calls;
    // A device opened again on the same number has no watcher until asked.
    ASSERT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
    const std::size_t seen = sim.receivedLines().size();
    int32_t ls = 0, outs[8];
    ASSERT_EQ(QUIL_DataStorageGetStatus(kId, &ls, outs), QUIL_OK);
    EXPECT_EQ(sim.receivedLines().size(), seen + 1);
    EXPECT_EQ(g_calls.load(), calls);
}

std::atomic<int> g_readCount{-1};
std::atomic<int> g_restartResult{0};
float g_read[4];

// Reads what was stored, clears the storage, and tries (wrongly) to restart
// its own watcher.
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
    EXPECT_EQ(g_read[0], 1.5f);
    EXPECT_EQ(g_read[1], -2.5f);
    EXPECT_EQ(g_restartResult.load(), QUIL_ERROR_PARAMETER);
    // Still polling, and with the storage cleared not called again.
    ASSERT_TRUE(moreRequests(10));
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(quil::storagePollThreads(kId), 1);
}

// A read-out and the watcher's status requests share the device's link: each
// call gets its own reply, however the two interleave.
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

// ------------------------------------------------------------ trace lines

class StorageTrace : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(logDir.ok());
        logDir.writeIni(1, 1);
        ASSERT_TRUE(sim.start());
        ::testing::internal::CaptureStderr();  // the log set-up reports what it read
        ASSERT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
        ::testing::internal::GetCapturedStderr();
    }
    void TearDown() override { QUIL_CloseDevice(0); }
    std::string log() { return logDir.log(); }
    void expectLines(const std::vector<std::string>& expected) {
        const std::string text = log();
        std::size_t at = 0;
        for (const auto& e : expected) {
            const std::size_t found = text.find(e, at);
            EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << e << "\n---\n" << text;
            if (found != std::string::npos) at = found + e.size();
        }
    }
    quil::test::LogDir logDir;
    quil::sim::Simulator sim{quil::sim::Options{.model = 36}};
};

TEST_F(StorageTrace, ControlsAndStatus) {
    sim.script().replyOnce("AS,1\r\n");
    EXPECT_EQ(QUIL_DataStorageStart(0), QUIL_ERROR_REPLY);
    EXPECT_EQ(QUIL_DataStorageStop(0), QUIL_OK);
    EXPECT_EQ(QUIL_DataStorageInit(0), QUIL_OK);
    sim.script().silence();
    EXPECT_EQ(QUIL_DataStorageInit(0), QUIL_ERROR_TIMEOUT);
    sim.script().replyOnce("AN,0,0,5,0\r\n");
    int32_t ls = 0, outs[8];
    EXPECT_EQ(QUIL_DataStorageGetStatus(0, &ls, outs), QUIL_OK);
    sim.script().replyOnce("ER,AN,64\r\n");
    EXPECT_EQ(QUIL_DataStorageGetStatus(0, &ls, outs), QUIL_ERROR_RANGE);
    expectLines({
        "(QUIL_DataStorageStart:",
        ") DeviceID:0\n",
        ") send command AS success DeviceID:0 rc:0\n",
        ") send command AP success DeviceID:0 rc:0\n",
        ") send command AQ success DeviceID:0\n",
        ") send command AQ fail DeviceID:0\n",
        ") send command AN success DeviceID:0\n",
        ")Success DeviceID:0 lsStorage:0 outNum:3 out1 :0 out2 :5 out3 :0\n",
        ") send command AN fail DeviceID:0 rc:4105\n",
    });
}

TEST_F(StorageTrace, ReadOutsShowTheFirst500Values) {
    std::vector<std::string> tokens;
    for (int i = 0; i < 600; ++i) tokens.push_back(std::to_string(i) + ".5");
    sim.model().loadStoredValues(1, tokens);
    sim.model().loadEncoderValues(2, {"1", "2", "3"});
    std::vector<float> v(600);
    std::vector<int32_t> e(600);
    int32_t n = 0;
    ASSERT_EQ(QUIL_DataStorageGetData(0, 1, 600, v.data(), &n), QUIL_OK);
    ASSERT_EQ(QUIL_GetEncoderStoreValue(0, 2, 600, e.data(), &n), QUIL_OK);
    sim.script().replyOnce("ER,AO,64\r\n");
    EXPECT_EQ(QUIL_DataStorageGetData(0, 1, 600, v.data(), &n), QUIL_ERROR_RANGE);
    EXPECT_EQ(QUIL_GetEncoderStoreValue(0, 1, 600, e.data(), &n), QUIL_ERROR_NO_DATA);

    auto valueLine = [](int first, int last) {
        std::string s = ")";
        for (int i = first; i <= last; ++i) s += std::to_string(i) + ".500000,";
        return s + "\n";
    };
    std::vector<std::string> expected = {"(QUIL_DataStorageGetData:", ") DeviceID:0\n",
                                         ")DeviceID:0 dwMemoryLoad:", ") send command AO success DeviceID:0 rc:0\n",
                                         ") Success value:\n"};
    for (int first = 0; first < 500; first += 30) expected.push_back(valueLine(first, std::min(first + 29, 499)));
    for (const char* s :
         {") Success DeviceID:0 OutNo:1 NumReceived:600\n", "(QUIL_GetEncoderStoreValue:", ")DeviceID:0\n",
          ") send command AR success DeviceID:0 rc:0\n", ")Success DeviceID:0 OutNo:2 NumReceived:3\n",
          ") send command AO success DeviceID:0 rc:4105\n", ") send command AR success DeviceID:0 rc:0\n"})
        expected.push_back(s);
    expectLines(expected);
    EXPECT_EQ(log().find("500.500000"), std::string::npos);
}

TEST_F(StorageTrace, WatcherRegistration) {
    EXPECT_EQ(QUIL_SetOneDataStorage(0, nullptr), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_SetOneDataStorage(0, ignoreStorage), QUIL_OK);
    expectLines({"(QUIL_SetOneDataStorage:", ")fail DeviceID:0 ret:4103\n", ")success DeviceID:0 ret:0\n"});
}

}  // namespace
