// The raw command link against a simulated controller on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/link_record.h"
#include "platform/platform.h"
#include "quil.h"
#include "sim/simulator.h"

namespace {

using quil::sim::Simulator;

class RawLink : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }
    void TearDown() override {
        for (uint32_t id = 0; id < 64; ++id) LinkDisconnect(id);
    }
    void connect(uint32_t id = 0) { ASSERT_EQ(LinkConnect(id, sim.address().c_str()), 0); }
    int32_t swap(const std::string& line, std::string* reply = nullptr, int32_t timeoutMs = 2000, uint32_t id = 0) {
        std::vector<char> out(64 * 1024);
        int32_t len = -1;
        int32_t r = SwapData(id, line.data(), static_cast<int32_t>(line.size()), out.data(), &len, timeoutMs);
        if (r == 0 && reply) reply->assign(out.data(), static_cast<size_t>(len));
        return r;
    }
    // A socket the application connected itself.
    quil::platform::Socket connectedSocket() {
        quil::platform::Socket s = quil::platform::tcpSocket();
        if (quil::platform::connectStart(s, sim.ip(), 19062) != 0) {
            quil::platform::closeSocket(s);
            return {};
        }
        quil::platform::setNonBlocking(s);
        return s;
    }
    Simulator sim;
};

TEST(RawLinkTable, DeviceNumbersOutOfRangeAreRefusedEverywhere) {
    EXPECT_EQ(VersionDll(), 16777221);
    for (uint32_t id : {64u, 65u, 0xFFFFFFFFu}) {
        EXPECT_EQ(SwapData(id, "MD\r\n", 4, nullptr, nullptr, 100), -100);
        EXPECT_EQ(GetDataBuff(id), nullptr);
        EXPECT_EQ(GetTmpBuff(id), nullptr);
        EXPECT_EQ(GetDataBuffLen(id), -1);
        EXPECT_EQ(LinkDisconnect(id), 0);
        EXPECT_EQ(LinkConnect(id, "127.0.0.1"), -1);
        EXPECT_EQ(DeviceInit(id, 3), -1);
    }
    // A number in range without a record behaves the same.
    EXPECT_EQ(SwapData(5, "MD\r\n", 4, nullptr, nullptr, 100), -100);
    EXPECT_EQ(GetDataBuff(5), nullptr);
    EXPECT_EQ(GetDataBuffLen(5), -1);
}

TEST_F(RawLink, ExchangeFillsBuffersAndCopyOut) {
    connect(3);
    ASSERT_NE(GetDataBuff(3), nullptr);
    ASSERT_NE(GetTmpBuff(3), nullptr);
    EXPECT_EQ(GetDataBuffLen(3), 0);
    // A line built in the scratch buffer, as the JSON messages do.
    std::strcpy(GetTmpBuff(3), "MD\r\n");
    std::string reply;
    ASSERT_EQ(swap(GetTmpBuff(3), &reply, 2000, 3), 0);
    EXPECT_EQ(reply, "MD,0");
    EXPECT_EQ(GetDataBuffLen(3), 4);
    EXPECT_EQ(std::string(GetDataBuff(3), 4), "MD,0");
    EXPECT_EQ(sim.received(), "MD\r\n");
    // Without copy-out buffers the reply is still in the receive buffer.
    EXPECT_EQ(SwapData(3, "Q0\r\n", 4, nullptr, nullptr, 2000), 0);
    EXPECT_EQ(std::string(GetDataBuff(3), static_cast<size_t>(GetDataBuffLen(3))), "Q0");
}

TEST_F(RawLink, BoundedSwapNeverWritesPastItsCapacity) {
    connect();
    sim.script().replyOnce("MS,01,+001.000\r\n");
    std::string buf(20, '#');
    int32_t len = -1;
    EXPECT_EQ(quil_swap(0, "MS,01\r\n", 7, buf.data(), 8, &len, 2000), -2);
    EXPECT_EQ(len, 14) << "the answer's length tells how much room it needs";
    EXPECT_EQ(buf, std::string(20, '#')) << "nothing is written when the answer does not fit";
    sim.script().replyOnce("MS,01,+001.000\r\n");
    EXPECT_EQ(quil_swap(0, "MS,01\r\n", 7, buf.data(), 14, &len, 2000), 0);
    EXPECT_EQ(buf, "MS,01,+001.000######");
    EXPECT_EQ(quil_swap(0, "MD\r\n", 4, nullptr, 0, &len, 2000), -2) << "no room at all";
    EXPECT_EQ(quil_swap(0, "MD\r\n", 4, nullptr, 5, &len, 2000), -2);
    EXPECT_EQ(quil_swap(64, "MD\r\n", 4, buf.data(), 20, &len, 2000), -100);
}

