// Encoder inputs, analog outputs and digital outputs against the simulated
// controller.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "quil/codecs.h"
#include "quil/model.h"
#include "settings_fixture.h"

namespace quil::test {
namespace {

using quil::sim::Model;

class EncoderIo : public SettingsTest {};

// The getters of one value by a channel or output number.
const std::vector<IndexedGetter> kSingleGetters = {
    {"current value", QUIL_GetEncoderCurrentValue, 3},
    {"analog output", QUIL_GetAnalogOutputChannel, 3},
    {"digital output", QUIL_GetIOOutputChannel, 4},
};

TEST_F(EncoderIo, ArgumentErrorsSendNothing) {
    int32_t v = kUntouched;
    int32_t* n = nullptr;
    // Every bad argument of the family, the number and a null output
    // included, gives 4103.
    constexpr int32_t kBad = QUIL_ERROR_PARAMETER;
    std::vector<Refusal> cases = {
        {"reset channel 0", [&] { return QUIL_EncoderReset(kId, 0); }, kBad},
        {"reset channel 4", [&] { return QUIL_EncoderReset(kId, 4); }, kBad},
        {"number 0", [&] { return QUIL_SetEncoderNumber(kId, 0); }, kBad},
        {"number 4", [&] { return QUIL_SetEncoderNumber(kId, 4); }, kBad},
        {"number null", [&] { return QUIL_GetEncoderNumber(kId, n); }, kBad},
        {"parameters channel 0", [&] { return QUIL_SetEncoderParameters(kId, 0, 1, 5, 20, 1, 1); }, kBad},
        {"parameters channel 4", [&] { return QUIL_SetEncoderParameters(kId, 4, 1, 5, 20, 1, 1); }, kBad},
        {"InputMode -1", [&] { return QUIL_SetEncoderParameters(kId, 1, -1, 5, 20, 1, 1); }, kBad},
        {"InputMode 4", [&] { return QUIL_SetEncoderParameters(kId, 1, 4, 5, 20, 1, 1); }, kBad},
        {"interval 0", [&] { return QUIL_SetEncoderParameters(kId, 1, 1, 5, 0, 1, 1); }, kBad},
        {"interval 10001", [&] { return QUIL_SetEncoderParameters(kId, 1, 1, 5, 10001, 1, 1); }, kBad},
        {"OperatingMode 3", [&] { return QUIL_SetEncoderParameters(kId, 1, 1, 5, 20, 3, 1); }, kBad},
        {"OperatingMode -1", [&] { return QUIL_SetEncoderParameters(kId, 1, 1, 5, 20, -1, 1); }, kBad},
        {"DetectionDirection 3", [&] { return QUIL_SetEncoderParameters(kId, 1, 1, 5, 20, 1, 3); }, kBad},
        {"get parameters channel 4", [&] { return QUIL_GetEncoderParameters(kId, 4, &v, &v, &v, &v, &v); }, kBad},
        {"get parameters null 1", [&] { return QUIL_GetEncoderParameters(kId, 1, n, &v, &v, &v, &v); }, kBad},
        {"get parameters null 3", [&] { return QUIL_GetEncoderParameters(kId, 1, &v, &v, n, &v, &v); }, kBad},
        {"get parameters null 5", [&] { return QUIL_GetEncoderParameters(kId, 1, &v, &v, &v, &v, n); }, kBad},
        {"analog channel 4", [&] { return QUIL_SetAnalogOutput(kId, 4, 0); }, kBad},
        {"analog OutputChannel 4", [&] { return QUIL_SetAnalogOutput(kId, 1, 4); }, kBad},
        {"analog OutputChannel -1", [&] { return QUIL_SetAnalogOutput(kId, 1, -1); }, kBad},
        {"digital output 0", [&] { return QUIL_SetIODigitalOutput(kId, 0, 1); }, kBad},
        {"digital output 5", [&] { return QUIL_SetIODigitalOutput(kId, 5, 1); }, kBad},
        {"digital Level 5", [&] { return QUIL_SetIODigitalOutput(kId, 1, 5); }, kBad},
        {"digital Level -1", [&] { return QUIL_SetIODigitalOutput(kId, 1, -1); }, kBad},
        {"device 64", [&] { return QUIL_EncoderReset(64, 1); }, QUIL_ERROR_DEVICE_ID},
        {"closed device", [&] { return QUIL_GetEncoderNumber(5, &v); }, QUIL_ERROR_OPEN},
    };
    for (Refusal& r : indexRefusals(kSingleGetters, &v, kBad, kBad)) cases.push_back(std::move(r));
    expectRefused(cases);
    EXPECT_EQ(v, kUntouched);
}

TEST_F(EncoderIo, CommandsAndTheirBytes) {
    int32_t a = 0, b = 0, c = 0, d = 0, e = 0;
    expectSent({
        {[&] { return QUIL_GetEncoderCurrentValue(kId, 2, &a); }, {"CX,02"}},
        {[&] { return QUIL_EncoderReset(kId, 3); }, {"CD,03"}},
        {[&] { return QUIL_SetEncoderNumber(kId, 2); }, {"SW,CY,02"}},
        {[&] { return QUIL_GetEncoderNumber(kId, &a); }, {"SR,CY"}},
        {[&] { return QUIL_SetEncoderParameters(kId, 2, 1, 500, 20, 2, 0); },
         {"SW,CS,01,1,0000000500,000020", "SW,CS,02,1,0000000500,000020", "SW,CS,03,1,0000000500,000020",
          "SW,CQ,01,2,0", "SW,CQ,02,2,0", "SW,CQ,03,2,0"}},
        {[&] { return QUIL_GetEncoderParameters(kId, 3, &a, &b, &c, &d, &e); }, {"SR,CS,03", "SR,CQ,03"}},
        {[&] { return QUIL_SetAnalogOutput(kId, 3, 3); }, {"SW,CT,03,3"}},
        {[&] { return QUIL_GetAnalogOutputChannel(kId, 1, &a); }, {"SR,CT,01"}},
        {[&] { return QUIL_SetIODigitalOutput(kId, 4, 4); }, {"SW,CU,04,4"}},
        {[&] { return QUIL_GetIOOutputChannel(kId, 4, &a); }, {"SR,CU,04"}},
    });
}

TEST_F(EncoderIo, ParametersGoToTheControllerAndBack) {
    ASSERT_EQ(QUIL_SetEncoderParameters(kId, 1, 3, 20000, 10000, 1, 2), QUIL_OK);
    for (int32_t channel : {1, 3}) {
        int32_t p[5] = {};
        ASSERT_EQ(QUIL_GetEncoderParameters(kId, channel, &p[0], &p[1], &p[2], &p[3], &p[4]), QUIL_OK);
        EXPECT_EQ(std::vector<int32_t>(p, p + 5), (std::vector<int32_t>{3, 20000, 10000, 1, 2})) << channel;
    }
}

TEST_F(EncoderIo, RepliesAreParsedAndSpecialTextsReadAsZero) {
    int32_t v = 0;
    const auto current = [&] { return QUIL_GetEncoderCurrentValue(kId, 1, &v); };
    const auto number = [&] { return QUIL_GetEncoderNumber(kId, &v); };
    const auto analog = [&] { return QUIL_GetAnalogOutputChannel(kId, 2, &v); };
    const auto digital = [&] { return QUIL_GetIOOutputChannel(kId, 1, &v); };
    expectParsed({&v}, {
                           {"CX,-42", current, {-42}},
                           {"CX,-FFFFFFF", current, {0}},
                           {"CX,+FFFFFFF", current, {0}},
                           {"SR,CY,03", number, {3}},
                           {"SR,CY,XXXXXXXX", number, {0}},
                           {"SR,CT,02,2", analog, {2}},
                           {"SR,CT,02,XXXXXXXX", analog, {0}},
                           {"SR,CU,01,4", digital, {4}},
                           {"SR,CU,01,+FFFFFFF", digital, {0}},
                       });

    // A special text in field 3 stands for the whole group.
    int32_t p[5] = {9, 9, 9, 9, 9};
    sim.script().replyOnce("SR,CS,01,XXXXXXXX,0000000500,000020\r\n").replyOnce("SR,CQ,01,-FFFFFFF,2\r\n");
    ASSERT_EQ(QUIL_GetEncoderParameters(kId, 1, &p[0], &p[1], &p[2], &p[3], &p[4]), QUIL_OK);
    EXPECT_EQ(std::vector<int32_t>(p, p + 5), std::vector<int32_t>(5, 0));
    sim.script().replyOnce("SR,CS,01,2,0000000500,000020\r\n").replyOnce("SR,CQ,01,1,2\r\n");
    ASSERT_EQ(QUIL_GetEncoderParameters(kId, 1, &p[0], &p[1], &p[2], &p[3], &p[4]), QUIL_OK);
    EXPECT_EQ(std::vector<int32_t>(p, p + 5), (std::vector<int32_t>{2, 500, 20, 1, 2}));
}

TEST_F(EncoderIo, WrongFieldCountsAreRefusedAndOutputsStay) {
    int32_t v = kUntouched;
    int32_t p[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    auto params = [&] { return QUIL_GetEncoderParameters(kId, 1, &p[0], &p[1], &p[2], &p[3], &p[4]); };
    expectAnswers({
        {"CX", [&] { return QUIL_GetEncoderCurrentValue(kId, 1, &v); }, QUIL_ERROR_REPLY},
        {"CX,1,2", [&] { return QUIL_GetEncoderCurrentValue(kId, 1, &v); }, QUIL_ERROR_REPLY},
        {"CD,01", [&] { return QUIL_EncoderReset(kId, 1); }, QUIL_ERROR_REPLY},
        {"SW", [&] { return QUIL_SetEncoderNumber(kId, 1); }, QUIL_ERROR_REPLY},
        {"SR,CY", [&] { return QUIL_GetEncoderNumber(kId, &v); }, QUIL_ERROR_REPLY},
        {"SR,CS,01,1,0000000500", params, QUIL_ERROR_REPLY},
        {"SW,CT,01", [&] { return QUIL_SetAnalogOutput(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SR,CT,01", [&] { return QUIL_GetAnalogOutputChannel(kId, 1, &v); }, QUIL_ERROR_REPLY},
        {"SW,CU,01,1", [&] { return QUIL_SetIODigitalOutput(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SR,CU,01,1,1", [&] { return QUIL_GetIOOutputChannel(kId, 1, &v); }, QUIL_ERROR_REPLY},
    });
    EXPECT_EQ(v, kUntouched);
    EXPECT_EQ(std::vector<int32_t>(p, p + 5), std::vector<int32_t>(5, kUntouched));
    // The second exchange's count is tested too.
    sim.script().replyTo("SR,CQ", "SR,CQ,01,1\r\n");
    EXPECT_EQ(params(), QUIL_ERROR_REPLY);
    EXPECT_EQ(p[3], kUntouched);
}

TEST_F(EncoderIo, ModeRefusalIsRetriedInSettingModeExceptByThreeMembers) {
    sim.model().setMode(Model::kMeasurement);
    EXPECT_EQ(linesOf([&] { return QUIL_SetAnalogOutput(kId, 1, 2); }, QUIL_OK, 3),
              (Lines{"SW,CT,01,2", "Q0", "SW,CT,01,2"}));
    EXPECT_EQ(sim.model().mode(), Model::kSetting);

    int32_t v = kUntouched;
    const struct {
        const char* reply;
        std::function<int32_t()> call;
        const char* line;
    } noRetry[] = {
        {"ER,CX,51\r\n", [&] { return QUIL_GetEncoderCurrentValue(kId, 1, &v); }, "CX,01"},
        {"ER,CD,51\r\n", [&] { return QUIL_EncoderReset(kId, 2); }, "CD,02"},
        {"ER,SR,51\r\n", [&] { return QUIL_GetIOOutputChannel(kId, 3, &v); }, "SR,CU,03"},
    };
    for (const auto& c : noRetry) {
        sim.script().replyOnce(c.reply);
        EXPECT_EQ(linesOf(c.call, QUIL_ERROR_MODE, 1), Lines{c.line});
        quil::platform::sleepMs(50);  // a mode switch would have arrived by now
        EXPECT_EQ(sim.receivedLines(), Lines{c.line});
    }
    EXPECT_EQ(v, kUntouched);
}

TEST(EncoderIoModels, TheFamilyIsTypes34To39) {
    for (int32_t type = -1; type <= 45; ++type) EXPECT_EQ(quil::isEncoderModel(type), type >= 34 && type <= 39) << type;
}

// A refused model: every member gives 8208 before looking at its arguments
// and sends nothing; 34 and 39 are served.
class EncoderIoModel : public SettingsTest, public ::testing::WithParamInterface<int> {
protected:
    EncoderIoModel() : SettingsTest(GetParam()) {}
};

TEST_P(EncoderIoModel, OnlyTheEncoderModelsAreServed) {
    int32_t v = 0;
    const struct {
        const char* what;
        std::function<int32_t()> good;
        std::function<int32_t()> bad;
    } members[] = {
        {"current", [&] { return QUIL_GetEncoderCurrentValue(kId, 1, &v); },
         [&] { return QUIL_GetEncoderCurrentValue(kId, 0, nullptr); }},
        {"reset", [&] { return QUIL_EncoderReset(kId, 1); }, [&] { return QUIL_EncoderReset(kId, 9); }},
        {"set number", [&] { return QUIL_SetEncoderNumber(kId, 1); }, [&] { return QUIL_SetEncoderNumber(kId, 0); }},
        {"get number", [&] { return QUIL_GetEncoderNumber(kId, &v); },
         [&] { return QUIL_GetEncoderNumber(kId, nullptr); }},
        {"set parameters", [&] { return QUIL_SetEncoderParameters(kId, 1, 0, 0, 1, 0, 0); },
         [&] { return QUIL_SetEncoderParameters(kId, 1, 9, 0, 0, 9, 9); }},
        {"get parameters", [&] { return QUIL_GetEncoderParameters(kId, 1, &v, &v, &v, &v, &v); },
         [&] { return QUIL_GetEncoderParameters(kId, 1, nullptr, &v, &v, &v, &v); }},
        {"set analog", [&] { return QUIL_SetAnalogOutput(kId, 1, 0); },
         [&] { return QUIL_SetAnalogOutput(kId, 1, 4); }},
        {"get analog", [&] { return QUIL_GetAnalogOutputChannel(kId, 1, &v); },
         [&] { return QUIL_GetAnalogOutputChannel(kId, 4, &v); }},
        {"set digital", [&] { return QUIL_SetIODigitalOutput(kId, 4, 0); },
         [&] { return QUIL_SetIODigitalOutput(kId, 5, 0); }},
        {"get digital", [&] { return QUIL_GetIOOutputChannel(kId, 4, &v); },
         [&] { return QUIL_GetIOOutputChannel(kId, 1, nullptr); }},
    };
    const bool served = GetParam() == 34 || GetParam() == 39;
    for (const auto& m : members) {
        EXPECT_EQ(m.bad(), served ? QUIL_ERROR_PARAMETER : QUIL_ERROR_UNSUPPORTED) << m.what;
        EXPECT_EQ(m.good(), served ? QUIL_OK : QUIL_ERROR_UNSUPPORTED) << m.what;
    }
    if (served) return;
    // Anything sent above would arrive before this line.
    ASSERT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);
    EXPECT_EQ(sent(1), Lines{"Q0"});
}

INSTANTIATE_TEST_SUITE_P(Models, EncoderIoModel, ::testing::Values(33, 34, 39, 40));

// The encoder parameters: three commands per group under one lock, the
// group's outcome that of channel 3.
class EncoderParameters : public EncoderIo {
protected:
    int32_t set() { return QUIL_SetEncoderParameters(kId, 2, 1, 500, 20, 2, 0); }
};

TEST_F(EncoderParameters, AFailureOnChannelOneOrTwoDoesNotStopTheGroup) {
    sim.script().replyTo("SW,CS,01", "ER,SW,62\r\n").replyTo("SW,CQ,02", "ER,SW,61\r\n");
    const Lines lines = linesOf([&] { return set(); }, QUIL_OK, 6);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "SW,CS,03,1,0000000500,000020");
    EXPECT_EQ(lines[5], "SW,CQ,03,2,0");
}

TEST_F(EncoderParameters, ChannelThreeDecides) {
    const struct {
        const char* line;
        const char* reply;
        int32_t code;
        std::size_t linesSent;
    } cases[] = {
        {"SW,CS,03", "ER,SW,62\r\n", QUIL_ERROR_VALUE, 3},
        {"SW,CS,03", "SW,CS,1\r\n", QUIL_ERROR_REPLY, 3},
        {"SW,CQ,03", "ER,SW,64\r\n", QUIL_ERROR_RANGE, 6},
        {"SW,CQ,03", "SW\r\n", QUIL_ERROR_REPLY, 6},
    };
    for (const auto& c : cases) {
        sim.script().replyTo(c.line, c.reply);
        EXPECT_EQ(linesOf([&] { return set(); }, c.code, c.linesSent).size(), c.linesSent) << c.line << c.reply;
        quil::platform::sleepMs(50);  // a later group would have arrived by now
        EXPECT_EQ(sim.receivedLines().size(), c.linesSent) << c.line << c.reply;
    }
}

TEST_F(EncoderParameters, EachCommandHasItsOwnModeRecovery) {
    sim.model().setMode(Model::kMeasurement);
    const Lines lines = linesOf([&] { return set(); }, QUIL_OK, 8);
    EXPECT_EQ(lines, (Lines{"SW,CS,01,1,0000000500,000020", "Q0", "SW,CS,01,1,0000000500,000020",
                            "SW,CS,02,1,0000000500,000020", "SW,CS,03,1,0000000500,000020", "SW,CQ,01,2,0",
                            "SW,CQ,02,2,0", "SW,CQ,03,2,0"}));
}

TEST_F(EncoderParameters, NoOtherCommandComesBetweenTheChannelsOfAGroup) {
    // Slow answers open a window between the channels of a group.
    sim.script().delayTo("SW,C", 20, 6);
    std::atomic<bool> done{false};
    std::thread other([&] {
        int32_t v = 0;
        while (!done) EXPECT_EQ(QUIL_GetEncoderNumber(kId, &v), QUIL_OK);
    });
    EXPECT_EQ(set(), QUIL_OK);
    done = true;
    other.join();
    const Lines lines = sim.receivedLines();
    const auto first = std::find(lines.begin(), lines.end(), "SW,CS,01,1,0000000500,000020");
    ASSERT_NE(first, lines.end());
    ASSERT_GE(lines.end() - first, 3);
    EXPECT_EQ(first[1], "SW,CS,02,1,0000000500,000020");
    EXPECT_EQ(first[2], "SW,CS,03,1,0000000500,000020");
    const auto cq = std::find(lines.begin(), lines.end(), "SW,CQ,01,2,0");
    ASSERT_NE(cq, lines.end());
    ASSERT_GE(lines.end() - cq, 3);
    EXPECT_EQ(cq[1], "SW,CQ,02,2,0");
    EXPECT_EQ(cq[2], "SW,CQ,03,2,0");
}

TEST_F(EncoderIo, GetEncoderParametersKeepsTheFirstHalfWhenTheSecondFails) {
    int32_t p[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    sim.script().replyOnce("SR,CS,02,3,0000000500,000020\r\n").replyOnce("ER,SR,62\r\n");
    EXPECT_EQ(QUIL_GetEncoderParameters(kId, 2, &p[0], &p[1], &p[2], &p[3], &p[4]), QUIL_ERROR_VALUE);
    EXPECT_EQ(std::vector<int32_t>(p, p + 5), (std::vector<int32_t>{3, 500, 20, kUntouched, kUntouched}));
    // A failed first exchange ends the call before the second.
    sim.clearReceived();
    sim.script().replyOnce("ER,SR,62\r\n");
    EXPECT_EQ(QUIL_GetEncoderParameters(kId, 2, &p[0], &p[1], &p[2], &p[3], &p[4]), QUIL_ERROR_VALUE);
    quil::platform::sleepMs(50);
    EXPECT_EQ(sim.receivedLines(), Lines{"SR,CS,02"});
}

}  // namespace
}  // namespace quil::test
