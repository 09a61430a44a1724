// Head settings against the simulated controller.
#include <gtest/gtest.h>

#include <climits>
#include <regex>

#include "log_dir.h"
#include "platform/platform.h"
#include "settings_fixture.h"

namespace quil::test {
namespace {

class HeadSettings : public SettingsTest {};

// The getters with one output.
const std::vector<IndexedGetter> kSingleGetters = {
    {"AbleMode", QUIL_GetAbleMode, 4},
    {"MeasureMode", QUIL_GetMeasureMode, 4},
    {"BasicPoint", QUIL_GetBasicPoint, 4},
    {"NumAlarm", QUIL_GetNumAlarm, 4},
    {"NumRecovery", QUIL_GetNumRecovery, 4},
    {"AlarmLevel", QUIL_GetAlarmLevel, 4},
    {"ReflectionMode", QUIL_GetReflectionMode, 4},
    {"Median", QUIL_GetMedian, 4},
    {"LaserCtrlGroup", QUIL_GetLaserCtrlGroup, 4},
    {"MutualInterferencePreventionGroup", QUIL_GetMutualInterferencePreventionGroup, 4},
};

TEST_F(HeadSettings, ArgumentErrorsSendNothing) {
    int32_t a = 0, b = 0, c = 0;
    std::vector<Refusal> cases = {
        {"AbleMode head 0", [&] { return QUIL_SetAbleMode(kId, 0, 1); }, QUIL_ERROR_RANGE},
        {"AbleMode head 5 and bad mode", [&] { return QUIL_SetAbleMode(kId, 5, 2); }, QUIL_ERROR_RANGE},
        {"AbleMode 2", [&] { return QUIL_SetAbleMode(kId, 1, 2); }, QUIL_ERROR_PARAMETER},
        {"AbleMode -1", [&] { return QUIL_SetAbleMode(kId, 1, -1); }, QUIL_ERROR_PARAMETER},
        {"AbleMinMax Min 0", [&] { return QUIL_SetAbleMinMax(kId, 1, 0, 50); }, QUIL_ERROR_PARAMETER},
        {"AbleMinMax Max 100", [&] { return QUIL_SetAbleMinMax(kId, 1, 10, 100); }, QUIL_ERROR_PARAMETER},
        {"AbleMinMax head 5", [&] { return QUIL_SetAbleMinMax(kId, 5, 10, 90); }, QUIL_ERROR_RANGE},
        {"MeasureMode 5", [&] { return QUIL_SetMeasureMode(kId, 4, 5); }, QUIL_ERROR_PARAMETER},
        {"BasicPoint 2", [&] { return QUIL_SetBasicPoint(kId, 4, 2); }, QUIL_ERROR_PARAMETER},
        {"NumAlarm 10000", [&] { return QUIL_SetNumAlarm(kId, 1, 10000); }, QUIL_ERROR_VALUE},
        {"NumAlarm -1", [&] { return QUIL_SetNumAlarm(kId, 1, -1); }, QUIL_ERROR_VALUE},
        {"NumAlarm head 0", [&] { return QUIL_SetNumAlarm(kId, 0, 5); }, QUIL_ERROR_RANGE},
        {"NumRecovery 10000", [&] { return QUIL_SetNumRecovery(kId, 1, 10000); }, QUIL_ERROR_VALUE},
        {"NumRecovery head 5", [&] { return QUIL_SetNumRecovery(kId, 5, 1); }, QUIL_ERROR_RANGE},
        {"AlarmLevel 10", [&] { return QUIL_SetAlarmLevel(kId, 1, 10); }, QUIL_ERROR_VALUE},
        {"AbleStart head 0", [&] { return QUIL_AbleStart(kId, 0); }, QUIL_ERROR_RANGE},
        {"ReflectionMode 2", [&] { return QUIL_SetReflectionMode(kId, 1, 2); }, QUIL_ERROR_VALUE},
        {"Mask P1 seven digits", [&] { return QUIL_SetMask(kId, 1, 1, 1000000, 0); }, QUIL_ERROR_VALUE},
        {"Mask P2 seven digits", [&] { return QUIL_SetMask(kId, 1, 1, 0, -1000000); }, QUIL_ERROR_VALUE},
        {"Mask P1 INT32_MIN", [&] { return QUIL_SetMask(kId, 1, 1, INT32_MIN, 0); }, QUIL_ERROR_VALUE},
        {"Mask head 5", [&] { return QUIL_SetMask(kId, 5, 1, 1000000, 0); }, QUIL_ERROR_RANGE},
        {"Median 4", [&] { return QUIL_SetMedian(kId, 1, 4); }, QUIL_ERROR_VALUE},
        {"LaserCtrlGroup 2", [&] { return QUIL_SetLaserCtrlGroup(kId, 1, 2); }, QUIL_ERROR_VALUE},
        {"InterferenceGroup 3", [&] { return QUIL_SetMutualInterferencePreventionGroup(kId, 1, 3); }, QUIL_ERROR_VALUE},
        {"GetAbleMinMax head 0", [&] { return QUIL_GetAbleMinMax(kId, 0, &a, &b); }, QUIL_ERROR_RANGE},
        {"GetAbleMinMax null Max", [&] { return QUIL_GetAbleMinMax(kId, 1, &a, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"GetMask head 5", [&] { return QUIL_GetMask(kId, 5, &a, &b, &c); }, QUIL_ERROR_RANGE},
        {"GetMask null P2", [&] { return QUIL_GetMask(kId, 1, &a, &b, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"closed device", [&] { return QUIL_SetMedian(3, 1, 1); }, QUIL_ERROR_OPEN},
        {"device 64", [&] { return QUIL_GetMedian(64, 1, &a); }, QUIL_ERROR_DEVICE_ID},
    };
    for (Refusal& r : indexRefusals(kSingleGetters, &a)) cases.push_back(std::move(r));
    expectRefused(cases);
}

TEST_F(HeadSettings, CommandsCarryTheirArguments) {
    int32_t a = 0, b = 0, c = 0;
    expectSent({
        {[&] { return QUIL_SetAbleMode(kId, 1, 1); }, {"SW,HA,M,01,1"}},
        {[&] { return QUIL_GetAbleMode(kId, 1, &a); }, {"SR,HA,M,01"}},
        {[&] { return QUIL_SetAbleMinMax(kId, 2, 10, 90); }, {"SW,HA,R,02,90,10"}},
        {[&] { return QUIL_GetAbleMinMax(kId, 2, &a, &b); }, {"SR,HA,R,02"}},
        {[&] { return QUIL_SetMeasureMode(kId, 3, 4); }, {"SW,HB,M,03,4"}},
        {[&] { return QUIL_GetMeasureMode(kId, 3, &a); }, {"SR,HB,M,03"}},
        {[&] { return QUIL_SetBasicPoint(kId, 4, 1); }, {"SW,HB,B,04,1"}},
        {[&] { return QUIL_GetBasicPoint(kId, 4, &a); }, {"SR,HB,B,04"}},
        {[&] { return QUIL_GetNumAlarm(kId, 1, &a); }, {"SR,HC,N,01"}},
        {[&] { return QUIL_GetNumRecovery(kId, 2, &a); }, {"SR,HC,N,02"}},
        {[&] { return QUIL_SetAlarmLevel(kId, 1, 9); }, {"SW,HC,L,01,9"}},
        {[&] { return QUIL_GetAlarmLevel(kId, 1, &a); }, {"SR,HC,L,01"}},
        {[&] { return QUIL_AbleStart(kId, 3); }, {"SW,HD,S,03"}},
        {[&] { return QUIL_AbleStop(kId); }, {"SW,HD,P"}},
        {[&] { return QUIL_AbleCancel(kId); }, {"SW,HD,C"}},
        {[&] { return QUIL_SetReflectionMode(kId, 2, 1); }, {"SW,HE,02,1"}},
        {[&] { return QUIL_GetReflectionMode(kId, 2, &a); }, {"SR,HE,02"}},
        {[&] { return QUIL_SetMask(kId, 2, 1, 1234, -50); }, {"SW,HF,02,1,+001234,-000050"}},
        {[&] { return QUIL_SetMask(kId, 1, 0, 999999, -999999); }, {"SW,HF,01,0,+999999,-999999"}},
        {[&] { return QUIL_GetMask(kId, 2, &a, &b, &c); }, {"SR,HF,02"}},
        {[&] { return QUIL_SetMedian(kId, 4, 3); }, {"SW,HG,04,3"}},
        {[&] { return QUIL_GetMedian(kId, 4, &a); }, {"SR,HG,04"}},
        {[&] { return QUIL_SetLaserCtrlGroup(kId, 1, 1); }, {"SW,HH,01,1"}},
        {[&] { return QUIL_GetLaserCtrlGroup(kId, 1, &a); }, {"SR,HH,01"}},
        {[&] { return QUIL_SetMutualInterferencePreventionGroup(kId, 3, 2); }, {"SW,HJ,03,2"}},
        {[&] { return QUIL_GetMutualInterferencePreventionGroup(kId, 3, &a); }, {"SR,HJ,03"}},
    });
}

TEST_F(HeadSettings, RepliesOfAnotherFieldCountAreRefused) {
    int32_t a = kUntouched, b = kUntouched, c = kUntouched;
    expectAnswers({
        {"SW,HA,M", [&] { return QUIL_SetAbleMode(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW", [&] { return QUIL_SetAbleMinMax(kId, 1, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HB,M", [&] { return QUIL_SetMeasureMode(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HB,B", [&] { return QUIL_SetBasicPoint(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HC,L", [&] { return QUIL_SetAlarmLevel(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HD,S", [&] { return QUIL_AbleStart(kId, 1); }, QUIL_ERROR_REPLY},
        {"SW", [&] { return QUIL_AbleStop(kId); }, QUIL_ERROR_REPLY},
        {"SW,HD,C", [&] { return QUIL_AbleCancel(kId); }, QUIL_ERROR_REPLY},
        {"SW,HE,01", [&] { return QUIL_SetReflectionMode(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HF,01", [&] { return QUIL_SetMask(kId, 1, 1, 0, 0); }, QUIL_ERROR_REPLY},
        {"SW,HG,01", [&] { return QUIL_SetMedian(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HH", [&] { return QUIL_SetLaserCtrlGroup(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HH,01,1", [&] { return QUIL_SetLaserCtrlGroup(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HJ,01", [&] { return QUIL_SetMutualInterferencePreventionGroup(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SR,HA,M,01", [&] { return QUIL_GetAbleMode(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HA,R,01,90", [&] { return QUIL_GetAbleMinMax(kId, 1, &a, &b); }, QUIL_ERROR_REPLY},
        {"SR,HB,M,01,1,1", [&] { return QUIL_GetMeasureMode(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HB,B,01", [&] { return QUIL_GetBasicPoint(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HC,N,01,0001", [&] { return QUIL_GetNumAlarm(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HC,N,01,0001", [&] { return QUIL_GetNumRecovery(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HC,L,01", [&] { return QUIL_GetAlarmLevel(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HE,01,1,1", [&] { return QUIL_GetReflectionMode(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HF,01,1,12.34", [&] { return QUIL_GetMask(kId, 1, &a, &b, &c); }, QUIL_ERROR_REPLY},
        {"SR,HG,01", [&] { return QUIL_GetMedian(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HH,01", [&] { return QUIL_GetLaserCtrlGroup(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,HJ,01,1,1", [&] { return QUIL_GetMutualInterferencePreventionGroup(kId, 1, &a); }, QUIL_ERROR_REPLY},
    });
    EXPECT_EQ(a, kUntouched);
    EXPECT_EQ(b, kUntouched);
    EXPECT_EQ(c, kUntouched);
    // The alarm setters check the reply to their own command too.
    for (const auto& set : {QUIL_SetNumAlarm, QUIL_SetNumRecovery}) {
        sim.script().replyTo("SW,HC,N", "SW,HC,N\r\n");
        EXPECT_EQ(set(kId, 1, 5), QUIL_ERROR_REPLY);
    }
}

TEST_F(HeadSettings, GettersParseTheirFields) {
    int32_t a = 0, b = 0, c = 0;
    expectParsed(
        {&a, &b, &c},
        {
            {"SR,HA,M,01,1", [&] { return QUIL_GetAbleMode(kId, 1, &a); }, {1, kUntouched, kUntouched}},
            {"SR,HA,R,01,90,10", [&] { return QUIL_GetAbleMinMax(kId, 1, &a, &b); }, {10, 90, kUntouched}},
            {"SR,HB,M,01,3", [&] { return QUIL_GetMeasureMode(kId, 1, &a); }, {3, kUntouched, kUntouched}},
            {"SR,HB,B,01,1", [&] { return QUIL_GetBasicPoint(kId, 1, &a); }, {1, kUntouched, kUntouched}},
            {"SR,HC,N,01,0012,0345", [&] { return QUIL_GetNumAlarm(kId, 1, &a); }, {12, kUntouched, kUntouched}},
            {"SR,HC,N,01,0012,0345", [&] { return QUIL_GetNumRecovery(kId, 1, &a); }, {345, kUntouched, kUntouched}},
            {"SR,HC,L,01,8", [&] { return QUIL_GetAlarmLevel(kId, 1, &a); }, {8, kUntouched, kUntouched}},
            {"SR,HE,01,1", [&] { return QUIL_GetReflectionMode(kId, 1, &a); }, {1, kUntouched, kUntouched}},
            {"SR,HF,01,1,12.34,-0.5", [&] { return QUIL_GetMask(kId, 1, &a, &b, &c); }, {1, 1234, -50}},
            {"SR,HG,01,2", [&] { return QUIL_GetMedian(kId, 1, &a); }, {2, kUntouched, kUntouched}},
            {"SR,HH,01,1", [&] { return QUIL_GetLaserCtrlGroup(kId, 1, &a); }, {1, kUntouched, kUntouched}},
            {"SR,HJ,01,2",
             [&] { return QUIL_GetMutualInterferencePreventionGroup(kId, 1, &a); },
             {2, kUntouched, kUntouched}},
        });
}

TEST_F(HeadSettings, RefusedInMeasurementModeSwitchesAndSendsAgain) {
    expectModeRetry([&] { return QUIL_SetMedian(kId, 2, 1); }, "SW,HG,02,1");
    int32_t median = kUntouched;
    expectModeRetry([&] { return QUIL_GetMedian(kId, 2, &median); }, "SR,HG,02");
    EXPECT_EQ(median, 1);
}

TEST_F(HeadSettings, AlarmSettersReadTheOtherNumberFirst) {
    ASSERT_EQ(QUIL_SetNumRecovery(kId, 2, 7), QUIL_OK);
    sim.clearReceived();
    ASSERT_EQ(QUIL_SetNumAlarm(kId, 2, 5), QUIL_OK);
    EXPECT_EQ(sent(2), (Lines{"SR,HC,N,02", "SW,HC,N,02,0005,0007"}));

    sim.clearReceived();
    ASSERT_EQ(QUIL_SetNumRecovery(kId, 2, 9999), QUIL_OK);
    EXPECT_EQ(sent(2), (Lines{"SR,HC,N,02", "SW,HC,N,02,0005,9999"}));

    // A failed read is the result and nothing more is sent.
    for (const auto& set : {QUIL_SetNumAlarm, QUIL_SetNumRecovery}) {
        sim.clearReceived();
        sim.script().replyTo("SR,HC,N", "ER,SR,64\r\n");
        EXPECT_EQ(set(kId, 3, 1), QUIL_ERROR_RANGE);
        sim.script().replyTo("SR,HC,N", "SR,HC,N,03,0001\r\n");
        EXPECT_EQ(set(kId, 3, 1), QUIL_ERROR_REPLY);
        EXPECT_EQ(sent(2), (Lines{"SR,HC,N,03", "SR,HC,N,03"}));
    }
    quil::platform::sleepMs(50);
    EXPECT_EQ(sim.receivedLines().size(), 2u);

    // The read runs its own mode recovery before the write runs its own.
    sim.model().setMode(quil::sim::Model::kMeasurement);
    sim.clearReceived();
    ASSERT_EQ(QUIL_SetNumAlarm(kId, 1, 3), QUIL_OK);
    EXPECT_EQ(sent(4), (Lines{"SR,HC,N,01", "Q0", "SR,HC,N,01", "SW,HC,N,01,0003,0003"}));
}

TEST_F(HeadSettings, LaserControlGroupTakesThreeReplyFields) {
    EXPECT_EQ(QUIL_SetLaserCtrlGroup(kId, 1, 1), QUIL_OK);  // the controller's own answer
    sim.script().replyOnce("SW,HH,xx\r\n");
    EXPECT_EQ(QUIL_SetLaserCtrlGroup(kId, 1, 0), QUIL_OK);
    sim.script().replyOnce("SW,HH\r\n");
    EXPECT_EQ(QUIL_SetLaserCtrlGroup(kId, 1, 0), QUIL_ERROR_REPLY);
}

TEST_F(HeadSettings, BasicPointAndAbleModeReadOnlyTheirValues) {
    int32_t v = 0;
    const auto point = [&] { return QUIL_GetBasicPoint(kId, 1, &v); };
    const auto able = [&] { return QUIL_GetAbleMode(kId, 1, &v); };
    expectParsed({&v}, {
                           {"SR,HB,B,01,2", point, {kUntouched}},
                           {"SR,HB,B,01,-1", point, {kUntouched}},
                           {"SR,HB,B,01,0", point, {0}},
                           {"SR,HA,M,01,3", able, {1}},
                           {"SR,HA,M,01,-1", able, {1}},
                           {"SR,HA,M,01,1", able, {1}},
                           {"SR,HA,M,01,0", able, {0}},
                       });
}

TEST_F(HeadSettings, MaskPositionsAreHundredths) {
    int32_t on = 0, p1 = 0, p2 = 0;
    const auto get = [&] { return QUIL_GetMask(kId, 1, &on, &p1, &p2); };
    expectParsed({&on, &p1, &p2}, {
                                      {"SR,HF,01,0,+9999.99,-9999.99", get, {0, 999999, -999999}},
                                      // Single precision: 0.53f * 100.0f is just below 53 and truncates.
                                      {"SR,HF,01,1,0.53,-0.53", get, {1, 52, -52}},
                                      {"SR,HF,01,1,0.29,0.005", get, {1, 29, 0}},
                                  });
    // Through the controller: written as hundredths, printed as decimals,
    // read back as hundredths.
    ASSERT_EQ(QUIL_SetMask(kId, 3, 1, 1234, -50), QUIL_OK);
    ASSERT_EQ(QUIL_GetMask(kId, 3, &on, &p1, &p2), QUIL_OK);
    EXPECT_EQ((std::vector<int32_t>{on, p1, p2}), (std::vector<int32_t>{1, 1234, -50}));
}

// The trace frame of the settings families, with and without a head or OUT
// number, for setters, getters and the getters that make a second call; the
// encoder family's success line has no rc and shows the value read.
TEST(SettingsTrace, FailureAndSuccessLinesShareOneFrame) {
    LogDir logDir;
    ASSERT_TRUE(logDir.ok());
    logDir.writeIni(1, 3);
    quil::sim::Simulator sim(quil::sim::Options{.model = 35});
    ASSERT_TRUE(sim.start());
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
    ::testing::internal::GetCapturedStderr();
    int32_t a = 0, b = 0, c = 0;
    EXPECT_EQ(QUIL_SetMedian(0, 2, 1), QUIL_OK);
    sim.script().replyOnce("ER,SW,62\r\n");
    EXPECT_EQ(QUIL_SetMedian(0, 2, 3), QUIL_ERROR_VALUE);
    EXPECT_EQ(QUIL_GetMedian(0, 2, &a), QUIL_OK);
    sim.script().replyOnce("ER,SR,64\r\n");
    EXPECT_EQ(QUIL_GetMedian(0, 2, &a), QUIL_ERROR_RANGE);
    EXPECT_EQ(QUIL_SetMask(0, 1, 1, 1234, -50), QUIL_OK);
    EXPECT_EQ(QUIL_SetNumAlarm(0, 1, 5), QUIL_OK);
    EXPECT_EQ(QUIL_AbleStop(0), QUIL_OK);
    sim.script().replyOnce("ER,SW,61\r\n");
    EXPECT_EQ(QUIL_AbleCancel(0), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_GetTolerance(0, 1, &a, &b, &c), QUIL_OK);
    EXPECT_EQ(QUIL_SetDataStorage(0, 5, 3), QUIL_OK);
    EXPECT_EQ(QUIL_GetStrobeTime(0, &a), QUIL_OK);
    sim.script().replyOnce("CX,-42\r\n");
    EXPECT_EQ(QUIL_GetEncoderCurrentValue(0, 2, &a), QUIL_OK);
    EXPECT_EQ(QUIL_SetAnalogOutput(0, 1, 2), QUIL_OK);
    sim.script().replyOnce("ER,SW,62\r\n");
    EXPECT_EQ(QUIL_SetIODigitalOutput(0, 4, 1), QUIL_ERROR_VALUE);
    int32_t p[5] = {};
    EXPECT_EQ(QUIL_GetEncoderParameters(0, 1, &p[0], &p[1], &p[2], &p[3], &p[4]), QUIL_OK);
    ASSERT_EQ(QUIL_CloseDevice(0), QUIL_OK);

    const std::string text = logDir.log();
    for (const char* expected : {
             R"(\(QUIL_SetMedian:\d+\) Success DeviceID:0 HeadNo:2 Median:1 rc:0\n)",
             R"(\(QUIL_SetMedian:\d+\) send command fail DeviceID:0 HeadNo:2 Median:3 rc:8207\n)",
             R"(\(QUIL_GetMedian:\d+\) Success DeviceID:0 HeadNo:2 rc:0\n)",
             R"(\(QUIL_GetMedian:\d+\) send command fail DeviceID:0 HeadNo:2 rc:4105\n)",
             R"(\(QUIL_SetMask:\d+\) Success DeviceID:0 HeadNo:1 OnOff:1 P1:\+001234 P2:-000050 rc:0\n)",
             R"(\(QUIL_GetNumRecovery:\d+\) Success DeviceID:0 HeadNo:1 rc:0\n)",
             R"(\(QUIL_SetNumAlarm:\d+\) Success DeviceID:0 HeadNo:1 AlarmNum:5 RecoveryNum:3 rc:0\n)",
             R"(\(QUIL_AbleStop:\d+\) Success DeviceID:0 rc:0\n)",
             R"(\(QUIL_AbleCancel:\d+\) send command fail DeviceID:0 rc:4103\n)",
             R"(\(QUIL_GetDisplayUnit:\d+\) Success DeviceID:0 OutNo:1 rc:0\n)",
             R"(\(QUIL_GetTolerance:\d+\) Success DeviceID:0 OutNo:1 rc:0\n)",
             R"(\(QUIL_SetDataStorage:\d+\) Success DeviceID:0 NumStorage:5  StorageCycle:3 rc:0\n)",
             R"(\(QUIL_GetStrobeTime:\d+\) Success DeviceID:0 rc:0\n)",
             R"(\(QUIL_GetEncoderCurrentValue:\d+\) Success DeviceID:0 OutNo:2 value:-42\n)",
             R"(\(QUIL_SetAnalogOutput:\d+\) Success DeviceID:0 OutNo:1 OutputChannel:2\n)",
             R"(\(QUIL_SetIODigitalOutput:\d+\) send command fail DeviceID:0 OutNo:4 Level:1 rc:8207\n)",
         })
        EXPECT_TRUE(std::regex_search(text, std::regex(expected))) << expected << "\n---\n" << text;
    // The success line of a getter that reads the display unit comes after that read.
    EXPECT_LT(text.find("(QUIL_GetDisplayUnit:"), text.rfind("(QUIL_GetTolerance:"));
    // The encoder parameters read in two exchanges: one entry line, no success line.
    const std::regex parameters(R"(\(QUIL_GetEncoderParameters:\d+\)[^\n]*\n)");
    const auto lines =
        std::distance(std::sregex_iterator(text.begin(), text.end(), parameters), std::sregex_iterator());
    EXPECT_EQ(lines, 1) << text;
}

}  // namespace
}  // namespace quil::test
