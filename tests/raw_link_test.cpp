// The raw command link against a simulated controller on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "link/link_record.h"
#include "platform/platform.h"
#include "quil.h"
#include "sim/simulator.h"

namespace {

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
        EXPECT_EQ(quil::platform::connectStart(s, sim.ip(), 19062), 0);
        quil::platform::setNonBlocking(s);
        return s;
    }
    quil::sim::Simulator sim;
};

TEST(RawLinkNumbers, OutOfRangeOrWithoutARecordAreRefusedEverywhere) {
    for (uint32_t id : {64u, 0xFFFFFFFFu, 5u}) {
        EXPECT_EQ(SwapData(id, "MD\r\n", 4, nullptr, nullptr, 100), -100);
        EXPECT_EQ(GetDataBuff(id), nullptr);
        EXPECT_EQ(GetTmpBuff(id), nullptr);
        EXPECT_EQ(GetDataBuffLen(id), -1);
        EXPECT_EQ(LinkDisconnect(id), 0);
        if (id == 5) break;
        EXPECT_EQ(LinkConnect(id, "127.0.0.1"), -1);
        EXPECT_EQ(DeviceInit(id, 3), -1);
    }
}

TEST_F(RawLink, ExchangeFillsBuffersAndCopyOut) {
    connect(3);
    EXPECT_EQ(GetDataBuffLen(3), 0);
    std::strcpy(GetTmpBuff(3), "MD\r\n");  // a line built in the scratch buffer
    std::string reply;
    ASSERT_EQ(swap(GetTmpBuff(3), &reply, 2000, 3), 0);
    EXPECT_EQ(reply, "MD,0");
    EXPECT_EQ(std::string(GetDataBuff(3), static_cast<size_t>(GetDataBuffLen(3))), "MD,0");
    EXPECT_EQ(sim.received(), "MD\r\n");
    // Short replies end at their carriage return, an empty one too.
    for (const std::string line : {"A", ""}) {
        sim.script().replyOnce(line + "\r\n");
        ASSERT_EQ(swap("MD\r\n", &reply, 2000, 3), 0);
        EXPECT_EQ(reply, line);
    }
    // The bounded copy writes nothing when the answer does not fit.
    sim.script().replyOnce("MS,01,+001.000\r\n");
    std::string buf(20, '#');
    int32_t len = -1;
    EXPECT_EQ(quil_swap(3, "MS,01\r\n", 7, buf.data(), 8, &len, 2000), -2);
    EXPECT_EQ(len, 14) << "the answer's length tells how much room it needs";
    EXPECT_EQ(buf, std::string(20, '#'));
    sim.script().replyOnce("MS,01,+001.000\r\n");
    EXPECT_EQ(quil_swap(3, "MS,01\r\n", 7, buf.data(), 14, &len, 2000), 0);
    EXPECT_EQ(buf, "MS,01,+001.000######");
}

TEST_F(RawLink, ConnectsOncePerNumberAndFailuresLeaveNoRecord) {
    connect(0);
    EXPECT_EQ(LinkConnect(0, sim.address().c_str()), -3);
    EXPECT_EQ(LinkDisconnect(0), 0);
    EXPECT_EQ(GetDataBuff(0), nullptr);
    const std::string nobody = quil::sim::freeLoopbackAddress();
    for (const std::string& address : {nobody, std::string("not an address")}) {
        EXPECT_EQ(LinkConnect(0, address.c_str()), -1) << address;
        EXPECT_EQ(GetDataBuff(0), nullptr) << address;
    }
    EXPECT_EQ(QUIL_EthernetOpen(0, nobody.c_str()), -1);
    connect(0);
    EXPECT_EQ(swap("MD\r\n"), 0);
}

TEST_F(RawLink, LineWithoutCarriageReturnIsNotSent) {
    connect();
    for (const char* bad : {"MD", "MD\n", "M\r\n\n", ""})
        EXPECT_EQ(SwapData(0, bad, static_cast<int32_t>(std::strlen(bad)), nullptr, nullptr, 100), -2) << bad;
    EXPECT_EQ(SwapData(0, nullptr, 4, nullptr, nullptr, 100), -2);
    ASSERT_EQ(swap("MD\r\n"), 0);
    EXPECT_EQ(sim.received(), "MD\r\n") << "the refused calls sent nothing";
}

