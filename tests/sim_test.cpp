// The simulated controller's behaviour that the library's tests rely on: its
// standing faults and the framing of its data stream, seen through plain
// loopback sockets. Its search answers are tried in search_test.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "sim/client.h"
#include "sim/faults.h"
#include "sim/simulator.h"

namespace quil::sim {
namespace {

constexpr int kQuietMs = 300;

TEST(SimFaults, EachFaultShapesEveryAnswer) {
    std::uint32_t seed = 1;  // where the simulator's garbage generator starts
    const std::string garbage1 = garbageLine(&seed), garbage2 = garbageLine(&seed);
    const struct {
        const char* name;
        Faults faults;
        std::string first, second;  // the answers to two lines; "": none
        std::uint64_t atLeastMs;    // each answer's wait
    } rows[] = {
        {"drop", {.dropAfterLines = 1}, "MD,0\r\n", "", 0},    {"late", {.lateMs = 200}, "MD,0\r\n", "MD,0\r\n", 200},
        {"drip", {.dripMs = 30}, "MD,0\r\n", "MD,0\r\n", 150},  // five pauses between six bytes
        {"garbage", {.garbage = true}, garbage1, garbage2, 0}, {"mute", {.mute = true}, "", "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Simulator sim(Options{.faults = row.faults});
        ASSERT_TRUE(sim.start());
        Client client;
        ASSERT_TRUE(client.connect(sim.address()));
        for (const std::string& answer : {row.first, row.second}) {
            const std::uint64_t start = platform::monotonicMs();
            ASSERT_TRUE(client.send("MD\r\n"));
            EXPECT_EQ(answer.empty() ? client.readQuiet(kQuietMs) : client.read(answer.size()), answer);
            EXPECT_GE(platform::monotonicMs() - start, row.atLeastMs);
        }
        EXPECT_EQ(client.waitClosed(500), row.faults.dropAfterLines > 0);
    }
}

TEST(SimStream, PacketsGoToTheNewestOpenRollLinkInChannelBlocksThenTheEndPacket) {
    EXPECT_EQ(Stream::packet(0x01, {0x04030201}),
              std::string("\x01\xFA\xAF\0\x04\0\0\0\0\0\0\0\0\0\0\0\x01\x02\x03\x04", 20));
    Simulator sim;
    ASSERT_TRUE(sim.start());
    sim.stream().configure(
        StreamConfig{.mask = 0x05, .valuesPerPacket = 2, .packets = 2, .packetIntervalMs = 1, .startDelayMs = 0});
    Client command, roll, stale;
    ASSERT_TRUE(command.connect(sim.address()));
    ASSERT_TRUE(roll.connect(sim.address(), sim.rollPort()));
    ASSERT_TRUE(stale.connect(sim.address(), sim.rollPort()));
    for (int i = 0; i < 5000 && sim.rollConnectionsAccepted() < 2; ++i) platform::sleepMs(1);
    stale.close();  // a newer roll link that its peer closed is passed over
    const std::string on = "#J,{\n\t\"RollBatch\":\t{\n\t\t\"StartRoll\":\ttrue\n\t}\n}\r\n";
    EXPECT_NE(command.exchange(on).find("\"Online\":1"), std::string::npos);
    ASSERT_TRUE(sim.stream().waitIdle(5000));
    // Each packet holds channel 1's block, then channel 3's.
    std::string expected;
    for (std::uint64_t i : {0, 2})
        expected += Stream::packet(
            0x05, {Stream::value(1, i), Stream::value(1, i + 1), Stream::value(3, i), Stream::value(3, i + 1)});
    expected += Stream::header(0, 0);
    EXPECT_EQ(roll.read(expected.size()), expected);
    EXPECT_EQ(roll.readQuiet(kQuietMs), "");
}

}  // namespace
}  // namespace quil::sim
