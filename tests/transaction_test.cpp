// Reply splitting and checking, and the command transaction on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
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

TEST(ReplySplit, FieldsFollowTheCommasWithinTheBuffers) {
    std::string many = "MS";
    for (int i = 1; i < 128; ++i) many += ",1";
    const struct {
        std::string text;
        int32_t code;
        int count;
        const char *first, *last;
    } cases[] = {
        {"MS,0,1.5", QUIL_OK, 3, "MS", "1.5"},
        {"MS,,2,", QUIL_OK, 3, "MS", "2"},
        {"MS," + std::string(15, 'a'), QUIL_OK, 2, "MS", "aaaaaaaaaaaaaaa"},
        {"MS," + std::string(16, 'a') + ",1", QUIL_ERROR_REPLY, 0, "", ""},
        {many, QUIL_OK, 128, "MS", "1"},
        {many + ",", QUIL_OK, 128, "MS", "1"},
        {many + ",1", QUIL_ERROR_REPLY, 0, "", ""},
        {"", QUIL_ERROR_UNKNOWN, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Fields fields;
        int n = -1;
        ASSERT_EQ(quil::splitReply(c.text.c_str(), fields.f, &n), c.code);
        if (c.code != QUIL_OK) continue;
        EXPECT_EQ(n, c.count);
        EXPECT_STREQ(fields.f[0], c.first);
        EXPECT_STREQ(fields.f[n - 1], c.last);
    }
}

TEST(ReplyCheck, LettersAndErrorReplies) {
    const struct {
        const char *reply, *command;
        int32_t code;
    } cases[] = {
        {"MS,0,1.5", "MS,03\r\n", QUIL_OK},           {"MS,0,1.5", "MM,1111\r\n", QUIL_ERROR_REPLY},
        {"ER,MS,51", "MS,03\r\n", QUIL_ERROR_MODE},   {"ER,MS", "MS,03\r\n", QUIL_ERROR_UNKNOWN},
        {"ER,MS,062", "MS,03\r\n", QUIL_ERROR_VALUE}, {"er,MS,51", "MS,03\r\n", QUIL_ERROR_REPLY},
    };
    for (const auto& c : cases) {
        Fields fields;
        int n = 0;
        EXPECT_EQ(quil::checkReply(c.reply, &n, fields.f, c.command), c.code) << c.reply << " to " << c.command;
        if (c.code != QUIL_ERROR_REPLY) {
            EXPECT_EQ(n, std::count(c.reply, c.reply + std::strlen(c.reply), ',') + 1);
        }
    }
}

class TransactionTest : public DeviceTest {
protected:
    // The exchange's result; the reply's field count in *count.
    int32_t exchange(const std::string& command, int* count = nullptr) {
        std::lock_guard<std::mutex> lock(quil::deviceLock(kId));
        int n = 0;
        int32_t r = quil::sendCommand(kId, command.c_str(), command.size(), 128, quil::device(kId).replyFields, &n);
        quil::clearFields(quil::kFieldCount, quil::kFieldWidth, quil::device(kId).replyFields);
        if (count) *count = n;
        return r;
    }
    // The model query answers with two fields: the link is in step again.
    void expectInStep() {
        int n = 0;
        EXPECT_EQ(exchange("MD\r\n", &n), QUIL_OK);
        EXPECT_EQ(n, 2);
    }
    int32_t bulk(quil::link::GrowBuffer& into) {
        std::lock_guard<std::mutex> lock(quil::deviceLock(kId));
        return quil::sendCommandBulk(kId, "AO,01\r\n", 7, into);
    }
};

TEST_F(TransactionTest, ReplyMustEndWithinItsBuffer) {
    // 125 characters and CR LF: 127 bytes fit a buffer of 128.
    std::string fits = "MS";
    for (int i = 0; i < 12; ++i) fits += ",123456789";
    fits += ",12";
    sim.script().sendInPieces(50, 2).replyOnce(fits + "\r\n");
    int n = 0;
    EXPECT_EQ(exchange("MS,01\r\n", &n), QUIL_OK);
    EXPECT_EQ(n, 14);
    sim.script().replyOnce(fits + "3\r\n");
    EXPECT_EQ(exchange("MS,01\r\n"), QUIL_ERROR_OVERFLOW);
    expectInStep();  // the rest of the long reply is not the next reply
    sim.script().replyOnce("\r\n");
    EXPECT_EQ(exchange("MS,01\r\n"), QUIL_ERROR_UNKNOWN);
}

TEST_F(TransactionTest, BytesBetweenExchangesAreDrained) {
    // A second reply in the same piece, and one after a time-out: both are
    // thrown away before the next command, never read as its reply.
    sim.script().replyOnce("MD,35\r\nMS,99,late\r\n");
    expectInStep();
    quil::platform::sleepMs(50);
    expectInStep();
    sim.script().silence();
    EXPECT_EQ(exchange("MD\r\n"), QUIL_ERROR_TIMEOUT);
    ASSERT_TRUE(sim.sendRaw("MS,01,7.0\r\n"));
    quil::platform::sleepMs(50);
    expectInStep();
}

TEST_F(TransactionTest, ClosedByControllerFailsWithoutSignalAndDeviceStaysOpen) {
    sim.closeConnections();
    ASSERT_TRUE(sim.waitOpenConnections(0, 2000));
    int32_t r = exchange("MD\r\n");
    EXPECT_TRUE(r == QUIL_ERROR_REPLY || r == QUIL_ERROR_SEND) << r;
    // Further sends on the dead connection fail, without SIGPIPE.
    for (int i = 0; i < 3; ++i) EXPECT_NE(exchange("MD\r\n"), QUIL_OK);
    EXPECT_EQ(quil::checkDeviceId(kId), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
}

TEST_F(TransactionTest, BulkReplyIsReadWholeOrCutAtTheBuffer) {
    std::string values;
    for (int i = 0; i < 200000; ++i) values += (i ? "," : "") + std::to_string(i % 1000) + ".5";
    sim.script().sendInPieces(65536, 0).replyOnce("AO," + values + "\r\n");
    quil::link::GrowBuffer buffer(quil::kBulkBufferSize);
    ASSERT_EQ(bulk(buffer), QUIL_OK);
    EXPECT_EQ(std::string(buffer.data()), "AO," + values);
    EXPECT_LT(buffer.capacity(), 2 * (values.size() + 5)) << "the buffer grew to the reply, not to its limit";

    // A reply the buffer cannot grow to hold fails; the link stays usable.
    buffer.release();
    quil::link::failBlocksAbove(256 * 1024);
    sim.script().sendInPieces(65536, 0).replyOnce("AO," + values + "\r\n");
    sim.script().replyOnce("AO,1.5,2.5\r\n");
    EXPECT_EQ(bulk(buffer), QUIL_ERROR_OVERFLOW);
    ASSERT_EQ(bulk(buffer), QUIL_OK);
    quil::link::failBlocksAbove(SIZE_MAX);
    EXPECT_STREQ(buffer.data(), "AO,1.5,2.5");
}

TEST_F(TransactionTest, TailOfACutReplyIsNeverTakenForTheNextReply) {
    // A reply cut at the buffer while its tail is still on the way.
    quil::link::GrowBuffer small(12), buffer(4096);
    sim.script().sendInPieces(8, 40).replyOnce("AO,1.0,2.0,3.0,4.0,5.0\r\n");
    sim.script().replyOnce("AO,9.0\r\n");
    ASSERT_EQ(bulk(small), QUIL_OK);
    EXPECT_STREQ(small.data(), "AO,1.0,2.0") << "the byte two before the end becomes the terminator";
    ASSERT_EQ(bulk(buffer), QUIL_OK);
    EXPECT_STREQ(buffer.data(), "AO,9.0");
    // A short reply that overflowed is skipped the same way.
    sim.script().sendInPieces(100, 40).replyOnce("MS," + std::string(150, '1') + "\r\n");
    EXPECT_EQ(exchange("MS,01\r\n"), QUIL_ERROR_OVERFLOW);
    expectInStep();
    // A tail that never ends: the next exchange fails after its wait and
    // sends nothing; the one after it goes through.
    sim.script().replyOnce("AO,1.0,2.0,3.0,4.0");
    ASSERT_EQ(bulk(small), QUIL_OK);
    sim.clearReceived();
    EXPECT_EQ(exchange("MD\r\n"), QUIL_ERROR_TIMEOUT);
    EXPECT_TRUE(sim.receivedLines().empty());
    expectInStep();
}

TEST_F(TransactionTest, LineFeedLeftByTheLastReplyIsSkipped) {
    // The raw exchange ends at the CR; the LF comes a moment later, after the
    // next line has been sent.
    char out[64];
    int32_t len = 0;
    for (int next = 0; next < 2; ++next) {
        sim.script().sendInPieces(10, 50).replyOnce("MS,01,1.0\r\n");
        ASSERT_EQ(SwapData(kId, "MS,01\r\n", 7, out, &len, 2000), 0);
        ASSERT_EQ(std::string(out, static_cast<size_t>(len)), "MS,01,1.0");
        if (next == 1) break;
        ASSERT_EQ(SwapData(kId, "MD\r\n", 4, out, &len, 2000), 0);
        EXPECT_EQ(std::string(out, static_cast<size_t>(len)), "MD,35");
    }
    expectInStep();
}

TEST_F(TransactionTest, ADrippingReplyEndsTheCallWithinItsWait) {
    // One byte every 300 ms: the reply would take over three seconds.
    sim.script().sendInPieces(1, 300).replyOnce("MS,01,1.0\r\n");
    uint64_t t0 = quil::platform::monotonicMs();
    QuilCalcData d{};
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 1, &d), QUIL_ERROR_TIMEOUT);
    EXPECT_LT(quil::platform::monotonicMs() - t0, 2600u);
    expectInStep();  // the rest of that reply ends within this wait and is skipped
    // The raw exchange is bounded the same way by its own time-out.
    sim.script().sendInPieces(1, 300).replyOnce("MS,01,+0012.345\r\n");
    char out[64];
    int32_t len = 0;
    t0 = quil::platform::monotonicMs();
    EXPECT_EQ(SwapData(kId, "MS,01\r\n", 7, out, &len, 1000), -10);
    EXPECT_LT(quil::platform::monotonicMs() - t0, 1600u);
}

