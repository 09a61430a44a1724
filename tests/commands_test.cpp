// Measured values and control commands against the simulated controller.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <tuple>

#include "device_fixture.h"
#include "log_dir.h"

namespace {

using quil::test::DeviceTest;

class Commands : public DeviceTest {};

std::tuple<int32_t, int32_t, float> record(const QuilCalcData& d) { return {d.OutNo, d.status, d.value}; }

TEST_F(Commands, ArgumentErrorsSendNothing) {
    QuilCalcData d[4] = {};
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"Single OUT 9", [&] { return QUIL_GetCalcDataSingle(kId, 9, d); }, QUIL_ERROR_RANGE},
        {"Single null", [&] { return QUIL_GetCalcDataSingle(kId, 8, nullptr); }, QUIL_ERROR_PARAMETER},
        {"Multi mask 16", [&] { return QUIL_GetCalcDataMulti(kId, 16, d); }, QUIL_ERROR_RANGE},
        {"ALL null", [&] { return QUIL_GetCalcDataALL(kId, nullptr); }, QUIL_ERROR_PARAMETER},
        {"TimingSingle 5", [&] { return QUIL_SetTimingSingle(kId, 5, 1); }, QUIL_ERROR_RANGE},
        {"ResetMulti 16", [&] { return QUIL_SetResetMulti(kId, 16); }, QUIL_ERROR_RANGE},
        {"ProgramNo 8", [&] { return QUIL_SetProgramNo(kId, 8); }, QUIL_ERROR_PARAMETER},
        {"ProgramNo -1", [&] { return QUIL_SetProgramNo(kId, -1); }, QUIL_ERROR_PARAMETER},
        {"GetProgramNo null", [&] { return QUIL_GetProgramNo(kId, nullptr); }, QUIL_ERROR_PARAMETER},
        {"device 64", [&] { return QUIL_SetResetSync(64); }, QUIL_ERROR_DEVICE_ID},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
    // Anything sent above would arrive before this line.
    ASSERT_EQ(QUIL_SetResetSync(kId), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"DA"});
    EXPECT_EQ(d[0].OutNo, 0) << "caller memory untouched";
}

// A sample: OUT masks as text, the zero flag choosing the command, program 7.
TEST_F(Commands, ControlCommandsSendTheirExactText) {
    const struct {
        std::function<int32_t()> call;
        const char* line;
    } cases[] = {
        {[&] { return QUIL_SetTimingMulti(kId, 5, 0); }, "TM,0,1010"},
        {[&] { return QUIL_SetZeroSingle(kId, 4, 7); }, "VS,04"},
        {[&] { return QUIL_SetZeroMulti(kId, 3, 0); }, "WM,1100"},
        {[&] { return QUIL_SetProgramNo(kId, 7); }, "PW,7"},
    };
    for (const auto& c : cases) {
        sim.clearReceived();
        EXPECT_EQ(c.call(), QUIL_OK) << c.line;
        EXPECT_EQ(sent(1), std::vector<std::string>{c.line});
    }
}

TEST_F(Commands, WrongFieldCountsAreRefused) {
    sim.script().replyOnce("DA,1\r\n");
    EXPECT_EQ(QUIL_SetResetSync(kId), QUIL_ERROR_REPLY);
    QuilCalcData d[4] = {{9, 9, 9.0f}, {9, 9, 9.0f}, {9, 9, 9.0f}, {9, 9, 9.0f}};
    sim.script().replyOnce("MA,1,2,3,4,5\r\n");
    EXPECT_EQ(QUIL_GetCalcDataALL(kId, d), QUIL_ERROR_REPLY);
    for (const auto& r : d) EXPECT_EQ(r.OutNo, 9);
    // A reply without the value field carries no value: nothing is written.
    sim.script().replyOnce("MS,01\r\n");
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 1, d), QUIL_ERROR_REPLY);
    EXPECT_EQ(record(d[0]), record({9, 9, 9.0f}));
}

