// The simulated controller as the library's tests see it: real loopback TCP
// through platform sockets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/client.h"
#include "sim/simulator.h"
#include "sim_fixture.h"

namespace quil::sim {
namespace {

// How long a test listens to be sure that nothing arrives.
constexpr int kQuietMs = 300;

std::uint64_t elapsedSince(std::uint64_t startMs) { return platform::monotonicMs() - startMs; }

class SimModel : public SimConnected {};
class SimScript : public SimConnected {};

TEST(SimLifecycle, StopClosesEverythingAndFreesTheAddress) {
    std::string address;
    {
        Simulator first;
        ASSERT_TRUE(first.start());
        address = first.address();
        Client command, roll;
        ASSERT_TRUE(command.connect(address));
        ASSERT_TRUE(roll.connect(address, first.rollPort()));
        EXPECT_EQ(command.exchange("MD\r\n"), "MD,0\r\n");
        // The roll link is held open and answers nothing.
        ASSERT_TRUE(roll.send("MD\r\n"));
        EXPECT_EQ(roll.readQuiet(kQuietMs), "");
        EXPECT_EQ(first.rollConnectionsAccepted(), 1);
        first.stop();
        EXPECT_TRUE(command.waitClosed());
        EXPECT_TRUE(roll.waitClosed());
        Client late;
        EXPECT_FALSE(late.connect(address));
    }
    Simulator second(Options{.address = address});
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.address(), address);
    Client client;
    ASSERT_TRUE(client.connect(address));
    EXPECT_EQ(client.exchange("MD\r\n"), "MD,0\r\n");
}

TEST(SimLifecycle, StopCutsShortDelaysAndBlockedWrites) {
    Simulator sim;
    ASSERT_TRUE(sim.start());
    // A reply far larger than the socket buffers to a client that never
    // reads, and an answer held back for a minute.
    sim.script().replyTo("SR", std::string(32 * 1024 * 1024, 'x')).delayTo("MD", 60000);
    Client stalled, waiting;
    ASSERT_TRUE(stalled.connect(sim.address()));
    ASSERT_TRUE(waiting.connect(sim.address()));
    ASSERT_TRUE(stalled.send("SR,01\r\n"));
    ASSERT_TRUE(waiting.send("MD\r\n"));
    ASSERT_TRUE(sim.waitReceived(2, 2000));
    std::uint64_t start = platform::monotonicMs();
    sim.stop();
    EXPECT_LT(elapsedSince(start), 60000u);
    EXPECT_TRUE(waiting.waitClosed());
    EXPECT_EQ(waiting.read(1, 0), "");
}

TEST(SimLifecycle, SimulatorsOnDistinctAddressesKeepTheirOwnModel) {
    Simulator a(Options{.model = 7});
    Simulator b(Options{.model = 36});
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    EXPECT_NE(a.address(), b.address());
    for (Simulator* sim : {&a, &b}) {
        EXPECT_EQ(sim->ip().b[0], 127);
        EXPECT_NE(sim->address(), "127.0.0.1");
    }
    Client ca, cb;
    ASSERT_TRUE(ca.connect(a.address()));
    ASSERT_TRUE(cb.connect(b.address()));
    EXPECT_EQ(ca.exchange("MD\r\n"), "MD,7\r\n");
    EXPECT_EQ(cb.exchange("MD\r\n"), "MD,36\r\n");

    // A free address is one where nothing listens.
    std::string idle = freeLoopbackAddress();
    Client nobody;
    EXPECT_FALSE(nobody.connect(idle));
}

TEST_F(SimModel, SwitchesModesAndRefusesUnknownLines) {
    sim.model().on(
        "SR",
        [](Model& m, const Command& c) {
            return Model::reply({c.code, c.fields.at(1), m.value("gain", "5")});
        },
        Model::kSetting);
    struct Exchange {
        const char* line;
        const char* reply;
        int modeAfter;
    };
    const Exchange exchanges[] = {
        {"MD", "MD,0\r\n", 0}, {"SR,07", "ER,SR,51\r\n", 0},  {"Q0", "Q0\r\n", 1},          {"SR,07", "SR,07,5\r\n", 1},
        {"R0", "R0\r\n", 0},   {"ZZ,1,2", "ER,ZZ,99\r\n", 0}, {"#J,{}", "ER,#J,99\r\n", 0},
    };
    for (const Exchange& e : exchanges) {
        EXPECT_EQ(client.exchange(std::string(e.line) + "\r\n"), e.reply) << e.line;
        EXPECT_EQ(sim.model().mode(), e.modeAfter) << e.line;
    }
    // Lines split over several sends and several lines in one send.
    ASSERT_TRUE(client.send("MD\r"));
    ASSERT_TRUE(client.send("\nQ0\r\nMD\r\n"));
    EXPECT_EQ(client.readLine(), "MD,0\r\n");
    EXPECT_EQ(client.readLine(), "Q0\r\n");
    EXPECT_EQ(client.readLine(), "MD,0\r\n");
}

TEST_F(SimModel, GroupHandlersAnswerBeforeTheCodeHandler) {
    sim.model().on("SR", [](Model&, const Command& c) { return Model::reply({c.code, "any"}); });
    sim.model().on("SR,HA", [](Model&, const Command& c) { return Model::reply({c.code, "group"}); });
    EXPECT_EQ(client.exchange("SR,HA,M,01\r\n"), "SR,group\r\n");
    EXPECT_EQ(client.exchange("SR,ZZ,M,01\r\n"), "SR,any\r\n");  // a group without a handler
    EXPECT_EQ(client.exchange("SR\r\n"), "SR,any\r\n");
}

// The model's exact answers; the reply field counts are what the library checks.
TEST_F(SimModel, MeasuredValuesAndProgramAnswers) {
    sim.model().setOutValue(2, "XXXXXXXX");
    sim.model().setOutValue(4, "-FFFFFFF");
    sim.model().setOutValue(8, "+FFFFFFF");
    expectAnswers({
        {"MS,01", "MS,01,+001.000"},
        {"MS,08", "MS,08,+FFFFFFF"},
        {"MS,00", "ER,MS,64"},
        {"MS,09", "ER,MS,64"},
        {"MS,x", "ER,MS,61"},
        {"MS", "ER,MS,61"},
        {"MM,1111", "MM,1111,+001.000,XXXXXXXX,+003.000,-FFFFFFF"},
        {"MM,0101", "MM,0101,XXXXXXXX,-FFFFFFF"},
        {"MM,0010", "MM,0010,+003.000"},
        {"MM,0000", "ER,MM,64"},
        {"MM,11", "ER,MM,61"},
        {"MM,1201", "ER,MM,61"},
        {"MA", "MA,+001.000,XXXXXXXX,+003.000,-FFFFFFF"},
        {"MA,1", "ER,MA,61"},
        {"PR", "PR,0"},
        {"PW,7", "PW"},
        {"PR", "PR,7"},
        {"PW,8", "ER,PW,61"},
        {"PW,-1", "ER,PW,61"},
        {"PW,0", "PW"},
        {"PR", "PR,0"},
    });
    EXPECT_EQ(sim.model().outValue(5), "+005.000");
    EXPECT_EQ(sim.model().outValue(9), "");
}

TEST_F(SimModel, ControlCommandsEchoAndChangeTheOutState) {
    Model& m = sim.model();
    struct Step {
        const char* line;
        const char* reply;
        std::function<bool(const Model&)> holds;
    };
    const Step steps[] = {
        {"TS,1,03", "TS,1,03", [](const Model& s) { return s.timing(3) && !s.timing(1); }},
        {"TP,-1", "TP,-1", [](const Model& s) { return s.timing(1) && s.timing(4) && !s.timing(5); }},
        {"TM,0,1010", "TM,0,1010", [](const Model& s) { return !s.timing(1) && s.timing(2) && !s.timing(3); }},
        {"TS,1,05", "ER,TS,64", [](const Model& s) { return !s.timing(5); }},
        {"VS,04", "VS,04", [](const Model& s) { return s.zero(4) && !s.zero(3); }},
        {"VM,1100", "VM,1100", [](const Model& s) { return s.zero(1) && s.zero(2) && !s.zero(3); }},
        {"WS,01", "WS,01", [](const Model& s) { return !s.zero(1) && s.zero(2); }},
        {"VA", "VA", [](const Model& s) { return s.zero(1) && s.zero(3); }},
        {"WM,0011", "WM,0011", [](const Model& s) { return s.zero(1) && !s.zero(3) && !s.zero(4); }},
        {"WA", "WA", [](const Model& s) { return !s.zero(1) && !s.zero(2); }},
        {"DS,02", "DS", [](const Model& s) { return s.resetCount(2) == 1 && s.resetCount(1) == 0; }},
        {"DM,0110", "DM", [](const Model& s) { return s.resetCount(2) == 2 && s.resetCount(3) == 1; }},
        {"DA", "DA",
         [](const Model& s) { return s.resetCount(1) == 1 && s.resetCount(2) == 3 && s.resetCount(4) == 1; }},
        {"DS,09", "ER,DS,64", [](const Model& s) { return s.resetCount(1) == 1; }},
        {"DA,1", "ER,DA,61", [](const Model& s) { return s.resetCount(1) == 1; }},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(client.exchange(std::string(step.line) + "\r\n"), std::string(step.reply) + "\r\n");
        EXPECT_TRUE(step.holds(m)) << step.line;
    }
}

TEST_F(SimModel, SettingModeRefusesMeasurementCommands) {
    const char* lines[] = {"MS,01",   "MM,1000", "MA", "TS,1,01", "TM,1,1000", "TP,1", "VS,01", "WS,01", "VM,1000",
                           "WM,1000", "VA",      "WA", "DS,01",   "DM,1000",   "DA",   "PW,3",  "PR"};
    expectAnswers({{"Q0", "Q0"}});
    for (const char* line : lines) {
        std::string code(line, 2);
        EXPECT_EQ(client.exchange(std::string(line) + "\r\n"), "ER," + code + ",51\r\n");
    }
    // Nothing refused took effect; the model query and the mode commands still answer.
    EXPECT_EQ(sim.model().programNo(), 0);
    EXPECT_FALSE(sim.model().timing(1));
    EXPECT_FALSE(sim.model().zero(1));
    EXPECT_EQ(sim.model().resetCount(1), 0);
    expectAnswers({{"MD", "MD,0"}, {"R0", "R0"}, {"PW,3", "PW"}, {"PR", "PR,3"}});
}

TEST_F(SimScript, ScriptedRepliesAreSentExactly) {
    const std::string odd = "MS,+00.123\r\nno line end";
    sim.script().replyOnce(odd).replyTo("SR", "SR,ok\r\n", 2);
    ASSERT_TRUE(client.send("MS,01\r\n"));
    EXPECT_EQ(client.read(odd.size()), odd);
    EXPECT_EQ(client.exchange("MD\r\n"), "MD,0\r\n");  // the prefix rule leaves other lines to the model
    EXPECT_EQ(client.exchange("SR,01\r\n"), "SR,ok\r\n");
    EXPECT_EQ(client.exchange("SR,02\r\n"), "SR,ok\r\n");
    EXPECT_EQ(client.exchange("SR,03\r\n"), sim.model().answer("SR,03"));
    EXPECT_EQ(sim.script().pending(), 0u);
}

TEST_F(SimScript, SilenceAnswersNothing) {
    sim.script().silence().silenceTo("MS");
    ASSERT_TRUE(client.send("MD\r\n"));
    EXPECT_EQ(client.readQuiet(kQuietMs), "");
    EXPECT_EQ(client.exchange("MD\r\n"), "MD,0\r\n");
    ASSERT_TRUE(client.send("MS,01\r\n"));
    EXPECT_EQ(client.readQuiet(kQuietMs), "");
    EXPECT_EQ(client.exchange("MS,01\r\n"), "MS,01,+001.000\r\n");
}

TEST_F(SimScript, CloseAfterLetsLinesThroughThenCloses) {
    sim.script().closeAfter(1);
    EXPECT_EQ(client.exchange("MD\r\n"), "MD,0\r\n");
    ASSERT_TRUE(client.send("MD\r\n"));
    EXPECT_TRUE(client.waitClosed());
    EXPECT_EQ(client.read(1, 0), "");  // closed without an answer
    EXPECT_TRUE(sim.waitOpenConnections(0, 2000));

    Client next;
    ASSERT_TRUE(next.connect(sim.address()));
    EXPECT_EQ(next.exchange("MD\r\n"), "MD,0\r\n");
    EXPECT_EQ(sim.connectionsAccepted(), 2);
}

TEST_F(SimScript, DelayAndPiecesHoldTheAnswerBack) {
    struct Case {
        const char* name;
        std::function<void(Script&)> arrange;
        std::string expected;
        std::uint64_t atLeastMs;
    };
    const Case cases[] = {
        {"delayed model answer", [](Script& s) { s.delayOnce(150); }, "MD,0\r\n", 150},
        {"delayed scripted reply", [](Script& s) { s.replyOnce("AB,1\r\n").delayOnce(150); }, "AB,1\r\n", 150},
        // "MD,0\r\n" in pieces of 2 bytes: two pauses between three pieces.
        {"pieces", [](Script& s) { s.sendInPieces(2, 80); }, "MD,0\r\n", 160},
        {"delay then pieces", [](Script& s) { s.sendInPieces(4, 100).delayOnce(100); }, "MD,0\r\n", 200},
    };
    for (const Case& c : cases) {
        c.arrange(sim.script());
        std::uint64_t start = platform::monotonicMs();
        EXPECT_EQ(client.exchange("MD\r\n"), c.expected) << c.name;
        EXPECT_GE(elapsedSince(start), c.atLeastMs) << c.name;
        EXPECT_EQ(sim.script().pending(), 0u) << c.name;
    }
}

TEST_F(SimScript, LargeReplyInPiecesArrivesWhole) {
    std::string big(10 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('0' + i % 43);
    big += "\r\n";
    sim.script().replyOnce(big).sendInPieces(64 * 1024, 1);
    std::uint64_t start = platform::monotonicMs();
    ASSERT_TRUE(client.send("SR,00\r\n"));
    std::string got = client.read(big.size(), 20000);
    ASSERT_EQ(got.size(), big.size());
    EXPECT_GE(elapsedSince(start), 150u);  // 161 pieces, a pause of 1 ms between each two
    EXPECT_TRUE(got == big);
    EXPECT_EQ(client.exchange("MD\r\n"), "MD,0\r\n");
}

TEST(SimServer, RecordsReceivedBytesInOrder) {
    Simulator sim;
    ASSERT_TRUE(sim.start());
    Client one, two;
    ASSERT_TRUE(one.connect(sim.address()));
    ASSERT_TRUE(two.connect(sim.address()));
    ASSERT_TRUE(one.send("MD\r"));
    ASSERT_TRUE(one.send("\nR0,x\r\n"));
    EXPECT_EQ(one.readLine(), "MD,0\r\n");
    EXPECT_EQ(one.readLine(), "R0\r\n");
    EXPECT_EQ(two.exchange("Q0\r\n"), "Q0\r\n");
    ASSERT_TRUE(one.send("\r\nZZ"));  // an empty line, then a line not yet ended
    EXPECT_TRUE(sim.waitReceived(4, 2000));
    EXPECT_EQ(one.readLine(), "ER,,99\r\n");

    EXPECT_FALSE(sim.waitReceived(5, 100));
    EXPECT_EQ(sim.received(), "MD\r\nR0,x\r\nQ0\r\n\r\nZZ");
    EXPECT_EQ(sim.receivedLines(), (std::vector<std::string>{"MD", "R0,x", "Q0", ""}));
    sim.clearReceived();
    EXPECT_EQ(sim.received(), "");
    EXPECT_TRUE(sim.receivedLines().empty());
}

TEST(SimServer, SendRawAndCloseConnections) {
    Simulator sim;
    ASSERT_TRUE(sim.start());
    EXPECT_FALSE(sim.sendRaw("late\r\n"));  // nobody to send to
    Client older, newer;
    ASSERT_TRUE(older.connect(sim.address()));
    ASSERT_TRUE(sim.waitAccepted(1, 2000));
    ASSERT_TRUE(newer.connect(sim.address()));
    ASSERT_TRUE(sim.waitAccepted(2, 2000));
    EXPECT_EQ(sim.openConnections(), 2);

    ASSERT_TRUE(sim.sendRaw("MS,late\r\n"));
    EXPECT_EQ(newer.readLine(), "MS,late\r\n");
    EXPECT_EQ(older.readQuiet(kQuietMs), "");

    sim.closeConnections();
    EXPECT_TRUE(older.waitClosed());
    EXPECT_TRUE(newer.waitClosed());
    EXPECT_EQ(sim.openConnections(), 0);
    EXPECT_FALSE(sim.sendRaw("late\r\n"));

    Client again;
    ASSERT_TRUE(again.connect(sim.address()));
    EXPECT_EQ(again.exchange("MD\r\n"), "MD,0\r\n");
}

TEST(SimScriptRules, RulesFireInTheOrderTheyWereAdded) {
    using Answer = Script::Plan::Answer;
    Script script;
    script.silenceTo("MS").replyOnce("A\r\n").delayOnce(50).delayTo("MS", 70).closeAfter(3).sendInPieces(2, 5);
    struct Step {
        const char* line;
        Answer answer;
        int delayMs;
        std::size_t pieceSize;
    };
    const Step steps[] = {
        {"MS,01", Answer::Silence, 50, 0},  // silence keeps the piece rule for an answer
        {"MD", Answer::Bytes, 0, 2},        // the prefixed delay waits for its line
        {"MS,02", Answer::Model, 70, 0},    // the third line passes the close rule
        {"MD", Answer::Close, 0, 0},       {"MD", Answer::Model, 0, 0},
    };
    for (const Step& s : steps) {
        Script::Plan p = script.plan(s.line);
        EXPECT_EQ(p.answer, s.answer) << s.line;
        EXPECT_EQ(p.delayMs, s.delayMs) << s.line;
        EXPECT_EQ(p.pieceSize, s.pieceSize) << s.line;
    }
    EXPECT_EQ(script.pending(), 0u);

    script.replyTo("X", "x\r\n", Script::kAlways);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(script.plan("X,1").bytes, "x\r\n");
    EXPECT_EQ(script.pending(), 1u);
    script.clear();
    EXPECT_EQ(script.plan("X,1").answer, Answer::Model);
}

}  // namespace
}  // namespace quil::sim
