// Reply splitting and checking, and the command transaction on loopback.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "link/link_record.h"
#include "quil/communication.h"
#include "quil/device.h"

namespace {

using quil::test::DeviceTest;

struct Fields {
    Fields() : f(owner.allocate() ? static_cast<char**>(owner) : nullptr) {}
    quil::ReplyFields owner;
    char** f;
};

TEST(ReplySplit, FieldsFollowTheCommas) {
    const struct {
        const char* text;
        int count;
        const char* first;
        const char* last;
    } cases[] = {
        {"MS,0,1.5", 3, "MS", "1.5"}, {"MS,0", 2, "MS", "0"}, {"MS,0,", 2, "MS", "0"},
        {",X", 2, "", "X"},           {",", 1, "", ""},       {"A", 1, "A", "A"},
        {"MS,,2", 3, "MS", "2"},
    };
    for (const auto& c : cases) {
        Fields fields;
        int n = -1;
        ASSERT_EQ(quil::splitReply(c.text, fields.f, &n), QUIL_OK) << c.text;
        EXPECT_EQ(n, c.count) << c.text;
        EXPECT_STREQ(fields.f[0], c.first) << c.text;
        EXPECT_STREQ(fields.f[n - 1], c.last) << c.text;
    }
    Fields fields;
    int n = -1;
    EXPECT_EQ(quil::splitReply("", fields.f, &n), QUIL_ERROR_UNKNOWN);
    EXPECT_EQ(n, -1);
}

TEST(ReplySplit, OversizedRepliesAreRefusedWithinTheBuffers) {
    Fields fields;
    int n = 0;
    std::string fifteen(15, 'a'), sixteen(16, 'a');
    EXPECT_EQ(quil::splitReply(("MS," + fifteen).c_str(), fields.f, &n), QUIL_OK);
    EXPECT_STREQ(fields.f[1], fifteen.c_str());
    EXPECT_EQ(quil::splitReply(("MS," + sixteen + ",1").c_str(), fields.f, &n), QUIL_ERROR_REPLY);
    std::string many = "MS";
    for (int i = 1; i < 128; ++i) many += ",1";
    EXPECT_EQ(quil::splitReply(many.c_str(), fields.f, &n), QUIL_OK);
    EXPECT_EQ(n, 128);
    EXPECT_EQ(quil::splitReply((many + ",1").c_str(), fields.f, &n), QUIL_ERROR_REPLY);
    EXPECT_EQ(quil::splitReply((many + ",").c_str(), fields.f, &n), QUIL_OK) << "a trailing comma adds no field";
}

TEST(ReplyCheck, LettersAndErrorReplies) {
    Fields fields;
    int n = 0;
    EXPECT_EQ(quil::checkReply("MS,0,1.5", &n, fields.f, "MS,03\r\n"), QUIL_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(quil::checkReply("MS,0,1.5", &n, fields.f, "MM,1111\r\n"), QUIL_ERROR_REPLY);
    EXPECT_EQ(quil::checkReply("ER,MS,51", &n, fields.f, "MS,03\r\n"), QUIL_ERROR_MODE);
    EXPECT_EQ(n, 3) << "the count is stored for error replies too";
    EXPECT_EQ(quil::checkReply("ER,MS", &n, fields.f, "MS,03\r\n"), QUIL_ERROR_UNKNOWN);
    EXPECT_EQ(quil::checkReply("ER,MS,062", &n, fields.f, "MS,03\r\n"), QUIL_ERROR_VALUE);
    EXPECT_EQ(quil::checkReply("er,MS,51", &n, fields.f, "MS,03\r\n"), QUIL_ERROR_REPLY);
}

TEST(Transaction, DeviceChecksComeFirst) {
    Fields fields;
    int n = 0;
    EXPECT_EQ(quil::sendCommand(64, "MD\r\n", 4, 128, fields.f, &n), QUIL_ERROR_NO_LINK);
    EXPECT_EQ(quil::sendCommand(3, "MD\r\n", 4, 128, fields.f, &n), QUIL_ERROR_NO_LINK);
    quil::link::GrowBuffer none(100);
    EXPECT_EQ(quil::sendCommandBulk(-1, "AO,01\r\n", 7, none), QUIL_ERROR_NO_LINK);
    QuilCalcData d{};
    EXPECT_EQ(QUIL_GetCalcDataSingle(64, 1, &d), QUIL_ERROR_DEVICE_ID);
    EXPECT_EQ(QUIL_GetCalcDataSingle(3, 1, &d), QUIL_ERROR_OPEN);
}

class TransactionTest : public DeviceTest {
protected:
    int32_t exchange(const std::string& command, int* count = nullptr, size_t size = 128) {
        std::lock_guard<std::mutex> lock(quil::deviceLock(kId));
        int n = 0;
        int32_t r = quil::sendCommand(kId, command.c_str(), command.size(), size, quil::device(kId).replyFields, &n);
        quil::clearFields(quil::kFieldCount, quil::kFieldWidth, quil::device(kId).replyFields);
        if (count) *count = n;
        return r;
    }
};

TEST_F(TransactionTest, ReplyMustEndWithinItsBuffer) {
    // 125 characters and CR LF: 127 bytes fit a buffer of 128.
    std::string fits = "MS";
    for (int i = 0; i < 12; ++i) fits += ",123456789";
    fits += ",12";
    ASSERT_EQ(fits.size() + 2, 127u);
    sim.script().replyOnce(fits + "\r\n");
    int n = 0;
    EXPECT_EQ(exchange("MS,01\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 14);
    sim.script().replyOnce(fits + "3\r\n");
    EXPECT_EQ(exchange("MS,01\r\n"), QUIL_ERROR_OVERFLOW);
    // The rest of the long reply is not taken for the next command's reply.
    EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 2);
}

TEST_F(TransactionTest, NothingAfterTheLineEndIsConsumed) {
    // Two replies in one piece: the second one stays on the socket and is
    // drained before the next command, never read as its reply.
    sim.script().replyOnce("MD,35\r\nMD,99,late\r\n");
    int n = 0;
    EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 2);
    quil::platform::sleepMs(50);
    sim.script().replyOnce("MS,01,1.0\r\n");
    EXPECT_EQ(exchange("MS,01\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 3);
}

TEST_F(TransactionTest, ReplyInPiecesAndEmptyReply) {
    sim.script().sendInPieces(1, 2).replyOnce("MS,01,+0012.345\r\n");
    int n = 0;
    EXPECT_EQ(exchange("MS,01\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 3);
    sim.script().replyOnce("\r\n");
    EXPECT_EQ(exchange("MS,01\r\n"), QUIL_ERROR_UNKNOWN);
}

TEST_F(TransactionTest, SilenceTimesOutAndLateBytesAreDrained) {
    sim.script().silence();
    EXPECT_EQ(exchange("MD\r\n"), QUIL_ERROR_TIMEOUT);
    // A reply that arrives after the time-out is thrown away before the next command.
    ASSERT_TRUE(sim.sendRaw("MS,01,7.0\r\n"));
    quil::platform::sleepMs(50);
    int n = 0;
    EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 2);
}

TEST_F(TransactionTest, ClosedByControllerGivesReplyErrorAndDeviceStaysOpen) {
    sim.closeConnections();
    ASSERT_TRUE(sim.waitOpenConnections(0, 2000));
    int32_t r = exchange("MD\r\n");
    EXPECT_TRUE(r == QUIL_ERROR_REPLY || r == QUIL_ERROR_SEND) << r;
    // Further sends on the dead connection fail without SIGPIPE.
    for (int i = 0; i < 3; ++i) EXPECT_NE(exchange("MD\r\n"), QUIL_OK);
    EXPECT_EQ(quil::checkDeviceId(kId), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
}

TEST_F(TransactionTest, ConnectionClosedByAStreamStartFailsExchanges) {
    // Starting a stream closes every raw link of the device number, which
    // includes the connection the open registered.
    EXPECT_EQ(quil::link::closeAllLinks(kId), 0);
    EXPECT_EQ(exchange("MD\r\n"), QUIL_ERROR_REPLY);
    int32_t type = -1;
    EXPECT_EQ(QUIL_GetDeviceType(kId, &type), QUIL_ERROR_REPLY);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_ERROR_OPEN);
}

TEST_F(TransactionTest, BulkReplyIsReadWholeOrCutAtTheBuffer) {
    std::string values;
    for (int i = 0; i < 200000; ++i) values += (i ? "," : "") + std::to_string(i % 1000) + ".5";
    sim.script().sendInPieces(65536, 0).replyOnce("AO," + values + "\r\n");
    quil::link::GrowBuffer buffer(quil::kBulkBufferSize);
    auto bulk = [&](quil::link::GrowBuffer& into) {
        std::lock_guard<std::mutex> lock(quil::deviceLock(kId));
        return quil::sendCommandBulk(kId, "AO,01\r\n", 7, into);
    };
    ASSERT_EQ(bulk(buffer), QUIL_OK);
    EXPECT_EQ(std::string(buffer.data()), "AO," + values);
    EXPECT_LT(buffer.capacity(), 2 * (values.size() + 5)) << "the buffer grew to the reply, not to its limit";

    // A reply longer than the buffer is cut; the rest is drained by the next command.
    sim.script().replyOnce("AO,1.0,2.0,3.0,4.0,5.0\r\n");
    quil::link::GrowBuffer small(12);
    ASSERT_EQ(bulk(small), QUIL_OK);
    EXPECT_EQ(std::string(small.data()), "AO,1.0,2.0") << "the byte two before the end becomes the terminator";
    quil::platform::sleepMs(50);
    int n = 0;
    EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 2);

    // A reply the buffer cannot grow to hold fails with 8200; the link stays
    // usable for the next, shorter reply.
    buffer.release();
    quil::link::failBlocksAbove(256 * 1024);
    sim.script().sendInPieces(65536, 0).replyOnce("AO," + values + "\r\n");
    sim.script().replyOnce("AO,1.5,2.5\r\n");
    EXPECT_EQ(bulk(buffer), QUIL_ERROR_OVERFLOW);
    ASSERT_EQ(bulk(buffer), QUIL_OK);
    quil::link::failBlocksAbove(SIZE_MAX);
    EXPECT_STREQ(buffer.data(), "AO,1.5,2.5");

    sim.closeConnections();
    ASSERT_TRUE(sim.waitOpenConnections(0, 2000));
    EXPECT_NE(bulk(small), QUIL_OK);
}

TEST_F(TransactionTest, TailOfACutReplyIsNeverTakenForTheNextReply) {
    // The reply is cut at the buffer while its tail is still on the way.
    quil::link::GrowBuffer small(12);
    quil::link::GrowBuffer buffer(4096);
    auto bulk = [&](quil::link::GrowBuffer& into) {
        std::lock_guard<std::mutex> lock(quil::deviceLock(kId));
        return quil::sendCommandBulk(kId, "AO,01\r\n", 7, into);
    };
    sim.script().sendInPieces(8, 40).replyOnce("AO,1.0,2.0,3.0,4.0,5.0\r\n");
    sim.script().replyOnce("AO,9.0\r\n");
    ASSERT_EQ(bulk(small), QUIL_OK);
    ASSERT_EQ(bulk(buffer), QUIL_OK);
    EXPECT_STREQ(buffer.data(), "AO,9.0");

    // A short reply that overflowed is skipped the same way.
    sim.script().sendInPieces(100, 40).replyOnce("MS," + std::string(150, '1') + "\r\n");
    EXPECT_EQ(exchange("MS,01\r\n"), QUIL_ERROR_OVERFLOW);
    int n = 0;
    EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 2);

    // A tail that never ends: the next exchange fails after its wait and
    // sends nothing; the one after it goes through.
    sim.script().replyOnce("AO,1.0,2.0,3.0,4.0");
    ASSERT_EQ(bulk(small), QUIL_OK);
    sim.clearReceived();
    EXPECT_EQ(exchange("MD\r\n"), QUIL_ERROR_TIMEOUT);
    EXPECT_TRUE(sim.receivedLines().empty());
    EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
}

TEST_F(TransactionTest, LineFeedLeftByTheLastReplyIsSkipped) {
    // The raw exchange ends at the CR; the LF follows a moment later, after
    // the next line has been sent.
    char out[64];
    int32_t len = 0;
    for (int next = 0; next < 2; ++next) {
        sim.script().sendInPieces(10, 50).replyOnce("MS,01,1.0\r\n");
        ASSERT_EQ(SwapData(kId, "MS,01\r\n", 7, out, &len, 2000), 0);
        ASSERT_EQ(std::string(out, static_cast<size_t>(len)), "MS,01,1.0");
        if (next == 0) {
            ASSERT_EQ(SwapData(kId, "MD\r\n", 4, out, &len, 2000), 0);
            EXPECT_EQ(std::string(out, static_cast<size_t>(len)), "MD,35");
        } else {
            int n = 0;
            EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
            EXPECT_EQ(n, 2);
        }
    }
}

TEST_F(TransactionTest, ADrippingReplyEndsTheCallWithinItsWait) {
    // One byte every 300 ms: the reply would take over three seconds.
    sim.script().sendInPieces(1, 300).replyOnce("MS,01,1.0\r\n");
    const uint64_t t0 = quil::platform::monotonicMs();
    QuilCalcData d{};
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 1, &d), QUIL_ERROR_TIMEOUT);
    EXPECT_LT(quil::platform::monotonicMs() - t0, 2600u);
    // The rest of that reply is skipped (it ends within the next wait); the
    // device goes on working.
    int n = 0;
    EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 2);
    // The raw exchange is bounded the same way by its own time-out.
    sim.script().sendInPieces(1, 300).replyOnce("MS,01,+0012.345\r\n");
    char out[64];
    int32_t len = 0;
    const uint64_t t1 = quil::platform::monotonicMs();
    EXPECT_EQ(SwapData(kId, "MS,01\r\n", 7, out, &len, 1000), -10);
    EXPECT_LT(quil::platform::monotonicMs() - t1, 1600u);
}