// A reply number is read whole: a field that is not a number fails the call
// with 8195 and writes none of the outputs; the controller's own forms read.
TEST_F(TransactionTest, GarbledReplyNumbersFailAndWriteNothing) {
    QuilCalcData d[4];
    auto call = [&](const std::string& field) {
        sim.script().replyOnce("MA,1.0,2.0,3.0," + field + "\r\n");
        for (auto& x : d) x = {77, 77, 77};
        return QUIL_GetCalcDataALL(kId, d);
    };
    for (const char* field : {"abc", "nan", "0x10", "", " 5", "5 ", "5abc", "1.2.3"}) {
        EXPECT_EQ(call(field), QUIL_ERROR_REPLY) << '"' << field << '"';
        EXPECT_TRUE(d[0].OutNo == 77 && d[3].value == 77 && d[3].status == 77) << '"' << field << '"';
    }
    int32_t min = 77, max = 77;  // an integer field: no more than 32 bits, no fraction
    for (const char* field : {"2147483648", "12.5", "5abc"}) {
        sim.script().replyOnce(std::string("SR,HA,R,01,05,") + field + "\r\n");
        EXPECT_EQ(QUIL_GetAbleMinMax(kId, 1, &min, &max), QUIL_ERROR_REPLY) << field;
        EXPECT_TRUE(min == 77 && max == 77) << field;
    }
    const struct {
        const char* field;
        int32_t status;
        float value;
    } valid[] = {{"-0012.50", QUIL_VALUE_NORMAL, -12.5f},
                 {"XXXXXXXX", QUIL_VALUE_XXXXXXXX, 0},
                 {"-FFFFFFF", QUIL_VALUE_MINUS_FFFFFFF, 0}};
    for (const auto& v : valid) {
        EXPECT_EQ(call(v.field), QUIL_OK) << v.field;
        EXPECT_EQ(d[3].status, v.status) << v.field;
        EXPECT_TRUE(v.status != QUIL_VALUE_NORMAL || d[3].value == v.value) << v.field;
    }
}

}  // namespace