TEST_F(Commands, MeasuredValuesAndSpecialTexts) {
    const char* texts[] = {"+0012.345", "XXXXXXXX", "+FFFFFFF", "-FFFFFFF"};
    for (int32_t out = 1; out <= 4; ++out) sim.model().setOutValue(out, texts[out - 1]);
    QuilCalcData d[4] = {};
    ASSERT_EQ(QUIL_GetCalcDataALL(kId, d), QUIL_OK);
    EXPECT_EQ(record(d[0]), record({1, QUIL_VALUE_NORMAL, 12.345f}));
    EXPECT_EQ(record(d[1]), record({2, QUIL_VALUE_XXXXXXXX, 0.0f}));
    EXPECT_EQ(record(d[2]), record({3, QUIL_VALUE_PLUS_FFFFFFF, 0.0f}));
    EXPECT_EQ(record(d[3]), record({4, QUIL_VALUE_MINUS_FFFFFFF, 0.0f}));
    // Mask 10 selects OUT2 and OUT4: two records, packed.
    QuilCalcData multi[4] = {{0, 0, 0}, {0, 0, 0}, {77, 77, 77}, {77, 77, 77}};
    sim.clearReceived();
    ASSERT_EQ(QUIL_GetCalcDataMulti(kId, 10, multi), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"MM,0101"});
    EXPECT_EQ(record(multi[0]), record(d[1]));
    EXPECT_EQ(record(multi[1]), record(d[3]));
    EXPECT_EQ(multi[2].OutNo, 77);
}

TEST_F(Commands, RefusedInTheWrongModeRecoversOnce) {
    ASSERT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);  // the controller now refuses measurement commands
    sim.clearReceived();
    sim.model().setOutValue(3, "1.000");
    QuilCalcData d{};
    ASSERT_EQ(QUIL_GetCalcDataSingle(kId, 3, &d), QUIL_OK);
    EXPECT_EQ(sent(3), (std::vector<std::string>{"MS,03", "R0", "MS,03"}));
    EXPECT_FLOAT_EQ(d.value, 1.0f);

    // Refused twice: the second refusal is the result, with no third try.
    sim.clearReceived();
    sim.script().replyTo("MS", "ER,MS,51\r\n", 2);
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 3, &d), QUIL_ERROR_MODE);
    quil::platform::sleepMs(50);
    EXPECT_EQ(sim.receivedLines(), (std::vector<std::string>{"MS,03", "R0", "MS,03"}));
}

// The trace frame: entry, failure and success lines under one header.
TEST(TraceLines, EntryFailureAndSuccessShareOneFrame) {
    quil::test::LogDir logDir;
    ASSERT_TRUE(logDir.ok());
    logDir.writeIni(1, 3);
    quil::sim::Simulator sim(quil::sim::Options{.model = 36});
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
    QuilCalcData d{};
    int32_t a = 0, b = 0, c = 0;
    sim.model().setOutValue(3, "2.500");
    ASSERT_EQ(QUIL_GetCalcDataSingle(0, 3, &d), QUIL_OK);
    EXPECT_EQ(QUIL_GetCalcDataSingle(0, 9, &d), QUIL_ERROR_RANGE);
    sim.model().setMode(quil::sim::Model::kSetting);
    EXPECT_EQ(QUIL_SetMask(0, 1, 1, 1234, -50), QUIL_OK);
    sim.script().replyOnce("ER,SW,62\r\n");
    EXPECT_EQ(QUIL_SetMedian(0, 2, 3), QUIL_ERROR_VALUE);
    EXPECT_EQ(QUIL_GetTolerance(0, 1, &a, &b, &c), QUIL_OK);
    sim.script().silence();
    EXPECT_EQ(QUIL_GetCalcDataSingle(0, 3, &d), QUIL_ERROR_TIMEOUT);
    ASSERT_EQ(QUIL_CloseDevice(0), QUIL_OK);

    const std::string text = logDir.log();
    for (const char* expected : {
             ") Success DeviceID:0 deviceType:36\n",
             ")writeTCP send success command:MS,03\r\n",
             ") Success DeviceID:0 OutNo:3 value:2.500000\n",
             ") send command MS fail DeviceID:0 OutNo:3  rc:4099\n",
             ") Success DeviceID:0 HeadNo:1 OnOff:1 P1:+001234 P2:-000050 rc:0\n",
             ") send command fail DeviceID:0 HeadNo:2 Median:3 rc:8207\n",
             ") success DeviceID:0\n",
         })
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n---\n" << text;
    // The success line of a getter that reads the display unit comes after that read.
    EXPECT_LT(text.find("(QUIL_GetDisplayUnit:"), text.rfind("(QUIL_GetTolerance:"));
    // Every line carries the header, and the failed range check only its entry line.
    std::istringstream lines(text);
    std::string line;
    int entries = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line == "\r" || line.find(',') == 2) continue;  // a logged command's CR LF
        EXPECT_TRUE(line.rfind("E/NO_TAG   [", 0) == 0 || line.rfind("I/NO_TAG   [", 0) == 0) << line;
        if (line.find("(QUIL_GetCalcDataSingle:") != std::string::npos &&
            line.find(") DeviceID:0") != std::string::npos)
            ++entries;
    }
    EXPECT_EQ(entries, 3);
}

}  // namespace