TEST(ResultNames, EveryFamilyNamesItsOwnCodes) {
    EXPECT_STREQ(quil_code_name(QUIL_FAMILY_DEVICE, 4101), "QUIL_ERROR_MODE");
    EXPECT_STREQ(quil_code_name(QUIL_FAMILY_LINK, -10), "QUIL_LINK_TIMEOUT");
    EXPECT_STREQ(quil_code_name(QUIL_FAMILY_STREAM, -987), "QUIL_STREAM_RUNNING");
    EXPECT_STREQ(quil_code_name(QUIL_FAMILY_SEARCH, -100), "QUIL_SEARCH_RUNNING");
    EXPECT_STREQ(quil_code_name(QUIL_FAMILY_JSON, -22), "QUIL_JSON_NO_READ");
    EXPECT_STREQ(quil_code_name(QUIL_FAMILY_JSON, 9), "QUIL_JSON_CONTROLLER_ERROR");
    // The same number means different things in different families.
    EXPECT_STRNE(quil_code_message(QUIL_FAMILY_LINK, -2), quil_code_message(QUIL_FAMILY_SEARCH, -2));
    EXPECT_STREQ(quil_code_name(QUIL_FAMILY_SEARCH, -10), "QUIL_UNKNOWN_CODE");
    EXPECT_STREQ(quil_code_name(7, 0), "QUIL_UNKNOWN_CODE");
}

TEST_F(RawLink, SecondConnectIsRefusedUntilDisconnect) {
    connect(0);
    EXPECT_EQ(LinkConnect(0, sim.address().c_str()), -3);
    EXPECT_EQ(QUIL_EthernetOpen(0, sim.address().c_str()), -1);
    EXPECT_EQ(LinkDisconnect(0), 0);
    EXPECT_EQ(GetDataBuff(0), nullptr);
    connect(0);
    EXPECT_EQ(swap("MD\r\n"), 0);
}

TEST_F(RawLink, RefusedConnectionLeavesNoRecord) {
    const std::string nobody = quil::sim::freeLoopbackAddress();
    EXPECT_EQ(LinkConnect(7, nobody.c_str()), -1);
    EXPECT_EQ(GetDataBuff(7), nullptr);
    EXPECT_EQ(LinkConnect(7, "not an address"), -1);
    EXPECT_EQ(GetDataBuff(7), nullptr);
    connect(7);
    EXPECT_EQ(swap("MD\r\n", nullptr, 2000, 7), 0);
}