TEST_F(TransactionTest, ModeSwitchWaitsForTheEcho) {
    EXPECT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"Q0"});
    sim.clearReceived();
    EXPECT_EQ(QUIL_SetMode(kId, 2), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_SetMode(kId, 0), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"R0"});
    // No recovery for the mode command itself.
    sim.clearReceived();
    sim.script().replyOnce("ER,R0,51\r\n");
    EXPECT_EQ(QUIL_SetMode(kId, 0), QUIL_ERROR_MODE);
    EXPECT_EQ(sent(1), std::vector<std::string>{"R0"});
}

// A reply number is read whole: a field that is not the number the getter
// reads fails the call with 8195 and writes none of its outputs, whichever
// getter reads it, and the controller's own forms still read as before.
TEST_F(TransactionTest, GarbledReplyNumbersFailAndWriteNothing) {
    constexpr int32_t kUnset = 77;
    // Calls a getter with every output preset to kUnset: its result, whether
    // every output still holds kUnset, and the value read from the field
    // under test (a measured value's special status as 1000 + status).
    struct Read {
        int32_t rc;
        bool untouched;
        double value;
    };
    struct Getter {
        const char* name;
        std::string reply;  // "@" stands for the field under test
        bool integer;       // an integer field, else a decimal
        std::function<Read()> call;
    };
    auto measured = [](const QuilCalcData& d) { return d.status != 0 ? 1000.0 + d.status : d.value; };
    auto unset = [&](const QuilCalcData& d) { return d.OutNo == kUnset && d.status == kUnset && d.value == kUnset; };
    const Getter getters[] = {
        {"QUIL_GetProgramNo", "PR,@", true,
         [&] {
             int32_t v = kUnset;
             const int32_t rc = QUIL_GetProgramNo(kId, &v);
             return Read{rc, v == kUnset, double(v)};
         }},
        {"QUIL_GetDeviceType", "MD,@", true,
         [&] {
             int32_t v = kUnset;
             const int32_t rc = QUIL_GetDeviceType(kId, &v);
             return Read{rc, v == kUnset, double(v)};
         }},
        {"QUIL_GetAbleMinMax", "SR,HA,R,01,05,@", true,
         [&] {
             int32_t min = kUnset, max = kUnset;
             const int32_t rc = QUIL_GetAbleMinMax(kId, 1, &min, &max);
             return Read{rc, min == kUnset && max == kUnset, double(min)};
         }},
        {"QUIL_GetMedian", "SR,HG,01,@", true,
         [&] {
             int32_t v = kUnset;
             const int32_t rc = QUIL_GetMedian(kId, 1, &v);
             return Read{rc, v == kUnset, double(v)};
         }},
        {"QUIL_GetEncoderParameters", "SR,CS,01,1,0000000100,@", true,
         [&] {
             int32_t mode = kUnset, time = kUnset, interval = kUnset, op = kUnset, dir = kUnset;
             const int32_t rc = QUIL_GetEncoderParameters(kId, 1, &mode, &time, &interval, &op, &dir);
             return Read{rc, mode == kUnset && time == kUnset && interval == kUnset, double(interval)};
         }},
        {"QUIL_DataStorageGetStatus", "AN,0,@,3", true,
         [&] {
             int32_t ls = kUnset, outs[8] = {kUnset, kUnset, kUnset};
             const int32_t rc = QUIL_DataStorageGetStatus(kId, &ls, outs);
             return Read{rc, ls == kUnset && outs[0] == kUnset && outs[1] == kUnset, double(outs[0])};
         }},
        {"QUIL_GetCalcDataSingle", "MS,01,@", false,
         [&] {
             QuilCalcData d{kUnset, kUnset, kUnset};
             const int32_t rc = QUIL_GetCalcDataSingle(kId, 1, &d);
             return Read{rc, unset(d), measured(d)};
         }},
        {"QUIL_GetCalcDataALL", "MA,1.0,2.0,3.0,@", false,
         [&] {
             QuilCalcData d[4];
             for (auto& x : d) x = {kUnset, kUnset, kUnset};
             const int32_t rc = QUIL_GetCalcDataALL(kId, d);
             return Read{rc, unset(d[0]) && unset(d[3]), measured(d[3])};
         }},
        {"QUIL_GetTolerance", "SR,LM,01,+0012.34,@,0000000", false,
         [&] {
             int32_t up = kUnset, low = kUnset, hys = kUnset;
             const int32_t rc = QUIL_GetTolerance(kId, 1, &up, &low, &hys);
             return Read{rc, up == kUnset && low == kUnset && hys == kUnset, double(low)};
         }},
        {"QUIL_GetMask", "SR,HF,01,1,+001.00,@", false,
         [&] {
             int32_t on = kUnset, p1 = kUnset, p2 = kUnset;
             const int32_t rc = QUIL_GetMask(kId, 1, &on, &p1, &p2);
             return Read{rc, on == kUnset && p1 == kUnset && p2 == kUnset, double(p2)};
         }},
    };
    auto replyWith = [](const std::string& reply, const std::string& field) {
        return reply.substr(0, reply.find('@')) + field + reply.substr(reply.find('@') + 1) + "\r\n";
    };
    // Refused in every field; the integer fields also refuse decimals and
    // numbers beyond 32 bits.
    const char* const garbled[] = {"abc", "nan", "inf", "0x10", "1e30", "", " 5", "5 ", "5abc", "+", "1.2.3", "--1"};
    const char* const notIntegers[] = {"99999999999", "2147483648", "-2147483649", "12.5"};
    for (const Getter& g : getters) {
        std::vector<const char*> fields(std::begin(garbled), std::end(garbled));
        if (g.integer) fields.insert(fields.end(), std::begin(notIntegers), std::end(notIntegers));
        for (const char* field : fields) {
            sim.script().replyOnce(replyWith(g.reply, field));
            const Read r = g.call();
            EXPECT_EQ(r.rc, QUIL_ERROR_REPLY) << g.name << " \"" << field << "\"";
            EXPECT_TRUE(r.untouched) << g.name << " \"" << field << "\"";
        }
    }
    // The controller's forms, negative numbers, leading zeros and the special
    // texts where the getter gives them a meaning, read as they always have.
    const struct {
        const char* name;
        const char* field;
        double value;
    } valid[] = {
        {"QUIL_GetProgramNo", "-0012", -12},
        {"QUIL_GetProgramNo", "+2147483647", 2147483647},
        {"QUIL_GetProgramNo", "-2147483648", -2147483648.0},
        {"QUIL_GetDeviceType", "035", 35},
        {"QUIL_GetAbleMinMax", "07", 7},
        {"QUIL_GetMedian", "+FFFFFFF", 0},
        {"QUIL_GetEncoderParameters", "000250", 250},
        {"QUIL_DataStorageGetStatus", "-01", -1},
        {"QUIL_GetCalcDataSingle", "-0012.50", -12.5},
        {"QUIL_GetCalcDataSingle", "+FFFFFFF", 1001},
        {"QUIL_GetCalcDataSingle", "99999999999", 99999999999.0f},
        {"QUIL_GetCalcDataALL", "XXXXXXXX", 1003},
        {"QUIL_GetCalcDataALL", "-FFFFFFF", 1002},
        {"QUIL_GetTolerance", "-0001.50", -150},  // display unit 0: hundredths
        {"QUIL_GetMask", "0012.34", 1234},
    };
    for (const auto& v : valid) {
        const Getter* g = nullptr;
        for (const Getter& x : getters)
            if (std::string(x.name) == v.name) g = &x;
        ASSERT_NE(g, nullptr) << v.name;
        sim.script().replyOnce(replyWith(g->reply, v.field));
        const Read r = g->call();
        EXPECT_EQ(r.rc, QUIL_OK) << v.name << " \"" << v.field << "\"";
        EXPECT_EQ(r.value, v.value) << v.name << " \"" << v.field << "\"";
    }
}

}  // namespace