TEST_F(RawLink, LongLinesGoOutAndComeInWhole) {
    connect();
    // Far more than the socket takes at once: the rest must follow.
    std::string line = "XY," + std::string(1 << 20, 'a') + "\r\n";
    std::string reply;
    ASSERT_EQ(swap(line, &reply, 5000), 0);
    EXPECT_EQ(reply, "ER,XY,99");
    EXPECT_EQ(sim.received().size(), line.size());
    const std::string longReply(30000, 'v');
    sim.script().sendInPieces(997, 1).replyOnce(longReply + "\r\n");
    ASSERT_EQ(swap("MD\r\n", &reply), 0);
    EXPECT_EQ(reply, longReply);
    // A line that fills the whole buffer is refused, however long the wait.
    sim.script().sendInPieces(1 << 20, 0).replyOnce(std::string(quil::link::kLinkBufferSize + 100, 'z'));
    EXPECT_EQ(swap("MD\r\n", nullptr, 15000), -2);
}

// The receive buffer grows to the reply and shrinks after it until the
// application asks for it: from then on the full-size buffer it was handed.
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
    EXPECT_FALSE(rec->dataBuff.handedOut());

    char* buf = GetDataBuff(0);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(std::string(buf, 4), "MD,0") << "the last reply is in the buffer handed out";
    EXPECT_EQ(buf[quil::link::kLinkBufferSize - 1], 0) << "the documented size";
    sim.script().sendInPieces(1 << 20, 0).replyOnce(longReply + "\r\n");
    ASSERT_EQ(SwapData(0, "MD\r\n", 4, nullptr, nullptr, 5000), 0);
    EXPECT_EQ(GetDataBuff(0), buf);
    EXPECT_EQ(std::string(buf, longReply.size()), longReply);
    ASSERT_EQ(swap("MD\r\n"), 0);
    EXPECT_EQ(std::string(buf, 6), "MD,0\r\n");
    EXPECT_EQ(std::count(buf + 6, buf + longReply.size() + 2, 0), static_cast<long>(longReply.size()) - 4);
}

TEST_F(RawLink, ClosedByTheControllerFailsWithoutSignal) {
    connect();
    sim.script().closeAfter(0);
    EXPECT_EQ(swap("MD\r\n"), -1);
    for (int i = 0; i < 5; ++i) EXPECT_LT(swap("MD\r\n", nullptr, 100), 0);
}

TEST_F(RawLink, RegisteredSocketSurvivesDisconnectButASharedOneClosesOnce) {
    quil::platform::Socket s = connectedSocket();
    ASSERT_EQ(DeviceInit(4, static_cast<int32_t>(s.fd)), 0);
    EXPECT_EQ(DeviceInit(4, static_cast<int32_t>(s.fd)), -3);
    ASSERT_EQ(swap("MD\r\n", nullptr, 2000, 4), 0);
    EXPECT_EQ(LinkDisconnect(4), 0);
    EXPECT_EQ(quil::platform::sendSome(s, "R0\r\n", 4), 4) << "still the application's socket";
    EXPECT_TRUE(sim.waitReceived(2, 2000));
    EXPECT_EQ(quil::platform::closeSocket(s), 0);

    auto shared = std::make_shared<quil::link::Connection>(connectedSocket());
    ASSERT_EQ(quil::link::registerLink(2, shared, false), 0);
    EXPECT_EQ(quil::link::closeAllLinks(2), 0);
    EXPECT_TRUE(shared->closed());
    EXPECT_EQ(GetDataBuff(2), nullptr);
    EXPECT_EQ(shared->close(), 0);
    // A new socket may get the freed number; the closed connection must not touch it.
    quil::platform::Socket reuse = connectedSocket();
    sim.clearReceived();
    EXPECT_LT(shared->send("MD\r\n", 4), 0);
    EXPECT_EQ(shared->waitReadable(0), quil::platform::Wait::Error);
    EXPECT_FALSE(sim.waitReceived(1, 100));
    quil::platform::closeSocket(reuse);
}

}  // namespace