TEST_F(RawLink, EthernetOpenReportsFailureOnStandardError) {
    const std::string nobody = quil::sim::freeLoopbackAddress();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(QUIL_EthernetOpen(9, nobody.c_str()), -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Cmd link err"), std::string::npos);
    EXPECT_EQ(QUIL_EthernetOpen(9, sim.address().c_str()), 0);
}

TEST_F(RawLink, LineWithoutCarriageReturnIsNotSent) {
    connect();
    for (const char* bad : {"MD", "MD\n", "M\r\n\n", ""})
        EXPECT_EQ(SwapData(0, bad, static_cast<int32_t>(std::strlen(bad)), nullptr, nullptr, 100), -2) << bad;
    EXPECT_EQ(SwapData(0, nullptr, 4, nullptr, nullptr, 100), -2);
    // Anything sent by the refused calls would arrive before this line.
    ASSERT_EQ(swap("MD\r\n"), 0);
    EXPECT_EQ(sim.received(), "MD\r\n");
    // A line ending in a lone carriage return is sent.
    sim.clearReceived();
    EXPECT_EQ(swap("R0\r", nullptr, 100), -10);
    EXPECT_EQ(sim.received(), "R0\r");
}

TEST_F(RawLink, ShortRepliesEndAtTheirCarriageReturn) {
    connect();
    std::string reply;
    sim.script().replyOnce("AB\r\n");
    ASSERT_EQ(swap("MD\r\n", &reply), 0);
    EXPECT_EQ(reply, "AB");
    EXPECT_EQ(GetDataBuffLen(0), 2);
    // A one-character reply ends within the first read.
    sim.script().replyOnce("A\r\n");
    ASSERT_EQ(swap("MD\r\n", &reply), 0);
    EXPECT_EQ(reply, "A");
    sim.script().replyOnce("\r\n");
    ASSERT_EQ(swap("MD\r\n", &reply), 0);
    EXPECT_EQ(reply, "");
}

TEST_F(RawLink, LongLineIsSentWhole) {
    connect();
    // Far more than the socket takes at once: the rest must follow.
    std::string line = "XY," + std::string(1 << 20, 'a') + "\r\n";
    std::string reply;
    ASSERT_EQ(swap(line, &reply, 5000), 0);
    EXPECT_EQ(reply, "ER,XY,99");
    EXPECT_EQ(sim.received().size(), line.size());
}

TEST_F(RawLink, ReplyInPiecesIsJoined) {
    connect();
    std::string longReply(30000, 'v');
    sim.script().sendInPieces(997, 1).replyOnce(longReply + "\r\n");
    std::string reply;
    ASSERT_EQ(swap("MD\r\n", &reply), 0);
    EXPECT_EQ(reply, longReply);
}

TEST_F(RawLink, BytesPastTheReplyReadZeroAfterALongerEarlierReply) {
    connect();
    sim.script().replyOnce(std::string(50000, 'x') + "\r\n");
    ASSERT_EQ(swap("MD\r\n"), 0);
    sim.script().replyOnce("AB\r\n");
    ASSERT_EQ(swap("MD\r\n"), 0);
    const char* buf = GetDataBuff(0);
    EXPECT_EQ(std::string(buf, 4), "AB\r\n");
    size_t nonZero = 0;
    for (size_t i = 4; i < 60000; ++i) nonZero += buf[i] != 0;
    EXPECT_EQ(nonZero, 0u);
}

// The receive buffer grows to the reply and gives back what a long one
// needed; once the application has asked for it, it is the full-size buffer
// it was handed, with the last reply in it, whatever comes later.
TEST_F(RawLink, BuffersFollowTheReplyUntilTheApplicationAsksForThem) {
    connect();
    const quil::link::LinkPtr rec = quil::link::commandLinks().find(0);
    ASSERT_TRUE(rec);
    const std::string longReply(3 << 20, 'x');
    sim.script().sendInPieces(1 << 20, 0).replyOnce(longReply + "\r\n");
    ASSERT_EQ(SwapData(0, "MD\r\n", 4, nullptr, nullptr, 5000), 0);
    EXPECT_EQ(GetDataBuffLen(0), static_cast<int32_t>(longReply.size()));
    EXPECT_LE(rec->dataBuff.capacity(), quil::link::kKeptBufferBytes) << "the long reply's buffer was given back";
    ASSERT_EQ(swap("MD\r\n"), 0);
    EXPECT_GT(rec->dataBuff.capacity(), 0u);
    EXPECT_LE(rec->dataBuff.capacity(), 64u * 1024) << "a short reply takes little";
    EXPECT_FALSE(rec->dataBuff.handedOut());
    EXPECT_FALSE(rec->tmpBuff.handedOut()) << "nobody asked for the scratch buffer";

    char* buf = GetDataBuff(0);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(std::string(buf, 4), "MD,0") << "the last reply is found in the buffer handed out";
    EXPECT_EQ(buf[quil::link::kLinkBufferSize - 1], 0) << "the documented size";
    sim.script().sendInPieces(1 << 20, 0).replyOnce(longReply + "\r\n");
    ASSERT_EQ(SwapData(0, "MD\r\n", 4, nullptr, nullptr, 5000), 0);
    EXPECT_EQ(GetDataBuff(0), buf);
    EXPECT_EQ(std::string(buf, longReply.size()), longReply);
    ASSERT_EQ(swap("MD\r\n"), 0);
    EXPECT_EQ(GetDataBuff(0), buf);
    EXPECT_EQ(std::string(buf, 6), "MD,0\r\n");
    EXPECT_EQ(std::count(buf + 6, buf + longReply.size() + 2, 0), static_cast<long>(longReply.size()) - 4)
        << "bytes past the reply read zero";
}

TEST_F(RawLink, SilentControllerTimesOut) {
    connect();
    sim.script().silence();
    EXPECT_EQ(swap("MD\r\n", nullptr, 150), -10);
    // A reply that starts but never ends times out on a later read.
    sim.script().replyOnce("MD,0");
    EXPECT_EQ(swap("MD\r\n", nullptr, 150), -10);
}

TEST_F(RawLink, LateReplyIsDiscardedBeforeTheNextLine) {
    connect();
    sim.script().delayOnce(300).replyOnce("LATE\r\n");
    EXPECT_EQ(swap("MD\r\n", nullptr, 100), -10);
    quil::platform::sleepMs(700);  // the late reply has arrived by now
    std::string reply;
    ASSERT_EQ(swap("MD\r\n", &reply), 0);
    EXPECT_EQ(reply, "MD,0");
}

TEST_F(RawLink, LineFillingTheWholeBufferIsRefused) {
    connect();
    sim.script().sendInPieces(1 << 20, 0).replyOnce(std::string(quil::link::kLinkBufferSize + 100, 'z'));
    // The whole reply must arrive within the wait; a loaded machine (or
    // wine) moves the megabyte slowly, and the refusal comes when the
    // buffer is full, however long the wait.
    EXPECT_EQ(swap("MD\r\n", nullptr, 15000), -2);
}

TEST_F(RawLink, ClosedByTheControllerFailsWithoutSignal) {
    connect();
    sim.script().closeAfter(0);
    EXPECT_EQ(swap("MD\r\n"), -1);
    // Sending on the dead connection must fail, not raise SIGPIPE.
    for (int i = 0; i < 5; ++i) EXPECT_LT(swap("MD\r\n", nullptr, 100), 0);
}

TEST_F(RawLink, ConcurrentExchangesNeverSeeEachOthersReplies) {
    connect();
    std::atomic<int> wrong{0};
    auto worker = [&](const std::string& letters) {
        for (int i = 0; i < 200; ++i) {
            std::string reply;
            if (swap(letters + "\r\n", &reply) != 0 || reply != "ER," + letters + ",99") ++wrong;
        }
    };
    std::thread a(worker, "AA"), b(worker, "BB");
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(RawLink, RegisteredSocketSurvivesDisconnectButNotCloseAll) {
    quil::platform::Socket s = connectedSocket();
    ASSERT_TRUE(s.valid());

    ASSERT_EQ(DeviceInit(4, static_cast<int32_t>(s.fd)), 0);
    EXPECT_EQ(DeviceInit(4, static_cast<int32_t>(s.fd)), -3);
    std::string reply;
    ASSERT_EQ(swap("MD\r\n", &reply, 2000, 4), 0);
    EXPECT_EQ(reply, "MD,0");
    EXPECT_EQ(LinkDisconnect(4), 0);
    // Still the application's socket, still connected.
    EXPECT_EQ(quil::platform::sendSome(s, "R0\r\n", 4), 4);
    EXPECT_TRUE(sim.waitReceived(2, 2000));
    EXPECT_EQ(quil::platform::closeSocket(s), 0);
}

TEST_F(RawLink, CloseAllLinksClosesASharedConnectionExactlyOnce) {
    quil::platform::Socket s = connectedSocket();
    ASSERT_TRUE(s.valid());
    auto shared = std::make_shared<quil::link::Connection>(s);
    ASSERT_EQ(quil::link::registerLink(2, shared, false), 0);

    EXPECT_EQ(quil::link::closeAllLinks(2), 0);
    EXPECT_TRUE(shared->closed());
    EXPECT_EQ(GetDataBuff(2), nullptr);
    EXPECT_EQ(shared->close(), 0);  // the second close does nothing

    // The number is free again and a new socket may get it; the closed
    // connection must not touch that socket.
    quil::platform::Socket reuse = connectedSocket();
    ASSERT_TRUE(reuse.valid());
    EXPECT_LT(shared->send("MD\r\n", 4), 0);
    EXPECT_EQ(shared->waitReadable(0), quil::platform::Wait::Error);
    EXPECT_FALSE(sim.waitReceived(1, 100));
    quil::platform::closeSocket(reuse);
}

}  // namespace
