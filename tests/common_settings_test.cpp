// Common settings against the simulated controller.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "settings_fixture.h"

namespace quil::test {
namespace {

class CommonSettings : public SettingsTest {};

// A model with a single encoder input, where the running and encoder input
// modes are set.
class CommonSettingsModel5 : public SettingsTest {
protected:
    CommonSettingsModel5() : SettingsTest(5) {}
};

TEST_F(CommonSettings, ArgumentErrorsSendNothing) {
    int32_t v = kUntouched;
    int32_t* n = nullptr;
    expectRefused({
        {"cycle 9", [&] { return QUIL_SetSamplingCycle(kId, 9); }, QUIL_ERROR_VALUE},
        {"cycle 16", [&] { return QUIL_SetSamplingCycle(kId, 16); }, QUIL_ERROR_VALUE},
        {"cycle 29", [&] { return QUIL_SetSamplingCycle(kId, 29); }, QUIL_ERROR_VALUE},
        {"cycle 38", [&] { return QUIL_SetSamplingCycle(kId, 38); }, QUIL_ERROR_VALUE},
        {"cycle 0", [&] { return QUIL_SetSamplingCycle(kId, 0); }, QUIL_ERROR_VALUE},
        {"interference -1", [&] { return QUIL_SetMutualInterferencePrevention(kId, -1); }, QUIL_ERROR_VALUE},
        {"interference 3", [&] { return QUIL_SetMutualInterferencePrevention(kId, 3); }, QUIL_ERROR_VALUE},
        {"strobe -1", [&] { return QUIL_SetStrobeTime(kId, -1); }, QUIL_ERROR_VALUE},
        {"strobe 4", [&] { return QUIL_SetStrobeTime(kId, 4); }, QUIL_ERROR_VALUE},
        {"storage number 1200001", [&] { return QUIL_SetDataStorage(kId, 1200001, 5); }, QUIL_ERROR_PARAMETER},
        {"storage number -1", [&] { return QUIL_SetDataStorage(kId, -1, 5); }, QUIL_ERROR_PARAMETER},
        {"storage cycle 11", [&] { return QUIL_SetDataStorage(kId, 5, 11); }, QUIL_ERROR_VALUE},
        {"storage cycle -1", [&] { return QUIL_SetDataStorage(kId, 5, -1); }, QUIL_ERROR_VALUE},
        {"storage number first", [&] { return QUIL_SetDataStorage(kId, 1200001, 11); }, QUIL_ERROR_PARAMETER},
        {"running mode, model 35", [&] { return QUIL_SetRunningMode(kId, 1, 1); }, QUIL_ERROR_UNSUPPORTED},
        {"encoder mode, model 35", [&] { return QUIL_SetEncoderMode(kId, 1, 5, 20); }, QUIL_ERROR_UNSUPPORTED},
        {"model before interval", [&] { return QUIL_SetEncoderMode(kId, 1, 5, 0); }, QUIL_ERROR_UNSUPPORTED},
        {"get cycle null", [&] { return QUIL_GetSamplingCycle(kId, n); }, QUIL_ERROR_NULL_POINTER},
        {"get interference null", [&] { return QUIL_GetMutualInterferencePrevention(kId, n); },
         QUIL_ERROR_NULL_POINTER},
        {"get strobe null", [&] { return QUIL_GetStrobeTime(kId, n); }, QUIL_ERROR_NULL_POINTER},
        {"get storage null 1", [&] { return QUIL_GetDataStorage(kId, n, &v); }, QUIL_ERROR_NULL_POINTER},
        {"get storage null 2", [&] { return QUIL_GetDataStorage(kId, &v, n); }, QUIL_ERROR_NULL_POINTER},
        {"get heads null", [&] { return QUIL_GetNumOfUsedHeads(kId, n); }, QUIL_ERROR_NULL_POINTER},
        {"get OUTs null", [&] { return QUIL_GetNumOfUsedOut(kId, n); }, QUIL_ERROR_NULL_POINTER},
        {"closed device", [&] { return QUIL_GetStrobeTime(5, &v); }, QUIL_ERROR_OPEN},
        {"device 64", [&] { return QUIL_SetStrobeTime(64, 1); }, QUIL_ERROR_DEVICE_ID},
    });
    EXPECT_EQ(v, kUntouched);
}

TEST_F(CommonSettingsModel5, RunningAndEncoderModes) {
    EXPECT_EQ(QUIL_SetEncoderMode(kId, 1, 5, 0), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_SetEncoderMode(kId, 1, 5, 10001), QUIL_ERROR_PARAMETER);
    // The running mode, the input mode and the time are passed on unchecked:
    // the controller decides.
    EXPECT_EQ(linesOf([&] { return QUIL_SetRunningMode(kId, 7, -3); }, QUIL_ERROR_VALUE, 1), Lines{"SW,CJ,7,-3"});
    EXPECT_EQ(linesOf([&] { return QUIL_SetRunningMode(kId, 2, 1); }, QUIL_OK, 1), Lines{"SW,CJ,2,1"});
    EXPECT_EQ(linesOf([&] { return QUIL_SetEncoderMode(kId, 2, 5, 20); }, QUIL_OK, 1),
              Lines{"SW,CI,2,0000000005,000020"});
    EXPECT_EQ(linesOf([&] { return QUIL_SetEncoderMode(kId, 0, 2000, 10000); }, QUIL_OK, 1),
              Lines{"SW,CI,0,0000002000,010000"});
    for (const char* reply : {"SW\r\n", "SW,CJ,1\r\n"}) {
        sim.script().replyOnce(reply).replyOnce(reply);
        EXPECT_EQ(QUIL_SetRunningMode(kId, 1, 1), QUIL_ERROR_REPLY) << reply;
        EXPECT_EQ(QUIL_SetEncoderMode(kId, 1, 1, 1), QUIL_ERROR_REPLY) << reply;
    }
}

TEST_F(CommonSettings, CommandsAndTheirBytes) {
    int32_t a = 0, b = 0;
    expectSent({
        {[&] { return QUIL_SetSamplingCycle(kId, 30); }, {"SW,CA,0"}},
        {[&] { return QUIL_SetSamplingCycle(kId, 37); }, {"SW,CA,7"}},
        {[&] { return QUIL_SetSamplingCycle(kId, 10); }, {"SW,CA,0"}},
        {[&] { return QUIL_SetSamplingCycle(kId, 15); }, {"SW,CA,5"}},
        {[&] { return QUIL_SetMutualInterferencePrevention(kId, 2); }, {"SW,CB,2"}},
        {[&] { return QUIL_SetStrobeTime(kId, 3); }, {"SW,CE,3"}},
        {[&] { return QUIL_SetDataStorage(kId, 1200000, 10); }, {"SW,CF,1200000,10"}},
        {[&] { return QUIL_SetDataStorage(kId, 5, 3); }, {"SW,CF,0000005,03"}},
        {[&] { return QUIL_GetSamplingCycle(kId, &a); }, {"SR,CA", "MD"}},
        {[&] { return QUIL_GetMutualInterferencePrevention(kId, &a); }, {"SR,CB"}},
        {[&] { return QUIL_GetStrobeTime(kId, &a); }, {"SR,CE"}},
        {[&] { return QUIL_GetDataStorage(kId, &a, &b); }, {"SR,CF"}},
        {[&] { return QUIL_GetNumOfUsedHeads(kId, &a); }, {"SR,EF"}},
        {[&] { return QUIL_GetNumOfUsedOut(kId, &a); }, {"SR,EE"}},
    });
}

TEST_F(CommonSettings, RepliesAreParsed) {
    int32_t a = 0, b = 0;
    expectParsed({&a, &b},
                 {
                     {"SR,CB,2", [&] { return QUIL_GetMutualInterferencePrevention(kId, &a); }, {2, kUntouched}},
                     {"SR,CE,3", [&] { return QUIL_GetStrobeTime(kId, &a); }, {3, kUntouched}},
                     {"SR,CF,1200000,10", [&] { return QUIL_GetDataStorage(kId, &a, &b); }, {1200000, 10}},
                     {"SR,CF,0000005,03", [&] { return QUIL_GetDataStorage(kId, &a, &b); }, {5, 3}},
                     {"SR,EF,2", [&] { return QUIL_GetNumOfUsedHeads(kId, &a); }, {2, kUntouched}},
                     {"SR,EE,8", [&] { return QUIL_GetNumOfUsedOut(kId, &a); }, {8, kUntouched}},
                 });
}

TEST_F(CommonSettings, WrongFieldCountsAreRefusedAndOutputsStay) {
    int32_t a = kUntouched, b = kUntouched;
    expectAnswers({
        {"SW", [&] { return QUIL_SetSamplingCycle(kId, 30); }, QUIL_ERROR_REPLY},
        {"SW,CB,1", [&] { return QUIL_SetMutualInterferencePrevention(kId, 1); }, QUIL_ERROR_REPLY},
        {"SW", [&] { return QUIL_SetStrobeTime(kId, 1); }, QUIL_ERROR_REPLY},
        {"SW,CF,1", [&] { return QUIL_SetDataStorage(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SR,CA", [&] { return QUIL_GetSamplingCycle(kId, &a); }, QUIL_ERROR_REPLY},
        {"SR,CB,1,1", [&] { return QUIL_GetMutualInterferencePrevention(kId, &a); }, QUIL_ERROR_REPLY},
        {"SR,CE", [&] { return QUIL_GetStrobeTime(kId, &a); }, QUIL_ERROR_REPLY},
        {"SR,CF,1", [&] { return QUIL_GetDataStorage(kId, &a, &b); }, QUIL_ERROR_REPLY},
        {"SR,EF,1,2", [&] { return QUIL_GetNumOfUsedHeads(kId, &a); }, QUIL_ERROR_REPLY},
        {"SR,EE", [&] { return QUIL_GetNumOfUsedOut(kId, &a); }, QUIL_ERROR_REPLY},
    });
    EXPECT_EQ(a, kUntouched);
    EXPECT_EQ(b, kUntouched);
}

TEST_F(CommonSettings, ReplyBuffersAre128BytesForWritesAnd256ForReads) {
    // 150 bytes: too long for a write's reply, within a read's.
    std::string longReply = "SR,CE,1";
    while (longReply.size() < 148) longReply += ",0";
    sim.script().replyOnce(longReply + "\r\n");
    int32_t v = kUntouched;
    EXPECT_EQ(QUIL_GetStrobeTime(kId, &v), QUIL_ERROR_REPLY) << "read whole, then its fields counted";
    longReply.replace(0, 2, "SW");
    sim.script().replyOnce(longReply + "\r\n");
    EXPECT_EQ(QUIL_SetStrobeTime(kId, 1), QUIL_ERROR_OVERFLOW);
}

TEST_F(CommonSettings, ModeRefusalIsRetriedInSettingMode) {
    expectModeRetry([&] { return QUIL_SetStrobeTime(kId, 2); }, "SW,CE,2");
    int32_t v = kUntouched;
    expectModeRetry([&] { return QUIL_GetStrobeTime(kId, &v); }, "SR,CE");
    EXPECT_EQ(v, 2);
    // Another refusal after the switch is returned.
    sim.script().replyTo("SR,CE", "ER,SR,51\r\n", 2);
    EXPECT_EQ(QUIL_GetStrobeTime(kId, &v), QUIL_ERROR_MODE);
}

// ------------------------------------------------------------ sampling cycle

TEST_F(CommonSettings, SamplingCycleReadBackOnAnEncoderModelIsAcceptedAgain) {
    for (int32_t cycle : {30, 33, 37}) {
        ASSERT_EQ(QUIL_SetSamplingCycle(kId, cycle), QUIL_OK);
        int32_t read = kUntouched;
        ASSERT_EQ(QUIL_GetSamplingCycle(kId, &read), QUIL_OK);
        EXPECT_EQ(read, cycle);
    }
}

// The model code and the sampling cycle read back for the controller's code 2.
struct CycleCase {
    int model;
    int32_t read;
};

class SamplingCycleByModel : public SettingsTest, public ::testing::WithParamInterface<CycleCase> {
protected:
    SamplingCycleByModel() : SettingsTest(GetParam().model) {}
};

TEST_P(SamplingCycleByModel, ReadBackByModelGroup) {
    sim.script().replyTo("SR,CA", "SR,CA,2\r\n");
    int32_t v = kUntouched;
    EXPECT_EQ(QUIL_GetSamplingCycle(kId, &v), QUIL_OK);
    EXPECT_EQ(v, GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(Groups, SamplingCycleByModel,
                         ::testing::Values(CycleCase{36, 32}, CycleCase{34, 32}, CycleCase{39, 32}, CycleCase{5, 2},
                                           CycleCase{11, 2}, CycleCase{0, 2}, CycleCase{3, 2}));

TEST_F(CommonSettings, SamplingCycleNeedsTheModel) {
    const struct {
        const char* modelReply;
        int32_t code;
    } cases[] = {
        {"ER,MD,62\r\n", QUIL_ERROR_VALUE},  // the model read fails: its code
        {"MD,12\r\n", QUIL_ERROR_UNKNOWN},   // a model in no group
        {"MD,99\r\n", QUIL_ERROR_REPLY},     // no model code at all
    };
    for (const auto& c : cases) {
        sim.script().replyTo("MD", c.modelReply);
        int32_t v = kUntouched;
        EXPECT_EQ(linesOf([&] { return QUIL_GetSamplingCycle(kId, &v); }, c.code, 2), (Lines{"SR,CA", "MD"}))
            << c.modelReply;
        EXPECT_EQ(v, kUntouched) << c.modelReply;
    }
}

}  // namespace
}  // namespace quil::test
