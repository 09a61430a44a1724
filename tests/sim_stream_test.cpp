// The simulated controller's JSON messages and its data stream on the roll
// link, seen through plain loopback sockets.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "sim/client.h"
#include "sim/simulator.h"
#include "sim_fixture.h"

namespace quil::sim {
namespace {

constexpr int kQuietMs = 300;

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// A request as the library sends it: cJSON's formatted print (line feeds and
// tabs inside) in the "#J," envelope.
std::string request(const char* message, std::initializer_list<std::pair<const char*, double>> members) {
    JsonPtr root(cJSON_CreateObject(), &cJSON_Delete);
    cJSON* inner = cJSON_AddObjectToObject(root.get(), message);
    for (const auto& [name, v] : members) cJSON_AddNumberToObject(inner, name, v);
    char* text = cJSON_Print(root.get());
    std::string out = std::string("#J,") + text + "\r\n";
    cJSON_free(text);
    return out;
}

std::string rollSwitch(bool start) {
    return std::string("#J,{\n\t\"RollBatch\":\t{\n\t\t\"StartRoll\":\t") + (start ? "true" : "false") + "\n\t}\n}\r\n";
}

// The reply's JSON object; null (and a failure) unless it is one "#J," line.
JsonPtr parseReply(const std::string& reply) {
    EXPECT_EQ(reply.substr(0, 3), "#J,") << reply;
    EXPECT_EQ(reply.find('\r'), reply.size() - 2) << reply;
    return JsonPtr(reply.size() > 3 ? cJSON_Parse(reply.c_str() + 3) : nullptr, &cJSON_Delete);
}

// The number at a member path, if every member on the way is there.
std::optional<double> numberAt(const JsonPtr& root, std::initializer_list<const char*> path) {
    const cJSON* item = root.get();
    for (const char* name : path) item = cJSON_GetObjectItemCaseSensitive(item, name);
    return cJSON_IsNumber(item) ? std::optional<double>(item->valuedouble) : std::nullopt;
}

class SimJson : public SimConnected {};

TEST_F(SimJson, RegisterReadAndWriteRepliesCarryTheirMembers) {
    struct Read {
        double head, addr;
        std::optional<double> ret, value;
    };
    const Read reads[] = {
        {0, 65560, 0, 86400}, {1, 4108, 0, 3600},         {4, 4108, 0, 14400},      {2, 576, 0, 92.0 * 65536},
        {3, 12345, 0, 0},     {5, 4108, 1, std::nullopt}, {-1, 1, 1, std::nullopt},
    };
    for (const Read& r : reads) {
        JsonPtr reply = parseReply(client.exchange(request("regRead", {{"head", r.head}, {"addr", r.addr}})));
        EXPECT_EQ(numberAt(reply, {"retState"}), 0.0) << r.head << "/" << r.addr;
        EXPECT_EQ(numberAt(reply, {"retValue", "regRead", "ret"}), r.ret) << r.head << "/" << r.addr;
        EXPECT_EQ(numberAt(reply, {"retValue", "regRead", "Read"}), r.value) << r.head << "/" << r.addr;
    }

    // The whole unsigned range survives the trip, written and read back.
    JsonPtr written =
        parseReply(client.exchange(request("regWrite", {{"head", 2}, {"addr", 4294967295.0}, {"data", 4294967295.0}})));
    EXPECT_EQ(numberAt(written, {"retState"}), 0.0);
    EXPECT_EQ(numberAt(written, {"retValue", "regWrite", "ret"}), 0.0);
    EXPECT_EQ(sim.model().registerValue(2, 4294967295u), 4294967295u);
    std::string readBack = client.exchange(request("regRead", {{"head", 2}, {"addr", 4294967295.0}}));
    EXPECT_NE(readBack.find("\"Read\":4294967295}"), std::string::npos) << readBack;
    EXPECT_EQ(sim.model().registerValue(1, 4294967295u), 0u);

    JsonPtr refused = parseReply(client.exchange(request("regWrite", {{"head", 5}, {"addr", 1}, {"data", 1}})));
    EXPECT_EQ(numberAt(refused, {"retValue", "regWrite", "ret"}), 1.0);
    // Missing or non-integral members: the message is not accepted.
    for (const std::string& line :
         {request("regWrite", {{"head", 1}, {"addr", 1}}), request("regRead", {{"head", 1}, {"addr", 1.5}})}) {
        JsonPtr reply = parseReply(client.exchange(line));
        EXPECT_EQ(numberAt(reply, {"retState"}), 1.0) << line;
        EXPECT_EQ(cJSON_GetObjectItem(reply.get(), "retValue"), nullptr) << line;
    }
}

TEST_F(SimJson, SpotTypeRegisterIsLoadedByItsPreparationWrite) {
    const std::string readSpot = "#J,{\"regRead\":{\"head\":0,\"addr\":4164}}\r\n";
    const std::string prepare = "#J,{\"regWrite\":{\"head\":0,\"addr\":148,\"data\":3238135296}}\r\n";
    EXPECT_EQ(client.exchange(readSpot), "#J,{\"retState\":0,\"retValue\":{\"regRead\":{\"ret\":0,\"Read\":0}}}\r\n");
    EXPECT_EQ(client.exchange(prepare), "#J,{\"retState\":0,\"retValue\":{\"regWrite\":{\"ret\":0}}}\r\n");
    EXPECT_EQ(numberAt(parseReply(client.exchange(readSpot)), {"retValue", "regRead", "Read"}), 48.0);
    sim.model().setSpotTypeCode(66);
    // Another value in the preparation register loads nothing.
    client.exchange("#J,{\"regWrite\":{\"head\":0,\"addr\":148,\"data\":1}}\r\n");
    EXPECT_EQ(numberAt(parseReply(client.exchange(readSpot)), {"retValue", "regRead", "Read"}), 48.0);
    client.exchange(prepare);
    EXPECT_EQ(numberAt(parseReply(client.exchange(readSpot)), {"retValue", "regRead", "Read"}), 66.0);
}

TEST_F(SimJson, ErrorRepliesWhenToldAndForLinesThatAreNoMessage) {
    const std::string read = request("regRead", {{"head", 0}, {"addr", 65560}});
    auto write = [](double data) { return request("regWrite", {{"head", 1}, {"addr", 576}, {"data", data}}); };
    EXPECT_EQ(client.exchange("#J,not json\r\n"), "ER,#J,61\r\n");
    EXPECT_EQ(client.exchange("#J,{\"regErase\":{}}\r\n"), "ER,#J,99\r\n");

    sim.model().setJsonError(51, "regRead");
    EXPECT_EQ(client.exchange(read), "ER,#J,51\r\n");
    EXPECT_EQ(numberAt(parseReply(client.exchange(write(7))), {"retValue", "regWrite", "ret"}), 0.0);
    // The number for every kind is sent in two digits, also for a line that is not JSON.
    sim.model().setJsonError(5);
    for (const std::string& line : {write(9), rollSwitch(true), std::string("#J,x\r\n")})
        EXPECT_EQ(client.exchange(line), "ER,#J,05\r\n") << line;
    EXPECT_EQ(client.exchange(read), "ER,#J,51\r\n");
    sim.model().setJsonError(0, "regRead");
    sim.model().setJsonError(0);
    EXPECT_EQ(numberAt(parseReply(client.exchange(read)), {"retValue", "regRead", "Read"}), 86400.0);
    // Refused messages change nothing.
    EXPECT_TRUE(sim.stream().switches().empty());
    EXPECT_EQ(sim.model().registerValue(1, 576), 7u);
}

TEST_F(SimJson, RollBatchSwitchReportsOnlineAndReachesTheStream) {
    sim.stream().configure(StreamConfig{.packets = 1, .packetIntervalMs = 0, .startDelayMs = 0});
    for (bool start : {false, true, false}) {
        JsonPtr reply = parseReply(client.exchange(rollSwitch(start)));
        EXPECT_EQ(numberAt(reply, {"retState"}), 0.0);
        EXPECT_EQ(numberAt(reply, {"retValue", "RollBatch", "Online"}), start ? 1.0 : 0.0);
    }
    EXPECT_EQ(sim.stream().switches(), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(sim.stream().runs(), 1);
    JsonPtr bad = parseReply(client.exchange("#J,{\"RollBatch\":{\"StartRoll\":1}}\r\n"));
    EXPECT_EQ(numberAt(bad, {"retState"}), 1.0);
    EXPECT_EQ(sim.stream().runs(), 1);
}

std::uint32_t le32(const std::string& bytes, std::size_t pos) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(pos + static_cast<std::size_t>(i)));
    return v;
}

// Checks the packets that make up bytes exactly: their headers, and values
// that continue every present channel's counter from *index. Returns the
// number of data packets; *end tells whether the last one was the end packet.
std::uint64_t checkPackets(const std::string& bytes, std::uint8_t mask, std::uint32_t n, std::uint64_t* index,
                           bool* end) {
    std::uint64_t packets = 0;
    *end = false;
    std::size_t pos = 0;
    while (pos < bytes.size() && !*end) {
        if (bytes.size() - pos < Stream::kHeaderSize) break;
        std::uint8_t m = static_cast<std::uint8_t>(bytes[pos]);
        std::uint32_t size = le32(bytes, pos + 4);
        EXPECT_EQ(bytes.substr(pos + 1, 3), std::string("\xFA\xAF\0", 3)) << "packet " << packets;
        EXPECT_EQ(bytes.substr(pos + 8, 8), std::string(8, '\0')) << "packet " << packets;
        if (m == 0 && size == 0) {
            *end = true;
            pos += Stream::kHeaderSize;
            break;
        }
        EXPECT_EQ(m, mask);
        EXPECT_EQ(size, 4 * n * static_cast<std::uint32_t>(std::popcount(mask & 0x0Fu)));
        if (m != mask || bytes.size() - pos - Stream::kHeaderSize < size) break;
        std::size_t at = pos + Stream::kHeaderSize;
        for (int channel = 1; channel <= 4; ++channel) {
            if (!(mask & (1u << (channel - 1)))) continue;
            for (std::uint32_t i = 0; i < n; ++i, at += 4)
                if (le32(bytes, at) != Stream::value(channel, *index + i)) {
                    ADD_FAILURE() << "channel " << channel << " value " << *index + i << " in packet " << packets;
                    return packets;
                }
        }
        *index += n;
        ++packets;
        pos = at;
    }
    EXPECT_EQ(pos, bytes.size()) << "bytes after the last whole packet";
    return packets;
}

class SimStream : public SimJson {
protected:
    bool switchTo(bool start) {
        JsonPtr reply = parseReply(client.exchange(rollSwitch(start)));
        return numberAt(reply, {"retState"}) == 0.0;
    }
    Client roll;
};

TEST_F(SimStream, FiniteRunGoesToTheNewestOpenRollLinkAndEndsWithTheEndPacket) {
    sim.stream().configure(
        StreamConfig{.mask = 0x05, .valuesPerPacket = 3, .packets = 4, .packetIntervalMs = 1, .startDelayMs = 0});
    // A newer roll link that the peer has already closed is passed over.
    Client stale;
    ASSERT_TRUE(roll.connect(sim.address(), sim.rollPort()));
    ASSERT_TRUE(stale.connect(sim.address(), sim.rollPort()));
    for (int i = 0; i < 5000 && sim.rollConnectionsAccepted() < 2; ++i) platform::sleepMs(1);
    ASSERT_EQ(sim.rollConnectionsAccepted(), 2);
    stale.close();
    ASSERT_TRUE(switchTo(true));
    ASSERT_TRUE(sim.stream().waitIdle(5000));

    const std::size_t packetBytes = Stream::kHeaderSize + 4 * 3 * 2;
    std::string bytes = roll.read(4 * packetBytes + Stream::kHeaderSize);
    std::uint64_t index = 0;
    bool end = false;
    EXPECT_EQ(checkPackets(bytes, 0x05, 3, &index, &end), 4u);
    EXPECT_TRUE(end);
    EXPECT_EQ(roll.readQuiet(kQuietMs), "");
    // Channel 3's block follows channel 1's: value 0 of channel 3 sits right after three channel-1 values.
    EXPECT_EQ(le32(bytes, Stream::kHeaderSize + 12), 300000000u);
    EXPECT_EQ(sim.stream().packetsSent(), 4u);
    EXPECT_EQ(sim.stream().valuesPerChannelSent(), 12u);
    EXPECT_TRUE(sim.stream().endPacketSent());
    EXPECT_FALSE(sim.stream().streaming());
}

TEST_F(SimStream, EndlessRunStopsAtAPacketBoundaryAndRestartsFromZero) {
    const std::uint32_t n = 1000;
    sim.stream().configure(StreamConfig{.valuesPerPacket = n, .packetIntervalMs = 0, .startDelayMs = 0});
    for (int run = 1; run <= 2; ++run) {
        // As the library does it: the switch comes before the roll link.
        ASSERT_TRUE(switchTo(true));
        EXPECT_TRUE(sim.stream().streaming());
        ASSERT_TRUE(roll.connect(sim.address(), sim.rollPort()));
        ASSERT_TRUE(sim.stream().waitPackets(20, 5000));
        std::string bytes = roll.read(5 * (Stream::kHeaderSize + 16 * n));
        // Keep reading while the switch goes off, so the packet in progress can end.
        ASSERT_TRUE(client.send(rollSwitch(false)));
        bytes += roll.readQuiet(kQuietMs);
        ASSERT_TRUE(sim.stream().waitIdle(5000));
        bytes += roll.readQuiet(kQuietMs);
        std::uint64_t index = 0;
        bool end = false;
        std::uint64_t packets = checkPackets(bytes, 0x0F, n, &index, &end);
        EXPECT_FALSE(end);
        EXPECT_GE(packets, 20u);
        EXPECT_EQ(packets, sim.stream().packetsSent()) << "run " << run;
        EXPECT_EQ(index, sim.stream().valuesPerChannelSent()) << "run " << run;
        EXPECT_EQ(sim.stream().runs(), run);
        EXPECT_NE(parseReply(client.readLine()), nullptr);
        roll.close();
    }
}

TEST_F(SimStream, LeadAndRawBytesGoOutExactly) {
    EXPECT_EQ(Stream::packet(0x01, {0x04030201}),
              std::string("\x01\xFA\xAF\0\x04\0\0\0\0\0\0\0\0\0\0\0\x01\x02\x03\x04", 20));
    EXPECT_EQ(Stream::header(0x0F, 8, 0x12, 0x34), std::string("\x0F\x12\x34\0\x08\0\0\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_FALSE(sim.stream().sendRaw("x"));

    // A header with wrong markers and a packet with an empty mask but a payload, then the run.
    std::string lead = Stream::header(0x0F, 8, 0x12, 0x34) + Stream::packet(0x00, {7, 8});
    sim.stream().configure(
        StreamConfig{.mask = 0x02, .valuesPerPacket = 2, .packets = 1, .startDelayMs = 0, .lead = lead});
    ASSERT_TRUE(roll.connect(sim.address(), sim.rollPort()));
    ASSERT_TRUE(switchTo(true));
    ASSERT_TRUE(sim.stream().waitIdle(5000));
    std::string expected =
        lead + Stream::packet(0x02, {Stream::value(2, 0), Stream::value(2, 1)}) + Stream::header(0, 0);
    EXPECT_EQ(roll.read(expected.size()), expected);
    EXPECT_TRUE(sim.stream().sendRaw("late"));
    EXPECT_EQ(roll.read(4), "late");
}

TEST_F(SimStream, DropAndStopEndARunWhoseReaderStalls) {
    sim.stream().configure(StreamConfig{.valuesPerPacket = 100000, .packetIntervalMs = 0, .startDelayMs = 0});
    ASSERT_TRUE(roll.connect(sim.address(), sim.rollPort()));
    ASSERT_TRUE(switchTo(true));
    ASSERT_TRUE(sim.stream().waitPackets(1, 5000));
    // Nobody reads: the writer is blocked on a full socket.
    sim.closeConnections();
    EXPECT_TRUE(sim.stream().waitIdle(5000));
    EXPECT_TRUE(roll.waitClosed(5000));

    Client command;
    ASSERT_TRUE(command.connect(sim.address()));
    ASSERT_TRUE(roll.connect(sim.address(), sim.rollPort()));
    ASSERT_TRUE(command.send(rollSwitch(true)));
    ASSERT_TRUE(sim.stream().waitPackets(1, 5000));
    sim.stop();
    EXPECT_FALSE(sim.stream().streaming());
    EXPECT_TRUE(roll.waitClosed(5000));
}

}  // namespace
}  // namespace quil::sim
